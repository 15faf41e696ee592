// Runs a command (its standard output discarded) and prints its peak resident set size in KiB
// (from wait4), for the search
// memory figure of bench/lan/search-memory; `peak_rss --search-table` prints the size of a
// full search table in KiB instead, the figure's yardstick.
#include "discovery/search.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--search-table") == 0) {
        std::printf("%zu\n", static_cast<size_t>(kMaxSearchDevices) * sizeof(IPCSearchInfo) / 1024);
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: peak_rss --search-table | peak_rss COMMAND [ARG...]\n");
        return 2;
    }
    pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, STDOUT_FILENO);
        ::execv(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid)
        return 1;
    std::printf("%ld\n", ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

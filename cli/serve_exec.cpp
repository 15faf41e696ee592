// `dravlinctl serve` where the web server is a program of its own (dravlinctl-serve): its HTTP
// library brings OpenSSL and Brotli, whose loading would add 2 ms to the start of every other
// command. This command hands the process over to that program, which serves exactly as the
// tool did.
#include "cli/command.h"
#include "cli/serve_usage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <limits.h>
#include <unistd.h>

namespace dravlinctl {
namespace {

// The server beside this program (a build tree), or in ../libexec/dravlin (an installed one).
std::string serve_program()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    for (const std::string& p : {dir + "dravlinctl-serve", dir + "../libexec/dravlin/dravlinctl-serve"})
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    return "";
}

int run_serve_elsewhere(const std::vector<std::string>& args)
{
    const std::string program = serve_program();
    if (program.empty()) {
        std::fprintf(stderr, "dravlinctl serve: its server, dravlinctl-serve, is not installed beside dravlinctl\n");
        return kExitFailed;
    }
    std::vector<std::string> words = {"dravlinctl", "serve"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(program.c_str(), argv.data());
    std::fprintf(stderr, "dravlinctl serve: %s could not be started: %s\n", program.c_str(), std::strerror(errno));
    return kExitFailed;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("serve", dravlinctl::kServeSummary, dravlinctl::kServeUsage, dravlinctl::run_serve_elsewhere);

// Runs the dravlinctl executable with arguments, capturing its exit status, standard output and
// standard error. The tool is the product as shipped: a search or clock it made would really
// broadcast, so these tests give recorders with --target (which searches nothing) and leave
// every broadcasting command to the suites that run inside a private network namespace.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace cli_test {

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string temp_dir()
{
    std::string t = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/dravlinctl-test-XXXXXX");
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string("/tmp");
}

struct ToolResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out, err;
};

class Tool {
public:
    Tool() : dir_(temp_dir()) {}

    // Starts the tool; wait() collects it. `while_running` (optional) is polled until it returns
    // true or the tool ends, with the child's pid.
    ToolResult run(const std::vector<std::string>& args, const std::function<bool(pid_t)>& while_running = nullptr,
                   int deadline_s = 120)
    {
        std::string outp = dir_ + "/out", errp = dir_ + "/err";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> argv_s{DRAVLINCTL_PATH};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        ToolResult r;
        pid_t pid = -1;
        int rc = posix_spawn(&pid, DRAVLINCTL_PATH, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return r;
        bool watching = static_cast<bool>(while_running);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_s);
        int status = 0;
        for (;;) {
            pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid)
                break;
            if (watching && while_running(pid))
                watching = false;
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(outp);
        r.err = slurp(errp);
        return r;
    }

    const std::string& dir() const { return dir_; }

    ~Tool()
    {
        std::error_code ec;
        if (dir_ != "/tmp")
            std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

}  // namespace cli_test

// Runs the dravlinctl executable with arguments, capturing its exit status, standard output and
// standard error. The tool is the product as shipped: a search or clock it made would really
// broadcast, so these tests give recorders with --target (which searches nothing) and leave
// every broadcasting command to the suites that run inside a private network namespace.
#pragma once

#include "common/test_os.h"

#include <algorithm>
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
    std::string dir = test_common::make_temp_dir("dravlinctl-test-");
    return dir.empty() ? std::filesystem::temp_directory_path().string() : dir;
}

struct ToolResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out, err;
};

class Tool {
public:
    Tool() : dir_(temp_dir()) { }

    // Starts the tool and collects it. `while_running` (optional) is polled until it returns
    // true or the tool ends, with the child's process id.
    ToolResult run(const std::vector<std::string>& args, const std::function<bool(int)>& while_running = nullptr,
                   int deadline_s = 120)
    {
        std::string outp = dir_ + "/out", errp = dir_ + "/err";
        ToolResult r;
        test_common::ChildProcess child;
        if (!child.start(DRAVLINCTL_PATH, args, outp, errp))
            return r;
        bool watching = static_cast<bool>(while_running);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_s);
        int status = -1;
        for (;;) {
            if (child.ended(&status))
                break;
            if (watching && while_running(child.id()))
                watching = false;
            if (std::chrono::steady_clock::now() > end) {
                child.kill_and_wait(&status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r.status = status;
        r.out = slurp(outp);
        r.err = slurp(errp);
        if (test_common::kWindows) {
            // The C runtime writes each line end of the tool's text output as CR LF there.
            for (std::string* s : {&r.out, &r.err})
                s->erase(std::remove(s->begin(), s->end(), '\r'), s->end());
        }
        return r;
    }

    const std::string& dir() const { return dir_; }

    ~Tool()
    {
        std::error_code ec;
        if (dir_ != std::filesystem::temp_directory_path().string())
            std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

}  // namespace cli_test

// What the history suites share: a scratch folder, records to write, and writer processes.
#pragma once

#include "common/test_os.h"
#include "history/history.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace history_test {

struct TempDir {
    std::string path = test_common::make_temp_dir("dravlin_history_");
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Job n of a run: serial S<n>, every field filled, a failure for every third.
inline history::JobRecord job(int n, const std::string& serial_prefix = "S", const std::string& command = "refresh")
{
    history::JobRecord j;
    j.station = "line-1";
    j.front = "tool";
    j.command = command;
    j.run_id = "run-a";
    j.started = history::utc_text(1796635800000 + n * 1000LL);
    j.ended = history::utc_text(1796635800000 + n * 1000LL + 700);
    j.serial = serial_prefix + std::to_string(n);
    j.device_type = "NVR-8";
    j.address = "10.77.1." + std::to_string(n % 250 + 1);
    j.mac = "00:11:22:33:44:55";
    j.files = {{"boot", "b.jpg", 204800, "0123456789abcdef0123456789abcdef"}};
    j.result = n % 3 == 2 ? "link lost" : "ok";
    j.message = n % 3 == 2 ? "连接中断" : "";
    j.login_ms = 40 + n;
    j.total_ms = 700;
    j.version = "0.1.0";
    return j;
}

inline void expect_same(const history::JobRecord& a, const history::JobRecord& b)
{
    EXPECT_EQ(a.station, b.station);
    EXPECT_EQ(a.front, b.front);
    EXPECT_EQ(a.command, b.command);
    EXPECT_EQ(a.run_id, b.run_id);
    EXPECT_EQ(a.started, b.started);
    EXPECT_EQ(a.ended, b.ended);
    EXPECT_EQ(a.serial, b.serial);
    EXPECT_EQ(a.device_type, b.device_type);
    EXPECT_EQ(a.address, b.address);
    EXPECT_EQ(a.mac, b.mac);
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(a.login_ms, b.login_ms);
    EXPECT_EQ(a.total_ms, b.total_ms);
    EXPECT_EQ(a.version, b.version);
    ASSERT_EQ(a.files.size(), b.files.size());
    for (size_t i = 0; i < a.files.size(); ++i) {
        EXPECT_EQ(a.files[i].kind, b.files[i].kind);
        EXPECT_EQ(a.files[i].name, b.files[i].name);
        EXPECT_EQ(a.files[i].size, b.files[i].size);
        EXPECT_EQ(a.files[i].md5, b.files[i].md5);
    }
}

// Runs body(i) in `count` forked processes that all start writing together; each process's exit
// status is what body returned (0: every write succeeded). The statuses, in order.
inline std::vector<int> run_writers(int count, const std::function<int(int)>& body)
{
    int go[2];
    if (::pipe(go) != 0)
        return {};
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            char c;
            // Every writer waits here until the parent closes the pipe: they start together.
            while (::read(go[0], &c, 1) > 0) { }
            ::_exit(body(i));
        }
        pids.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    std::vector<int> statuses;
    for (pid_t pid : pids) {
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
            statuses.push_back(-1);
        else
            statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return statuses;
}

inline std::vector<std::string> serials(const std::vector<history::JobRecord>& jobs)
{
    std::vector<std::string> out;
    for (const auto& j : jobs)
        out.push_back(j.serial);
    return out;
}

}  // namespace history_test

// What the history suites share: a scratch folder, the environment, records to write, and
// writer processes.
#pragma once

#include "common/test_os.h"
#include "history/history.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
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

// Sets (or with nullopt unsets) an environment variable for the scope's length. On Windows an
// empty value unsets it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value)
    {
#ifdef _WIN32
        ::_putenv_s(name_, value ? value->c_str() : "");
#else
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
#endif
    }

    const char* name_;
    std::optional<std::string> old_;
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

// ---- writer processes ---------------------------------------------------------------------
// A case that needs other processes writing starts this test program again (Windows has no
// fork), naming a Writer in the environment; that program runs the writer while its static
// objects are made, and ends before any test starts.

// A writer's work: its index among the writers and the file it writes; what it returns is its
// process's exit status.
using WriterBody = int (*)(int index, const std::string& file);

constexpr const char* kWriterVariable = "DRAVLIN_HISTORY_WRITER";  // "NAME|INDEX|FILE"

// Defined at namespace scope, once per writer.
struct Writer {
    Writer(const char* writer_name, WriterBody writer_body) : name(writer_name), body(writer_body)
    {
        const char* v = std::getenv(kWriterVariable);
        if (!v)
            return;
        const std::string value = v;
        const size_t a = value.find('|');
        const size_t b = a == std::string::npos ? a : value.find('|', a + 1);
        if (b == std::string::npos || value.compare(0, a, name) != 0)
            return;
        std::fflush(stdout);
        const int status = body(std::atoi(value.c_str() + a + 1), value.substr(b + 1));
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }

    const char* name;
    WriterBody body;
};

inline std::string this_program()
{
#ifdef _WIN32
    char path[4 * MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
#else
    return "/proc/self/exe";
#endif
}

// Starts writer number `index` of `w` on `file`, its output in out_path and err_path.
inline bool start_writer(test_common::ChildProcess& child, const Writer& w, int index, const std::string& file,
                         const std::string& out_path, const std::string& err_path)
{
    ScopedEnv env(kWriterVariable, std::string(w.name) + "|" + std::to_string(index) + "|" + file);
    return child.start(this_program(), {}, out_path, err_path);
}

// Waits for a started writer to end by itself, polling; its status, -2 when it had not ended
// within the deadline (then it is ended).
inline int wait_writer(test_common::ChildProcess& child, std::chrono::seconds deadline = std::chrono::seconds(120))
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = -1;
    while (!child.ended(&status)) {
        if (std::chrono::steady_clock::now() > until) {
            child.kill_and_wait(&status);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

#ifndef _WIN32
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
#endif

inline std::vector<std::string> serials(const std::vector<history::JobRecord>& jobs)
{
    std::vector<std::string> out;
    for (const auto& j : jobs)
        out.push_back(j.serial);
    return out;
}

}  // namespace history_test

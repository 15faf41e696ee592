// End-to-end test fixture: a private network namespace made with scripts/netns-lab for each
// test, programs started inside it, and the namespace removed again when the test ends (also
// when it fails). Broadcasts made inside reach nothing outside.
//
// Tests derived from NetnsTest skip with a message when they cannot make a namespace (not root,
// no `ip netns`).
#pragma once

#include "json_lite.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {

inline std::string source_dir()
{
    const char* d = std::getenv("DRAVLIN_SOURCE_DIR");
    return d ? d : ".";
}

inline std::string lab_script() { return source_dir() + "/scripts/netns-lab"; }

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Why namespaces cannot be used here, or "" when they can.
inline std::string netns_unavailable()
{
    if (::geteuid() != 0)
        return "network namespaces need root (run as root, as CI does)";
    if (::access(lab_script().c_str(), X_OK) != 0)
        return "scripts/netns-lab not found at " + lab_script();
    if (std::system("ip netns list >/dev/null 2>&1") != 0)
        return "'ip netns' is not available (install iproute2)";
    return {};
}

template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 15000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

struct RunResult {
    int exit_code = -1;  // -1: did not finish in time (killed) or could not start
    std::string out;
    std::string err;
};

class NetnsLab {
public:
    // Creates the namespace with `devices` recorder addresses (10.77.1.1 upward).
    explicit NetnsLab(int devices = 0)
    {
        static std::atomic<int> counter{0};
        name_ = "drv-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        char tmpl[] = "/tmp/dravlin-e2e-XXXXXX";
        if (char* d = ::mkdtemp(tmpl))
            dir_ = d;
        std::string cmd = lab_script() + " up " + name_ + " " + std::to_string(devices) + " 2>" + dir_ + "/lab-up.err";
        up_ = !dir_.empty() && std::system(cmd.c_str()) == 0;
    }

    ~NetnsLab()
    {
        for (pid_t pid : background_)
            stop(pid);
        if (up_) {
            std::string cmd = lab_script() + " down " + name_ + " >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0)
                std::fprintf(stderr, "netns-lab down %s failed\n", name_.c_str());
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    bool up() const { return up_; }
    std::string up_error() const { return read_file(dir_ + "/lab-up.err"); }
    const std::string& name() const { return name_; }
    // A scratch folder for this test (status files, outputs), removed with the lab.
    const std::string& dir() const { return dir_; }

    // Starts argv inside the namespace in the background; output goes to files in dir(). nice:
    // the program's nice value (below 0 only as root, which the namespace needs anyway).
    pid_t spawn(const std::vector<std::string>& argv, const std::string& tag, int nice = 0)
    {
        pid_t pid = start(argv, dir_ + "/" + tag + ".out", dir_ + "/" + tag + ".err", nice);
        if (pid > 0)
            background_.push_back(pid);
        return pid;
    }

    // Runs argv inside the namespace to its end (killed after timeout_ms).
    RunResult run(const std::vector<std::string>& argv, int timeout_ms = 60000)
    {
        static std::atomic<int> counter{0};
        std::string base = dir_ + "/run" + std::to_string(counter++);
        RunResult r;
        pid_t pid = start(argv, base + ".out", base + ".err");
        if (pid > 0)
            r.exit_code = wait_exit(pid, timeout_ms);
        r.out = read_file(base + ".out");
        r.err = read_file(base + ".err");
        return r;
    }

    // Waits for a background process to end by itself; its exit code or -1.
    int wait_exit(pid_t pid, int timeout_ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                forget(pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (r < 0)
                return -1;
            if (std::chrono::steady_clock::now() >= end) {
                stop(pid);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // SIGTERM, then SIGKILL if it does not end within 5 s.
    void stop(pid_t pid)
    {
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                forget(pid);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        forget(pid);
    }

    // Runs fn on the calling thread inside the namespace, then returns to the original one.
    // Sockets fn creates stay in the namespace. false when the switch failed.
    bool inside(const std::function<void()>& fn)
    {
        int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int lab = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = home >= 0 && lab >= 0 && ::setns(lab, CLONE_NEWNET) == 0;
        if (ok) {
            fn();
            if (::setns(home, CLONE_NEWNET) != 0) {
                std::fprintf(stderr, "cannot return to the original network namespace\n");
                std::abort();  // never go on running tests inside the lab's namespace
            }
        }
        if (home >= 0)
            ::close(home);
        if (lab >= 0)
            ::close(lab);
        return ok;
    }

private:
    pid_t start(const std::vector<std::string>& argv, const std::string& out, const std::string& err, int nice = 0)
    {
        std::vector<std::string> full = {lab_script(), "exec", name_};
        full.insert(full.end(), argv.begin(), argv.end());
        pid_t pid = ::fork();
        if (pid == 0) {
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int n = ::open("/dev/null", O_RDONLY);
            if (o < 0 || e < 0 || n < 0)
                ::_exit(127);
            ::dup2(n, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (nice != 0)
                (void)::setpriority(PRIO_PROCESS, 0, nice);  // refused without root: the usual priority
            std::vector<char*> args;
            for (auto& a : full)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        return pid;
    }

    void forget(pid_t pid)
    {
        for (auto it = background_.begin(); it != background_.end(); ++it) {
            if (*it == pid) {
                background_.erase(it);
                return;
            }
        }
    }

    std::string name_;
    std::string dir_;
    bool up_ = false;
    std::vector<pid_t> background_;
};

class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = netns_unavailable();
        if (!why.empty())
            GTEST_SKIP() << "end-to-end test skipped: " << why;
    }
};

// Reads a JSON file written by rename (whole or not at all). false while it is missing.
inline bool read_json_file(const std::string& path, Json* out)
{
    std::string text = read_file(path);
    if (text.empty())
        return false;
    *out = Json();
    return parse_json(text, out);
}

}  // namespace e2e

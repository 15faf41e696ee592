#include "cli/interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <thread>
#endif

namespace dravlinctl {

namespace {

std::mutex g_mu;
bool g_scoped = false;  // under g_mu
std::function<void()> g_on_signal;
std::atomic<int> g_signal{0};

// What a signal does now: true when a scope took it (the first one).
bool take_signal(int sig)
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_scoped)
        return false;
    if (g_signal.load() != 0) {
        std::fprintf(stderr, "dravlinctl: stopped at once\n");
        std::fflush(stderr);
        std::_Exit(128 + sig);
    }
    g_signal.store(sig);
    std::fprintf(stderr,
                 "dravlinctl: stopping: no more recorders are started, those under way end their current "
                 "request (a second signal ends at once)\n");
    std::fflush(stderr);
    if (g_on_signal)
        g_on_signal();
    return true;
}

#ifdef _WIN32

BOOL WINAPI on_console_event(DWORD type)
{
    const int sig = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    // Not taken: the system's default ends the process.
    return take_signal(sig) ? TRUE : FALSE;
}

#else

// Ends the process as the signal itself would have.
[[noreturn]] void die_of(int sig)
{
    std::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    std::raise(sig);
    std::_Exit(128 + sig);
}

void watch(sigset_t set)
{
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        if (!take_signal(sig))
            die_of(sig);
    }
}

#endif

}  // namespace

void start_interrupt_watch()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked here, so in every thread started from now on; only the watcher takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread(watch, set).detach();
    } catch (...) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // no watcher: the signals act as always
    }
#endif
}

int interrupt_signal() { return g_signal.load(); }

InterruptScope::InterruptScope(std::function<void()> on_signal)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_scoped = true;
    g_on_signal = std::move(on_signal);
}

InterruptScope::~InterruptScope()
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_scoped = false;
    g_on_signal = nullptr;
}

void InterruptScope::set(std::function<void()> on_signal)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_on_signal = std::move(on_signal);
}

}  // namespace dravlinctl

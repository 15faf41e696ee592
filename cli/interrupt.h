// SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and closing the console window on Windows). A command
// on the fleet runner ends in order on the first one: it starts no more recorders, lets those
// under way end their current request, logs every link out, prints its summary and writes its
// report, then exits with 128 + the signal. Every other command ends at once, as the signal
// would end it, and so does a second signal anywhere.
#pragma once

#include <functional>

namespace dravlinctl {

// First thing in main, before any thread starts: the two signals are taken by a watcher thread
// of their own (no handler runs inside an interrupted thread), and a reader that closes
// standard output early (`dravlinctl ... | head`) no longer ends the tool with SIGPIPE.
void start_interrupt_watch();

// The signal that asked for a stop, or 0.
int interrupt_signal();

// While a scope lives, the first signal calls on_signal (on the watcher's thread, with the
// scope's lock held: quick, thread-safe work only, e.g. Runner::request_interrupt) instead of
// ending the process. Scopes do not nest.
class InterruptScope {
public:
    explicit InterruptScope(std::function<void()> on_signal = nullptr);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    // What the next first signal calls (null: only interrupt_signal() tells).
    void set(std::function<void()> on_signal);
};

}  // namespace dravlinctl

// The monotonic clock and the wall clock with microseconds, shared by the log time stamps,
// the link timers and the search resend.
#pragma once

#include <cstdint>

struct MonoTime {
    int64_t sec;
    int64_t usec;
};

struct WallTime {
    int64_t sec;  // seconds since 1970-01-01 UTC
    int64_t usec;
};

// Seconds and microseconds elapsed since the clock's first use in this process.
MonoTime monotonic_now();

// monotonic_now() as milliseconds: sec * 1000 + usec / 1000.
uint64_t get_tick_ms();

// Calendar time tied to the monotonic clock on first use and extrapolated from it after,
// so that readings never step backwards when the system clock is adjusted.
WallTime wall_clock_now();

// Test seam: moves the monotonic clock (and so the wall clock) forward by ms for the whole
// process. Lets tests cover timers of tens of seconds without waiting for them.
void clock_advance_for_test(uint64_t ms);
// Called after every such move, so that threads sleeping until a time of this clock look
// again (the link threads register it). One slot; nullptr clears it.
using ClockAdvanceHook = void (*)();
void clock_set_advance_hook(ClockAdvanceHook hook);

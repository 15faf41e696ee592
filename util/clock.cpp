#include "util/clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace {

using steady = std::chrono::steady_clock;

std::atomic<int64_t> g_test_offset_us{0};
std::atomic<ClockAdvanceHook> g_advance_hook{nullptr};

steady::time_point origin()
{
    static const steady::time_point t0 = steady::now();
    return t0;
}

int64_t elapsed_us()
{
    auto d = steady::now() - origin();
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count() +
        g_test_offset_us.load(std::memory_order_relaxed);
}

struct WallAnchor {
    int64_t wall_us;     // calendar time at the anchor, microseconds since the epoch
    int64_t elapsed_us;  // monotonic reading at the anchor
};

const WallAnchor& wall_anchor()
{
    static const WallAnchor anchor = [] {
        int64_t mono = elapsed_us();
        auto now = std::chrono::system_clock::now().time_since_epoch();
        // Tied at millisecond precision, like the calendar source it stands for.
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        return WallAnchor{ms * 1000, mono};
    }();
    return anchor;
}

}  // namespace

MonoTime monotonic_now()
{
    int64_t us = elapsed_us();
    return MonoTime{us / 1000000, us % 1000000};
}

uint64_t get_tick_ms()
{
    MonoTime t = monotonic_now();
    return static_cast<uint64_t>(t.sec) * 1000u + static_cast<uint64_t>(t.usec) / 1000u;
}

WallTime wall_clock_now()
{
    const WallAnchor& a = wall_anchor();
    int64_t us = a.wall_us + (elapsed_us() - a.elapsed_us);
    return WallTime{us / 1000000, us % 1000000};
}

void clock_advance_for_test(uint64_t ms)
{
    origin();
    g_test_offset_us.fetch_add(static_cast<int64_t>(ms) * 1000, std::memory_order_relaxed);
    if (ClockAdvanceHook hook = g_advance_hook.load(std::memory_order_acquire))
        hook();
}

void clock_set_advance_hook(ClockAdvanceHook hook) { g_advance_hook.store(hook, std::memory_order_release); }

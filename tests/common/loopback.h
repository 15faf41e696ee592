// Pieces every loopback suite needs: polling for a condition with a deadline (never a fixed
// sleep), and TCP listeners on 127.0.0.1 on a port the kernel picks (loopback_listener, in
// common/test_os.h with the rest of the system calls).
#pragma once

#include "common/test_os.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace test_common {

// True as soon as pred() holds; pred() once more at the deadline.
template <class Pred>
bool wait_until(Pred pred, int timeout_ms, int step_ms = 2)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return pred();
}

}  // namespace test_common

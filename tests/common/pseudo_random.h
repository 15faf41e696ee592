// Reproducible test bytes: the same seed gives the same n bytes on every run and machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_common {

inline std::string pseudo_random(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed | 1;  // xorshift32 would stay at 0
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

}  // namespace test_common

// Captures the diagnostic log through the sink for the duration of a test.
#pragma once

#include "util/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace link_test {

inline std::mutex& log_mutex()
{
    static std::mutex mu;
    return mu;
}

inline std::vector<std::string>& log_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline void capture_sink(int, const char* text)
{
    std::lock_guard<std::mutex> lk(log_mutex());
    log_lines().emplace_back(text);
}

struct LogCapture : ::testing::Test {
    void SetUp() override
    {
        clear_log();
        log_set_sink(capture_sink);
    }
    void TearDown() override { log_set_sink(nullptr); }

    static void clear_log()
    {
        std::lock_guard<std::mutex> lk(log_mutex());
        log_lines().clear();
    }
    static std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> lk(log_mutex());
        return log_lines();
    }
    static bool logged(const std::string& line)
    {
        auto l = lines();
        return std::find(l.begin(), l.end(), line) != l.end();
    }
    static bool logged_prefix(const std::string& prefix)
    {
        for (const auto& l : lines())
            if (l.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }
};

}  // namespace link_test

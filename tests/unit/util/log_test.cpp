#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace {

std::mutex g_mu;
std::vector<std::pair<int, std::string>> g_lines;

void capture(int level, const char* text)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_lines.emplace_back(level, text);
}

struct LogCapture : ::testing::Test {
    void SetUp() override
    {
        g_lines.clear();
        log_set_sink(capture);
    }
    void TearDown() override { log_set_sink(nullptr); }
};

TEST_F(LogCapture, LevelsReachTheSinkUnchanged)
{
    log_print("a %d\n", 1);
    log_print_info("b %s", "\xC9\xE8\xB1\xB8");  // GB2312 bytes pass through
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], std::make_pair(0, std::string("a 1\n")));
    EXPECT_EQ(g_lines[1], std::make_pair(1, std::string("b \xC9\xE8\xB1\xB8")));
}

TEST_F(LogCapture, LongTextIsCutTo1499Characters)
{
    std::string big(3000, 'x');
    log_print("%s", big.c_str());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second.size(), 1499u);
}

TEST_F(LogCapture, NoSinkMeansNoEffect)
{
    log_set_sink(nullptr);
    log_print("nothing %d", 1);
    log_step("ipc_thread", 1, 3);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(LogCapture, LastErrorNamesCodeAndText)
{
    errno = ENOENT;
    log_last_error("f.cpp", 12, "open");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second, "[f.cpp-12]open, error(2): No such file or directory\n");
}

TEST_F(LogCapture, StepLineLayout)
{
    log_step("ipc_thread", 7, 3);
    ASSERT_EQ(g_lines.size(), 1u);
    std::regex re(R"(^\[3\]\[ipc_thread\]\[7\]\d{8} \d{2}:\d{2}:\d{2}\[\d+\]\n$)");
    EXPECT_TRUE(std::regex_match(g_lines[0].second, re)) << g_lines[0].second;
}

std::string g_console;

TEST(ConsolePrint, AppendsCrLfAndLeavesThroughTheConsoleSink)
{
    testing::internal::CaptureStdout();
    console_print("abc");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "abc\r\n");

    // A program that keeps standard output for its results points the console elsewhere.
    log_set_console_sink([](const char* text, size_t len) { g_console.append(text, len); });
    testing::internal::CaptureStdout();
    console_print("abc");
    console_text("x=%d\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    log_set_console_sink(nullptr);
    EXPECT_EQ(g_console, "abc\r\nx=5\n");
}

TEST(Clock, MonotonicAndTestAdvance)
{
    uint64_t a = get_tick_ms();
    WallTime w1 = wall_clock_now();
    clock_advance_for_test(60000);
    uint64_t b = get_tick_ms();
    WallTime w2 = wall_clock_now();
    EXPECT_GE(b - a, 60000u);
    EXPECT_GE(w2.sec - w1.sec, 59);
    EXPECT_GE(w1.usec, 0);
    EXPECT_LT(w1.usec, 1000000);
}

TEST(FixedStr, BoundedByWidthWithoutTerminator)
{
    char field[4];
    fixed_copy(field, "abcdef");
    EXPECT_EQ(fixed_view(field), "abcd");
    fixed_copy(field, "ab");
    EXPECT_EQ(fixed_view(field), "ab");
    EXPECT_EQ(field[3], '\0');
    EXPECT_TRUE(fixed_equals(field, "ab"));
}

}  // namespace

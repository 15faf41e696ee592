// The clock broadcast thread, its message and its start/stop rules, over loopback.
#include "discovery/search.h"
#include "discovery/sendtime.h"
#include "helpers.h"

#include <atomic>
#include <cstdio>
#include <thread>

using dtest::FakeDevice;

class SendtimeTest : public dtest::LogTest {
protected:
    void TearDown() override
    {
        stopSendtime();
        dtest::LogTest::TearDown();
    }
};

TEST(SendtimeBody, HasNoZeroPaddingAndNoZone)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    char buf[256];
    FormatTimeBody(t, buf, sizeof buf);
    EXPECT_STREQ(buf, "<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\"2026-3-5 7:8:9\"> </TimeConfig>");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 59;
    FormatTimeBody(t, buf, sizeof buf);
    EXPECT_STREQ(buf,
                 "<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\"2026-12-31 23:59:59\"> </TimeConfig>");
}

TEST_F(SendtimeTest, OneDatagramPerWallClockSecond)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startSendtime(), 1);
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"101\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
        "<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\"";
    const std::string tail = "\"> </TimeConfig>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    std::vector<long> seconds;
    for (int i = 0; i < 3; ++i) {
        std::string text;
        ASSERT_TRUE(dev.receive(&text, nullptr, 5000));
        ASSERT_GT(text.size(), head.size() + tail.size()) << text;
        ASSERT_EQ(text.substr(0, head.size()), head) << text;
        ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
        std::string stamp = text.substr(head.size(), text.size() - head.size() - tail.size());
        std::tm t{};
        ASSERT_EQ(std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                              &t.tm_min, &t.tm_sec),
                  6)
            << stamp;
        char again[64];
        std::snprintf(again, sizeof again, "%d-%d-%d %d:%d:%d", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                      t.tm_sec);
        EXPECT_EQ(stamp, again) << "zero padding or stray characters";
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        t.tm_isdst = -1;
        seconds.push_back(static_cast<long>(std::mktime(&t)));
    }
    // Each datagram is for the next second: none twice, none skipped while the thread ran.
    EXPECT_EQ(seconds[1], seconds[0] + 1);
    EXPECT_EQ(seconds[2], seconds[1] + 1);
}

TEST_F(SendtimeTest, SecondStartIsRefusedAndRestartLeavesOneThread)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startSendtime(), 1);
    EXPECT_EQ(startSendtime(), 0);
    EXPECT_EQ(dtest::count_logged("isSendtime is working...\n"), 1);
    EXPECT_EQ(stopSendtime(), 0);
    EXPECT_EQ(dtest::count_logged("wait SendtimeThread ...out\n"), 1);
    EXPECT_EQ(stopSendtime(), 0);  // nothing runs: no second wait line
    EXPECT_EQ(dtest::count_logged("wait SendtimeThread ...out\n"), 1);
    EXPECT_EQ(startSendtime(), 1);
    EXPECT_EQ(stopSendtime(), 0);
    EXPECT_EQ(dtest::count_logged("wait SendtimeThread ...out\n"), 2);
}

// Start and stop of both workers from several threads at once: one start wins, the others get
// 0; nothing terminates and no worker thread is left behind once stopped.
TEST_F(SendtimeTest, StartAndStopFromSeveralThreadsAtOnceTakeTurns)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    struct Worker {
        const char* name;
        int (*start)();
        int (*stop)();
    } const workers[] = {{"clock", startSendtime, stopSendtime}, {"search", startsearchipc, stopsearchipc}};
    int probe = udp_bind(0, 0, false);  // a search port of this process's own
    searchipc_set_first_port_for_test(sock_local_port(probe));
    sock_close(probe);
    // The baseline after one plain start and stop of each and after the first race: a
    // sanitizer's runtime may start a thread of its own with the first thread created, Wine's
    // the first time threads contend. A thread left behind by a race shows in the next rounds.
    for (const Worker& w : workers) {
        ASSERT_EQ(w.start(), 1);
        w.stop();
    }
    int baseline = -1;
    for (const Worker& w : workers) {
        SCOPED_TRACE(w.name);
        // Two starters race; a third caller stops while they start.
        for (int round = 0; round < 40; ++round) {
            std::atomic<int> ready{0};
            int results[3] = {-9, -9, -9};
            auto run = [&](int who) {
                ++ready;
                while (ready.load() < 3) { }
                for (int k = 0; k < 20; ++k)
                    results[who] = who == 2 ? w.stop() : w.start();
            };
            std::thread a(run, 0), b(run, 1), c(run, 2);
            a.join();
            b.join();
            c.join();
            EXPECT_GE(results[0], 0);
            EXPECT_GE(results[1], 0);
            w.stop();
            // Idle again: the next start is a fresh one, and one start wins a race.
            int first = -9, second = -9;
            ready = 0;
            auto starter = [&](int* out) {
                ++ready;
                while (ready.load() < 2) { }
                *out = w.start();
            };
            std::thread s1(starter, &first), s2(starter, &second);
            s1.join();
            s2.join();
            EXPECT_EQ(first + second, 1) << "one start wins, the other is told it runs";
            w.stop();
            if (baseline < 0)
                baseline = test_common::thread_count();
        }
    }
    EXPECT_TRUE(dtest::wait_for([&] { return test_common::thread_count() == baseline; }))
        << test_common::thread_count() << " vs " << baseline;
    searchipc_set_first_port_for_test(0);
}

// Talk and broadcast talk against fake recorders on 127.0.0.1: start and stop requests, the
// switch between talk channels, the busy refusal sequence, the audio frame byte by byte, and
// the broadcast membership.
#include "link/requests.h"

#include "link_harness.h"
#include "common/log_capture.h"
#include "util/clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace link_test;

namespace {

const char* const kStartBody =
    "<RA_START_PARAM\nAudioForamt=\"G711\"\nChannels=\"1\"\nSampleRate=\"8000\"\nBitrate=\"64000\"\n"
    "RTPSendPort=\"0\"\nConnectType=\"1\"\n/>";
// The fake recorder's login answer carries Sessionid "abc123".
const char* const kStopBody = "<RA_STOP_PARAM\nSessionid=\"abc123\"\n/>\n";

const std::string kStart = request_frame("REVERSE_AUDIO_MESSAGE", "CMD_RA_START", kStartBody);
const std::string kStop = request_frame("REVERSE_AUDIO_MESSAGE", "CMD_RA_STOP", kStopBody);

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string marker(const char* code) { return request_frame("SYSTEM_CONTROL_MESSAGE", code, ""); }

struct Talk : LogCapture {
    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ASSERT_EQ(ipc_init(), 1);
    }
    void TearDown() override
    {
        ipc_logout_all();
        // The talk state is program-wide: leave it idle for the next test.
        if (ipc_talk_channel() >= 0)
            ipc_talk_stop(ipc_talk_channel());
        ipc_talkbroad_stop();
        rec().clear();
        LogCapture::TearDown();
    }

    static void set_hook(std::function<void(int, int)> hook)
    {
        std::lock_guard<std::mutex> lk(rec().mu);
        rec().hook = std::move(hook);
    }

    // Proves that d received nothing since its last frame taken.
    static void expect_nothing_sent(LinkedDevice& d, const std::string& what)
    {
        ASSERT_EQ(ipc_sys_Request1031(d.chanid()), 0) << what;
        EXPECT_EQ(d.next_frame(), marker("1031")) << what;
    }
};

TEST_F(Talk, AudioFrameByteByByte)
{
    LinkedDevice d(0);
    ASSERT_TRUE(d.login());
    EXPECT_EQ(ipc_talk_start(0), static_cast<int>(kStart.size()));
    EXPECT_EQ(d.next_frame(), kStart);
    EXPECT_EQ(ipc_talk_channel(), 0);

    const std::string text =
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"MEDIA_DATA_MESSAGE\"\nMsg_code=\"3\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\n"
        "StartPos=\"0\"\nDataLen=\"23\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>\n";
    ASSERT_EQ(text.size(), 208u);
    const unsigned char audio[3] = {0xA1, 0xB2, 0xC3};
    for (uint32_t n = 0; n < 2; ++n) {
        uint32_t before = static_cast<uint32_t>(get_tick_ms());
        EXPECT_EQ(ipc_talk_mediasend(audio, 3), 1);
        uint32_t after = static_cast<uint32_t>(get_tick_ms());
        std::string f = d.next_frame();
        ASSERT_EQ(f.size(), 8u + 208u + 4u + 20u + 3u);
        EXPECT_EQ(f.substr(0, 8), std::string("\x58\x91\x58\x51\xEB\x00\x00\x00", 8));  // 208 + 3 + 24
        EXPECT_EQ(f.substr(8, 208), text);
        const unsigned char* m = reinterpret_cast<const unsigned char*>(f.data()) + 8 + 208;
        EXPECT_EQ(le32(m), 0u);  // four zero bytes
        uint32_t stamp = le32(m + 4);
        EXPECT_EQ(le32(m + 8), stamp);
        EXPECT_LE(stamp - before, after - before);
        EXPECT_EQ(le16(m + 12), n);   // sequence number
        EXPECT_EQ(le16(m + 14), 3u);  // audio length
        EXPECT_EQ(m[16], 17);
        EXPECT_EQ(m[17], 1);
        EXPECT_EQ(m[18], 1);
        EXPECT_EQ(m[19], 1);
        EXPECT_EQ(le32(m + 20), n);  // frame counter
        EXPECT_EQ(std::memcmp(m + 24, audio, 3), 0);
    }

    // Blocks above the fixed buffer (1200 bytes) and up to the 16-bit length field; a new talk
    // starts counting again.
    EXPECT_EQ(ipc_talk_start(0), static_cast<int>(kStart.size()));
    EXPECT_EQ(d.next_frame(), kStop);
    EXPECT_EQ(d.next_frame(), kStart);
    uint16_t seq = 0;
    for (int len : {1200, 1201, 4000, 65535}) {
        std::vector<unsigned char> block(static_cast<size_t>(len));
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<unsigned char>(i * 13 + 1);
        EXPECT_EQ(ipc_talk_mediasend(block.data(), len), 1) << len;
        std::string f = d.next_frame();
        std::string datalen = "DataLen=\"" + std::to_string(len + 20) + "\"";
        size_t t = f.find("</XML_MORVEK>\n");
        ASSERT_NE(t, std::string::npos) << len;
        t += 14 - 8;  // text length
        ASSERT_EQ(f.size(), 8 + t + 24 + static_cast<size_t>(len)) << len;
        EXPECT_EQ(le32(reinterpret_cast<const unsigned char*>(f.data()) + 4), t + len + 24) << len;
        EXPECT_NE(f.find(datalen), std::string::npos) << len;
        const unsigned char* m = reinterpret_cast<const unsigned char*>(f.data()) + 8 + t;
        EXPECT_EQ(le16(m + 12), seq++) << len;
        EXPECT_EQ(le16(m + 14), static_cast<uint16_t>(len)) << len;
        EXPECT_EQ(std::memcmp(m + 24, block.data(), block.size()), 0) << len;
    }

    // A block the 16-bit length cannot describe, or none at all, is refused.
    std::vector<unsigned char> huge(65536);
    for (int len : {65536, 0, -1}) {
        clear_log();
        EXPECT_EQ(ipc_talk_mediasend(huge.data(), len), -1) << len;
        EXPECT_TRUE(logged_prefix("ipc_talk_mediasend param fail")) << len;
    }
    EXPECT_EQ(ipc_talk_mediasend(nullptr, 3), -1);
    expect_nothing_sent(d, "refused audio");
}

TEST_F(Talk, RefusalsOfATalkStart)
{
    LinkedDevice d(0);
    ASSERT_TRUE(d.login());
    struct Case {
        const char* flag;
        std::vector<int> events;
        std::string text;  // of the first event when there are two
        std::vector<std::string> frames;
    };
    const std::vector<Case> cases = {
        {"-1",
         {35, 7},
         "127.0.0.1 StartAudio not allowed,for device is busy!",
         {marker("1002"), kStop, marker("1025")}},
        {"-2", {36, 7}, "127.0.0.1 StartAudio not allowed for audio param error!", {marker("1025")}},
        {"-3", {37, 7}, "127.0.0.1 StartAudio not allow for device's audio disabled!", {marker("1025")}},
        {"-9", {7}, "", {marker("1025")}},
    };
    for (const auto& c : cases) {
        std::string f;
        EXPECT_GT(ipc_talk_start(0), 0) << c.flag;
        f = d.next_frame();
        if (f == kStop)  // the previous refusal left the talk channel set
            f = d.next_frame();
        EXPECT_EQ(f, kStart) << c.flag;
        rec().clear();
        // Markers sent from inside the event callback pin down where the stop request falls
        // among the events: all travel on the same stream in the order they were written.
        set_hook([](int chanid, int code) {
            if (code == IPC_EVENT_TALK_BUSY)
                ipc_sys_Request1002(chanid);
            else if (code == IPC_EVENT_TALK_FAIL)
                ipc_sys_Request1025(chanid);
        });
        ASSERT_TRUE(d.answer_with(answer("REVERSE_AUDIO_MESSAGE", "CMD_RA_START", c.flag, "")));
        ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_TALK_FAIL) == 1; })) << c.flag;
        auto events = rec().all();
        std::vector<int> codes;
        for (const auto& e : events)
            codes.push_back(e.code);
        EXPECT_EQ(codes, c.events) << c.flag;
        if (events.size() == 2) {
            EXPECT_EQ(events[0].data, c.text) << c.flag;
        }
        EXPECT_EQ(events.back().data, "") << c.flag;
        for (const auto& expected : c.frames)
            EXPECT_EQ(d.next_frame(), expected) << c.flag;
        if (std::string(c.flag) == "-1") {
            EXPECT_EQ(ipc_talk_channel(), -1);
        }
    }
    set_hook(nullptr);
    expect_nothing_sent(d, "after the refusals");
}

TEST_F(Talk, StartingAnotherTalkStopsTheCurrentOne)
{
    LinkedDevice d1(1), d2(2);
    ASSERT_TRUE(d1.login());
    ASSERT_TRUE(d2.login());
    EXPECT_GT(ipc_talk_start(1), 0);
    EXPECT_EQ(d1.next_frame(), kStart);
    EXPECT_GT(ipc_talk_start(2), 0);
    EXPECT_EQ(d1.next_frame(), kStop);
    EXPECT_EQ(d2.next_frame(), kStart);
    EXPECT_EQ(ipc_talk_channel(), 2);

    // Audio goes to the talk channel only.
    const unsigned char audio[4] = {1, 2, 3, 4};
    EXPECT_EQ(ipc_talk_mediasend(audio, 4), 1);
    EXPECT_NE(d2.next_frame().find("Msg_type=\"MEDIA_DATA_MESSAGE\""), std::string::npos);
    expect_nothing_sent(d1, "audio of another channel");

    // A late busy refusal of entry 1's old start stops entry 1 again, but the talk on entry 2
    // goes on.
    ASSERT_TRUE(d1.answer_with(answer("REVERSE_AUDIO_MESSAGE", "CMD_RA_START", "-1", "")));
    ASSERT_TRUE(wait_until([] { return rec().count(1, IPC_EVENT_TALK_FAIL) == 1; }));
    EXPECT_EQ(d1.next_frame(), kStop);
    EXPECT_EQ(ipc_talk_channel(), 2);
    EXPECT_EQ(ipc_talk_mediasend(audio, 4), 1);
    EXPECT_NE(d2.next_frame().find("Msg_type=\"MEDIA_DATA_MESSAGE\""), std::string::npos);

    EXPECT_GT(ipc_talk_stop(2), 0);
    EXPECT_EQ(d2.next_frame(), kStop);
    EXPECT_EQ(ipc_talk_channel(), -1);
    clear_log();
    EXPECT_EQ(ipc_talk_mediasend(audio, 4), -1);
    EXPECT_TRUE(logged("Bug! ipc_talk_mediasend :talkchan(-1),isbroading(0)\n "));
    EXPECT_TRUE(logged("<ipc_talk_mediasend> fail, chanid:-1, max:64\n"));
    expect_nothing_sent(d2, "audio without talk");
}

TEST_F(Talk, Broadcast)
{
    LinkedDevice d1(1), d2(2), d3(3);
    ASSERT_TRUE(d1.login());
    ASSERT_TRUE(d2.login());
    ASSERT_TRUE(d3.login());
    EXPECT_GT(ipc_talk_start(1), 0);
    EXPECT_EQ(d1.next_frame(), kStart);
    const unsigned char audio[2] = {9, 8};
    EXPECT_EQ(ipc_talk_mediasend(audio, 2), 1);  // sequence 0 on the single talk
    d1.next_frame();

    EXPECT_EQ(ipc_talkbroad_start(), 1);
    EXPECT_EQ(d1.next_frame(), kStop);
    EXPECT_EQ(d1.next_frame(), kStart);
    EXPECT_EQ(d2.next_frame(), kStart);
    EXPECT_EQ(d3.next_frame(), kStart);
    EXPECT_TRUE(ipc_talk_broadcasting());
    EXPECT_EQ(ipc_talk_channel(), -1);
    for (int ch : {1, 2, 3})
        EXPECT_TRUE(ipc_talk_member(ch)) << ch;

    clear_log();
    EXPECT_EQ(ipc_talk_start(3), -1);
    EXPECT_TRUE(logged("ipc_talk_start is now broadcast, can't talk\n"));
    EXPECT_EQ(ipc_talkbroad_start(), 1);  // everybody is a member already: nothing sent

    // One frame, the same bytes to every member, counting from 0 again.
    EXPECT_EQ(ipc_talk_mediasend(audio, 2), 1);
    std::string f1 = d1.next_frame();
    EXPECT_EQ(d2.next_frame(), f1);
    EXPECT_EQ(d3.next_frame(), f1);
    ASSERT_EQ(f1.size(), 8u + 208u + 24u + 2u);
    EXPECT_EQ(le16(reinterpret_cast<const unsigned char*>(f1.data()) + 8 + 208 + 12), 0u);

    EXPECT_GT(ipc_talkbroad_remove(2), 0);
    EXPECT_EQ(d2.next_frame(), kStop);
    EXPECT_FALSE(ipc_talk_member(2));
    EXPECT_EQ(ipc_talk_mediasend(audio, 2), 1);
    EXPECT_EQ(d1.next_frame(), d3.next_frame());
    expect_nothing_sent(d2, "audio after removal");

    EXPECT_EQ(ipc_talkbroad_stop(), 1);
    EXPECT_EQ(d1.next_frame(), kStop);
    EXPECT_EQ(d3.next_frame(), kStop);
    expect_nothing_sent(d2, "broadcast stop of a non-member");
    EXPECT_FALSE(ipc_talk_broadcasting());
    for (int ch : {1, 2, 3})
        EXPECT_FALSE(ipc_talk_member(ch)) << ch;
}

TEST_F(Talk, BroadcastMembership)
{
    LinkedDevice d1(1), d2(2);
    ASSERT_TRUE(d1.login());
    ASSERT_TRUE(d2.login());

    // An entry without a link does not join.
    EXPECT_EQ(ipc_talkbroad_add(5), -1);
    EXPECT_FALSE(ipc_talk_member(5));
    EXPECT_FALSE(ipc_talk_broadcasting());

    EXPECT_EQ(ipc_talkbroad_start(), 1);
    EXPECT_EQ(d1.next_frame(), kStart);
    EXPECT_EQ(d2.next_frame(), kStart);

    // A member that logged out leaves the broadcast at its stop, so that the next broadcast
    // asks it to start again once it is back.
    ASSERT_EQ(ipc_logout(2), 1);
    EXPECT_EQ(ipc_talkbroad_stop(), 1);
    EXPECT_EQ(d1.next_frame(), kStop);
    EXPECT_FALSE(ipc_talk_member(2));
    ASSERT_TRUE(d2.login());
    EXPECT_EQ(ipc_talkbroad_start(), 1);
    EXPECT_EQ(d1.next_frame(), kStart);
    EXPECT_EQ(d2.next_frame(), kStart);
    EXPECT_TRUE(ipc_talk_member(2));

    // Both modes at once is a caller's bug: logged, and the audio follows the broadcast.
    EXPECT_EQ(ipc_talkbroad_remove(1), static_cast<int>(kStop.size()));
    EXPECT_EQ(d1.next_frame(), kStop);
    ipc_talkbroad_stop();
    EXPECT_EQ(d2.next_frame(), kStop);
    EXPECT_GT(ipc_talk_start(1), 0);
    EXPECT_EQ(d1.next_frame(), kStart);
    EXPECT_GT(ipc_talkbroad_add(2), 0);
    EXPECT_EQ(d2.next_frame(), kStart);
    clear_log();
    const unsigned char audio[1] = {7};
    EXPECT_EQ(ipc_talk_mediasend(audio, 1), 1);
    EXPECT_TRUE(logged("Bug! ipc_talk_mediasend :talkchan(1),isbroading(1)\n "));
    EXPECT_NE(d2.next_frame().find("MEDIA_DATA_MESSAGE"), std::string::npos);
    expect_nothing_sent(d1, "audio while both modes are on");
}

}  // namespace

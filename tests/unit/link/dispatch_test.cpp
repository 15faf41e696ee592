// The message handler and the frame reader against byte-exact inputs, out-of-range numbers
// and frames that stall midway.
#include "link/context.h"
#include "proto/envelope.h"

#include "link_harness.h"
#include "common/log_capture.h"
#include "util/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

using namespace link_test;

namespace {

struct Dispatch : LogCapture {
    IpcLinkContext ctx;
    int user = 0;

    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ctx.chanid = 7;
        std::strcpy(ctx.address, "10.77.1.9");
        ctx.evcb = on_event;
        ctx.auxcb = on_aux;
        ctx.userdata.store(&user);
        ctx.running.store(1);
    }

    int deal(const std::string& text) { return ipcdealmsg(text.c_str(), &ctx, static_cast<int>(text.size())); }

    static int32_t int_of(const Event& e)
    {
        int32_t v = 0;
        EXPECT_EQ(e.data.size(), 4u);
        if (e.data.size() == 4)
            std::memcpy(&v, e.data.data(), 4);
        return v;
    }
};

TEST_F(Dispatch, HeartbeatsAreSilent)
{
    for (const char* type : {"MVK_HEARTBEAT_MESSAGE", "AUXPTZ_HEARTBEAT_MESSAGE"}) {
        EXPECT_EQ(deal(answer(type, "CMD_HEARTBEAT", "0", "")), 1);
    }
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(rec().all().empty());
}

TEST_F(Dispatch, ControlAnswersBecomeEvents)
{
    struct Case {
        const char* code;
        const char* flag;
        int event;
        int32_t value;
    } cases[] = {
        {"1007", "-1", IPC_EVENT_REBOOT, -1},
        {"1007", "0", IPC_EVENT_REBOOT, 0},
        {"1006", "2", IPC_EVENT_CHANADD_MODE, 2},
        {"3026", "0", IPC_EVENT_BUZZER, 0},
        {"1004", "-7", IPC_EVENT_UPLOAD_RESULT, 5},
        {"1004", "0", IPC_EVENT_UPLOAD_RESULT, 0},
        {"1022", "-1", IPC_EVENT_UPLOAD_RESULT, 5},
        {"1022", "0", IPC_EVENT_UPLOAD_RESULT, 0},  // no upload pending: the device's verdict
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code + std::string(" flag ") + c.flag);
        rec().clear();
        EXPECT_EQ(deal(answer("SYSTEM_CONTROL_MESSAGE", c.code, c.flag, "<RESPONSE_PARAM/>")), 1);
        auto ev = rec().all();
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(ev[0].chanid, 7);
        EXPECT_EQ(ev[0].code, c.event);
        EXPECT_EQ(int_of(ev[0]), c.value);
        EXPECT_TRUE(rec().all_aux().empty());
    }
    // Codes the pages do not wait for produce nothing at all.
    rec().clear();
    for (const char* code : {"1009", "1023", "1024"})
        EXPECT_EQ(deal(answer("SYSTEM_CONTROL_MESSAGE", code, "0", "<R/>")), 1);
    EXPECT_TRUE(rec().all().empty());
    EXPECT_TRUE(rec().all_aux().empty());
}

// Header numbers and POS values are 32-bit: a value beyond that range must not wrap into
// another, meaningful one (a failure flag of 2^32 read as 0 = success, a code read as 1007).
TEST_F(Dispatch, OutOfRangeNumbersSaturateInsteadOfWrapping)
{
    struct Case {
        const char* code;
        const char* flag;
        int event;      // 0: delivered to the auxiliary-data callback instead
        int32_t value;  // event value, or the AuxDataInfo code
    } cases[] = {
        {"1004", "4294967296", IPC_EVENT_UPLOAD_RESULT, 5},  // a refused restore stays refused
        {"1004", "-4294967296", IPC_EVENT_UPLOAD_RESULT, 5},
        {"1022", "4294967296", IPC_EVENT_UPLOAD_RESULT, 5},  // a refused upload stays refused
        {"1007", "4294967295", IPC_EVENT_REBOOT, INT_MAX},
        {"1007", "-4294967297", IPC_EVENT_REBOOT, INT_MIN},
        {"4294968303", "0", 0, INT_MAX},  // not the reboot answer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code + std::string(" flag ") + c.flag);
        rec().clear();
        EXPECT_EQ(deal(answer("SYSTEM_CONTROL_MESSAGE", c.code, c.flag, "<RESPONSE_PARAM/>")), 1);
        auto ev = rec().all();
        auto aux = rec().all_aux();
        if (c.event) {
            ASSERT_EQ(ev.size(), 1u);
            EXPECT_EQ(ev[0].code, c.event);
            int32_t v = 0;
            ASSERT_EQ(ev[0].data.size(), 4u);
            std::memcpy(&v, ev[0].data.data(), 4);
            EXPECT_EQ(v, c.value);
        } else {
            EXPECT_TRUE(ev.empty());
            ASSERT_EQ(aux.size(), 1u);
            EXPECT_EQ(aux[0].code, c.value);
        }
    }

    // The PTZ event for a numeric code takes the low 24 bits of the saturated value.
    rec().clear();
    EXPECT_EQ(deal(answer("PTZ_CONTROL_MESSAGE", "4294967297", "0", "<P/>")), 1);
    auto ev = rec().all();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].code, INT_MAX & 0xFFFFFF);

    // A download chunk whose DataLen wraps to the bytes present, or whose StartPos wraps to
    // the expected offset, is not taken for a good one.
    int32_t start = 0, len = 0;
    EXPECT_EQ(
        GetPosParam("<MESSAGE_BODY><POS StartPos=\"4294967296\" DataLen=\"4294967396\"/></MESSAGE_BODY>", start, len),
        0);
    EXPECT_EQ(start, INT_MAX);
    EXPECT_EQ(len, INT_MAX);
    EXPECT_EQ(GetPosParam("<MESSAGE_BODY><POS StartPos=\"-4294967296\" DataLen=\"-1\"/></MESSAGE_BODY>", start, len),
              0);
    EXPECT_EQ(start, INT_MIN);
    EXPECT_EQ(len, -1);
}

TEST_F(Dispatch, OtherAnswersReachTheAuxCallbackWithTheBodyElement)
{
    struct Case {
        const char* type;
        const char* code;
        const char* flag;
        int icode;
        int iflag;
    } cases[] = {
        {"SYSTEM_CONTROL_MESSAGE", "1017", "-3", 1017, -3},
        {"SYSTEM_CONFIG_GET_MESSAGE", "3801", "0", 3801, 0},
        {"SYSTEM_CONFIG_SET_MESSAGE", "325", "1", 325, 1},
    };
    for (const auto& c : cases) {
        rec().clear();
        EXPECT_EQ(deal(answer(c.type, c.code, c.flag, "<DISK_INFO Name=\"\xB4\xC5\xC5\xCC\"/>")), 1);
        auto aux = rec().all_aux();
        ASSERT_EQ(aux.size(), 1u);
        EXPECT_EQ(aux[0].kind, IPC_AUX_RESPONSE);
        EXPECT_EQ(aux[0].data, "<MESSAGE_BODY>\n<DISK_INFO Name=\"\xB4\xC5\xC5\xCC\"/>\n</MESSAGE_BODY>");
        EXPECT_EQ(aux[0].msgtype, c.type);
        EXPECT_EQ(aux[0].code, c.icode);
        EXPECT_EQ(aux[0].flag, c.iflag);
        EXPECT_EQ(aux[0].userdata, &user);
    }
    // A control answer without a body is logged and dropped, the link stays.
    rec().clear();
    const std::string nobody = "<?xml version=\"1.0\" encoding=\"GB2312\" "
                               "?><XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"SYSTEM_CONTROL_MESSAGE\"\n"
                               "Msg_code=\"1017\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY/>\n</XML_MORVEK>";
    EXPECT_EQ(deal(nobody), 1);
    EXPECT_TRUE(rec().all_aux().empty());
    EXPECT_TRUE(logged_prefix("["));
}

TEST_F(Dispatch, LoginAnswers)
{
    EXPECT_EQ(deal(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", "<USER_AUTH_RESPONSE Sessionid=\"s-42\"/>")), 1);
    EXPECT_STREQ(ctx.sessionid, "s-42");
    EXPECT_EQ(deal(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "-1", "")), -1);
    EXPECT_EQ(deal(answer("USER_AUTH_MESSAGE", "CMD_OTHER", "0", "")), -1);
    EXPECT_TRUE(logged("USER_AUTH_MESSAGE:no deal msg code:CMD_OTHER\n"));
    // An identifier too long for its field is not stored cut; the login itself stands.
    EXPECT_EQ(deal(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0",
                          "<USER_AUTH_RESPONSE Sessionid=\"" + std::string(64, 'x') + "\"/>")),
              1);
    EXPECT_STREQ(ctx.sessionid, "");
}

TEST_F(Dispatch, BadEnvelopesAreRefused)
{
    EXPECT_EQ(deal("<XML_MORVEK><MESSAGE_HEADER Msg_type=\"T\" Msg_code=\"1\"/></XML_MORVEK>"), -1);
    EXPECT_TRUE(logged("GetMessageHeader(-7) failed, bad msg!\n"));
    EXPECT_TRUE(
        logged("bad msg\n<XML_MORVEK><MESSAGE_HEADER Msg_type=\"T\" Msg_code=\"1\"/></XML_MORVEK>\n==========\n"));
    EXPECT_EQ(deal(""), -1);
    EXPECT_EQ(ipcdealmsg(nullptr, &ctx, 0), -1);
    IpcLinkContext no_cb;
    EXPECT_EQ(ipcdealmsg("x", &no_cb, 1), -1);
    EXPECT_EQ(ipcdealresponse("<MESSAGE_BODY/>", nullptr, &ctx, 1, 0), -1);
    EXPECT_TRUE(rec().all().empty());
}

TEST_F(Dispatch, UnknownTypesStaySupportedQuietly)
{
    std::string text = answer("NEW_FANCY_MESSAGE", "1", "0", "");
    EXPECT_EQ(deal(text), 1);
    bool found = false;
    for (const auto& l : lines())
        found |= l.find("msg is not yet supported by far:" + text + " \n") != std::string::npos;
    EXPECT_TRUE(found);
    EXPECT_EQ(deal(answer("MEDIA_DATA_MESSAGE", "1", "0", "")), 1);
    EXPECT_TRUE(logged("not allow type 1 (upload data) from ipc"));
    EXPECT_EQ(deal(answer("REPLAY_CONTROL_MESSAGE", "0", "0", "")), 1);
    EXPECT_EQ(deal(answer("REVERSE_AUDIO_MESSAGE", "CMD_OTHER", "0", "")), 1);
    EXPECT_EQ(deal(answer("ALARM_REPORT_MESSAGE", "OTHER", "0", "<X/>")), 1);
    EXPECT_TRUE(rec().all().empty());
}

TEST_F(Dispatch, PtzAnswers)
{
    EXPECT_EQ(deal(answer("PTZ_CONTROL_MESSAGE", "PTZ_CMD", "0", "<PTZ_PARAM Cmd=\"Up\"/>")), 1);
    auto ev = rec().all();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].code, IPC_EVENT_PTZ_OK);
    EXPECT_EQ(ev[0].data, "10.77.1.9: send PTZ control command ok!");
    EXPECT_EQ(ev[1].code, IPC_EVENT_PTZ_ANSWER);
    EXPECT_EQ(ev[1].data, "\n<PTZ_PARAM Cmd=\"Up\"/>\n");

    rec().clear();
    EXPECT_EQ(deal(answer("PTZ_CONTROL_MESSAGE", "16777233", "0", "<P/>")), 1);  // 0x1000011
    ev = rec().all();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].code, 0x11);

    rec().clear();
    EXPECT_EQ(deal(answer("PTZ_CONTROL_MESSAGE", "PTZ_CMD", "-2", "")), 1);
    ev = rec().all();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].code, IPC_EVENT_PTZ_FAIL);
    EXPECT_EQ(ev[0].data, "10.77.1.9: ERR -2: PTZ control command failed!");
}

TEST_F(Dispatch, TalkAnswers)
{
    struct Case {
        const char* code;
        const char* flag;
        std::string body;
        std::vector<std::pair<int, std::string>> expected;
    } cases[] = {
        {"CMD_RA_START",
         "0",
         "<RA_START_RESPONSE RTPRecvPort=\"6000\" AudioCodec=\"AAC\" Samplerate=\"16000\"/>",
         {{6, "StartAudio OK, recv port=6000, audiotype=1, samplerate=16000, bits=16, channels=1,use same port=0"}}},
        {"CMD_RA_START", "0", "<OTHER/>", {{7, "10.77.1.9: startaudio ERROR,get audio param error!"}}},
        {"CMD_RA_START", "-2", "", {{36, "10.77.1.9 StartAudio not allowed for audio param error!"}, {7, ""}}},
        {"CMD_RA_START", "-3", "", {{37, "10.77.1.9 StartAudio not allow for device's audio disabled!"}, {7, ""}}},
        {"CMD_RA_START", "-9", "", {{7, ""}}},
        {"CMD_RA_STOP", "0", "", {{8, "10.77.1.9 Stop audio OK!"}}},
        {"CMD_RA_STOP", "-1", "", {{9, "10.77.1.9 Stop audio error,flag=-1!"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code + std::string(" ") + c.flag);
        rec().clear();
        EXPECT_EQ(deal(answer("REVERSE_AUDIO_MESSAGE", c.code, c.flag, c.body)), 1);
        auto ev = rec().all();
        ASSERT_EQ(ev.size(), c.expected.size());
        for (size_t i = 0; i < ev.size(); ++i) {
            EXPECT_EQ(ev[i].code, c.expected[i].first);
            EXPECT_EQ(ev[i].data, c.expected[i].second);
        }
    }
}

TEST_F(Dispatch, AlarmReportDeliversRecords)
{
    EXPECT_EQ(deal(answer("ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
                          "<ALARM_REPORT_PARAM><ALARM_ITEM><ALARM_INFO Alarm_code=\"4\"/></ALARM_ITEM>"
                          "<ALARM_ITEM><ALARM_INFO Alarm_code=\"5\"/></ALARM_ITEM></ALARM_REPORT_PARAM>")),
              1);
    auto aux = rec().all_aux();
    ASSERT_EQ(aux.size(), 1u);
    EXPECT_EQ(aux[0].kind, IPC_AUX_ALARM);
    ASSERT_EQ(aux[0].data.size(), 2 * 1072u);
    AlarmRecord r[2];
    std::memcpy(r, aux[0].data.data(), sizeof r);
    EXPECT_EQ(r[0].Alarm_code, 4);
    EXPECT_EQ(r[1].Alarm_code, 5);
    EXPECT_EQ(aux[0].msgtype, "ALARM_REPORT_MESSAGE");
    EXPECT_EQ(aux[0].code, 0);
}

// Audio: text, 4 zero bytes, 20-byte media header, payload.
std::string audio_frame_payload(uint16_t declared, const std::string& payload, bool with_header = true)
{
    std::string p = answer("MEDIA_DATA_MESSAGE", "3", "0", "<RA_DATA_PARAM DataLength=\"1\"/>");
    p += std::string(4, '\0');
    if (with_header) {
        const unsigned char mh[20] = {0x10,
                                      0x27,
                                      0,
                                      0,
                                      0x10,
                                      0x27,
                                      0,
                                      0,
                                      1,
                                      0,
                                      static_cast<unsigned char>(declared & 0xFF),
                                      static_cast<unsigned char>(declared >> 8),
                                      17,
                                      9,
                                      1,
                                      1,
                                      3,
                                      0,
                                      0,
                                      0};
        p.append(reinterpret_cast<const char*>(mh), sizeof mh);
    }
    return p + payload;
}

TEST_F(Dispatch, AudioPayloadChecksItsLength)
{
    std::string payload("\x01\x00\x02\x03\xFF", 5);
    std::string p = audio_frame_payload(5, payload);
    EXPECT_EQ(ipcdealmsg(p.c_str(), &ctx, static_cast<int>(p.size())), 1);
    auto aux = rec().all_aux();
    ASSERT_EQ(aux.size(), 1u);
    EXPECT_EQ(aux[0].kind, IPC_AUX_AUDIO);
    EXPECT_EQ(aux[0].data, payload);
    EXPECT_EQ(aux[0].media_type, 9);
    EXPECT_EQ(aux[0].timestamp, 10000.0);
    EXPECT_EQ(aux[0].userdata, &user);

    rec().clear();
    p = audio_frame_payload(6, payload);
    EXPECT_EQ(ipcdealmsg(p.c_str(), &ctx, static_cast<int>(p.size())), 1);
    EXPECT_TRUE(logged(" error:payload_size(6), effect len(5)\n"));
    // A frame too short for the media header is dropped before anything is read from it.
    p = audio_frame_payload(0, "", false);
    EXPECT_EQ(ipcdealmsg(p.c_str(), &ctx, static_cast<int>(p.size())), 1);
    EXPECT_TRUE(rec().all_aux().empty());
}

// ---- frame reader over a stream pair -----------------------------------------------------------

struct FrameReader : Dispatch {
    int peer = -1;
    void SetUp() override
    {
        Dispatch::SetUp();
        int sv[2] = {-1, -1};
        ASSERT_EQ(test_common::stream_pair(sv), 0);
        ctx.sock.store(sv[0]);
        peer = sv[1];
    }
    void TearDown() override
    {
        test_common::close_socket(ctx.sock.load());
        if (peer >= 0)
            test_common::close_socket(peer);
        Dispatch::TearDown();
    }
    // A fresh connection: after an unreadable frame the stream is unusable.
    void renew()
    {
        test_common::close_socket(ctx.sock.load());
        test_common::close_socket(peer);
        int sv[2] = {-1, -1};
        ASSERT_EQ(test_common::stream_pair(sv), 0);
        ctx.sock.store(sv[0]);
        peer = sv[1];
    }
};

TEST_F(FrameReader, SmallAndLargeMessages)
{
    // 1499 and 1500 bytes of payload: the first fits the entry's buffer, the second is allocated.
    for (size_t size : {1499u, 1500u, 200000u}) {
        rec().clear();
        std::string head = answer("SYSTEM_CONFIG_GET_MESSAGE", "3801", "0", "<R V=\"");
        std::string tail = "\"/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
        std::string text = answer("SYSTEM_CONFIG_GET_MESSAGE", "3801", "0", "<R V=\"\"/>");
        size_t fill = size - text.size();
        text = answer("SYSTEM_CONFIG_GET_MESSAGE", "3801", "0", "<R V=\"" + std::string(fill, 'v') + "\"/>");
        ASSERT_EQ(text.size(), size);
        std::thread writer([&] { send_all(peer, frame(text)); });
        EXPECT_EQ(sockrecv_onemsg(&ctx), 1);
        writer.join();
        auto aux = rec().all_aux();
        ASSERT_EQ(aux.size(), 1u);
        EXPECT_EQ(aux[0].data.size(), size - text.find("<MESSAGE_BODY>") - std::string("\n</XML_MORVEK>").size());
    }
}

TEST_F(FrameReader, UnreadableFrames)
{
    send_all(peer, frame(answer("T", "1", "0", ""), 0x51589159u));
    EXPECT_EQ(sockrecv_onemsg(&ctx), 0);
    EXPECT_TRUE(logged("[ipcdealsock] hd magic 0x51589159 error.\n"));

    renew();
    clear_log();
    send_all(peer, raw_header(0x51589158u, 0xFFFFFFFFu) + "<?xml");
    EXPECT_EQ(sockrecv_onemsg(&ctx), 0);
    EXPECT_TRUE(logged("[ipcdealsock] frame length 4294967295 above 8388608, refused\n"));

    // A refused message: the handler's -1.
    renew();
    send_all(peer, frame("<XML_MORVEK>"));
    EXPECT_EQ(sockrecv_onemsg(&ctx), -1);

    // A frame cut short by the peer closing.
    renew();
    send_all(peer, raw_header(0x51589158u, 100) + "<?xml");
    test_common::shutdown_send(peer);
    EXPECT_LE(sockrecv_onemsg(&ctx), 0);
    EXPECT_TRUE(logged("sockrecv_onemsg ret:0\n"));
}

// A frame that starts and then stops arriving: the reader gives up once the silence limit
// has passed without a byte, instead of waiting for as long as the link runs.
TEST_F(FrameReader, FrameStalledMidwayIsUnreadableAfterTheSilenceLimit)
{
    struct Case {
        const char* name;
        std::string sent;
    };
    const Case cases[] = {
        {"half a header", raw_header(0x51589158u, 100).substr(0, 5)},
        {"header and part of the payload", raw_header(0x51589158u, 100) + "<?xml"},
        {"large frame cut short", raw_header(0x51589158u, 4000) + std::string(1000, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        renew();
        ctx.running.store(1);
        ASSERT_TRUE(send_all(peer, c.sent));

        std::atomic<bool> done{false};
        std::atomic<bool> forced{false};
        std::thread helper([&] {
            // Let more than 50 s pass on the link clock, again until the reader gives up (an
            // advance made before it started waiting does not count for it).
            for (int i = 0; i < 25 && !done.load(); ++i) {
                clock_advance_for_test(50001);
                wait_until([&] { return done.load(); }, 400);
            }
            if (!done.load()) {
                forced.store(true);
                ctx.running.store(0);  // so that a failing reader does not hang the suite
            }
        });
        int r = sockrecv_onemsg(&ctx);
        done.store(true);
        helper.join();
        EXPECT_FALSE(forced.load()) << "the reader waited on a stalled frame for as long as the link ran";
        EXPECT_LE(r, 0);
    }
}

TEST_F(FrameReader, StopsWaitingWhenTheLinkStops)
{
    send_all(peer, raw_header(0x51589158u, 100));
    std::thread stopper([&] {
        wait_until([] { return false; }, 150);
        ctx.running.store(0);
    });
    EXPECT_EQ(sockrecv_onemsg(&ctx), 0);
    stopper.join();
}

}  // namespace

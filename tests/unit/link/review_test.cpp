// Faults found in review: a device that stalls in the middle of a frame, a download that
// cannot be requested, and the login identifier shared between the link thread and callers.
#include "link/context.h"
#include "proto/envelope.h"
#include "link/link.h"
#include "link/transfer.h"

#include "link_harness.h"
#include "common/log_capture.h"
#include "util/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

using namespace link_test;

namespace {

// A frame that starts and then stops arriving: the reader gives up once the silence limit
// has passed without a byte, instead of waiting for as long as the link runs.
TEST_F(LogCapture, FrameStalledMidwayIsUnreadableAfterTheSilenceLimit)
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
        IpcLinkContext ctx;
        ctx.chanid = 9;
        ctx.evcb = on_event;
        ctx.running.store(1);
        int sv[2] = {-1, -1};
        ASSERT_EQ(test_common::stream_pair(sv), 0);
        ctx.sock.store(sv[0]);
        ASSERT_TRUE(send_all(sv[1], c.sent));

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
        test_common::close_socket(sv[0]);
        test_common::close_socket(sv[1]);
    }
}

// The same at the session level: a device that sends part of a frame and stalls gets event 2
// and, with auto reconnect, a new login; without the limit the link thread stays stuck.
struct Review : LogCapture {
    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ASSERT_EQ(ipc_init(), 1);
    }
    void TearDown() override
    {
        ipc_logout_all();
        rec().clear();
        LogCapture::TearDown();
    }
};

TEST_F(Review, DeviceStallingMidFrameIsDroppedAndLoggedInAgain)
{
    FakeNvr dev(scripted());
    IpcLoginParam p = login_param(20, dev.port(), 1);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(20, IPC_EVENT_LOGIN_OK) == 1; }));
    ASSERT_TRUE(dev.send_to(0, raw_header(0x51589158u, 200) + "<?xml version"));
    auto dropped = [] { return rec().count(20, IPC_EVENT_DISCONNECTED) == 1; };
    for (int i = 0; i < 25 && !dropped(); ++i) {
        clock_advance_for_test(50001);
        wait_until(dropped, 400);
    }
    ASSERT_TRUE(dropped());
    ASSERT_TRUE(wait_until([] { return rec().count(20, IPC_EVENT_LOGIN_OK) == 2; }));
    EXPECT_EQ(ipc_logout(20), 1);
    EXPECT_EQ(rec().codes(20),
              (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_DISCONNECTED, IPC_EVENT_LOGIN_OK, IPC_EVENT_THREAD_END}));
}

}  // namespace

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A download that cannot even be requested must leave an earlier copy of the file alone.
TEST_F(Review, DownloadOnAnEntryWithoutLoginKeepsTheLocalFile)
{
    const std::string dir = test_common::make_temp_dir("dravlin_review_");
    ASSERT_FALSE(dir.empty());
    const std::string local = dir + "/config.xml";
    {
        std::ofstream out(local, std::ios::binary);
        out << "<earlier copy/>";
    }
    EXPECT_EQ(ipc_file_download(21, local.c_str()), -1);
    EXPECT_EQ(read_file(local), "<earlier copy/>");
    EXPECT_EQ(ipc_config_download(21, dir.c_str()), -1);
    EXPECT_EQ(read_file(local), "<earlier copy/>");
    EXPECT_EQ(ipc_entry(21)->downloading.load(), 0);
    std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

// Header numbers and POS values are 32-bit: a value beyond that range must not wrap into
// another, meaningful one (a failure flag of 2^32 read as 0 = success, a code read as 1007).
struct ReviewDispatch : LogCapture {
    IpcLinkContext ctx;

    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ctx.chanid = 7;
        std::strcpy(ctx.address, "10.77.1.9");
        ctx.evcb = on_event;
        ctx.auxcb = on_aux;
        ctx.running.store(1);
    }
    void TearDown() override
    {
        rec().clear();
        LogCapture::TearDown();
    }
    int deal(const std::string& text) { return ipcdealmsg(text.c_str(), &ctx, static_cast<int>(text.size())); }
};

TEST_F(ReviewDispatch, OutOfRangeNumbersSaturateInsteadOfWrapping)
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

}  // namespace

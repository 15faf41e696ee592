// Link sessions against a fake recorder on 127.0.0.1: login, the exact frames on the wire,
// heartbeat, silence, reconnection, logout and the chanid checks.
#include "link/context.h"
#include "link/link.h"

#include "link_harness.h"
#include "common/log_capture.h"
#include "util/clock.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>

using namespace link_test;

namespace {

const std::string kLoginFrame = std::string("\x58\x91\x58\x51\xEE\x00\x00\x00", 8) +
    "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n"
    "<XML_MORVEK>\n"
    "<MESSAGE_HEADER\n"
    "Msg_type=\"USER_AUTH_MESSAGE\"\n"
    "Msg_code=\"CMD_USER_AUTH\"\n"
    "Msg_flag=\"0\"\n"
    "/>\n"
    "<MESSAGE_BODY>\n"
    "<USER_AUTH_PARAM\n"
    "Username=\"admin\"\n"
    "Password=\"123456\"/>\n"
    "</MESSAGE_BODY>\n"
    "</XML_MORVEK>";

const std::string kHeartbeatFrame = std::string("\x58\x91\x58\x51\xDA\x00\x00\x00", 8) +
    "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n"
    "<MESSAGE_HEADER\n"
    "Msg_type=\"AUXPTZ_HEARTBEAT_MESSAGE\"\n"
    "Msg_code=\"CMD_HEARTBEAT\"\n"
    "Msg_flag=\"0\"\n"
    "/><MESSAGE_BODY>\n"
    "</MESSAGE_BODY>\n"
    "</XML_MORVEK><MESSAGE_BODY/>\n"
    "</XML_MORVEK>";

struct Session : LogCapture {
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

TEST_F(Session, LoginAcceptedWithTheExactFrameThenLogoutAfterEvent32)
{
    ASSERT_EQ(kLoginFrame.size(), 8u + 0xEE);
    FakeNvr dev(scripted());
    int user = 0;
    IpcLoginParam p = login_param(0, dev.port(), 1, &user);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(0, IPC_EVENT_LOGIN_OK) == 1; }));
    auto frames = dev.frames(0);
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(frames[0], kLoginFrame);
    EXPECT_EQ(ipc_getuserdata(0), &user);
    EXPECT_STREQ(ipc_entry(0)->sessionid, "abc123");

    // A request goes out as one exact frame.
    const std::string reboot = std::string("\x58\x91\x58\x51\xB4\x00\x00\x00", 8) +
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1007\"\nMsg_flag=\"0\"\n/>\n"
        "<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    ASSERT_EQ(reboot.size(), 8u + 0xB4);
    EXPECT_EQ(ipcsendmsg(nullptr, 0, "SYSTEM_CONTROL_MESSAGE", 1007), static_cast<int>(reboot.size()));
    ASSERT_TRUE(wait_until([&] { return dev.frames(0).size() >= 2; }));
    EXPECT_EQ(dev.frames(0)[1], reboot);

    EXPECT_EQ(ipc_logout(0), 1);
    // Returned only after the thread said goodbye; the entry is free again.
    EXPECT_EQ(rec().codes(0), (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_THREAD_END}));
    EXPECT_EQ(ipc_entry(0)->sock.load(), -1);
    EXPECT_EQ(ipc_getuserdata(0), nullptr);
    EXPECT_TRUE(wait_until([&] { return dev.closed_connections() == 1; }));
}

TEST_F(Session, LoginRefusedOrUnanswered)
{
    FakeNvr refuse(scripted(FakeNvr::Login::kRefuse));
    IpcLoginParam p = login_param(1, refuse.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(1, IPC_EVENT_LOGIN_FAIL) == 1; }));
    // Without auto reconnect the thread ends by itself, without event 32.
    ASSERT_TRUE(wait_until([] { return ipc_entry(1)->alive.load() == 0; }));
    EXPECT_EQ(rec().codes(1), (std::vector<int>{IPC_EVENT_LOGIN_FAIL}));

    FakeNvr silent(scripted(FakeNvr::Login::kSilent));
    p = login_param(2, silent.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(2, IPC_EVENT_LOGIN_FAIL) == 1; }));
    EXPECT_TRUE(logged("ipcauth long time wait, fail\n"));

    // Nobody listening: connection failure is event 2.
    uint16_t closed_port = 0;
    {
        FakeNvr gone(scripted());
        closed_port = gone.port();
    }
    p = login_param(3, closed_port, 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(3, IPC_EVENT_DISCONNECTED) == 1; }));
    ASSERT_TRUE(wait_until([] { return ipc_entry(3)->alive.load() == 0; }));
    EXPECT_EQ(rec().codes(3), (std::vector<int>{IPC_EVENT_DISCONNECTED}));
}

TEST_F(Session, HeartbeatAfterTenSecondsOfIdle)
{
    FakeNvr dev(scripted());
    IpcLoginParam p = login_param(4, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(4, IPC_EVENT_LOGIN_OK) == 1; }));
    EXPECT_EQ(dev.count_frames_containing("CMD_HEARTBEAT"), 0);
    clock_advance_for_test(10001);
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("CMD_HEARTBEAT") >= 1; }));
    auto frames = dev.frames(0);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[1], kHeartbeatFrame);
    EXPECT_EQ(rec().count(4, IPC_EVENT_DISCONNECTED), 0);
}

TEST_F(Session, SilenceClosesWithEvent2AndFreshLinksAreNotCut)
{
    FakeNvr dev(scripted());
    dev.set_answer_heartbeats(false);
    // Long after the clock's origin, a fresh quiet link must still get its full 50 s.
    clock_advance_for_test(120000);
    IpcLoginParam p = login_param(5, dev.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(5, IPC_EVENT_LOGIN_OK) == 1; }));
    // 49 s of silence: the moved clock wakes the thread, which looks (a step line) and keeps
    // the link.
    ipc_set_showtime(5, 1);
    auto polls = [] {
        int n = 0;
        for (const auto& l : lines())
            n += l.compare(0, 18, "[5][ipc_thread][2]") == 0;
        return n;
    };
    int before = polls();
    clock_advance_for_test(49000);
    ASSERT_TRUE(wait_until([&] { return polls() > before; }));
    EXPECT_EQ(dev.closed_connections(), 0);
    ipc_set_showtime(5, 0);

    clock_advance_for_test(1002);
    ASSERT_TRUE(wait_until([&] { return dev.closed_connections() == 1; }, 60000));
    EXPECT_TRUE(logged("ipc_thread 8091 long Time No Data!!\n"));
    ASSERT_TRUE(wait_until([] { return ipc_entry(5)->alive.load() == 0; }));
    // The loss is reported: whoever waits on this link learns that it is gone.
    EXPECT_EQ(rec().codes(5), (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_DISCONNECTED}));
}

TEST_F(Session, WrongMagicDropsTheLinkAndReconnectsAfterThreeSeconds)
{
    FakeNvr dev(scripted(FakeNvr::Login::kWrongMagicAfterLogin));
    IpcLoginParam p = login_param(6, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(6, IPC_EVENT_DISCONNECTED) == 1; }));
    auto dropped = std::chrono::steady_clock::now();
    EXPECT_TRUE(logged("[ipcdealsock] hd magic 0x51589159 error.\n"));
    dev.set_login(FakeNvr::Login::kAccept);
    ASSERT_TRUE(wait_until([&] { return dev.logins() == 2; }));
    auto relogin = std::chrono::steady_clock::now();
    // Whole wall-clock seconds: at least 3 of them apart means at least 2 s of real time.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(relogin - dropped).count(), 1900);
    ASSERT_TRUE(wait_until([] { return rec().count(6, IPC_EVENT_LOGIN_OK) == 2; }));
    EXPECT_EQ(rec().codes(6), (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_DISCONNECTED, IPC_EVENT_LOGIN_OK}));
}

TEST_F(Session, OversizeLengthIsUnreadable)
{
    FakeNvr dev(scripted(FakeNvr::Login::kOversizeAfterLogin));
    IpcLoginParam p = login_param(7, dev.port(), 0);
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(7, IPC_EVENT_DISCONNECTED) == 1; }));
    EXPECT_TRUE(logged("[ipcdealsock] frame length 4294967295 above 8388608, refused\n"));
    EXPECT_TRUE(wait_until([&] { return dev.closed_connections() == 1; }));
}

// A device that sends part of a frame and stalls gets event 2 and, with auto reconnect, a new
// login; without the silence limit the link thread stays stuck.
TEST_F(Session, DeviceStallingMidFrameIsDroppedAndLoggedInAgain)
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

// A logout that comes while the thread is in the middle of reading a frame ends the link
// with event 32 alone: it is not a loss.
TEST_F(Session, LogoutDuringAFrameReportsOnlyEvent32)
{
    FakeNvr dev(scripted());
    IpcLoginParam p = login_param(13, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(13, IPC_EVENT_LOGIN_OK) == 1; }));
    ASSERT_TRUE(dev.send_to(0, raw_header(0x51589158u, 100)));
    // The link has taken the header and waits for the rest.
    int fd = ipc_entry(13)->sock.load();
    ASSERT_TRUE(wait_until([fd] { return test_common::queued_bytes(fd) == 0; }));
    EXPECT_EQ(ipc_logout(13), 1);
    EXPECT_EQ(rec().codes(13), (std::vector<int>{IPC_EVENT_LOGIN_OK, IPC_EVENT_THREAD_END}));
    EXPECT_FALSE(logged_prefix("[127.0.0.1:"));
}

// Descriptor 0 is a socket like any other: the link on it is used, heartbeats included.
TEST_F(Session, LinkOnDescriptorZero)
{
    if (test_common::kWindows)
        GTEST_SKIP() << "Winsock handles and C runtime descriptors are different numbers: no socket is ever 0";
    FakeNvr dev(scripted());
    int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    ::close(0);
    IpcLoginParam p = login_param(14, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    bool up = wait_until([] { return rec().count(14, IPC_EVENT_LOGIN_OK) == 1; });
    int fd = ipc_entry(14)->sock.load();
    if (up && fd == 0) {
        clock_advance_for_test(10001);
        EXPECT_TRUE(wait_until([&] { return dev.count_frames_containing("CMD_HEARTBEAT") >= 1; }));
        EXPECT_EQ(rec().count(14, IPC_EVENT_DISCONNECTED), 0);
    }
    ipc_logout(14);
    ::dup2(saved, 0);
    ::close(saved);
    ASSERT_TRUE(up);
    ASSERT_EQ(fd, 0);
}

TEST_F(Session, LogoutFromItsOwnCallbackDoesNotDeadlock)
{
    FakeNvr dev(scripted());
    rec().hook = [](int chanid, int code) {
        if (code == IPC_EVENT_LOGIN_OK)
            ipc_logout(chanid);
    };
    IpcLoginParam p = login_param(8, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(8, IPC_EVENT_THREAD_END) == 1; }));
    ASSERT_TRUE(wait_until([] { return ipc_entry(8)->alive.load() == 0; }));
    // The entry can be used again.
    rec().hook = nullptr;
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(8, IPC_EVENT_LOGIN_OK) == 2; }));
}

TEST_F(Session, OneThreadPerEntry)
{
    FakeNvr dev(scripted());
    IpcLoginParam p = login_param(9, dev.port());
    ASSERT_EQ(ipc_login_delay(&p), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(9, IPC_EVENT_LOGIN_OK) == 1; }));
    clear_log();
    EXPECT_EQ(ipc_login_delay(&p), -1);
    EXPECT_TRUE(logged_prefix("ipc_login_delay fail, channel(9) is inuse fd("));

    // A thread still waiting to reconnect has no socket but must not get a twin.
    FakeNvr refuse(scripted(FakeNvr::Login::kRefuse));
    IpcLoginParam q = login_param(10, refuse.port());
    ASSERT_EQ(ipc_login_delay(&q), 1);
    ASSERT_TRUE(wait_until([] { return rec().count(10, IPC_EVENT_LOGIN_FAIL) >= 1; }));
    EXPECT_EQ(ipc_login_delay(&q), -1);
    EXPECT_TRUE(logged("ipc_login_delay fail, channel(10) thread still running, logout it first and login again\n"));
}

TEST_F(Session, LogoutAllWaitsForEveryThread)
{
    FakeNvr dev(scripted());
    IpcLoginParam a = login_param(11, dev.port(), 0);
    IpcLoginParam b = login_param(12, dev.port(), 1);
    ASSERT_EQ(ipc_login_delay(&a), 1);
    ASSERT_EQ(ipc_login_delay(&b), 1);
    ASSERT_TRUE(wait_until([] { return rec().count_any(IPC_EVENT_LOGIN_OK) == 2; }));
    EXPECT_EQ(ipc_logout_all(), 1);
    EXPECT_EQ(ipc_entry(11)->alive.load(), 0);
    EXPECT_EQ(ipc_entry(12)->alive.load(), 0);
    EXPECT_EQ(rec().count(11, IPC_EVENT_THREAD_END), 1);
    EXPECT_EQ(rec().count(12, IPC_EVENT_THREAD_END), 1);
    EXPECT_EQ(ipc_entry(11)->sock.load(), -1);
}

TEST_F(Session, ChanidOutOfRangeIsRefusedEverywhere)
{
    IpcLoginParam p = login_param(64, 1);
    struct Case {
        std::function<int()> call;
        const char* line;
    } cases[] = {
        {[&] { return ipc_login_delay(&p); }, "<ipc_login_delay> fail, chanid:64, max:64\n"},
        {[] { return ipcsendmsg(nullptr, 64, "SYSTEM_CONTROL_MESSAGE", 1007); },
         "<ipcsendmsg> fail, chanid:64, max:64\n"},
        {[] { return ipc_logout(64); }, "ipclogout fail, chanid:64, max:64\n"},
        {[] { return ipc_set_showtime(64, 1); }, "<ipc_set_showtime> fail, chanid:64, max:64\n"},
        {[] { return ipc_getuserdata(64) ? 1 : -1; }, "<ipc_getuserdata> fail, chanid:64, max:64\n"},
        {[] { return ipc_logout(-1); }, "ipclogout fail, chanid:-1, max:64\n"},
    };
    for (const auto& c : cases) {
        clear_log();
        EXPECT_EQ(c.call(), -1) << c.line;
        EXPECT_EQ(lines(), std::vector<std::string>{c.line});
    }
    clear_log();
    EXPECT_EQ(ipc_login_delay(nullptr), -1);
    const std::string null = null_pointer_text();
    EXPECT_EQ(lines(),
              std::vector<std::string>{"ipc_login_delay param fail, param:0x" + null + ", evcb:0x" + null + "\n"});
}

TEST_F(Session, SixtyFourLinksAtOnce)
{
    FakeNvr dev(scripted());
    for (int i = 0; i < kIpcMaxLinks; ++i) {
        IpcLoginParam p = login_param(i, dev.port());
        ASSERT_EQ(ipc_login_delay(&p), 1);
    }
    // On a loaded machine a login answer can miss its two waits; auto reconnect then retries.
    ASSERT_TRUE(wait_until(
        [] {
            for (int i = 0; i < kIpcMaxLinks; ++i)
                if (rec().count(i, IPC_EVENT_LOGIN_OK) == 0)
                    return false;
            return true;
        },
        120000));
    // They stay up: every one of them keeps its link through a heartbeat round.
    clock_advance_for_test(10001);
    ASSERT_TRUE(wait_until([&] { return dev.count_frames_containing("CMD_HEARTBEAT") >= kIpcMaxLinks; }, 60000));
    EXPECT_EQ(rec().count_any(IPC_EVENT_DISCONNECTED), 0);
    EXPECT_EQ(ipc_logout_all(), 1);
    EXPECT_EQ(rec().count_any(IPC_EVENT_THREAD_END), kIpcMaxLinks);
    EXPECT_TRUE(wait_until([&] { return dev.closed_connections() == dev.connections(); }));
}

}  // namespace

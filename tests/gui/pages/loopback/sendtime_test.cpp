// The clock page: its check box switches the clock broadcast; a switch of the test's own
// stands in for it, and once the real broadcast runs against a loopback socket.
#include <atomic>
#include <memory>
#include <string>

#include "base/sock.h"
#include "discovery/sendtime.h"
#include "gui/gui_test.h"
#include "ui/pages/sendtime.h"
#include "ui/platform/text.h"

#include <gtest/gtest.h>

namespace {

std::atomic<int> g_starts{0};
std::atomic<int> g_stops{0};
std::atomic<int> g_startResult{1};

int FakeStart() {
  ++g_starts;
  return g_startResult.load();
}
int FakeStop() {
  ++g_stops;
  return 0;
}

class ClockPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    g_starts = 0;
    g_stops = 0;
    g_startResult = 1;
    CSendtime::SetClockSwitchForTest({&FakeStart, &FakeStop});
    host = std::make_unique<QWidget>();
    page = std::make_unique<CSendtime>();
    ASSERT_TRUE(page->Create(IDD_SENDTIME, host.get()));
  }
  void TearDown() override {
    page.reset();
    host.reset();
    CSendtime::SetClockSwitchForTest({nullptr, nullptr});
  }
  void Click(bool ticked) {
    page->CheckDlgButton(1015, ticked);
    page->OnCommand(1015, BN_CLICKED);
  }

  std::unique_ptr<QWidget> host;
  std::unique_ptr<CSendtime> page;
};

}  // namespace

TEST_F(ClockPageTest, StartsUntickedWithItsNotice) {
  EXPECT_FALSE(page->IsDlgButtonChecked(1015));
  EXPECT_EQ(page->GetDlgItemText(1015), U8("勾选开启广播对时"));
  const QString notice = page->GetDlgItemText(1013);
  EXPECT_TRUE(notice.startsWith(U8("开启时,本程序取本地（运行本程序的电脑）的时间（无时区）")));
  EXPECT_TRUE(notice.contains(U8("本功能只考虑给生产时在局域网内使用！！！")));
  EXPECT_EQ(g_starts.load(), 0);
}

TEST_F(ClockPageTest, TickStartsUntickStopsAndThePageEndStopsItToo) {
  Click(true);
  EXPECT_EQ(g_starts.load(), 1);
  EXPECT_TRUE(page->IsBroadcasting());
  Click(false);
  EXPECT_EQ(g_stops.load(), 1);
  EXPECT_FALSE(page->IsBroadcasting());
  Click(true);
  EXPECT_EQ(g_starts.load(), 2);
  page.reset();
  EXPECT_EQ(g_stops.load(), 2) << "a page that goes away stops its broadcast";
}

TEST_F(ClockPageTest, ABroadcastAlreadyRunningLeavesTheBoxTicked) {
  g_startResult = 0;
  Click(true);
  EXPECT_TRUE(page->IsDlgButtonChecked(1015));
  EXPECT_FALSE(page->IsBroadcasting());
  page.reset();
  EXPECT_EQ(g_stops.load(), 0) << "not ours to stop";
}

TEST_F(ClockPageTest, ResizeKeepsBothControlsInProportion) {
  host->show();
  page->show();
  page->resize(600, 400);
  ASSERT_TRUE(WaitUntil([&] { return page->width() == 600; }));
  const QRect box = page->GetDlgItemRect(1015);
  const QRect text = page->GetDlgItemRect(1013);
  page->resize(1200, 800);
  ASSERT_TRUE(WaitUntil([&] { return page->width() == 1200; }));
  EXPECT_NEAR(page->GetDlgItemRect(1015).x(), box.x() * 2, 2);
  EXPECT_NEAR(page->GetDlgItemRect(1013).width(), text.width() * 2, 2);
  EXPECT_NEAR(page->GetDlgItemRect(1013).y(), text.y() * 2, 2);
}

// The real clock thread, its broadcasts pointed at a socket of this test on 127.0.0.1.
TEST(ClockPageBroadcast, TickSendsTheClockEverySecondAndUntickEndsTheThread) {
  GuiApp();
  CSendtime::SetClockSwitchForTest({nullptr, nullptr});
  int sock = udp_bind(0x7F000001, 0, false);
  ASSERT_GE(sock, 0);
  broadcast_set_destination_for_test(0x7F000001, sock_local_port(sock));
  auto receive = [&](std::string* text) {
    unsigned char ready = 0;
    if (sock_poll_readable(&sock, 1, 5000, &ready) <= 0) return false;
    char buf[2048];
    UdpPeer from;
    int n = udp_recvfrom(sock, buf, sizeof buf, &from);
    if (n <= 0) return false;
    text->assign(buf, static_cast<size_t>(n));
    return true;
  };
  {
    QWidget host;
    CSendtime page;
    ASSERT_TRUE(page.Create(IDD_SENDTIME, &host));
    page.CheckDlgButton(1015, true);
    page.OnCommand(1015, BN_CLICKED);
    ASSERT_TRUE(page.IsBroadcasting());
    std::string first, second;
    ASSERT_TRUE(receive(&first));
    ASSERT_TRUE(receive(&second));
    for (const std::string* d : {&first, &second}) {
      EXPECT_NE(d->find("Msg_code=\"101\""), std::string::npos);
      EXPECT_NE(d->find("<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\""), std::string::npos);
    }
    EXPECT_NE(first, second) << "one datagram per second, each with its own time";
    page.CheckDlgButton(1015, false);
    page.OnCommand(1015, BN_CLICKED);
    EXPECT_FALSE(page.IsBroadcasting());
  }
  // The thread has ended: a new start is not refused as "already running".
  EXPECT_EQ(startSendtime(), 1);
  stopSendtime();
  broadcast_set_destination_for_test(0x7F000001, 9);
  sock_close(sock);
}

// The channel page against a simulated NVR in a private namespace: the page's own search finds
// it, a double-click logs in, the NVR's camera search and "加满" fill its channels, "删除" and
// "清空" empty them again; after each step the channel list shows what the simulator holds,
// and the UI thread is never held up meanwhile (the pauses before re-reading included).
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gui/gui_test.h"
#include "page_e2e.h"
#include "ui/pages/dchan_ctrl.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"

using namespace page_e2e;

namespace {

// Far above an honest stall of a loaded machine, far below any pause the page would sleep.
constexpr qint64 kMaxUiGapMs = 250;

class ChannelsE2E : public PageE2ETest {};

// "ip/protocol" per channel, "" for a free one, as the simulator holds them.
std::vector<std::string> SimChannels(const Json& status) {
  std::vector<std::string> out;
  for (const Json& c : status["devices"][0]["link"]["nvr"]["channels"].arr)
    out.push_back(c["used"].b ? c["ip"].str + "/" + c["protocol"].str : "");
  return out;
}

std::vector<std::string> PageChannels(CReportCtrl& list) {
  std::vector<std::string> out;
  for (int r = 0; r < list.GetRowCount(); ++r) {
    const std::string ip = list.GetCellText(r, CDChanCtrl::kChanColIp).toStdString();
    out.push_back(ip.empty() ? "" : ip + "/" + list.GetCellText(r, CDChanCtrl::kChanColProtocol).toStdString());
  }
  return out;
}

}  // namespace

TEST_F(ChannelsE2E, FillDeleteAndClearAnNvrsChannelsWhileTheWindowStaysLive) {
  NetnsLab lab(1);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  const std::string fleetFile = lab.dir() + "/fleet.txt";
  // Four channels and five cameras (one of them both ONVIF and MVK): the fill runs out of rows.
  std::ofstream(fleetFile) << "serial=NVRCHAN01 type=NVR-SIM16 ip=10.77.1.1 channels=4\n";
  Sim simulator(lab, {"--fleet", fleetFile});
  auto status = [&] { return simulator.read(); };
  ASSERT_TRUE(simulator.ready()) << simulator.err();

  qint64 longestGap = -1;
  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    QWidget host;
    host.resize(1200, 800);
    auto page = std::make_unique<CDChanCtrl>();
    ASSERT_TRUE(page->Create(IDD_DCHANCTRL, &host));
    page->show();
    host.show();
    CReportCtrl& chans = page->ChannelList();
    CReportCtrl& ipcs = page->IpcList();
    // The list agrees with the simulator once both have settled.
    auto agrees = [&] {
      const std::vector<std::string> sim = SimChannels(status()), shown = PageChannels(chans);
      return !page->RereadPending() && !sim.empty() && sim == shown;
    };
    auto used = [&] {
      int n = 0;
      for (const std::string& c : PageChannels(chans)) n += c.empty() ? 0 : 1;
      return n;
    };
    UiHeartbeat beat(&host);
    beat.start();

    page->OnCommand(IDC_CHAN_NVR_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return page->NvrList().GetRowCount() == 1; }, 20000));
    page->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, 0, 0);
    ASSERT_TRUE(
        WaitUntil([&] { return page->GetDlgItemText(IDC_CHAN_LOGIN_STATE) == U8("NVR(10.77.1.1) 连接成功"); }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return chans.GetRowCount() == 4; }, 20000));

    page->OnCommand(IDC_CHAN_IPC_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return ipcs.GetRowCount() == 5; }, 20000)) << ipcs.GetRowCount();
    page->OnCommand(IDC_CHAN_ADD_ALL, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return used() == 4 && agrees(); }, 20000));
    // The first four cameras in list order; the dual camera went in by its MVK answer.
    EXPECT_EQ(PageChannels(chans), (std::vector<std::string>{"192.168.1.101/MVK", "192.168.1.103/MVK",
                                                             "192.168.1.102/ONVIF", "192.168.1.104/MVK"}));

    for (int r = 0; r < 4; ++r) chans.SetRowCheck(r, true);
    page->OnCommand(IDC_CHAN_DELETE, BN_CLICKED);
    ASSERT_TRUE(page->RereadPending());
    ASSERT_TRUE(WaitUntil([&] { return used() == 0 && agrees(); }, 20000));

    page->OnCommand(IDC_CHAN_ADD_ALL, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return used() == 4 && agrees(); }, 20000));
    page->OnCommand(IDC_CHAN_CLEAR, BN_CLICKED);
    ASSERT_TRUE(page->RereadPending());
    ASSERT_TRUE(WaitUntil([&] { return used() == 0 && agrees(); }, 20000));
    longestGap = beat.stop();
    EXPECT_TRUE(seam.boxes.empty()) << seam.boxes[0].text.toStdString();
    page.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";
  std::printf("channel page against a simulated NVR: longest UI-thread gap %lld ms\n",
              static_cast<long long>(longestGap));
  ::testing::Test::RecordProperty("longest_ui_gap_ms", static_cast<int>(longestGap));
  EXPECT_LT(longestGap, kMaxUiGapMs) << "the UI thread was held up";

  // The status file follows within 100 ms or so.
  Json j;
  e2e::wait_until([&] {
    j = status();
    return j["devices"][0]["link"]["open_connections"].integer() == 0;
  });
  EXPECT_EQ(j["devices"][0]["link"]["open_connections"].integer(), 0) << "the page logged out as it went";
  EXPECT_EQ(j["devices"][0]["link"]["nvr"]["searches"].integer(), 1);
}

// The channel page and the maintenance page at work at the same time: the channel page stays
// logged in to one NVR and fills its channels while the maintenance page refreshes 20 recorders;
// a second NVR double-clicked shows its own cameras and channels only; an NVR refusing the login
// leaves the page with empty lists, saying so.
TEST_F(ChannelsE2E, TwoPagesShareTheLinksAndASecondNvrShowsOnlyItsOwnLists) {
  constexpr int kRecorders = 20;
  NetnsLab lab(3 + kRecorders);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  const std::string fleetFile = lab.dir() + "/fleet.txt";
  {
    std::ofstream f(fleetFile);
    f << "serial=NVRSIDE0A type=NVR-SIM16 ip=10.77.1.1 channels=4\n"
      << "serial=NVRSIDE0B type=NVR-SIM16 ip=10.77.1.2 channels=6"
      << " camera=MVK:192.168.2.11:8091:admin:470213:MVKIPC000211:North"
      << " camera=MVK:192.168.2.12:8091:admin:470213:MVKIPC000212:South\n"
      << "serial=NVRSIDE0C type=NVR-SIM16 ip=10.77.1.3 link-fault=refuse-login\n";
    for (int i = 0; i < kRecorders; ++i)
      f << "serial=SIDEREC" << 100 + i << " type=QV5108D ip=10.77.1." << 4 + i << "\n";
  }
  Sim simulator(lab, {"--fleet", fleetFile});
  ASSERT_TRUE(simulator.ready()) << simulator.err();
  auto nvrChannels = [&](int device) {
    std::vector<std::string> out;
    for (const Json& c : simulator.read()["devices"][static_cast<size_t>(device)]["link"]["nvr"]["channels"].arr)
      out.push_back(c["used"].b ? c["ip"].str + "/" + c["protocol"].str : "");
    return out;
  };

  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    QWidget host;
    host.resize(1200, 800);
    auto boot = std::make_unique<CDravlinDlg>();
    auto chan = std::make_unique<CDChanCtrl>();
    ASSERT_TRUE(boot->Create(IDD_DRAVLIN_DIALOG, &host));
    ASSERT_TRUE(chan->Create(IDD_DCHANCTRL, &host));
    CReportCtrl& chans = chan->ChannelList();
    CReportCtrl& ipcs = chan->IpcList();
    auto rowOf = [&](CReportCtrl& list, int column, const char* serial) {
      for (int r = 0; r < list.GetRowCount(); ++r)
        if (list.GetCellText(r, column) == U8(serial)) return r;
      return -1;
    };

    // Each page lists the fleet with its own search (the search table is the process's).
    boot->OnCommand(1001, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return boot->List().GetRowCount() == 3 + kRecorders; }, 30000));
    boot->OnCommand(1001, BN_CLICKED);
    chan->OnCommand(IDC_CHAN_NVR_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return chan->NvrList().GetRowCount() == 3 + kRecorders; }, 30000));
    chan->OnCommand(IDC_CHAN_NVR_SEARCH, BN_CLICKED);

    chan->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, rowOf(chan->NvrList(), 1, "NVRSIDE0A"), 0);
    ASSERT_TRUE(WaitUntil([&] { return chan->LoggedIn() && chans.GetRowCount() == 4; }, 20000));
    chan->OnCommand(IDC_CHAN_IPC_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return ipcs.GetRowCount() == 5; }, 20000));

    // The maintenance page restores the factory channel picture of its 20 recorders and
    // reboots them while the channel page fills the NVR's channels.
    boot->CheckDlgButton(1044, true);
    boot->OnCommand(1044, BN_CLICKED);
    boot->OnCommand(1003, BN_CLICKED);  // the QV5 recorders, not the NVRs
    boot->OnCommand(1024, BN_CLICKED);
    chan->OnCommand(IDC_CHAN_ADD_ALL, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return !boot->IsTimerSet(CDravlinDlg::kSuperviseTimer); }, 60000));
    int done = 0;
    for (int r = 0; r < boot->List().GetRowCount(); ++r)
      done += boot->List().GetCellText(r, 4) == U8("设置成功,正在重启,请稍后...") ? 1 : 0;
    EXPECT_EQ(done, kRecorders);
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::vector<std::string> sim = nvrChannels(0);
          int used = 0;
          for (const std::string& c : sim) used += c.empty() ? 0 : 1;
          return used == 4 && !chan->RereadPending() && PageChannels(chans) == sim;
        },
        20000));
    EXPECT_TRUE(chan->LoggedIn()) << "the channel page kept its NVR meanwhile";

    // Another NVR: the first one's lists go at once, the second one's come from it alone.
    chan->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, rowOf(chan->NvrList(), 1, "NVRSIDE0B"), 0);
    EXPECT_EQ(chans.GetRowCount(), 0);
    EXPECT_EQ(ipcs.GetRowCount(), 0);
    EXPECT_EQ(chan->GetDlgItemText(IDC_CHAN_IPC_SEARCH), U8("搜索"));
    ASSERT_TRUE(WaitUntil([&] { return chan->LoggedIn() && chans.GetRowCount() == 6; }, 20000));
    EXPECT_EQ(PageChannels(chans), nvrChannels(1));
    chan->OnCommand(IDC_CHAN_IPC_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return ipcs.GetRowCount() == 2; }, 20000));
    for (int r = 0; r < 2; ++r) EXPECT_TRUE(ipcs.GetCellText(r, 0).startsWith(U8("192.168.2."))) << r;
    chan->OnCommand(IDC_CHAN_ADD_ALL, BN_CLICKED);
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::vector<std::string> sim = nvrChannels(1);
          return sim.size() == 6 && sim[0] == "192.168.2.11/MVK" && !chan->RereadPending() &&
                 PageChannels(chans) == sim;
        },
        20000));
    const Json snap = simulator.read();
    int usedA = 0;
    std::string seen;
    for (const Json& c : snap["devices"][0u]["link"]["nvr"]["channels"].arr) {
      usedA += c["used"].b ? 1 : 0;
      seen += "[" + c["ip"].str + (c["used"].b ? " used]" : " free]");
    }
    EXPECT_EQ(usedA, 4) << "the first NVR got nothing meant for the second: " << snap["devices"][0u]["serial"].str
                        << seen << " devices " << snap["devices"].size();

    // An NVR that refuses the login: empty lists, the label says so, nothing to press.
    chan->OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, rowOf(chan->NvrList(), 1, "NVRSIDE0C"), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return chan->GetDlgItemText(IDC_CHAN_LOGIN_STATE) == U8("NVR(10.77.1.3) 连接失败"); }, 20000));
    EXPECT_EQ(chans.GetRowCount(), 0);
    EXPECT_EQ(ipcs.GetRowCount(), 0);
    EXPECT_FALSE(chan->IsWindowEnabled(IDC_CHAN_ADD_ALL));
    EXPECT_TRUE(seam.boxes.empty()) << seam.boxes[0].text.toStdString();
    chan.reset();
    boot.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";
  Json j;
  e2e::wait_until([&] { return (j = simulator.read())["open_connections"].integer() == 0; });
  EXPECT_EQ(j["open_connections"].integer(), 0) << "both pages logged out as they went";
  for (int i = 3; i < 3 + kRecorders; ++i)
    EXPECT_EQ(j["devices"][static_cast<size_t>(i)]["link"]["reboots"].integer(), 1) << i;
}

// The pages against dravlin-sim inside a private network namespace made for each test: the
// page's own search broadcast finds the simulated fleet, its links log in to the simulated
// recorders, and the simulator's status file tells what each recorder received.
#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "discovery/search.h"
#include "discovery/sendtime.h"
#include "gui/gui_test.h"
#include "imaging/factory_picture.h"
#include "link/link.h"
#include "page_e2e.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/net_assign_dlg.h"
#include "ui/platform/ip_address_ctrl.h"
#include "ui/pages/sendtime.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "util/digest.h"

using namespace page_e2e;

namespace {

constexpr char kDone[] = "设置成功,正在重启,请稍后...";

std::string Serial(int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "DRVSIM%06d", n);
  return buf;
}

class PageE2E : public PageE2ETest {};

}  // namespace

// More recorders than the link table has entries: every one is refreshed, in waves, with never
// more than 64 links open at the simulator.
TEST_F(PageE2E, SearchAndRefreshOneHundredFiftySimulatedRecorders) {
  constexpr int kDevices = 150;
  NetnsLab lab(kDevices);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  const std::string dir = lab.dir();
  const std::string boot =
      WriteFile(dir + "/boot.jpg",
                std::string(reinterpret_cast<const char*>(factory_boot_jpeg_data()), factory_boot_jpeg_size()));
  std::string chanBytes, shutBytes;
  for (int i = 0; i < 30000; ++i) chanBytes += static_cast<char>((i * 7) & 0xFF);
  for (int i = 0; i < 12000; ++i) shutBytes += static_cast<char>((i * 13 + 5) & 0xFF);
  const std::string chan = WriteFile(dir + "/chan.png", chanBytes);
  const std::string shut = WriteFile(dir + "/shut.png", shutBytes);
  const std::map<int, std::string> files = {{3, boot}, {4, chan}, {5, shut}};

  // Recorders 10, 20 and 30 (by serial number) refuse the login, refuse uploads, and go silent
  // after logging in.
  Sim sim(lab, {"--devices", std::to_string(kDevices), "--type", "QV5108D", "--store", dir + "/store", "--link-fault",
                "refuse-login:" + Serial(10), "--link-fault", "refuse-upload:" + Serial(20), "--link-fault",
                "silent-after-login:" + Serial(30)});
  ASSERT_TRUE(sim.ready()) << sim.err();

  std::map<std::string, QString> finalText;
  std::map<std::string, std::vector<QString>> seen;
  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    QWidget host;
    auto page = std::make_unique<CDravlinDlg>();
    ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, &host));
    CReportCtrl& list = page->List();
    QObject::connect(list.model(), &QAbstractItemModel::dataChanged, &host,
                     [&](const QModelIndex& tl, const QModelIndex& br) {
                       for (int r = tl.row(); r <= br.row(); ++r)
                         seen[list.GetCellText(r, 3).toStdString()].push_back(list.GetCellText(r, 4));
                     });

    page->OnCommand(1001, BN_CLICKED);
    ASSERT_TRUE(page->IsSearching());
    // The page's own one-second timer lists what its search found.
    ASSERT_TRUE(WaitUntil([&] { return list.GetRowCount() == kDevices; }, 30000)) << list.GetRowCount();
    page->OnCommand(1001, BN_CLICKED);  // stop searching; the list stays
    for (int row = 0; row < kDevices; ++row) EXPECT_EQ(list.GetCellText(row, 4), U8("空闲"));

    for (const std::string& p : {boot, chan, shut}) seam.pathAnswers.push_back(QString::fromStdString(p));
    page->OnCommand(1040, BN_CLICKED);
    page->OnCommand(1017, BN_CLICKED);
    page->OnCommand(1018, BN_CLICKED);
    ASSERT_TRUE(seam.boxes.empty()) << seam.boxes[0].text.toStdString();
    page->OnCommand(1003, BN_CLICKED);
    page->OnCommand(1024, BN_CLICKED);
    // The waves' time includes the silent recorder's 15 s.
    ASSERT_TRUE(WaitUntil([&] { return !page->IsTimerSet(CDravlinDlg::kSuperviseTimer); }, 120000));
    for (int row = 0; row < kDevices; ++row)
      finalText[list.GetCellText(row, 3).toStdString()] = list.GetCellText(row, 4);
    EXPECT_TRUE(page->IsWindowEnabled(1024));
    page.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";
  ASSERT_EQ(finalText.size(), static_cast<size_t>(kDevices));

  for (int n = 1; n <= kDevices; ++n) {
    const std::string s = Serial(n);
    SCOPED_TRACE(s);
    if (n == 10) {
      EXPECT_EQ(finalText[s], U8("NVR 登录失败"));
    } else if (n == 30) {
      EXPECT_EQ(finalText[s], U8("超时-处理异常,请重新操作"));
    } else if (n == 20) {  // refuses every upload: rebooted, and the text says what did not take
      EXPECT_EQ(finalText[s], U8(kDone) + U8("(开机画面、通道背景、关机画面设置失败)"));
    } else {
      EXPECT_EQ(finalText[s], U8(kDone));
    }
  }
  const std::string refusing = Serial(20);
  bool failedShown = false;
  for (const QString& t : seen[refusing]) failedShown |= t == U8("设置图片失败");
  EXPECT_TRUE(failedShown) << "a refused upload is shown and the chain goes on";

  Json j;
  e2e::wait_until([&] {
    j = sim.read();
    return j["open_connections"].integer() == 0;
  });
  ASSERT_EQ(j["devices"].size(), static_cast<size_t>(kDevices));
  EXPECT_LE(j["peak_connections"].integer(), 64) << "never more links at once than the table has";
  EXPECT_GT(j["peak_connections"].integer(), 0);
  for (const Json& d : j["devices"].arr) {
    const std::string s = d["serial"].str;
    SCOPED_TRACE(s);
    const Json& l = d["link"];
    if (s == Serial(10) || s == Serial(30)) {
      EXPECT_EQ(l["reboots"].integer(), 0);
      continue;
    }
    EXPECT_EQ(l["reboots"].integer(), 1);
    if (s == Serial(20)) continue;
    for (const auto& [type, path] : files) EXPECT_EQ(l["files"][std::to_string(type)]["md5"].str, Md5(path)) << type;
  }
  EXPECT_EQ(j["open_connections"].integer(), 0) << "every recorder was logged out";
}

TEST_F(PageE2E, ClockPageBroadcastsWhileTickedAndStopsOnUntick) {
  NetnsLab lab(2);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  Sim sim(lab, {"--devices", "2"});
  ASSERT_TRUE(sim.ready()) << sim.err();
  bool ran = lab.inside([&] {
    QWidget host;
    CSendtime page;
    ASSERT_TRUE(page.Create(IDD_SENDTIME, &host));
    page.CheckDlgButton(1015, true);
    page.OnCommand(1015, BN_CLICKED);
    ASSERT_TRUE(page.IsBroadcasting());
    ASSERT_TRUE(e2e::wait_until(
        [&] {
          Json j = sim.read();
          return j["devices"].size() == 2 && j["devices"][0]["clock_datagrams"].integer() >= 2 &&
                 j["devices"][1]["clock_datagrams"].integer() >= 2;
        },
        15000));
    page.CheckDlgButton(1015, false);
    page.OnCommand(1015, BN_CLICKED);
    EXPECT_FALSE(page.IsBroadcasting());
    // The clock thread has ended: a new start is not refused as already running.
    EXPECT_EQ(startSendtime(), 1);
    stopSendtime();
  });
  ASSERT_TRUE(ran);
  Json j = sim.read();
  EXPECT_FALSE(j["devices"][0]["last_time"].str.empty());
}

// The installer's tools on the right-click menu: ten ticked recorders moved to a start address
// (the preview shows their addresses; a gateway outside the new subnet is refused first and
// nothing goes out), each row confirmed by its recorder's search answers and showing its new
// address; then a disk format of two others, one of which refuses.
TEST_F(PageE2E, NetworkSettingsForTenTickedRowsAndADiskFormat) {
  constexpr int kDevices = 12, kMoved = 10;
  NetnsLab lab(kDevices);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  Sim sim(lab, {"--devices", std::to_string(kDevices), "--link-fault", "refuse-format:" + Serial(12)});
  ASSERT_TRUE(sim.ready()) << sim.err();

  std::vector<QString> preview, boxes;
  std::map<std::string, QString> finalText, finalIp;
  size_t sentAfterRefusal = 99;
  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    QWidget host;
    auto page = std::make_unique<CDravlinDlg>();
    ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, &host));
    CReportCtrl& list = page->List();
    page->OnCommand(IDC_BOOT_SEARCH, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return list.GetRowCount() == kDevices; }, 30000)) << list.GetRowCount();
    // The rows in serial order are the recorders 1 to 12, whatever order they answered in.
    std::map<std::string, int> rowOf;
    for (int row = 0; row < kDevices; ++row) rowOf[list.GetCellText(row, 3).toStdString()] = row;
    for (int n = 1; n <= kMoved; ++n) list.SetRowCheck(rowOf[Serial(n)], true);

    uint32_t mask = 0;
    auto fill = [&](CDialog& d) {
      auto& dlg = dynamic_cast<CNetAssignDlg&>(d);
      dlg.ControlAs<CIPAddressCtrl>(IDC_NET_START_IP)->SetAddress(0x0A4D320A);  // 10.77.50.10
      dlg.ControlAs<CIPAddressCtrl>(IDC_NET_NETMASK)->SetAddress(mask);
      preview.clear();
      for (int i = 0; i < dlg.Report(IDC_NET_PREVIEW)->GetRowCount(); ++i) preview.push_back(dlg.PreviewRow(i)[2]);
      return IDOK;
    };
    seam.modalHook = fill;
    mask = 0xFFFFFF00;  // the recorders' gateway 10.77.0.1 is outside 10.77.50.0/24
    page->RunListCommand(IDM_BOOT_SET_NETWORK, -1);
    ASSERT_EQ(seam.boxes.size(), 1u);
    boxes.push_back(seam.boxes[0].text);
    EXPECT_FALSE(page->NetBusy());
    sentAfterRefusal = sim.datagrams(2).size();

    mask = 0xFFFF0000;
    page->RunListCommand(IDM_BOOT_SET_NETWORK, -1);
    ASSERT_EQ(seam.boxes.size(), 1u) << seam.boxes.back().text.toStdString();
    ASSERT_TRUE(page->NetBusy());
    ASSERT_TRUE(WaitUntil([&] { return !page->NetBusy(); }, 60000));

    // The disk format: the two rows left, disk sd1, confirmed.
    for (int row = 0; row < kDevices; ++row)
      list.SetRowCheck(row, row == rowOf[Serial(11)] || row == rowOf[Serial(12)]);
    seam.modalHook = nullptr;
    seam.boxAnswer = IDYES;
    page->RunListCommand(IDM_BOOT_FORMAT_DISK, -1);
    ASSERT_EQ(seam.boxes.size(), 2u);
    boxes.push_back(seam.boxes[1].text);
    ASSERT_TRUE(
        WaitUntil([&] { return page->BusyRows() == 0 && !page->IsTimerSet(CDravlinDlg::kSuperviseTimer); }, 60000));
    for (int row = 0; row < kDevices; ++row) {
      finalText[list.GetCellText(row, 3).toStdString()] = list.GetCellText(row, CDravlinDlg::kStatusColumn);
      finalIp[list.GetCellText(row, 3).toStdString()] = list.GetCellText(row, 0);
    }
    page.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";

  ASSERT_EQ(preview.size(), static_cast<size_t>(kMoved));
  for (int i = 0; i < kMoved; ++i) EXPECT_EQ(preview[i], QStringLiteral("10.77.50.%1").arg(10 + i));
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], U8("默认网关10.77.0.1不在新IP地址的子网内"));
  EXPECT_EQ(sentAfterRefusal, 0u) << "a refused plan still sent something";
  EXPECT_EQ(boxes[1], U8("确定要格式化2台设备的硬盘sd1吗?\n硬盘上的录像将全部丢失,且无法恢复。"));
  Json status = sim.read();
  for (int n = 1; n <= kMoved; ++n) {
    SCOPED_TRACE(Serial(n));
    EXPECT_EQ(finalText[Serial(n)], U8("网络参数修改成功"));
    EXPECT_EQ(finalIp[Serial(n)], QStringLiteral("10.77.50.%1").arg(9 + n));
    const Json& d = status["devices"][static_cast<size_t>(n - 1)];
    EXPECT_EQ(d["ip"].str, "10.77.50." + std::to_string(9 + n));
    EXPECT_GE(d["network_changes"].integer(), 1);
  }
  EXPECT_EQ(finalText[Serial(11)], U8("格式化硬盘成功"));
  EXPECT_EQ(finalText[Serial(12)], U8("格式化硬盘失败"));
  EXPECT_EQ(status["devices"][10]["link"]["formats"].size(), 1u);
  EXPECT_EQ(status["devices"][10]["link"]["formats"][0].str, "sd1");
  EXPECT_EQ(status["devices"][10]["received"].size(), 0u);
}

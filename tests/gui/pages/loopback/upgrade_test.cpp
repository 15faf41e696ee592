// The firmware page against fake recorders on 127.0.0.1: its handlers and file checks, and a
// row's end — only at the verdict, a refused login, a lost link or a deadline, never at 100 % —
// with the buttons and the links given back once no row is busy.
#include <atomic>
#include <memory>

#include "page_fixture.h"
#include "ui/resources/dravlin_dlg_ids.h"
#include "ui/pages/upgrade.h"
#include "ui/shell/dravlins.h"

using namespace page_test;

namespace {

constexpr int kButtons[] = {1031, 1032, 1033, 1034};
constexpr char kLinkLost[] = "连接中断-升级失败,请重新操作";

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    runner_host::SetClockForTest(&TestNow);
    capture.Start();
    scoped = std::make_unique<ScopedUiSeam>(&seam);
    host = std::make_unique<QWidget>();
    host->resize(1000, 700);
    page = std::make_unique<CUpgrade>();
    ASSERT_TRUE(page->Create(IDD_UPGRADE, host.get()));
  }
  void TearDown() override {
    page.reset();
    stopsearchipc();
    runner_host::Shutdown();
    runner_host::SetClockForTest(nullptr);
    host.reset();
    scoped.reset();
    nvrs.clear();
    capture.Stop();
  }

  CReportCtrl& list() { return page->List(); }
  QString Status(int row) { return list().GetCellText(row, CUpgrade::kStatusColumn); }
  void Click(int id) { page->OnCommand(id, BN_CLICKED); }
  bool ButtonsEnabled(bool on) {
    for (int id : kButtons)
      if (page->IsWindowEnabled(id) != on) return false;
    return true;
  }
  bool WaitStatus(int row, const char* text) {
    return WaitUntil([&] { return Status(row) == U8(text); }, 20000);
  }

  // One fake recorder per login behaviour (a port of 0: nothing listens there), listed through
  // the page's own search over loopback; row i is recorder i.
  void ListFakes(const std::vector<FakeNvr::Login>& logins, int unreachable = 0) {
    std::vector<sim::Device> recs;
    for (FakeNvr::Login l : logins) {
      nvrs.push_back(std::make_unique<FakeNvr>(FakeNvr::Config{.login = l}));
      recs.push_back(Recorder(static_cast<int>(recs.size()), "QV5232C", nvrs.back()->port()));
    }
    for (int i = 0; i < unreachable; ++i)
      recs.push_back(Recorder(static_cast<int>(recs.size()), "QV5232C", ClosedPort()));
    Click(1031);
    ASSERT_TRUE(page->IsSearching());
    EXPECT_EQ(page->GetDlgItemText(1031), U8("停止"));
    ASSERT_TRUE(WaitUntil([] { return searchipc_port() != 0; }));
    const int base = getipccount();
    int sock = udp_bind(0x7F000001, 0, false);
    ASSERT_GE(sock, 0);
    // One at a time, so the table's order (and the rows') is the recorders' order.
    for (size_t i = 0; i < recs.size(); ++i) {
      const std::string a = sim::build_answer(recs[i]);
      ASSERT_GT(udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port()), 0);
      ASSERT_TRUE(WaitUntil([&] { return getipccount() >= base + static_cast<int>(i) + 1; }));
    }
    sock_close(sock);
    ASSERT_TRUE(WaitUntil([&] { return list().GetRowCount() == static_cast<int>(recs.size()); }));
    for (int r = 0; r < list().GetRowCount(); ++r) {
      ASSERT_EQ(list().GetCellText(r, 3), QString::fromStdString(recs[r].serial));
      ASSERT_EQ(Status(r), U8("空闲"));
    }
  }
  static uint16_t ClosedPort() {
    FakeNvr gone;
    return gone.port();  // closed again when it goes
  }
  void ChooseFirmware(const std::string& path) {
    seam.pathAnswers.push_back(QString::fromStdString(path));
    Click(1033);
  }

  StderrCapture capture;
  RecordingUiSeam seam;
  std::unique_ptr<ScopedUiSeam> scoped;
  std::unique_ptr<QWidget> host;
  std::unique_ptr<CUpgrade> page;
  std::vector<std::unique_ptr<FakeNvr>> nvrs;
};

}  // namespace

TEST_F(UpgradeTest, HandlersWithoutARecorder) {
  const char* headings[] = {"IP地址", "网关地址", "设备类型", "序列号", "状态"};
  ASSERT_EQ(list().GetColumnCount(), 5);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(list().GetHeaderText(c), U8(headings[c]));

  // 升级 without a file: only the message box.
  Click(1034);
  ASSERT_EQ(seam.boxes.size(), 1u);
  EXPECT_EQ(seam.boxes[0].text, U8("请选择要处理的文件"));
  EXPECT_FALSE(page->IsUpgrading());

  // 浏览: the filter, a cancel that changes nothing, a chosen path.
  Click(1033);
  ASSERT_EQ(seam.choosers.size(), 1u);
  EXPECT_EQ(seam.choosers[0].filter,
            U8("Tgz (*.tgz;*.tar.gz)|*.tgz;*.tar.gz|Bin (*.bin;*.Bin)|*.bin;*.Bin|All Files (*.*)|*.*||"));
  EXPECT_EQ(page->GetDlgItemText(1035), QString());
  ChooseFirmware("/tmp/fw.tgz");
  EXPECT_EQ(page->GetDlgItemText(1035), U8("/tmp/fw.tgz"));

  // An image that cannot be sent is refused before any login, with the reason.
  const std::string dir = ::testing::TempDir();
  const std::string empty = WriteFile("fw-empty.tgz", "");
  const struct {
    std::string path;
    const char* message;
  } bad[] = {{"/tmp/fw.tgz", "固件文件不存在"}, {dir, "所选路径不是固件文件"}, {empty, "固件文件为空"}};
  for (const auto& b : bad) {
    SCOPED_TRACE(b.path);
    ChooseFirmware(b.path);
    Click(1034);
    EXPECT_EQ(seam.boxes.back().text, U8(b.message) + U8("\n") + QString::fromStdString(b.path));
    EXPECT_FALSE(page->IsUpgrading());
    EXPECT_TRUE(ButtonsEnabled(true));
  }
  ::unlink(empty.c_str());

  // The search toggles; its listing timer runs every 100 ms. 升级 with no ticked row ends the
  // search, and the buttons come back at the first watch tick.
  const std::string fw = WriteFile("fw-none.tgz", "image");
  ChooseFirmware(fw);
  Click(1031);
  ASSERT_TRUE(page->IsSearching());
  EXPECT_TRUE(page->IsTimerSet(CUpgrade::kListTimer));
  Click(1034);
  EXPECT_FALSE(page->IsSearching());
  EXPECT_EQ(page->GetDlgItemText(1031), U8("搜索NVR"));
  EXPECT_TRUE(ButtonsEnabled(false));
  EXPECT_EQ(page->FirmwarePath(), fw);
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_TRUE(ButtonsEnabled(true));
  EXPECT_FALSE(page->IsUpgrading());
  ::unlink(fw.c_str());

  // Five equal columns after a resize.
  host->show();
  page->show();
  ASSERT_TRUE(WaitUntil([&] { return page->isVisible(); }));
  const int before = list().geometry().width();
  page->resize(page->width() + 300, page->height() + 200);
  EXPECT_GT(list().geometry().width(), before);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(list().columnWidth(c), list().viewport()->width() / 5) << c;
}

TEST_F(UpgradeTest, ARowEndsAtItsVerdictNeverAt100Percent) {
  // A firmware of several chunks; recorder 0 holds its verdict back, 1 refuses the login,
  // 2 refuses the image, 3 is not ticked, 4 drops the link in the middle of the image.
  std::string image(300000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 1);
  const std::string path = WriteFile("fw.tgz", image);
  ListFakes({FakeNvr::Login::kAccept, FakeNvr::Login::kRefuse, FakeNvr::Login::kAccept, FakeNvr::Login::kAccept,
             FakeNvr::Login::kAccept});
  nvrs[4]->set_reset_after(150000);
  nvrs[0]->set_hold_verdict(true);
  nvrs[2]->set_refuse_upload({1});
  ChooseFirmware(path);
  Click(1032);  // 反选 ticks every row
  list().SetRowCheck(3, false);
  Click(1034);
  EXPECT_FALSE(page->IsSearching());
  EXPECT_TRUE(ButtonsEnabled(false));

  ASSERT_TRUE(WaitStatus(1, "NVR 登录失败"));
  ASSERT_TRUE(WaitStatus(2, "校验文件失败"));
  // The bar of a dropped link ends at once, with its reason.
  ASSERT_TRUE(WaitStatus(4, kLinkLost));
  EXPECT_TRUE(list().IsCellAlert(4, CUpgrade::kStatusColumn));
  ASSERT_TRUE(WaitUntil([&] { return !nvrs[0]->uploads().empty() && nvrs[0]->uploads()[0].complete; }));
  ASSERT_TRUE(WaitStatus(0, "上传文件成功"));
  // Every byte is there but no verdict: the row stays busy and its link stays up through
  // several watch ticks.
  for (int i = 0; i < 3; ++i) page->OnTimer(CUpgrade::kWatchTimer);
  IPC e;
  ASSERT_TRUE(page->GetEntry(0, &e));
  EXPECT_EQ(e.state, CUpgrade::kRowBusy);
  EXPECT_TRUE(ButtonsEnabled(false));
  EXPECT_EQ(nvrs[0]->open_connections(), 1);

  ASSERT_TRUE(nvrs[0]->release_verdict(0));
  ASSERT_TRUE(WaitStatus(0, "校验文件成功"));
  ASSERT_TRUE(WaitUntil([&] { return !page->IsUpgrading(); }));
  EXPECT_TRUE(ButtonsEnabled(true));
  EXPECT_EQ(Status(0), U8("校验文件成功"));
  EXPECT_EQ(Status(3), U8("空闲"));
  const auto uploads = nvrs[0]->uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].file_type, 1);
  EXPECT_EQ(uploads[0].data, image);
  EXPECT_EQ(nvrs[3]->logins(), 0);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(WaitUntil([&] { return nvrs[i]->open_connections() == 0; })) << i;
  EXPECT_TRUE(LinksFree());

  // The maintenance page's list menu: the failed rows ticked.
  page->RunListCommand(IDM_BOOT_TICK_FAILED, -1);
  for (int row = 0; row < 5; ++row) EXPECT_EQ(list().GetRowCheck(row), row == 1 || row == 2 || row == 4) << row;
}

TEST_F(UpgradeTest, ARecorderThatCannotBeReachedOrStopsAnsweringEndsAfter50Seconds) {
  ListFakes({FakeNvr::Login::kAccept}, 1);
  nvrs[0]->set_answer_requests(false);  // logs in, takes the announcement, never answers it
  ChooseFirmware(WriteFile("fw-mute.bin", std::string(1000, 'f')));
  Click(1032);
  Click(1034);
  ASSERT_TRUE(WaitUntil([&] { return nvrs[0]->requests().size() == 1; }));
  EXPECT_EQ(nvrs[0]->sequence(), "1022/1");
  Advance(49999);
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_TRUE(page->IsUpgrading());
  Advance(1);
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_FALSE(page->IsUpgrading());
  EXPECT_TRUE(ButtonsEnabled(true));
  for (int row = 0; row < 2; ++row) EXPECT_TRUE(WaitStatus(row, "超时-处理异常,请重新操作")) << row;
  EXPECT_TRUE(WaitUntil([&] { return nvrs[0]->open_connections() == 0; }));
}

TEST(AllPages, TheChannelFirmwareAndRecordPagesBecomeTheThirdToFifthTab) {
  GuiApp();
  CDravlins dlg(nullptr, true);
  ASSERT_TRUE(dlg.CreateIndirect());
  CTabSheet& tabs = dlg.TabSheet();
  ASSERT_EQ(tabs.Strip()->count(), 5);
  EXPECT_EQ(tabs.Strip()->tabText(2), U8("NVR通道管理"));
  EXPECT_EQ(tabs.Strip()->tabText(3), U8("固件升级"));
  EXPECT_EQ(tabs.Strip()->tabText(4), U8("生产记录"));
  EXPECT_EQ(dlg.HistoryPage().GetDlgItemText(IDC_HIST_WHERE), U8("生产记录未开启"));
  EXPECT_EQ(tabs.GetPage(2), &dlg.ChannelPage());
  EXPECT_EQ(tabs.GetPage(3), &dlg.UpgradePage());
  EXPECT_TRUE(dlg.UpgradePage().IsCreated());
  EXPECT_EQ(dlg.UpgradePage().List().GetColumnCount(), 5);
}

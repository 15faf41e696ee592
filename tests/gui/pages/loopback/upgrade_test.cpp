// The firmware page against fake recorders on 127.0.0.1: its handlers, and a row's end — only at
// the verdict, a refused login or a deadline, never at 100 % — with the buttons and the link
// table given back once no row is busy.
#include <atomic>
#include <memory>

#include "page_fixture.h"
#include "ui/pages/link_table.h"
#include "ui/pages/upgrade.h"
#include "ui/shell/dravlins.h"

using namespace page_test;

namespace {

constexpr int kButtons[] = {1031, 1032, 1033, 1034};

std::atomic<int64_t> g_now{1000000};
int64_t TestNow() { return g_now.load(); }

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    capture.Start();
    scoped = std::make_unique<ScopedUiSeam>(&seam);
    host = std::make_unique<QWidget>();
    host->resize(1000, 700);
    page = std::make_unique<CUpgrade>();
    ASSERT_TRUE(page->Create(IDD_UPGRADE, host.get()));
  }
  void TearDown() override {
    page.reset();
    CUpgrade::SetClockForTest(nullptr);
    stopsearchipc();
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

  // The search toggles; its listing timer runs every 100 ms. 升级 with no ticked row ends the
  // search, and the buttons come back at the first watch tick.
  Click(1031);
  ASSERT_TRUE(page->IsSearching());
  EXPECT_TRUE(page->IsTimerSet(CUpgrade::kListTimer));
  Click(1034);
  EXPECT_FALSE(page->IsSearching());
  EXPECT_EQ(page->GetDlgItemText(1031), U8("搜索NVR"));
  EXPECT_TRUE(ButtonsEnabled(false));
  EXPECT_EQ(page->FirmwarePath(), "/tmp/fw.tgz");
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_TRUE(ButtonsEnabled(true));
  EXPECT_FALSE(page->IsUpgrading());
  EXPECT_EQ(link_table::Holder(), nullptr);

  // While another page holds the link table, 升级 only says so.
  int other;
  ASSERT_TRUE(link_table::Claim(&other));
  Click(1034);
  link_table::Release(&other);
  EXPECT_EQ(seam.boxes.back().text, U8(link_table::kBusyText));
  EXPECT_TRUE(ButtonsEnabled(true));
  EXPECT_FALSE(page->IsUpgrading());

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
  // 2 refuses the image, 3 is not ticked.
  std::string image(300000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 1);
  const std::string path = WriteFile("fw.tgz", image);
  ListFakes({FakeNvr::Login::kAccept, FakeNvr::Login::kRefuse, FakeNvr::Login::kAccept, FakeNvr::Login::kAccept});
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
  EXPECT_EQ(link_table::Holder(), nullptr);
}

TEST_F(UpgradeTest, ARecorderThatCannotBeReachedOrStopsAnsweringEndsAfter50Seconds) {
  CUpgrade::SetClockForTest(&TestNow);
  ListFakes({FakeNvr::Login::kAccept}, 1);
  nvrs[0]->set_answer_requests(false);  // logs in, takes the announcement, never answers it
  ChooseFirmware(WriteFile("fw-mute.bin", std::string(1000, 'f')));
  Click(1032);
  Click(1034);
  ASSERT_TRUE(WaitUntil([&] { return nvrs[0]->requests().size() == 1; }));
  EXPECT_EQ(nvrs[0]->sequence(), "1022/1");
  g_now += 49999;
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_TRUE(page->IsUpgrading());
  EXPECT_EQ(Status(1), U8("开始连接NVR..."));
  g_now += 1;
  page->OnTimer(CUpgrade::kWatchTimer);
  EXPECT_FALSE(page->IsUpgrading());
  EXPECT_TRUE(ButtonsEnabled(true));
  for (int row = 0; row < 2; ++row) EXPECT_TRUE(WaitStatus(row, "超时-处理异常,请重新操作")) << row;
  EXPECT_TRUE(WaitUntil([&] { return nvrs[0]->open_connections() == 0; }));
}

TEST(AllPages, TheChannelAndFirmwarePagesBecomeTheThirdAndFourthTab) {
  GuiApp();
  CDravlins dlg(nullptr, true);
  ASSERT_TRUE(dlg.CreateIndirect());
  CTabSheet& tabs = dlg.TabSheet();
  ASSERT_EQ(tabs.Strip()->count(), 4);
  EXPECT_EQ(tabs.Strip()->tabText(2), U8("NVR通道管理"));
  EXPECT_EQ(tabs.Strip()->tabText(3), U8("固件升级"));
  EXPECT_EQ(tabs.GetPage(2), &dlg.ChannelPage());
  EXPECT_EQ(tabs.GetPage(3), &dlg.UpgradePage());
  EXPECT_TRUE(dlg.UpgradePage().IsCreated());
  EXPECT_EQ(dlg.UpgradePage().List().GetColumnCount(), 5);
}

// The refresh sequence against fake recorders on 127.0.0.1: real link threads, real uploads,
// the chain after each picture, the reboot, refusals, the 15-second supervision, and every way
// the page ends its links.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <memory>

#include "history/history.h"
#include "page_fixture.h"
#include "ui/pages/history_page.h"

using namespace page_test;

namespace {

constexpr char kDone[] = "设置成功,正在重启,请稍后...";

class SequenceTest : public PageTest {
 protected:
  // Lists one fake recorder per type; recorder i answers on its own port.
  void ListFakes(const std::vector<std::string>& types, FakeNvr::Login login = FakeNvr::Login::kAccept) {
    std::vector<sim::Device> recs;
    for (size_t i = 0; i < types.size(); ++i) {
      nvrs.push_back(std::make_unique<FakeNvr>(FakeNvr::Config{.login = login}));
      recs.push_back(Recorder(static_cast<int>(i), types[i], nvrs.back()->port()));
    }
    List(recs);
    ASSERT_EQ(list().GetRowCount(), static_cast<int>(types.size()));
  }
  // The row of recorder i (by its serial number).
  int RowOf(int i) {
    const QString serial = QString::fromStdString(Recorder(i, "").serial);
    for (int row = 0; row < list().GetRowCount(); ++row)
      if (list().GetCellText(row, 3) == serial) return row;
    return -1;
  }
  void TearDown() override {
    PageTest::TearDown();
    nvrs.clear();
  }

  std::vector<std::unique_ptr<FakeNvr>> nvrs;
};

constexpr char kPictureRequests[] = "1022/3 1022/4 1022/5 1007";

}  // namespace

TEST_F(SequenceTest, ThreePicturesReachEveryTickedRecorderThenItReboots) {
  // A boot picture over two chunks: the picture with padding behind its end marker.
  const std::string boot = GoodJpeg() + std::string(50000, '\0');
  const std::string chan = SmallPng('c', 60000);
  const std::string shut = SmallPng('s', 1234);
  const std::string bootPath = WriteFile("seq-boot.jpg", boot);
  const std::string chanPath = WriteFile("seq-chan.png", chan);
  const std::string shutPath = WriteFile("seq-shut.png", shut);
  ListFakes({"QV5108D", "QV5116D", "QV5232C", "QV5104A", "QV5108A", "QV5x36M", "QV5108D"});
  Choose(1040, bootPath);
  Choose(1017, chanPath);
  Choose(1018, shutPath);
  ASSERT_EQ(page->GetDlgItemText(1041), QString::fromStdString(bootPath));
  for (int i = 0; i < 6; ++i) list().SetRowCheck(RowOf(i), true);
  Click(1024);

  for (int i = 0; i < 6; ++i) ASSERT_TRUE(WaitStatus(RowOf(i), kDone)) << i << " " << Status(RowOf(i)).toStdString();
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const int row = RowOf(i);
    EXPECT_EQ(nvrs[i]->sequence(), kPictureRequests);
    const auto uploads = nvrs[i]->uploads();
    ASSERT_EQ(uploads.size(), 3u);
    const std::string* want[] = {&boot, &chan, &shut};
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(uploads[k].file_type, 3 + k);
      EXPECT_TRUE(uploads[k].complete);
      EXPECT_EQ(uploads[k].announced, static_cast<long>(want[k]->size()));
      EXPECT_TRUE(uploads[k].data == *want[k]) << "upload " << k << " differs";
    }
    EXPECT_TRUE(Showed(row, "NVR 登录成功"));
    EXPECT_TRUE(Showed(row, "上传文件中..100.."));
    EXPECT_TRUE(Showed(row, "设置图片成功"));
    EXPECT_TRUE(Showed(row, "正在进行重启"));
  }
  // The unticked recorder is never touched.
  EXPECT_EQ(nvrs[6]->logins(), 0);
  // The page's debugger lines show every login, but never the recorders' password.
  EXPECT_GE(capture.Count("Password=\"***\""), 6);
  EXPECT_EQ(capture.Count("pw123"), 0);
  EXPECT_EQ(Status(RowOf(6)), U8("空闲"));

  // The supervision logs every finished row out and gives the controls back.
  ASSERT_TRUE(WaitUntil([&] { return !page->IsTimerSet(CDravlinDlg::kSuperviseTimer); }, 20000));
  EXPECT_TRUE(page->IsWindowEnabled(1024));
  EXPECT_TRUE(LinksFree());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Status(RowOf(i)), U8(kDone)) << "no time-out after success";
    EXPECT_FALSE(list().IsCellAlert(RowOf(i), CDravlinDlg::kStatusColumn));
  }
  EXPECT_EQ(page->StatusText(), U8("已列出: 7\n已勾选: 6\n处理中: 0"));
  for (const auto& p : {bootPath, chanPath, shutPath}) ::unlink(p.c_str());
}

TEST_F(SequenceTest, FactoryOptionsSendTheBuiltInPictureAndTwoRestores) {
  ListFakes({"QV5108D"});
  Tick(1043, true);
  Tick(1044, true);
  Tick(1045, true);
  list().SetRowCheck(0, true);
  Click(1024);
  ASSERT_TRUE(WaitStatus(0, kDone)) << Status(0).toStdString();
  EXPECT_EQ(nvrs[0]->sequence(), "1022/3 1004/4 1004/5 1007");
  const auto uploads = nvrs[0]->uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].path, "RESOURCE_STARTPIC");
  EXPECT_TRUE(uploads[0].complete);
  EXPECT_TRUE(uploads[0].data == GoodJpeg());
}

TEST_F(SequenceTest, OnlyAChannelPictureSendsItThenRebootsWithoutTheBootStep) {
  const std::string chanPath = WriteFile("only-chan.png", SmallPng('c'));
  ListFakes({"QV5108D", "QV5116D"});
  Choose(1017, chanPath);
  list().SetRowCheck(0, true);
  list().SetRowCheck(1, true);
  Click(1024);
  for (int row = 0; row < 2; ++row) ASSERT_TRUE(WaitStatus(row, kDone)) << Status(row).toStdString();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(nvrs[i]->sequence(), "1022/4 1007");
  // The chain ran from the channel state only: the boot state's step never came up.
  EXPECT_EQ(capture.Count("start to set bkg logo\n"), 0);
  EXPECT_EQ(capture.Count("start to set shutdown logo\n"), 2);
  ::unlink(chanPath.c_str());
}

TEST_F(SequenceTest, RefusedUploadIsShownAndTheChainGoesOnToTheReboot) {
  const std::string bootPath = WriteFile("refused-boot.jpg", GoodJpeg());
  const std::string chanPath = WriteFile("refused-chan.png", SmallPng('c'));
  const std::string shutPath = WriteFile("refused-shut.png", SmallPng('s'));
  ListFakes({"QV5108D"});
  nvrs[0]->set_refuse_upload({3, 4, 5});
  Choose(1040, bootPath);
  Choose(1017, chanPath);
  Choose(1018, shutPath);
  list().SetRowCheck(0, true);
  Click(1024);
  // The reboot follows as designed, but the last text names what did not take.
  const std::string done = std::string(kDone) + "(开机画面、通道背景、关机画面设置失败)";
  ASSERT_TRUE(WaitStatus(0, done.c_str())) << Status(0).toStdString();
  EXPECT_TRUE(Showed(0, "设置图片失败"));
  EXPECT_FALSE(Showed(0, "设置图片成功"));
  EXPECT_EQ(nvrs[0]->sequence(), kPictureRequests);
  for (const auto& u : nvrs[0]->uploads()) EXPECT_TRUE(u.data.empty());
  for (const auto& p : {bootPath, chanPath, shutPath}) ::unlink(p.c_str());
}

TEST_F(SequenceTest, RefusedLoginEndsTheRowAndTheNextTickLogsItOut) {
  const std::string shutPath = WriteFile("login-shut.png", SmallPng('s'));
  ListFakes({"QV5108D"}, FakeNvr::Login::kRefuse);
  Choose(1018, shutPath);
  list().SetRowCheck(0, true);
  Click(1024);
  page->KillTimer(CDravlinDlg::kSuperviseTimer);
  ASSERT_TRUE(WaitStatus(0, "NVR 登录失败"));
  EXPECT_EQ(State(0), CDravlinDlg::kStateIdle);
  Supervise();
  EXPECT_TRUE(LinksFree());
  EXPECT_TRUE(page->IsWindowEnabled(1024));
  EXPECT_EQ(Status(0), U8("NVR 登录失败"));
  EXPECT_TRUE(list().IsCellAlert(0, CDravlinDlg::kStatusColumn));
  EXPECT_TRUE(nvrs[0]->requests().empty());
  ::unlink(shutPath.c_str());
}

TEST_F(SequenceTest, ListMenuTicksTheFailedRowsCopiesSerialsAndExportsTheList) {
  const std::string chanPath = WriteFile("menu-chan.png", SmallPng('c'));
  nvrs.push_back(std::make_unique<FakeNvr>(FakeNvr::Config{.login = FakeNvr::Login::kRefuse}));
  nvrs.push_back(std::make_unique<FakeNvr>());
  List({Recorder(0, "QV5108D", nvrs[0]->port()), Recorder(1, "QV5108D", nvrs[1]->port())});
  Choose(1017, chanPath);
  list().SetRowCheck(RowOf(0), true);
  list().SetRowCheck(RowOf(1), true);
  Click(1024);
  page->KillTimer(CDravlinDlg::kSuperviseTimer);
  ASSERT_TRUE(WaitStatus(RowOf(0), "NVR 登录失败"));
  ASSERT_TRUE(WaitStatus(RowOf(1), kDone));
  Supervise();
  list().SetRowCheck(RowOf(0), false);
  list().SetRowCheck(RowOf(1), true);

  seam.menuAnswer = IDM_BOOT_TICK_FAILED;
  page->OnListMenu(list().visualRect(list().model()->index(RowOf(1), 0)).center());
  ASSERT_EQ(seam.menus.size(), 1u);
  EXPECT_EQ(seam.menus[0].ids, (std::vector<int>{IDM_BOOT_EXPORT, IDM_BOOT_TICK_FAILED, IDM_BOOT_COPY_SERIALS, 0,
                                                 IDM_BOOT_SET_NETWORK, IDM_BOOT_FORMAT_DISK}));
  EXPECT_TRUE(list().GetRowCheck(RowOf(0)));
  EXPECT_FALSE(list().GetRowCheck(RowOf(1)));
  EXPECT_EQ(page->StatusToolTip(RowOf(0)), U8("NVR 登录失败\n失败原因: 登录被拒绝"));
  EXPECT_EQ(page->StatusToolTip(RowOf(1)), U8(kDone));

  page->RunListCommand(IDM_BOOT_COPY_SERIALS, RowOf(1));
  EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(Recorder(1, "").serial));

  const std::string csv = std::string(::testing::TempDir()) + "dravlin-menu-export-" + std::to_string(::getpid());
  seam.pathAnswers.push_back(QString::fromStdString(csv));
  page->RunListCommand(IDM_BOOT_EXPORT, -1);
  QFile file(QString::fromStdString(csv + ".csv"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << "a byte-order mark, for spreadsheets";
  const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QLatin1String("\r\n"), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0], U8("IP地址,网关地址,设备类型,序列号,状态"));
  EXPECT_TRUE(lines[1 + RowOf(0)].endsWith(U8(",NVR 登录失败")));
  EXPECT_TRUE(lines[1 + RowOf(1)].endsWith(U8(",\"设置成功,正在重启,请稍后...\"")))
      << lines[1 + RowOf(1)].toStdString();
  file.remove();
  ::unlink(chanPath.c_str());
}

TEST_F(SequenceTest, UnfinishedSequenceTimesOutAfterFifteenSecondsAndIsLoggedOut) {
  const std::string chanPath = WriteFile("timeout-chan.png", SmallPng('c'));
  // Recorder 0 logs in but never answers; recorder 1's port takes no connection at all.
  ListFakes({"QV5108D"});
  nvrs[0]->set_answer_requests(false);
  // The search still runs: recorder 1 joins the same list.
  {
    int sock = udp_bind(0x7F000001, 0, false);
    const std::string a = sim::build_answer(Recorder(1, "QV5116D", 1));
    udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port());
    sock_close(sock);
  }
  ASSERT_TRUE(WaitUntil([] { return getipccount() == 2; }));
  page->OnTimer(CDravlinDlg::kListTimer);
  ASSERT_EQ(list().GetRowCount(), 2);
  Choose(1017, chanPath);
  list().SetRowCheck(0, true);
  list().SetRowCheck(1, true);
  Click(1024);
  page->KillTimer(CDravlinDlg::kSuperviseTimer);
  ASSERT_TRUE(WaitUntil([&] { return nvrs[0]->requests().size() == 1; }));
  ASSERT_TRUE(WaitStatus(0, "NVR 登录成功"));

  Advance(14999);  // progress or not, the count runs from the start
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(State(row), CDravlinDlg::kStateChannelPicture);
    EXPECT_NE(Status(row), U8("超时-处理异常,请重新操作"));
  }
  EXPECT_FALSE(page->IsWindowEnabled(1024));
  Advance(1);
  Supervise();
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(Status(row), U8("超时-处理异常,请重新操作"));
    EXPECT_EQ(State(row), CDravlinDlg::kStateIdle);
  }
  EXPECT_TRUE(LinksFree());
  EXPECT_TRUE(WaitUntil([&] { return nvrs[0]->open_connections() == 0; }));
  EXPECT_TRUE(page->IsWindowEnabled(1024));
  EXPECT_FALSE(page->IsTimerSet(CDravlinDlg::kSuperviseTimer));
  ::unlink(chanPath.c_str());
}

struct EndCase {
  const char* name;
  int how;  // 0 new search, 1 main window closes, 2 page destroyed
};

TEST_F(SequenceTest, NewSearchWindowCloseAndPageEndLogEveryRecorderOut) {
  for (EndCase c : {EndCase{"new search", 0}, EndCase{"window closes", 1}, EndCase{"page destroyed", 2}}) {
    SCOPED_TRACE(c.name);
    if (!page) {
      page = std::make_unique<CDravlinDlg>();
      ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, host.get()));
    }
    if (page->IsSearching()) Click(1001);
    nvrs.clear();
    const std::string chanPath = WriteFile("end-chan.png", SmallPng('c'));
    ListFakes({"QV5108D", "QV5232C"});
    for (auto& n : nvrs) n->set_answer_requests(false);
    Choose(1017, chanPath);
    list().SetRowCheck(0, true);
    list().SetRowCheck(1, true);
    Click(1024);
    ASSERT_TRUE(WaitUntil([&] { return nvrs[0]->open_connections() == 1 && nvrs[1]->open_connections() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return nvrs[0]->requests().size() == 1 && nvrs[1]->requests().size() == 1; }));
    if (c.how == 0) {
      Click(1001);  // stop
      Click(1001);  // a new search
      EXPECT_EQ(list().GetRowCount(), 0);
    } else if (c.how == 1) {
      seam.boxAnswer = IDYES;  // the operator confirms closing over busy rows
      host->show();
      host->close();
    } else {
      page.reset();
    }
    EXPECT_TRUE(LinksFree());
    EXPECT_TRUE(WaitUntil([&] { return nvrs[0]->open_connections() == 0 && nvrs[1]->open_connections() == 0; }));
    ::unlink(chanPath.c_str());
  }
}

TEST_F(SequenceTest, ChannelModeAndBuzzerRunsLogInAndShowTheAnswers) {
  ListFakes({"QV5108D"});
  list().SetRowCheck(0, true);
  Click(1048);
  EXPECT_EQ(page->ChannelAddMode(), 2);
  ASSERT_TRUE(WaitStatus(0, kDone)) << Status(0).toStdString();
  EXPECT_TRUE(Showed(0, "上传配置成功"));
  EXPECT_EQ(State(0), CDravlinDlg::kStateIdle);
  // Each run is a job of its own: it logs in, sends, and leaves.
  page->CheckDlgButton(1015, true);
  Click(1039);
  ASSERT_TRUE(WaitStatus(0, "设置成功")) << Status(0).toStdString() << capture.Text();
  EXPECT_EQ(nvrs[0]->sequence(), "1006 3026");
  EXPECT_EQ(nvrs[0]->logins(), 2);
}

struct AnswerCase {
  const char* name;
  FakeNvr::Config config;
  int button;  // 1039 buzzer, 1047 channel mode, 1024 the picture sequence
  const char* text;
  bool failed;
};

TEST_F(SequenceTest, EveryAnswerIsShownInItsWordsAndFailuresInRed) {
  const std::string chanPath = WriteFile("answer-chan.png", SmallPng('c'));
  const AnswerCase cases[] = {
      {"buzzer set", {.buzzer_flag = 1}, 1039, "设置成功", false},
      {"buzzer unsupported", {.buzzer_flag = 2}, 1039, "该型号不支持设置", true},
      {"buzzer failed", {.buzzer_flag = 0}, 1039, "设置失败", true},
      {"mode set (1)", {.chnmode_flag = 1}, 1047, kDone, false},
      {"mode failed", {.chnmode_flag = 2}, 1047, "设置失败", true},
      {"reboot refused", {.reboot_flag = 1}, 1024, "设置失败", true},
      {"picture rejected, reboot done",
       {.reject_verdict = {4}},
       1024,
       "设置成功,正在重启,请稍后...(通道背景设置失败)",
       true},
  };
  std::vector<sim::Device> recs;
  for (size_t i = 0; i < std::size(cases); ++i) {
    nvrs.push_back(std::make_unique<FakeNvr>(cases[i].config));
    recs.push_back(Recorder(static_cast<int>(i), "QV5108D", nvrs.back()->port()));
  }
  List(recs);
  Choose(1017, chanPath);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const AnswerCase& c = cases[i];
    SCOPED_TRACE(c.name);
    const int row = RowOf(static_cast<int>(i));
    for (int r = 0; r < list().GetRowCount(); ++r) list().SetRowCheck(r, r == row);
    Click(c.button);
    ASSERT_TRUE(WaitStatus(row, c.text)) << Status(row).toStdString();
    ASSERT_TRUE(WaitUntil([&] { return State(row) == CDravlinDlg::kStateIdle; }));
    EXPECT_EQ(list().IsCellAlert(row, CDravlinDlg::kStatusColumn), c.failed);
    Supervise();
  }
  ::unlink(chanPath.c_str());
}

TEST_F(SequenceTest, FactoryBootPictureMissingGoesOnWithTheChannelPicture) {
  // A page whose built-in picture could not be loaded.
  page.reset();
  CDravlinDlg::SetFactoryLookupForTest([](int, const unsigned char**, size_t*) { return false; });
  page = std::make_unique<CDravlinDlg>();
  ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, host.get()));
  CDravlinDlg::SetFactoryLookupForTest(nullptr);
  EXPECT_EQ(page->Factory().size, 0u);
  EXPECT_EQ(capture.Count("find resource error\n"), 1);
  ListFakes({"QV5108D"});
  Tick(1043, true);
  Tick(1044, true);
  list().SetRowCheck(0, true);
  Click(1024);
  ASSERT_TRUE(WaitStatus(0, kDone)) << Status(0).toStdString();
  EXPECT_EQ(nvrs[0]->sequence(), "1004/4 1007");
}

TEST_F(SequenceTest, SixtyFourRecordersRefreshInParallel) {
  const std::string bootPath = WriteFile("par-boot.jpg", GoodJpeg());
  const std::string chanPath = WriteFile("par-chan.png", SmallPng('c', 50000));
  const std::string shutPath = WriteFile("par-shut.png", SmallPng('s', 20000));
  std::vector<std::string> types(64, "QV5108D");
  ListFakes(types);
  Choose(1040, bootPath);
  Choose(1017, chanPath);
  Choose(1018, shutPath);
  Click(1003);  // every row is a QV5 type
  Click(1024);
  // The runner's clock stands still here: a loaded machine cannot turn this into a race
  // against the 15 s limit.
  const bool allDone = WaitUntil(
      [&] {
        for (int row = 0; row < 64; ++row)
          if (Status(row) != U8(kDone)) return false;
        return true;
      },
      60000);
  for (int row = 0; row < 64 && !allDone; ++row)
    if (Status(row) != U8(kDone)) ADD_FAILURE() << row << " " << Status(row).toStdString();
  ASSERT_TRUE(allDone);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(nvrs[i]->sequence(), kPictureRequests) << i;
    EXPECT_EQ(nvrs[i]->uploads().size(), 3u) << i;
  }
  Supervise();
  EXPECT_FALSE(page->IsTimerSet(CDravlinDlg::kSuperviseTimer));
  EXPECT_TRUE(page->IsWindowEnabled(1024));
  for (int row = 0; row < 64; ++row) EXPECT_EQ(Status(row), U8(kDone)) << row;
  EXPECT_TRUE(LinksFree());
  for (const auto& p : {bootPath, chanPath, shutPath}) ::unlink(p.c_str());
}

TEST_F(SequenceTest, EveryRowsJobIsRecordedAndTheRecordPageShowsIt) {
  const std::string db =
      std::string(::testing::TempDir()) + "dravlin-page-history-" + std::to_string(::getpid()) + ".sqlite";
  std::string why;
  ASSERT_EQ(runner_host::OpenHistory(db, &why), 0) << why;
  const std::string chanPath = WriteFile("history-chan.png", SmallPng('c'));
  nvrs.push_back(std::make_unique<FakeNvr>());
  nvrs.push_back(std::make_unique<FakeNvr>(FakeNvr::Config{.login = FakeNvr::Login::kRefuse}));
  List({Recorder(0, "QV5108D", nvrs[0]->port()), Recorder(1, "QV5116D", nvrs[1]->port())});
  Choose(1017, chanPath);
  list().SetRowCheck(RowOf(0), true);
  list().SetRowCheck(RowOf(1), true);
  CHistoryPage record;
  ASSERT_TRUE(record.Create(IDD_HISTORY, host.get()));
  EXPECT_EQ(record.List().GetRowCount(), 0);
  Click(1024);
  // The page reads the store again as each job ends.
  ASSERT_TRUE(WaitUntil([&] { return record.List().GetRowCount() == 2; }));
  for (int r = 0; r < 2; ++r) {
    const bool first =
        record.List().GetCellText(r, CHistoryPage::kColSerial) == QString::fromStdString(Recorder(0, "").serial);
    EXPECT_EQ(record.List().GetCellText(r, CHistoryPage::kColCommand), U8("刷新图片并重启"));
    EXPECT_EQ(record.List().GetCellText(r, CHistoryPage::kColResult), U8(first ? "成功" : "失败"));
    EXPECT_EQ(record.List().GetCellText(r, CHistoryPage::kColType), U8(first ? "QV5108D" : "QV5116D"));
  }
  history::Filter f;
  f.serial = Recorder(0, "").serial;
  std::vector<history::JobRecord> rows;
  ASSERT_EQ(runner_host::History()->query(f, &rows), history::kHistoryOk);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].front, "console");
  ASSERT_EQ(rows[0].files.size(), 1u);
  EXPECT_EQ(rows[0].files[0].kind, "channel");
  EXPECT_EQ(rows[0].files[0].size, 3000);
  // Filtered by serial.
  record.SetDlgItemText(IDC_HIST_SERIAL, QString::fromStdString(Recorder(1, "").serial));
  record.OnCommand(IDC_HIST_FILTER, BN_CLICKED);
  ASSERT_EQ(record.List().GetRowCount(), 1);
  EXPECT_TRUE(record.List().IsCellAlert(0, CHistoryPage::kColResult));
  ASSERT_EQ(runner_host::OpenHistory("off", &why), 0);
  for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((db + suffix).c_str());
  ::unlink(chanPath.c_str());
}

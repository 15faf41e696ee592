// The boot-picture page without a logged-in recorder: listing, selection, picture choosers,
// factory options, controls, hidden groups, and what every link event does to a row.
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollBar>
#include <QTest>

#include "link/transfer.h"
#include "page_fixture.h"

using namespace page_test;

namespace {

constexpr int kDisableIds[] = {1001, 1003, 1005, 1041, 1040, 1043, 1042, 1017, 1044, 1046,
                               1018, 1045, 1024, 1047, 1036, 1048, 1049, 1050, 1039};
constexpr int kHiddenIds[] = {1058, 1059, 1060, 1023, 1038, 1047, 1036, 1048, 1049, 1050, 1061, 1062, 1039, 1015};

}  // namespace

TEST_F(PageTest, StartsWithColumnsHiddenGroupsFactoryPictureAndCounts) {
  const char* headings[] = {"IP地址", "网关地址", "设备类型", "序列号", "状态"};
  ASSERT_EQ(list().GetColumnCount(), 5);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(list().GetHeaderText(c), U8(headings[c]));
  for (int id : kHiddenIds) EXPECT_FALSE(page->IsWindowVisible(id)) << id;
  EXPECT_TRUE(page->IsWindowVisible(1024));
  EXPECT_EQ(page->ComboGetCount(1023), 6);
  EXPECT_EQ(page->ComboGetCurSel(1023), 0);
  EXPECT_FALSE(page->IsSearching());
  EXPECT_EQ(page->Factory().size, factory_boot_jpeg_size());
  EXPECT_EQ(page->StatusText(), U8("已列出: 0\n已勾选: 0\n处理中: 0"));
}

TEST_F(PageTest, ListsRecordersIdleWithDeviceTextsFromGbk) {
  std::vector<sim::Device> recs = {Recorder(0, "QV5108D"), Recorder(1, ToGbk(U8("NVR-录像机"))),
                                   Recorder(2, "QV5232C")};
  List(recs);
  ASSERT_EQ(list().GetRowCount(), 3);
  EXPECT_EQ(page->Shown(), 3);
  for (int row = 0; row < 3; ++row) {
    const int i = list().GetCellText(row, 3).right(5).toInt();  // the serial's index
    ASSERT_GE(i, 0);
    ASSERT_LT(i, 3);
    EXPECT_EQ(list().GetCellText(row, 0), U8("127.0.0.1"));
    EXPECT_EQ(list().GetCellText(row, 1), QString::fromStdString(recs[i].lan.gateway));
    EXPECT_EQ(list().GetCellText(row, 2), FromGbk(recs[i].type));
    EXPECT_EQ(list().GetCellText(row, 3), QString::fromStdString(recs[i].serial));
    EXPECT_EQ(Status(row), U8("空闲"));
    IPC e;
    ASSERT_TRUE(page->GetEntry(row, &e));
    EXPECT_EQ(e.index, row);
    EXPECT_EQ(e.state, CDravlinDlg::kStateIdle);
  }
  bool sawChinese = false;
  for (int row = 0; row < 3; ++row) sawChinese |= list().GetCellText(row, 2) == U8("NVR-录像机");
  EXPECT_TRUE(sawChinese);
  EXPECT_EQ(page->StatusText(), U8("已列出: 3\n已勾选: 0\n处理中: 0"));
}

TEST_F(PageTest, ListingTickAppendsOnlyNewSlots) {
  List({Recorder(0, "QV5108D"), Recorder(1, "QV5116D")});
  page->OnTimer(CDravlinDlg::kListTimer);
  EXPECT_EQ(list().GetRowCount(), 2);
  // The same serial number again refreshes its record but adds no row.
  int sock = udp_bind(0x7F000001, 0, false);
  sim::Device again = Recorder(1, "QV5116D");
  again.lan.gateway = "127.9.9.9";
  const std::string a = sim::build_answer(again);
  udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port());
  const std::string b = sim::build_answer(Recorder(2, "QV5104A"));
  udp_sendto(sock, b.data(), static_cast<int>(b.size()), 0x7F000001, searchipc_port());
  sock_close(sock);
  ASSERT_TRUE(WaitUntil([] { return getipccount() == 3; }));
  page->OnTimer(CDravlinDlg::kListTimer);
  ASSERT_EQ(list().GetRowCount(), 3);
  for (int row = 0; row < 3; ++row) EXPECT_NE(list().GetCellText(row, 1), U8("127.9.9.9"));
}

TEST_F(PageTest, SelectAllTicksExactlyQv5TypesAndInvertFlipsEveryRow) {
  List({Recorder(0, "QV5108D"), Recorder(1, "NVR-X16"), Recorder(2, "QV5232C"), Recorder(3, "XQV5-A"),
        Recorder(4, "qv5108d")});
  ASSERT_EQ(list().GetRowCount(), 5);
  for (int row = 0; row < 5; ++row) list().SetRowCheck(row, true);
  Click(1003);
  for (int row = 0; row < 5; ++row) {
    const QString type = list().GetCellText(row, 2);
    EXPECT_EQ(list().GetRowCheck(row), type.contains(U8("QV5"))) << type.toStdString();
  }
  EXPECT_EQ(page->StatusText(), U8("已列出: 5\n已勾选: 3\n处理中: 0"));
  std::vector<bool> before;
  for (int row = 0; row < 5; ++row) before.push_back(list().GetRowCheck(row));
  Click(1005);
  for (int row = 0; row < 5; ++row) EXPECT_EQ(list().GetRowCheck(row), !before[row]);
  EXPECT_EQ(page->StatusText(), U8("已列出: 5\n已勾选: 2\n处理中: 0"));
}

TEST_F(PageTest, ClickOnACheckBoxLogsTheNewState) {
  List({Recorder(0, "QV5108D")});
  host->show();
  page->show();
  ASSERT_TRUE(WaitUntil([&] { return list().isVisible(); }));
  const QRect box = list().CheckBoxRect(0);
  QTest::mousePress(list().viewport(), Qt::LeftButton, {}, box.center());
  QTest::mouseRelease(list().viewport(), Qt::LeftButton, {}, box.center());
  ASSERT_TRUE(list().GetRowCheck(0));
  EXPECT_EQ(capture.Count("0 nvr checked\n"), 1);
  QTest::mousePress(list().viewport(), Qt::LeftButton, {}, box.center());
  QTest::mouseRelease(list().viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(capture.Count("0 nvr unchecked\n"), 1);
  EXPECT_EQ(page->StatusText(), U8("已列出: 1\n已勾选: 0\n处理中: 0"));
}

struct ChooserCase {
  const char* name;
  int button;
  int field;
  std::string content;
  bool kept;
  const char* box;  // null: no message box
};

TEST_F(PageTest, PictureChoosersCheckTheFileAndClearThePathOnFailure) {
  const std::vector<ChooserCase> cases = {
      {"boot.jpg", 1040, 1041, GoodJpeg(), true, nullptr},
      {"garbage.jpg", 1040, 1041, std::string(2000, 'x'), false, "解码失败,不能做logo,请检查该图片文件是否满足要求"},
      {"big.jpg", 1040, 1041, std::string(245761, 'x'), false, "图片文件大小请限制在 240 KByte内"},
      {"chan.png", 1017, 1042, SmallPng('c', 65536), true, nullptr},
      {"bigchan.png", 1017, 1042, SmallPng('c', 65537), false, "图片文件大小请限制在 64 KByte内"},
      {"shut.png", 1018, 1046, SmallPng('s'), true, nullptr},
      {"bigshut.png", 1018, 1046, SmallPng('s', 70000), false, "图片文件大小请限制在 64 KByte内"},
  };
  for (const ChooserCase& c : cases) {
    SCOPED_TRACE(c.name);
    // A path shown before is replaced (or cleared) by the new choice.
    page->SetDlgItemText(c.field, "previous");
    const std::string path = WriteFile(c.name, c.content);
    const size_t boxes = seam.boxes.size();
    Choose(c.button, path);
    const QString shown = page->GetDlgItemText(c.field);
    if (c.kept) {
      EXPECT_EQ(shown, QString::fromStdString(path));
      EXPECT_EQ(seam.boxes.size(), boxes);
    } else {
      EXPECT_TRUE(shown.isEmpty());
      ASSERT_EQ(seam.boxes.size(), boxes + 1);
      EXPECT_EQ(seam.boxes.back().text, U8(c.box));
    }
    const int kind = c.button == 1040 ? kPictureBoot : c.button == 1017 ? kPictureChannel : kPictureShutdown;
    EXPECT_EQ(page->PicturePath(kind), shown);
    ::unlink(path.c_str());
  }
  // The filters offered.
  ASSERT_GE(seam.choosers.size(), 3u);
  EXPECT_EQ(seam.choosers[0].filter,
            U8("Jpg (*.jpg;*.jpeg)|*.jpg;*.jpeg|Bin (*.bin;*.Bin)|*.bin;*.Bin|All Files (*.*)|*.*||"));
  EXPECT_EQ(seam.choosers[3].filter, U8("Png (*.png)|*.png|All Files (*.*)|*.*||"));
  EXPECT_EQ(seam.choosers[5].filter, U8("Png (*.png)|*.png|All Files (*.*)|*.*||"));
}

TEST_F(PageTest, CancelledChooserChangesNothing) {
  const std::string path = WriteFile("keep.png", SmallPng('k'));
  Choose(1018, path);
  ASSERT_EQ(page->GetDlgItemText(1046), QString::fromStdString(path));
  Click(1018);  // no answer queued: the chooser is cancelled
  EXPECT_EQ(page->GetDlgItemText(1046), QString::fromStdString(path));
  EXPECT_EQ(page->PicturePath(kPictureShutdown), QString::fromStdString(path));
  ::unlink(path.c_str());
}

TEST_F(PageTest, FactoryOptionsDisableTheirKindAndClearItsPath) {
  struct Kind {
    int option, field, button, chooser;
    std::string file;
  };
  const Kind kinds[] = {{1043, 1041, 1040, 1040, GoodJpeg()},
                        {1044, 1042, 1017, 1017, SmallPng('c')},
                        {1045, 1046, 1018, 1018, SmallPng('s')}};
  int k = 0;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.option);
    const std::string path = WriteFile("factory" + std::to_string(k++), kind.file);
    Choose(kind.chooser, path);
    ASSERT_FALSE(page->GetDlgItemText(kind.field).isEmpty());
    Tick(kind.option, true);
    EXPECT_FALSE(page->IsWindowEnabled(kind.field));
    EXPECT_FALSE(page->IsWindowEnabled(kind.button));
    EXPECT_TRUE(page->GetDlgItemText(kind.field).isEmpty());
    Tick(kind.option, false);
    EXPECT_TRUE(page->IsWindowEnabled(kind.field));
    EXPECT_TRUE(page->IsWindowEnabled(kind.button));
    EXPECT_TRUE(page->GetDlgItemText(kind.field).isEmpty()) << "the cleared path stays cleared";
    ::unlink(path.c_str());
  }
}

TEST_F(PageTest, RefreshWithNothingToSendDisablesThenReenablesAtFirstTick) {
  List({Recorder(0, "QV5108D"), Recorder(1, "QV5116D")});
  list().SetRowCheck(0, true);
  list().SetRowCheck(1, true);
  Tick(1045, true);
  Tick(1045, false);
  Click(1024);
  for (int id : kDisableIds) EXPECT_FALSE(page->IsWindowEnabled(id)) << id;
  EXPECT_TRUE(page->IsTimerSet(CDravlinDlg::kSuperviseTimer));
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(State(row), CDravlinDlg::kStateIdle);
    EXPECT_EQ(Status(row), U8("空闲"));
  }
  Supervise();
  EXPECT_FALSE(page->IsTimerSet(CDravlinDlg::kSuperviseTimer));
  for (int id : kDisableIds) EXPECT_TRUE(page->IsWindowEnabled(id)) << id;
}

TEST_F(PageTest, EnablingKeepsTheFactoryKindsDisabled) {
  Tick(1044, true);
  Click(1024);  // no ticked row: nothing runs
  EXPECT_FALSE(page->IsWindowEnabled(1001));
  Supervise();
  EXPECT_TRUE(page->IsWindowEnabled(1001));
  EXPECT_TRUE(page->IsWindowEnabled(1044));
  EXPECT_FALSE(page->IsWindowEnabled(1042));
  EXPECT_FALSE(page->IsWindowEnabled(1017));
  EXPECT_TRUE(page->IsWindowEnabled(1041));
  EXPECT_TRUE(page->IsWindowEnabled(1040));
}

TEST_F(PageTest, RowsBeyondTheFreeLinksWaitAndStartAsLinksAreGivenBack) {
  // Nothing answers on port 1: every started row keeps trying until its 15 s are up.
  std::vector<sim::Device> recs;
  for (int i = 0; i < 66; ++i) recs.push_back(Recorder(i, "QV5108D"));
  List(recs);
  ASSERT_EQ(list().GetRowCount(), 66);
  const std::string path = WriteFile("boot64.jpg", GoodJpeg());
  Choose(1040, path);
  Click(1003);
  Click(1024);
  ASSERT_TRUE(WaitStatus(64, "等待空闲连接"));
  EXPECT_EQ(Status(65), U8("等待空闲连接"));
  EXPECT_EQ(runner_host::Runner().links_in_use(), 64);
  EXPECT_EQ(page->StatusText(), U8("已列出: 66\n已勾选: 66\n处理中: 66"));
  Advance(15000);
  EXPECT_EQ(Status(0), U8("超时-处理异常,请重新操作"));
  EXPECT_TRUE(list().IsCellAlert(0, CDravlinDlg::kStatusColumn));
  // The waiting rows take the links the first ones gave back.
  ASSERT_TRUE(WaitStatus(65, "NVR 连接中"));
  EXPECT_LE(runner_host::Runner().links_in_use(), 64);
  Advance(15000);
  ASSERT_TRUE(WaitStatus(65, "超时-处理异常,请重新操作"));
  Supervise();
  for (int id : kDisableIds) EXPECT_TRUE(page->IsWindowEnabled(id)) << id;
  ::unlink(path.c_str());
}

TEST_F(PageTest, ALoginUnderWaySaysSoRatherThanIdle) {
  List({Recorder(0, "QV5108D")});  // port 1: nothing answers, the link keeps trying
  const std::string path = WriteFile("connecting.jpg", GoodJpeg());
  Choose(1040, path);
  list().SetRowCheck(0, true);
  Click(1024);
  EXPECT_TRUE(WaitStatus(0, "NVR 连接中"));
  ::unlink(path.c_str());
}

TEST_F(PageTest, SearchButtonStopsAndANewSearchEmptiesTheList) {
  List({Recorder(0, "QV5108D"), Recorder(1, "QV5116D")});
  EXPECT_EQ(page->GetDlgItemText(1001), U8("停止"));
  Click(1001);
  EXPECT_FALSE(page->IsSearching());
  EXPECT_EQ(page->GetDlgItemText(1001), U8("搜索NVR"));
  EXPECT_EQ(capture.Count("Func:stopsearchipc....\n"), 1);
  EXPECT_EQ(list().GetRowCount(), 2) << "stopping keeps the list";
  Click(1001);
  EXPECT_TRUE(page->IsSearching());
  EXPECT_EQ(list().GetRowCount(), 0);
  EXPECT_EQ(page->Shown(), 0);
  EXPECT_FALSE(page->GetEntry(0, nullptr));
  EXPECT_EQ(capture.Count("Func:startsearchipc....\n"), 2);
}

TEST_F(PageTest, SearchThatCannotStartShowsTheMessageAndStaysIdle) {
  ASSERT_EQ(startsearchipc(), 1);  // someone else's search runs
  Click(1001);
  EXPECT_FALSE(page->IsSearching());
  ASSERT_EQ(seam.boxes.size(), 1u);
  EXPECT_EQ(seam.boxes[0].text, U8("[IP_NET_DVR_StartSearchIPC]启动搜索线程失败"));
  EXPECT_EQ(page->GetDlgItemText(1001), U8("搜索NVR"));
  EXPECT_FALSE(page->IsTimerSet(CDravlinDlg::kListTimer));
}

struct ModelCase {
  int row;
  struct Button {
    int id;
    const char* text;  // null: hidden
    int x, w;
  } buttons[5];
};

TEST_F(PageTest, ModelSelectionRelabelsAndPlacesTheChannelButtons) {
  const ModelCase cases[] = {
      {0,
       {{1047, "16通道", 173, 60},
        {1036, "25通道", 243, 60},
        {1048, "32通道", 313, 60},
        {1049, "9通道", 103, 60},
        {1050, "4通道", 33, 60}}},
      {1,
       {{1047, "4通道", 50, 130},
        {1036, "8通道", 220, 130},
        {1048, nullptr, 350, 0},
        {1049, nullptr, 360, 0},
        {1050, nullptr, 370, 0}}},
      {2,
       {{1047, "9通道", 153, 100},
        {1036, "16通道", 273, 100},
        {1048, "4通道", 33, 100},
        {1049, nullptr, 360, 0},
        {1050, nullptr, 370, 0}}},
      {3,
       {{1047, "36通道", 313, 60},
        {1036, "25通道", 243, 60},
        {1048, "16通道", 173, 60},
        {1049, "9通道", 103, 60},
        {1050, "4通道", 33, 60}}},
      {4,
       {{1047, "4通道", 50, 130},
        {1036, "6通道", 220, 130},
        {1048, nullptr, 350, 0},
        {1049, nullptr, 360, 0},
        {1050, nullptr, 370, 0}}},
      {5,
       {{1047, "8通道", 50, 130},
        {1036, "10通道", 220, 130},
        {1048, nullptr, 350, 0},
        {1049, nullptr, 360, 0},
        {1050, nullptr, 370, 0}}},
  };
  for (const ModelCase& c : cases) {
    SCOPED_TRACE(c.row);
    page->ComboSetCurSel(1023, c.row);
    page->OnCommand(1023, CBN_SELCHANGE);
    for (const auto& b : c.buttons) {
      SCOPED_TRACE(b.id);
      const QRect r = page->GetDlgItemRect(b.id);
      if (b.text) {
        EXPECT_EQ(page->GetDlgItemText(b.id), U8(b.text));
        EXPECT_TRUE(page->IsWindowVisible(b.id));
        EXPECT_EQ(r, QRect(b.x, 545, b.w, 20));
      } else {
        EXPECT_TRUE(page->GetDlgItemText(b.id).isEmpty());
        EXPECT_FALSE(page->IsWindowVisible(b.id));
        EXPECT_EQ(r.x(), b.x);
        EXPECT_EQ(r.y(), 450);
        EXPECT_EQ(r.width(), 0);
        EXPECT_EQ(r.height(), 0);
      }
    }
  }
}

TEST_F(PageTest, ChannelButtonsSetTheModeAndBuzzerReadsItsBox) {
  const std::pair<int, int> modes[] = {{1047, 0}, {1036, 1}, {1048, 2}, {1049, 3}, {1050, 4}};
  for (auto [id, mode] : modes) {
    Click(id);
    EXPECT_EQ(page->ChannelAddMode(), mode) << id;
  }
  List({Recorder(0, "QV5108D")});
  list().SetRowCheck(0, true);
  page->CheckDlgButton(1015, true);
  Click(1039);  // nothing listens on port 1: the row's link keeps trying to connect
  EXPECT_EQ(page->BuzzerEnable(), 1);
  page->CheckDlgButton(1015, false);
  Click(1039);
  EXPECT_EQ(page->BuzzerEnable(), 0);
  EXPECT_FALSE(page->IsTimerSet(CDravlinDlg::kSuperviseTimer)) << "these runs are not supervised";
  EXPECT_TRUE(page->IsWindowEnabled(1001)) << "nor do they disable the page";
}

TEST_F(PageTest, ResizeLaysOutAndSplitsTheListIntoFiveColumns) {
  host->show();
  page->show();
  ASSERT_TRUE(WaitUntil([&] { return page->isVisible(); }));
  for (QSize size : {QSize(900, 620), QSize(1400, 900), QSize(1003, 700)}) {
    page->resize(size);
    const int w = list().viewport()->width();  // the client area, not the frame
    for (int c = 0; c < 5; ++c) EXPECT_EQ(list().columnWidth(c), w / 5) << size.width();
  }
  const QRect small = list().geometry();
  page->resize(1800, 1000);
  EXPECT_GT(list().geometry().width(), small.width());
  QWidget* label = GetDlgItem(page.get(), CDravlinDlg::kStatusLabelId);
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(page->rect().contains(label->geometry()));

#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "drawing 40 visible rows runs on Qt's own uninstrumented threads";
#endif
  // Enough rows for a vertical scroll bar: the columns shrink with the client area instead of
  // pushing the status column under a horizontal scroll bar.
  page->resize(900, 620);
  std::vector<sim::Device> many;
  for (int i = 0; i < 40; ++i) many.push_back(Recorder(i, "QV5108D"));
  List(many);
  ASSERT_TRUE(WaitUntil([&] { return list().verticalScrollBar()->isVisible(); }));
  QApplication::processEvents();
  int sum = 0;
  for (int c = 0; c < 5; ++c) sum += list().columnWidth(c);
  EXPECT_LE(sum, list().viewport()->width());
  EXPECT_FALSE(list().horizontalScrollBar()->isVisible());
}

TEST_F(PageTest, ClosingOrEscapeWithBusyRowsAsksFirst) {
  List({Recorder(0, "QV5108D")});
  auto closeHost = [&] {
    QCloseEvent ev;
    QApplication::sendEvent(host.get(), &ev);
    return ev.isAccepted();
  };
  auto escapeHost = [&] {
    QKeyEvent ev(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    return QApplication::sendEvent(host.get(), &ev);  // true: taken by the page
  };
  EXPECT_TRUE(closeHost());
  EXPECT_TRUE(seam.boxes.empty()) << "an idle page closes without asking";
  list().SetRowCheck(0, true);
  Click(1039);  // nothing listens on port 1: the row keeps trying, busy
  seam.boxAnswer = IDNO;
  EXPECT_FALSE(closeHost());
  EXPECT_TRUE(escapeHost());
  ASSERT_EQ(seam.boxes.size(), 2u);
  EXPECT_EQ(seam.boxes[0].text, U8("仍有设备正在处理,关闭窗口将中断它们。确定要关闭吗?"));
  EXPECT_EQ(seam.boxes[0].type, static_cast<unsigned>(MB_YESNO | MB_ICONQUESTION));
  seam.boxAnswer = IDYES;
  EXPECT_TRUE(closeHost());
}

TEST_F(PageTest, ListingFollowsASearchTableThatStartedAfresh) {
  List({Recorder(0, "QV5108D"), Recorder(1, "QV5116D")});
  ASSERT_EQ(list().GetRowCount(), 2);
  // The process-wide search is restarted behind the page: its table begins again at slot 0.
  stopsearchipc();
  ASSERT_EQ(startsearchipc(), 1);
  page->OnTimer(CDravlinDlg::kListTimer);
  EXPECT_EQ(page->Shown(), 0);
  ASSERT_TRUE(WaitUntil([] { return searchipc_port() != 0; }));
  int sock = udp_bind(0x7F000001, 0, false);
  ASSERT_GE(sock, 0);
  const sim::Device late = Recorder(2, "QV5104A");
  const std::string a = sim::build_answer(late);
  udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port());
  sock_close(sock);
  ASSERT_TRUE(WaitUntil([] { return getipccount() == 1; }));
  page->OnTimer(CDravlinDlg::kListTimer);
  ASSERT_EQ(list().GetRowCount(), 3) << "rows are only appended";
  EXPECT_EQ(list().GetCellText(2, 3), QString::fromStdString(late.serial));
  IPC e;
  ASSERT_TRUE(page->GetEntry(2, &e));
  EXPECT_EQ(e.index, 0);
  EXPECT_EQ(page->Shown(), 1);
}

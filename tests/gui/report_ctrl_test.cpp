// The report list: check boxes and their notification, keys, type-aware sorting, row records.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalSpy>
#include <random>

#include "gui_test.h"
#include "ui/controls/report_ctrl.h"

namespace {

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    list = std::make_unique<CReportCtrl>();
    list->resize(600, 400);
    list->SetExtendedStyle(list->GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES);
    list->InsertColumn(0, "name", LVCFMT_LEFT, 150);
    list->InsertColumn(1, "value", LVCFMT_LEFT, 150);
    list->InsertColumn(2, "state", LVCFMT_LEFT, 150);
    list->show();
    ASSERT_TRUE(WaitUntil([&] { return list->isVisible(); }));
  }
  void TearDown() override { list.reset(); }

  void Fill(const QStringList& values, int column = 1) {
    for (int i = 0; i < values.size(); ++i) {
      int r = list->InsertRow(list->GetRowCount(), QStringLiteral("row%1").arg(i));
      list->SetCellText(r, column, values[i]);
    }
  }
  QStringList Column(int column) const {
    QStringList out;
    for (int r = 0; r < list->GetRowCount(); ++r) out << list->GetCellText(r, column);
    return out;
  }
  void ClickCheckBox(int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->CheckBoxRect(row).center());
  }
  void ClickHeading(int column) {
    QHeaderView* h = list->horizontalHeader();
    QPoint p(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
    QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier, p);
  }

  std::unique_ptr<CReportCtrl> list;
};

TEST_F(ReportTest, ClickingACheckBoxChecksSelectsAndNotifies) {
  Fill({"a", "b", "c", "d"});
  list->SetRowStates(0, RVS_SELECTED);
  QSignalSpy spy(list.get(), &CReportCtrl::notify);
  ClickCheckBox(2);
  EXPECT_TRUE(list->GetRowCheck(2));
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy[0][0].toUInt(), WM_REPORT_CHECKCHANGED);
  EXPECT_EQ(spy[0][0].toUInt(), 0xA710u);
  EXPECT_EQ(spy[0][1].toInt(), 2);
  EXPECT_EQ(spy[0][2].toInt(), 0x201);
  // The only selected row, with the focus.
  for (int r = 0; r < 4; ++r) {
    const int s = list->GetRowStates(r);
    EXPECT_EQ((s & RVS_SELECTED) != 0, r == 2) << r;
    EXPECT_EQ((s & RVS_FOCUSED) != 0, r == 2) << r;
  }

  // Unchecking notifies too; a click beside the check box changes nothing and says nothing.
  ClickCheckBox(2);
  EXPECT_FALSE(list->GetRowCheck(2));
  EXPECT_EQ(spy.count(), 2);
  QRect cell = list->visualRect(list->model()->index(1, 1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(spy.count(), 2);
  EXPECT_FALSE(list->GetRowCheck(1));
}

TEST_F(ReportTest, OnlyLeftPressesToggleAndEachChangeNamesItsMouseMessage) {
  Fill({"a", "b"});
  QSignalSpy spy(list.get(), &CReportCtrl::notify);
  const QPoint box = list->CheckBoxRect(0).center();
  QTest::mouseClick(list->viewport(), Qt::RightButton, Qt::NoModifier, box);
  QTest::mouseClick(list->viewport(), Qt::MiddleButton, Qt::NoModifier, box);
  EXPECT_FALSE(list->GetRowCheck(0));
  EXPECT_EQ(spy.count(), 0);

  // A double-click on the box as the window system delivers it (press, release, double-click,
  // release): the press toggles, the double-click toggles back.
  QTest::mousePress(list->viewport(), Qt::LeftButton, Qt::NoModifier, box);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, Qt::NoModifier, box);
  QMouseEvent dbl(QEvent::MouseButtonDblClick, box, list->viewport()->mapToGlobal(box), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &dbl);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, Qt::NoModifier, box);
  EXPECT_FALSE(list->GetRowCheck(0));
  std::vector<int> messages;
  for (const QList<QVariant>& n : spy)
    if (n[0].toUInt() == WM_REPORT_CHECKCHANGED) messages.push_back(n[2].toInt());
  EXPECT_EQ(messages, (std::vector<int>{0x201, 0x203}));
  // The double-click itself reaches the parent too (the pages open things on it).
  EXPECT_EQ(spy.back()[0].toUInt() == NM_REPORT_DBLCLK || spy[spy.count() - 2][0].toUInt() == NM_REPORT_DBLCLK, true);
}

TEST_F(ReportTest, SpaceTicksTheFocusedRowAsAClickOnItsBoxWould) {
  Fill({"a", "b", "c"});
  list->setFocus();
  list->SetRowStates(0, RVS_SELECTED);
  list->SetRowStates(1, RVS_SELECTED | RVS_FOCUSED);
  QSignalSpy spy(list.get(), &CReportCtrl::notify);
  QTest::keyClick(list.get(), Qt::Key_Space);
  EXPECT_TRUE(list->GetRowCheck(1));
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy[0][0].toUInt(), WM_REPORT_CHECKCHANGED);
  EXPECT_EQ(spy[0][1].toInt(), 1);
  EXPECT_EQ(spy[0][2].toInt(), 0x201);
  for (int r = 0; r < 3; ++r) EXPECT_EQ((list->GetRowStates(r) & RVS_SELECTED) != 0, r == 1) << r;
  QTest::keyClick(list.get(), Qt::Key_Space);
  EXPECT_FALSE(list->GetRowCheck(1));
  EXPECT_EQ(spy.count(), 2);
  // A held key toggles once; a read-only list keeps its boxes and says nothing.
  QTest::keyPress(list.get(), Qt::Key_Space);
  QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
  QApplication::sendEvent(list.get(), &repeat);
  QTest::keyRelease(list.get(), Qt::Key_Space);
  EXPECT_TRUE(list->GetRowCheck(1));
  EXPECT_EQ(spy.count(), 3);
  list->SetCheckMode(RC_CHKBOX_DISABLED);
  QTest::keyClick(list.get(), Qt::Key_Space);
  EXPECT_TRUE(list->GetRowCheck(1));
  EXPECT_EQ(spy.count(), 3);
}

// A failed row's status stays red whatever text it gets next, until cleared or the row goes.
TEST_F(ReportTest, AlertCellKeepsItsColourUntilClearedOrItsRowGoes) {
  Fill({"a", "b", "c"});
  auto foreground = [&](int row, int column) { return list->model()->index(row, column).data(Qt::ForegroundRole); };
  ASSERT_TRUE(list->SetCellAlert(1, 2, true));
  EXPECT_TRUE(list->IsCellAlert(1, 2));
  EXPECT_FALSE(list->IsCellAlert(1, 1));
  EXPECT_EQ(foreground(1, 2).value<QColor>(), QColor(220, 0, 0));
  EXPECT_FALSE(foreground(0, 2).isValid());
  list->SetCellText(1, 2, "again");
  list->PostCellText(1, 2, "later");
  list->DrainPosted();
  EXPECT_EQ(list->GetCellText(1, 2), QStringLiteral("later"));
  EXPECT_TRUE(list->IsCellAlert(1, 2));
  // It moves with its row.
  ASSERT_TRUE(list->MoveToTop(1));
  EXPECT_TRUE(list->IsCellAlert(0, 2));
  EXPECT_FALSE(list->IsCellAlert(1, 2));
  // Clearing one cell, or all of them, leaves other colours alone.
  list->SetCellTextColor(2, 1, RGB(1, 2, 3));
  ASSERT_TRUE(list->SetCellAlert(0, 2, false));
  EXPECT_FALSE(list->IsCellAlert(0, 2));
  EXPECT_FALSE(foreground(0, 2).isValid());
  ASSERT_TRUE(list->SetCellAlert(-1, 2, true));
  ASSERT_TRUE(list->SetCellAlert(-1, -1, false));
  for (int r = 0; r < 3; ++r) EXPECT_FALSE(list->IsCellAlert(r, 2)) << r;
  EXPECT_EQ(list->GetCellTextColor(2, 1), RGB(1, 2, 3));
  // It goes with the row: the row now at its index, and a new row, are plain.
  ASSERT_TRUE(list->SetCellAlert(0, 2, true));
  ASSERT_TRUE(list->DeleteRow(0));
  EXPECT_FALSE(list->IsCellAlert(0, 2));
  list->SetCellAlert(-1, -1, true);
  list->DeleteAllRows();
  Fill({"d"});
  EXPECT_FALSE(list->IsCellAlert(0, 2));
  EXPECT_FALSE(list->SetCellAlert(1, 2, true));
  EXPECT_FALSE(list->IsCellAlert(5, 0));
}

TEST_F(ReportTest, CheckModes) {
  Fill({"a", "b", "c", "d"});
  QSignalSpy spy(list.get(), &CReportCtrl::notify);

  list->SetCheckMode(RC_CHKBOX_SINGLE);
  ClickCheckBox(1);
  ClickCheckBox(3);
  EXPECT_FALSE(list->GetRowCheck(1));
  EXPECT_TRUE(list->GetRowCheck(3));
  EXPECT_EQ(spy.count(), 2);
  // Programmatic check in single mode unchecks the rows after it.
  list->SetRowCheck(0, true);
  EXPECT_FALSE(list->GetRowCheck(3));

  list->SetCheckMode(RC_CHKBOX_DISABLED);
  spy.clear();
  ClickCheckBox(2);
  EXPECT_FALSE(list->GetRowCheck(2));
  EXPECT_EQ(spy.count(), 0);

  list->SetCheckMode(RC_CHKBOX_NORMAL);
  ClickCheckBox(2);
  ClickCheckBox(3);
  EXPECT_TRUE(list->GetRowCheck(0));
  EXPECT_TRUE(list->GetRowCheck(2));
  EXPECT_TRUE(list->GetRowCheck(3));
  EXPECT_EQ(spy.count(), 2);
  EXPECT_EQ(list->GetFirstCheckedRow(), 0);
}

struct SortCase {
  const char* name;
  QStringList texts;
  QStringList ascending;
};

TEST_F(ReportTest, TypeAwareSortExamples) {
  const std::vector<SortCase> cases = {
      {"hexadecimal", {"10", "9", "A"}, {"9", "A", "10"}},
      {"float with percent", {"5%", "12%", "7.5"}, {"5%", "7.5", "12%"}},
      {"ipv4", {"192.168.1.20", "10.0.0.1", "192.168.1.3"}, {"10.0.0.1", "192.168.1.3", "192.168.1.20"}},
      {"dates",
       {"2026-03-05 07:08:09", "2025-12-31", "2026-03-05 07:08:10"},
       {"2025-12-31", "2026-03-05 07:08:09", "2026-03-05 07:08:10"}},
      {"text", {"beta", "Alpha", "alpha"}, {"Alpha", "alpha", "beta"}},
  };
  list->EnableSorting();
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    list->DeleteAllRows();
    Fill(c.texts);
    list->SortItems(1, true);
    EXPECT_EQ(Column(1), c.ascending);
    list->SortItems(1, false);
    QStringList descending(c.ascending.rbegin(), c.ascending.rend());
    EXPECT_EQ(Column(1), descending);
  }
}

TEST(ReportSortKeys, RulesFallThroughPerPair) {
  GuiApp();
  auto cmp = [](const char* a, const char* b) {
    return CompareReportKeys(MakeReportSortKey(QString::fromUtf8(a)), MakeReportSortKey(QString::fromUtf8(b)));
  };
  // Not an IPv4 key: printing it again gives another text; compared as text.
  EXPECT_FALSE(MakeReportSortKey("192.168.001.1").isIp);
  EXPECT_TRUE(MakeReportSortKey("192.168.1.1").isIp);
  EXPECT_LT(cmp("192.168.001.1", "192.168.1.1"), 0);  // "0" < "1" as text
  EXPECT_GT(cmp("192.168.1.20", "192.168.1.3"), 0);   // numeric key
  EXPECT_FALSE(MakeReportSortKey("256.1.1.1").isIp);
  // An empty text is never a number.
  EXPECT_FALSE(MakeReportSortKey("").isHex);
  EXPECT_FALSE(MakeReportSortKey("").isFloat);
  EXPECT_LT(cmp("", "0"), 0);
  // Hex beats float when both sides are hex; otherwise the float rule decides.
  EXPECT_GT(cmp("1e3", "FF"), 0);      // both hexadecimal: 0x1E3 > 0xFF, not 1000 > 255 by chance
  EXPECT_LT(cmp("1e3", "2000.5"), 0);  // "2000.5" is not hex: floats, 1000 < 2000.5
  EXPECT_GT(cmp("1.5", "1"), 0);       // "1.5" is not hex: float rule
  EXPECT_LT(cmp("9", "10%"), 0);
  EXPECT_FALSE(MakeReportSortKey("5%%").isFloat);
  EXPECT_FALSE(MakeReportSortKey("inf").isFloat);
  EXPECT_TRUE(MakeReportSortKey("0x1F").isHex);
  EXPECT_EQ(MakeReportSortKey("FFFFFFFFF").hex, 0xFFFFFFFFu);
}

TEST_F(ReportTest, HeadingClicksAlternateAndInsertionResetsTheDirection) {
  Fill({"3", "1", "2"});
  ASSERT_TRUE(list->EnableSorting());
  ASSERT_TRUE(list->IsSortable());
  QSignalSpy spy(list.get(), &CReportCtrl::notify);

  ClickHeading(1);
  EXPECT_EQ(Column(1), (QStringList{"1", "2", "3"}));
  ClickHeading(1);
  EXPECT_EQ(Column(1), (QStringList{"3", "2", "1"}));
  ASSERT_EQ(spy.count(), 2);
  EXPECT_EQ(spy[0][0].toUInt(), WM_REPORT_SORTED);
  EXPECT_EQ(spy[0][1].toInt(), 1);
  EXPECT_EQ(spy[0][2].toInt(), 1);
  EXPECT_EQ(spy[1][2].toInt(), 0);

  // Ascending, a row inserted, then the same heading again: ascending once more.
  ClickHeading(1);
  EXPECT_EQ(list->GetSortedColumn(), 1);
  EXPECT_TRUE(list->IsSortAscending());
  int r = list->InsertRow(list->GetRowCount(), "new");
  list->SetCellText(r, 1, "0");
  EXPECT_EQ(list->GetSortedColumn(), -1);
  ClickHeading(1);
  EXPECT_EQ(Column(1), (QStringList{"0", "1", "2", "3"}));
  EXPECT_EQ(spy.back()[2].toInt(), 1);

  // Another column starts ascending.
  ClickHeading(0);
  EXPECT_EQ(spy.back()[1].toInt(), 0);
  EXPECT_EQ(spy.back()[2].toInt(), 1);
}

TEST_F(ReportTest, NotSortableSendsNothing) {
  Fill({"2", "1"});
  QSignalSpy spy(list.get(), &CReportCtrl::notify);
  ClickHeading(1);
  list->SortItems(1, true);
  EXPECT_EQ(Column(1), (QStringList{"2", "1"}));
  list->EnableSorting();
  list->SortItems(7, true);
  list->SortItems(-1, true);
  EXPECT_EQ(spy.count(), 0);
  list->ModifyStyle(0, LVS_NOCOLUMNHEADER);
  EXPECT_FALSE(list->EnableSorting());
  EXPECT_FALSE(list->IsSortable());
}

TEST_F(ReportTest, SortKeepsEachRowsStateAndRecord) {
  Fill({"c", "a", "b"});
  for (int r = 0; r < 3; ++r) {
    list->SetRowData(r, 100 + r);
    list->SetCellBkColor(r, 2, RGB(r * 10, 0, 0));
    list->SetCellText(r, 2, QStringLiteral("s%1").arg(r));
  }
  list->SetRowCheck(0, true);                         // "c"
  list->SetRowStates(2, RVS_SELECTED | RVS_FOCUSED);  // "b"
  list->EnableSorting();
  list->SortItems(1, true);
  ASSERT_EQ(Column(1), (QStringList{"a", "b", "c"}));
  EXPECT_EQ(Column(2), (QStringList{"s1", "s2", "s0"}));
  EXPECT_EQ(list->GetRowData(0), 101u);
  EXPECT_EQ(list->GetRowData(1), 102u);
  EXPECT_EQ(list->GetRowData(2), 100u);
  EXPECT_EQ(list->GetCellBkColor(2, 2), RGB(0, 0, 0));
  EXPECT_EQ(list->GetCellBkColor(0, 2), RGB(10, 0, 0));
  EXPECT_TRUE(list->GetRowCheck(2));
  EXPECT_FALSE(list->GetRowCheck(0));
  EXPECT_EQ(list->GetRowStates(1) & (RVS_SELECTED | RVS_FOCUSED), RVS_SELECTED | RVS_FOCUSED);
  EXPECT_EQ(list->GetRowStates(0) & RVS_SELECTED, 0);
}

TEST_F(ReportTest, SeparatorRowsDivideTheListIntoGroups) {
  Fill({"b", "a", "--", "d", "c", "--", "f", "e"});
  list->SetSeparatorText(QStringLiteral("--"));
  list->EnableSorting();
  list->SortItems(1, true);
  EXPECT_EQ(Column(1), (QStringList{"a", "b", "--", "c", "d", "--", "e", "f"}));
}

TEST_F(ReportTest, ThousandRowsSortByNumber) {
  std::mt19937 rng(7);
  QStringList values;
  for (int i = 0; i < 1000; ++i) values << QString::number(rng() % 100000) + QStringLiteral("%");
  list->setUpdatesEnabled(false);
  Fill(values);
  list->setUpdatesEnabled(true);
  list->EnableSorting();
  list->SortItems(1, true);
  QStringList got = Column(1);
  ASSERT_EQ(got.size(), 1000);
  for (int i = 1; i < 1000; ++i) ASSERT_LE(got[i - 1].chopped(1).toInt(), got[i].chopped(1).toInt()) << i;
}

TEST_F(ReportTest, MixedKindsSortToAPermutationOfTheRows) {
  // Texts of different kinds compare by different rules pair by pair; whatever order comes
  // out, every row must still be there exactly once with its own cells.
  const QStringList pool = {"",
                            "9",
                            "A",
                            "10",
                            "5%",
                            "7.5",
                            "12%",
                            "10.0.0.1",
                            "192.168.001.1",
                            "2026-03-05",
                            "12:30",
                            "abc",
                            QString::fromUtf8("中文"),
                            "-1",
                            "0x1F",
                            "1e3"};
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    list->DeleteAllRows();
    QStringList values;
    for (int i = 0; i < 60; ++i) values << pool[static_cast<int>(rng() % pool.size())];
    Fill(values);
    for (int r = 0; r < list->GetRowCount(); ++r) list->SetCellText(r, 2, list->GetCellText(r, 0) + "|" + values[r]);
    list->EnableSorting();
    list->SortItems(1, round % 2 == 0);
    QStringList before = values;
    QStringList after = Column(1);
    before.sort();
    QStringList sortedAfter = after;
    sortedAfter.sort();
    ASSERT_EQ(sortedAfter, before);
    for (int r = 0; r < list->GetRowCount(); ++r)
      ASSERT_EQ(list->GetCellText(r, 2), list->GetCellText(r, 0) + "|" + list->GetCellText(r, 1));
  }
}

TEST_F(ReportTest, ColumnInsertionShiftsColours) {
  Fill({"x", "y"});
  const COLORREF defText = list->GetCellTextColor(0, 0);
  const COLORREF defBack = list->GetCellBkColor(0, 0);
  for (int r = 0; r < 2; ++r) {
    list->SetCellBkColor(r, 1, RGB(1, 2, 3));
    list->SetCellBkColor(r, 2, RGB(4, 5, 6));
    list->SetCellTextColor(r, 2, RGB(7, 8, 9));
  }
  ASSERT_EQ(list->InsertColumn(1, "inserted"), 1);
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(list->GetCellBkColor(r, 1), defBack);
    EXPECT_EQ(list->GetCellTextColor(r, 1), defText);
    EXPECT_EQ(list->GetCellBkColor(r, 2), RGB(1, 2, 3));
    EXPECT_EQ(list->GetCellBkColor(r, 3), RGB(4, 5, 6));
    EXPECT_EQ(list->GetCellTextColor(r, 3), RGB(7, 8, 9));
  }
  EXPECT_EQ(list->GetCellText(0, 2), QStringLiteral("x"));
  EXPECT_EQ(list->GetCellBkColor(5, 1), kColorInvalid);
  EXPECT_EQ(list->GetCellBkColor(0, 9), kColorInvalid);
}

TEST_F(ReportTest, OutOfRangeOperationsFailAndChangeNothing) {
  Fill({"a"});
  EXPECT_FALSE(list->SetCellText(1, 0, "x"));
  EXPECT_FALSE(list->SetCellText(0, 3, "x"));
  EXPECT_FALSE(list->DeleteRow(4));
  EXPECT_FALSE(list->SetRowCheck(-1, true));
  EXPECT_EQ(list->GetCellText(9, 9), QString());
  EXPECT_EQ(list->InsertRow(-1, "x"), -1);
  EXPECT_EQ(list->GetRowData(3), 0u);
  EXPECT_EQ(list->InsertRow(99, "end"), 1);  // past the end appends
  EXPECT_EQ(list->DeleteAllRows(), 2);
  EXPECT_EQ(list->GetRowCount(), 0);
}

TEST_F(ReportTest, ColumnHeaderTextReplacesColumnsAndRows) {
  Fill({"a"});
  ASSERT_TRUE(list->SetColumnHeader(QStringLiteral("A,50,1;B;C,70,2")));
  EXPECT_EQ(list->GetRowCount(), 0);
  ASSERT_EQ(list->GetColumnCount(), 3);
  EXPECT_EQ(list->GetHeaderText(1), QStringLiteral("B"));
  EXPECT_EQ(list->columnWidth(0), 50);
  EXPECT_EQ(list->columnWidth(1), 100);
  EXPECT_EQ(list->GetHeaderFormat(0), LVCFMT_CENTER);
  EXPECT_EQ(list->GetHeaderFormat(1), LVCFMT_LEFT);
  EXPECT_EQ(list->GetHeaderFormat(2), LVCFMT_RIGHT);
}

TEST_F(ReportTest, MoveAndSwapKeepRowContents) {
  Fill({"a", "b", "c"});
  list->SetRowCheck(0, true);
  list->SetRowData(0, 42);
  ASSERT_TRUE(list->MoveToBottom(0));
  EXPECT_EQ(Column(1), (QStringList{"b", "c", "a"}));
  EXPECT_TRUE(list->GetRowCheck(2));
  EXPECT_EQ(list->GetRowData(2), 42u);
  ASSERT_TRUE(list->SwapRows(0, 2));
  EXPECT_EQ(Column(1), (QStringList{"a", "c", "b"}));
  EXPECT_TRUE(list->GetRowCheck(0));
  EXPECT_TRUE(list->MoveTo(1, 99));
  EXPECT_EQ(Column(1), (QStringList{"a", "b", "c"}));
}

TEST_F(ReportTest, CellEditorKeys) {
  Fill({"a", "b"});
  list->SetEditable(true);
  ASSERT_TRUE(list->StartEdit(0, 1));
  EXPECT_TRUE(list->IsEditing());
  EXPECT_EQ(list->Editor()->text(), QStringLiteral("a"));
  QTest::keyClick(list->Editor(), Qt::Key_Tab);
  EXPECT_EQ(list->GetEditColumn(), 2);
  QTest::keyClick(list->Editor(), Qt::Key_Tab);  // wraps to column 0
  EXPECT_EQ(list->GetEditColumn(), 0);
  QTest::keyClick(list->Editor(), Qt::Key_Down);
  EXPECT_EQ(list->GetEditRow(), 1);
  QTest::keyClick(list->Editor(), Qt::Key_Escape);
  EXPECT_FALSE(list->IsEditing());

  ASSERT_TRUE(list->StartEdit(1, 1));
  list->Editor()->setText(QStringLiteral("changed"));
  EXPECT_TRUE(list->EndEdit(true));
  EXPECT_EQ(list->GetCellText(1, 1), QStringLiteral("b"));  // the control does not write it
  ASSERT_TRUE(list->StartEdit(1, 1));
  list->Editor()->setText(QStringLiteral("changed"));
  EXPECT_FALSE(list->EndEdit(false));
  list->SetEditable(false);
  EXPECT_FALSE(list->StartEdit(0, 0));
}

}  // namespace

// Proportional layout and the pop-up menu routine.
#include <gtest/gtest.h>

#include <QPushButton>

#include "gui_test.h"
#include "ui/controls/popup_menu.h"
#include "ui/controls/proportional_layout.h"
#include "ui/platform/dialog.h"
#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"

namespace {

struct LayoutCase {
  QSize newSize;
  QRect expected;
};

TEST(ProportionalLayoutTest, EdgesKeepTheirFractionsTruncated) {
  GuiApp();
  QWidget parent;
  parent.resize(1000, 500);
  auto* control = new QPushButton(&parent);
  SetDlgCtrlID(control, 1001);
  control->setGeometry(100, 50, 200, 100);  // edges at 10 %, 10 %, 30 %, 30 %
  ProportionalLayout layout;
  ASSERT_TRUE(layout.AddControl(1001, &parent));

  const std::vector<LayoutCase> cases = {
      // 0.1 * 333 = 33.3 -> 33; 0.3f * 333 = 99.89 -> 99 (rounding would give 100)
      {QSize(333, 777), QRect(QPoint(33, 77), QPoint(99 - 1, 233 - 1))},
      {QSize(2000, 1000), QRect(200, 100, 400, 200)},
      {QSize(1000, 500), QRect(100, 50, 200, 100)},
      {QSize(19, 9), QRect(QPoint(1, 0), QPoint(5 - 1, 2 - 1))},
  };
  for (const LayoutCase& c : cases) {
    parent.resize(c.newSize);
    layout.Relayout();
    EXPECT_EQ(control->geometry(), c.expected) << c.newSize.width() << "x" << c.newSize.height();
  }
}

TEST(ProportionalLayoutTest, MissingControlIsSkipped) {
  GuiApp();
  QWidget parent;
  parent.resize(400, 400);
  auto* a = new QPushButton(&parent);
  auto* b = new QPushButton(&parent);
  SetDlgCtrlID(a, 1);
  SetDlgCtrlID(b, 2);
  a->setGeometry(40, 40, 40, 40);
  b->setGeometry(200, 200, 100, 100);
  ProportionalLayout layout;
  ASSERT_TRUE(layout.AddControl(1, &parent));
  ASSERT_TRUE(layout.AddControl(2, &parent));
  EXPECT_FALSE(layout.AddControl(3, &parent));
  delete a;
  parent.resize(800, 800);
  layout.Relayout();
  EXPECT_EQ(b->geometry(), QRect(400, 400, 200, 200));
}

class MenuOwner : public CDialogPage {
 public:
  MenuOwner() : CDialogPage(IDD_SENDTIME) {}
  void OnCommand(int id, int code) override { commands.push_back({id, code}); }
  std::vector<std::pair<int, int>> commands;
};

TEST(PopupMenuTest, CanvasPopupsAndTheChosenCommand) {
  GuiApp();
  RecordingUiSeam seam;
  ScopedUiSeam use(&seam);
  MenuOwner owner;

  const std::vector<std::vector<int>> expected = {
      {32792, 32793, 32795},
      {32796, 32797, 32798, 32799, 32800, 32802},
      {32803, 32804, 32805, 32806, 32807, 32808, 32809, 32810},
      {32811, 32812, 32813, 32814, 32815, 32816, 32817, 32818, 32819},
      {32820, 32821, 32822, 32823, 32824, 32825, 32826, 32827, 32828, 32829},
      {32830, 32831, 32832, 32833, 32834, 32835, 32836, 32837, 32838, 32840, 32839},
  };
  for (int k = 0; k < 6; ++k) {
    ASSERT_TRUE(PopupMenu(k, &owner));
    ASSERT_EQ(seam.menus.size(), static_cast<size_t>(k + 1));
    EXPECT_EQ(seam.menus[k].title, QString::fromUtf8("画布"));
    EXPECT_EQ(seam.menus[k].ids, expected[k]) << k;
  }
  const MenuPopup& last = LoadMenuResource(IDR_MENU_CANVAS)->popups[5];
  EXPECT_EQ(last.items.back().text, QString::fromUtf8("36画面"));
  EXPECT_EQ(last.items[9].text, QString::fromUtf8("32画面"));
  EXPECT_FALSE(PopupMenu(6, &owner));
  EXPECT_FALSE(PopupMenu(0, &owner, 999));

  // The chosen item reaches the owner as a command after the menu has closed.
  seam.menuAnswer = 32810;
  ASSERT_TRUE(PopupMenu(2, &owner));
  EXPECT_TRUE(owner.commands.empty());
  ASSERT_TRUE(WaitUntil([&] { return !owner.commands.empty(); }));
  EXPECT_EQ(owner.commands[0].first, 32810);
}

}  // namespace

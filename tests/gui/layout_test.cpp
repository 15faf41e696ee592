// Proportional layout, the pages within the main window, and the pop-up menu routine.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>

#include "gui_test.h"
#include "ui/controls/popup_menu.h"
#include "ui/controls/proportional_layout.h"
#include "ui/platform/dialog.h"
#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"
#include "ui/resources/dravlins_ids.h"
#include "ui/shell/dravlins.h"

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

// Every page in a main window of a laptop screen's size (and of its template's and its minimum
// size): each shown control lies inside its page, each page inside the window, so nothing is cut
// off or out of reach. The window starts at its template's size when the screen has room for
// it, title bar included, and within the screen otherwise.
TEST(PageLayoutTest, EveryControlOfEveryPageLiesInsideTheWindow) {
  GuiApp();
  CDravlins dlg(nullptr, true);
  ASSERT_TRUE(dlg.CreateIndirect());
  const DialogTemplate* tpl = FindDialogTemplate(IDD_DRAVLINS);
  ASSERT_NE(tpl, nullptr);
  const QSize templateSize(DluToPixelsX(tpl->cx, dlg.BaseUnits()), DluToPixelsY(tpl->cy, dlg.BaseUnits()));
  const QSize room = dlg.screen()->availableGeometry().size() - QSize(10, 40);
  if (room.width() >= templateSize.width() && room.height() >= templateSize.height()) {
    EXPECT_EQ(dlg.size(), templateSize);
  } else {
    EXPECT_TRUE(dlg.width() <= room.width() || dlg.width() == CDravlins::kMinTrackWidth) << dlg.width();
    EXPECT_TRUE(dlg.height() <= room.height() || dlg.height() == CDravlins::kMinTrackHeight) << dlg.height();
  }
  dlg.show();
  ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }));
  CTabSheet& tabs = dlg.TabSheet();
  ASSERT_EQ(tabs.GetPageCount(), 5);

  for (const QSize size :
       {QSize(1280, 720), templateSize, QSize(CDravlins::kMinTrackWidth, CDravlins::kMinTrackHeight)}) {
    dlg.resize(size);
    ASSERT_TRUE(WaitUntil([&] { return dlg.size() == size; })) << size.width() << "x" << size.height();
    for (int tab = 0; tab < tabs.GetPageCount(); ++tab) {
      tabs.SelectPage(tab);
      CDialogPage* page = tabs.GetPage(tab);
      SCOPED_TRACE(
          QStringLiteral("%1x%2 %3").arg(size.width()).arg(size.height()).arg(tabs.GetTitle(tab)).toStdString());
      const QRect pageInWindow(page->mapTo(&dlg, QPoint(0, 0)), page->size());
      EXPECT_TRUE(dlg.rect().contains(pageInWindow));
      int shown = 0;
      for (QWidget* control : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (control->isHidden()) continue;
        ++shown;
        const QRect r = control->geometry();
        EXPECT_TRUE(!r.isEmpty() && page->rect().contains(r))
            << GetDlgCtrlID(control) << " at " << r.x() << "," << r.y() << " " << r.width() << "x" << r.height()
            << " in " << page->width() << "x" << page->height();
      }
      EXPECT_GT(shown, 1);
    }
  }
  dlg.hide();
}

// The same at a scale factor of 1.5 on a 1920x1080 screen: Qt reads the factor once at start-up,
// so the case runs in a child process of this suite, on an offscreen screen of that size.
TEST(PageLayoutTest, AtScaleFactorOneAndAHalf) {
  GuiApp();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString config = dir.filePath(QStringLiteral("screen.json"));
  QFile f(config);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1920, "height": 1080,
                           "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  f.close();
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("1.5"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--gtest_filter=PageLayoutTest.EveryControlOfEveryPageLiesInsideTheWindow")});
  ASSERT_TRUE(child.waitForFinished(120000));
  const QString out = QString::fromLocal8Bit(child.readAll());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("[  PASSED  ] 1 test"))) << out.toStdString();
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

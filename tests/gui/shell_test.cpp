// The main window: its tabs, page switching, window menu, minimum size and relayout.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTimer>
#include <functional>
#include <QTabBar>

#include "gui_test.h"
#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"
#include "ui/resources/dravlins_ids.h"
#include "ui/shell/about_dlg.h"
#include "ui/shell/dravlins.h"

namespace {

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { GuiApp(); }
};

TEST_F(ShellTest, OnlyTheTwoTabsInOrder) {
  CDravlins dlg;
  ASSERT_TRUE(dlg.CreateIndirect());
  CTabSheet& tabs = dlg.TabSheet();
  ASSERT_EQ(tabs.GetPageCount(), 2);
  ASSERT_EQ(tabs.Strip()->count(), 2);
  EXPECT_EQ(tabs.Strip()->tabText(0), QString::fromUtf8("NVR开机画面"));
  EXPECT_EQ(tabs.Strip()->tabText(1), QString::fromUtf8("NVR对时"));
  EXPECT_EQ(tabs.GetPage(0), &dlg.BootPicturePage());
  EXPECT_EQ(tabs.GetPage(1), &dlg.ClockPage());
  EXPECT_EQ(tabs.GetTemplateId(0), IDD_DRAVLIN_DIALOG);
  EXPECT_EQ(tabs.GetTemplateId(1), IDD_SENDTIME);
  // The other two pages exist as members but never get a window.
  EXPECT_TRUE(dlg.BootPicturePage().IsCreated());
  EXPECT_TRUE(dlg.ClockPage().IsCreated());
  EXPECT_FALSE(dlg.ChannelPage().IsCreated());
  EXPECT_FALSE(dlg.UpgradePage().IsCreated());
  EXPECT_EQ(dlg.ChannelPage().Owner(), &dlg);
  EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("Dravlins"));
  EXPECT_FALSE(dlg.windowIcon().isNull());
  // Page 0 is shown, page 1 hidden, both in the page rectangle below the strip.
  EXPECT_FALSE(dlg.BootPicturePage().isHidden());
  EXPECT_TRUE(dlg.ClockPage().isHidden());
  EXPECT_EQ(dlg.BootPicturePage().geometry(), tabs.PageRect());
  EXPECT_EQ(dlg.ClockPage().geometry(), tabs.PageRect());
  EXPECT_GT(tabs.PageRect().top(), tabs.Strip()->tabRect(0).bottom());
}

TEST_F(ShellTest, SeventeenthPageIsRefused) {
  CTabSheet sheet;
  std::vector<std::unique_ptr<CDialogPage>> pages;
  for (int i = 0; i < 17; ++i) pages.push_back(std::make_unique<CDialogPage>(IDD_SENDTIME));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(sheet.AddPage(QStringLiteral("p%1").arg(i), pages[i].get(), 1000 + i));
  EXPECT_FALSE(sheet.AddPage("extra", pages[16].get(), 2000));
  EXPECT_EQ(sheet.GetPageCount(), 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(sheet.GetPage(i), pages[i].get());
    EXPECT_EQ(sheet.GetTitle(i), QStringLiteral("p%1").arg(i));
    EXPECT_EQ(sheet.GetTemplateId(i), 1000 + i);
  }
  EXPECT_EQ(sheet.GetPage(16), nullptr);
}

TEST_F(ShellTest, ClickingATabSwitchesThePage) {
  CDravlins dlg;
  ASSERT_TRUE(dlg.CreateIndirect());
  dlg.show();
  ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }));
  CTabSheet& tabs = dlg.TabSheet();
  QTabBar* strip = tabs.Strip();

  QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, strip->tabRect(1).center());
  EXPECT_EQ(tabs.GetCurrentPage(), 1);
  EXPECT_TRUE(dlg.BootPicturePage().isHidden());
  EXPECT_FALSE(dlg.ClockPage().isHidden());

  // The tab already selected: nothing changes.
  QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, strip->tabRect(1).center());
  EXPECT_EQ(tabs.GetCurrentPage(), 1);
  EXPECT_FALSE(dlg.ClockPage().isHidden());

  QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, strip->tabRect(0).center());
  EXPECT_EQ(tabs.GetCurrentPage(), 0);
  EXPECT_FALSE(dlg.BootPicturePage().isHidden());
  EXPECT_TRUE(dlg.ClockPage().isHidden());

  // SelectPage: out of range, the same page, another page.
  EXPECT_EQ(tabs.SelectPage(-1), -1);
  EXPECT_EQ(tabs.SelectPage(2), -1);
  EXPECT_EQ(tabs.SelectPage(1), 0);
  EXPECT_EQ(strip->currentIndex(), 1);
  EXPECT_FALSE(dlg.ClockPage().isHidden());
  EXPECT_TRUE(dlg.BootPicturePage().isHidden());
  dlg.hide();
}

TEST_F(ShellTest, WindowMenuCommandsSixteenToThirtyOneOpenTheAboutBox) {
  RecordingUiSeam seam;
  ScopedUiSeam use(&seam);
  CDravlins dlg;
  ASSERT_TRUE(dlg.CreateIndirect());

  auto items = dlg.SystemMenuItems();
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items[items.size() - 2].first, 0u);  // separator
  EXPECT_EQ(items.back().first, IDM_ABOUTBOX);
  EXPECT_EQ(items.back().second, QString::fromUtf8("关于 Dravlin(&A)..."));

  for (unsigned id = 16; id <= 31; ++id) {
    seam.modals.clear();
    dlg.OnSysCommand(id);
    ASSERT_EQ(seam.modals.size(), 1u) << id;
    EXPECT_EQ(seam.modals[0], IDD_ABOUTBOX);
  }
  for (unsigned id : {0u, 15u, 32u, 48u}) {
    seam.modals.clear();
    dlg.OnSysCommand(id);
    EXPECT_TRUE(seam.modals.empty()) << id;
  }

  // Through the menu itself.
  seam.modals.clear();
  seam.menuAnswer = IDM_ABOUTBOX;
  dlg.ShowSystemMenu(QPoint(10, 10));
  ASSERT_EQ(seam.menus.size(), 1u);
  EXPECT_EQ(seam.menus[0].ids.back(), static_cast<int>(IDM_ABOUTBOX));
  EXPECT_EQ(seam.modals, std::vector<int>{IDD_ABOUTBOX});
}

TEST_F(ShellTest, AboutBoxTexts) {
  RecordingUiSeam seam;
  ScopedUiSeam use(&seam);
  CAboutDlg* seen = nullptr;
  QStringList texts;
  seam.modalHook = [&](CDialog& d) {
    seen = dynamic_cast<CAboutDlg*>(&d);
    for (QLabel* l : d.findChildren<QLabel*>()) texts << l->text();
    texts << d.GetDlgItemText(IDOK);
    return IDOK;
  };
  CAboutDlg about;
  EXPECT_EQ(about.DoModal(), IDOK);
  EXPECT_EQ(seen, &about);
  EXPECT_EQ(about.windowTitle(), QString::fromUtf8("关于 Dravlin"));
  EXPECT_TRUE(texts.contains(QString::fromUtf8("Dravlin 1.0 版")));
  EXPECT_TRUE(texts.contains(QString::fromUtf8("确定")));
}

TEST_F(ShellTest, RealModalRunEndsWithTheButtonsCode) {
  struct Case {
    const char* name;
    std::function<void(CDialog&)> end;
    int code;
  };
  const std::vector<Case> cases = {
      {"OK button", [](CDialog& d) { d.ControlAs<QAbstractButton>(IDOK)->click(); }, IDOK},
      {"close box", [](CDialog& d) { d.close(); }, IDCANCEL},
      {"Escape", [](CDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, IDCANCEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CAboutDlg about;
    QTimer::singleShot(0, &about, [&] {
      ASSERT_TRUE(WaitUntil([&] { return about.isVisible(); }));
      c.end(about);
    });
    EXPECT_EQ(about.DoModal(), c.code);
    EXPECT_FALSE(about.isVisible());
  }
}

TEST_F(ShellTest, MinimumSizeAndRelayoutOnResize) {
  CDravlins dlg;
  ASSERT_TRUE(dlg.CreateIndirect());
  dlg.show();
  ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }));

  dlg.resize(400, 300);
  EXPECT_GE(dlg.width(), CDravlins::kMinTrackWidth);
  EXPECT_GE(dlg.height(), CDravlins::kMinTrackHeight);

  // The tab control keeps its fractions of the window; the pages follow it.
  const LayoutEntry e = dlg.Layout().Entries().at(0);
  EXPECT_EQ(e.id, IDC_MAIN_TAB);
  dlg.resize(1400, 1000);
  ASSERT_TRUE(WaitUntil([&] { return dlg.width() == 1400; }));
  QRect tab = dlg.TabSheet().geometry();
  EXPECT_EQ(tab.left(), static_cast<int>(e.left * 1400.0f));
  EXPECT_EQ(tab.top(), static_cast<int>(e.top * 1000.0f));
  EXPECT_EQ(tab.left() + tab.width(), static_cast<int>(e.right * 1400.0f));
  EXPECT_EQ(dlg.BootPicturePage().geometry(), dlg.TabSheet().PageRect());
  EXPECT_EQ(dlg.ClockPage().geometry(), dlg.TabSheet().PageRect());

  // Minimising moves nothing; restoring lays out again.
  const QRect before = dlg.TabSheet().geometry();
  dlg.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg.TabSheet().geometry(), before);
  dlg.showNormal();
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg.TabSheet().geometry(), before);
  dlg.hide();
}

}  // namespace

// The platform layer: filter strings, dialog units, controls by id, seams, timers, posts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "gui_test.h"
#include "ui/platform/dialog.h"
#include "ui/platform/file_filter.h"
#include "ui/platform/ip_address_ctrl.h"
#include "ui/platform/resources.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"

namespace {

struct FilterCase {
  const char* filter_text;
  std::vector<std::pair<QString, QStringList>> filters;
  QString qt;
};

TEST(FileFilterTest, ParsesPairsUpToTheEmptyField) {
  const std::vector<FilterCase> cases = {
      {"Png (*.png)|*.png|All Files (*.*)|*.*||",
       {{"Png (*.png)", {"*.png"}}, {"All Files (*.*)", {"*.*"}}},
       "Png (*.png);;All Files (*)"},
      {"Jpg (*.jpg;*.jpeg)|*.jpg;*.jpeg|Bin (*.bin;*.Bin)|*.bin;*.Bin|All Files (*.*)|*.*||",
       {{"Jpg (*.jpg;*.jpeg)", {"*.jpg", "*.jpeg"}},
        {"Bin (*.bin;*.Bin)", {"*.bin", "*.Bin"}},
        {"All Files (*.*)", {"*.*"}}},
       "Jpg (*.jpg *.jpeg);;Bin (*.bin *.Bin);;All Files (*)"},
      {"Firmware|*.tgz;*.tar.gz;*.bin||",
       {{"Firmware", {"*.tgz", "*.tar.gz", "*.bin"}}},
       "Firmware (*.tgz *.tar.gz *.bin)"},
      {"", {}, ""},
      {"||", {}, ""},
      {"Dangling|", {}, ""},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.filter_text);
    auto parsed = ParseFileFilter(QString::fromUtf8(c.filter_text));
    ASSERT_EQ(parsed.size(), c.filters.size());
    for (size_t i = 0; i < parsed.size(); ++i) {
      EXPECT_EQ(parsed[i].description, c.filters[i].first);
      EXPECT_EQ(parsed[i].patterns, c.filters[i].second);
    }
    EXPECT_EQ(ToQtFileFilter(parsed), c.qt);
  }
  auto jpg = ParseFileFilter("Jpg (*.jpg;*.jpeg)|*.jpg;*.jpeg|All Files (*.*)|*.*||");
  EXPECT_TRUE(MatchesFileFilter("boot.JPEG", jpg[0]));
  EXPECT_FALSE(MatchesFileFilter("boot.png", jpg[0]));
  EXPECT_TRUE(MatchesFileFilter("README", jpg[1]));
}

TEST(DialogUnitsTest, QuartersAndEighthsOfTheBaseUnits) {
  DialogBaseUnits u{6, 13};
  EXPECT_EQ(DluToPixelsX(609, u), 914);  // 913.5 rounds up
  EXPECT_EQ(DluToPixelsY(410, u), 666);  // 666.25
  EXPECT_EQ(DluToPixels(7, 7, 595, 396, u), QRect(11, 11, 892, 644));
  DialogBaseUnits big{8, 17};
  EXPECT_EQ(DluToPixelsX(4, big), 8);
  EXPECT_EQ(DluToPixelsY(8, big), 17);
}

// The main window's 609 x 410 units at the logical DPI a screen reports (a Qt scale factor
// leaves it at 96: the ratio is applied below the logical pixels).
TEST(DialogUnitsTest, BaseUnitsGrowWithTheLogicalDpi) {
  struct Case {
    double dpi;
    QSize window;
  };
  for (const Case& c : std::vector<Case>{{96, {914, 666}}, {120, {1142, 833}}, {144, {1370, 999}}, {0, {914, 666}}}) {
    const DialogBaseUnits u = BaseUnitsForDpi(c.dpi, c.dpi);
    EXPECT_EQ(QSize(DluToPixelsX(609, u), DluToPixelsY(410, u)), c.window) << c.dpi;
  }
}

// A dialog whose OK keeps it open when the port is not a number.
class PortDialog : public CDialog {
 public:
  PortDialog() : CDialog(IDD_CHANNELSET) {}
  bool OnInitDialog() override {
    ComboAddString(1023, "MVK");
    ComboAddString(1023, "ONVIF");
    ComboSetCurSel(1023, 1);
    return true;
  }
  void OnOK() override {
    bool ok = false;
    port = GetDlgItemInt(1025, &ok);
    if (!ok) {
      MessageBox("Please enter an integer.");
      return;
    }
    CDialog::OnOK();
  }
  int port = -1;
};

TEST(DialogTest, ControlsByIdAndModalRunsThroughTheSeam) {
  GuiApp();
  RecordingUiSeam seam;
  ScopedUiSeam use(&seam);
  PortDialog dlg;
  seam.modalHook = [](CDialog& d) {
    EXPECT_TRUE(d.IsCreated());
    EXPECT_EQ(d.windowTitle(), QString::fromUtf8("设置通道参数"));
    EXPECT_EQ(d.ComboGetCurSel(1023), 1);
    EXPECT_EQ(d.ControlAs<QLineEdit>(1022)->echoMode(), QLineEdit::Password);
    EXPECT_NE(d.ControlAs<CIPAddressCtrl>(1020), nullptr);
    EXPECT_EQ(d.Control(4242), nullptr);
    return IDOK;
  };
  // Empty port: the OK handler refuses and the dialog stays open.
  EXPECT_EQ(dlg.DoModal(), -1);
  ASSERT_EQ(seam.boxes.size(), 1u);
  EXPECT_EQ(seam.boxes[0].text, QStringLiteral("Please enter an integer."));

  seam.modalHook = [](CDialog& d) {
    d.SetDlgItemText(1025, "8000");
    return IDOK;
  };
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.port, 8000);
  seam.modalHook = [](CDialog&) { return IDCANCEL; };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(seam.modals, (std::vector<int>{IDD_CHANNELSET, IDD_CHANNELSET, IDD_CHANNELSET}));
}

class TestPage : public CDialogPage {
 public:
  TestPage() : CDialogPage(IDD_DRAVLIN_DIALOG) {}
  void OnTimer(int id) override { timers.push_back(id); }
  std::vector<int> timers;
};

TEST(DialogTest, PageHelpersTimersAndChooser) {
  GuiApp();
  RecordingUiSeam seam;
  ScopedUiSeam use(&seam);
  QWidget host;
  TestPage page;
  ASSERT_TRUE(page.Create(IDD_DRAVLIN_DIALOG, &host));
  EXPECT_EQ(page.GetDlgItemText(1001), QString::fromUtf8("搜索NVR"));
  page.SetDlgItemText(1001, "停止");
  EXPECT_EQ(page.GetDlgItemText(1001), QString::fromUtf8("停止"));
  EXPECT_FALSE(page.IsWindowVisible(1058));  // hidden group
  EXPECT_TRUE(page.IsWindowVisible(1024));
  page.EnableWindow(1024, false);
  EXPECT_FALSE(page.IsWindowEnabled(1024));
  EXPECT_FALSE(page.IsDlgButtonChecked(1043));
  QTest::mouseClick(page.ControlAs<QCheckBox>(1043), Qt::LeftButton);
  EXPECT_TRUE(page.IsDlgButtonChecked(1043));
  EXPECT_NE(page.Report(1000), nullptr);

  // Buttons reach registered handlers through OnCommand.
  int clicks = 0;
  page.HandleCommand(1003, [&] { ++clicks; });
  page.ControlAs<QAbstractButton>(1003)->click();
  EXPECT_EQ(clicks, 1);

  // File chooser: the filter is recorded, the answer is a path or a cancel.
  seam.pathAnswers.push_back(QStringLiteral("/tmp/boot.jpg"));
  QString path;
  EXPECT_TRUE(page.ChooseOpenFile("Png (*.png)|*.png|All Files (*.*)|*.*||", &path));
  EXPECT_EQ(path, QStringLiteral("/tmp/boot.jpg"));
  EXPECT_FALSE(page.ChooseOpenFile("Png (*.png)|*.png||", &path));
  ASSERT_EQ(seam.choosers.size(), 2u);
  EXPECT_EQ(seam.choosers[0].filter, QStringLiteral("Png (*.png)|*.png|All Files (*.*)|*.*||"));
  // The real chooser speaks Chinese: Qt's own texts come from its translations.
  ASSERT_TRUE(LoadQtTranslations());
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QString::fromUtf8("查找范围："));

  // Timers by id.
  page.SetTimer(1125, 10);
  ASSERT_TRUE(WaitUntil([&] { return page.timers.size() >= 2; }));
  EXPECT_EQ(page.timers[0], 1125);
  EXPECT_TRUE(page.KillTimer(1125));
  EXPECT_FALSE(page.KillTimer(1125));
  EXPECT_FALSE(page.IsTimerSet(1125));
  page.setParent(nullptr);
}

TEST(ResourcesTest, StringsIconAndBinary) {
  GuiApp();
  EXPECT_EQ(LoadString(IDS_ABOUTBOX), QString::fromUtf8("关于 Dravlin(&A)..."));
  EXPECT_EQ(LoadString(IDP_SOCKETS_INIT_FAILED), QString::fromUtf8("Windows 套接字初始化失败。"));
  EXPECT_TRUE(LoadString(102).isEmpty());
  EXPECT_FALSE(LoadAppIcon().isNull());
  EXPECT_EQ(LoadMenuResource(IDR_MENU_CANVAS)->popups.size(), 6u);
  EXPECT_EQ(LoadMenuResource(134), nullptr);
  EXPECT_TRUE(FindBinaryResource(140).empty());
#if defined(DRAVLIN_HAVE_IMAGING)
  BinaryResource jpeg = FindBinaryResource(IDR_FACTORY_BOOT_JPEG);
  ASSERT_FALSE(jpeg.empty());
  EXPECT_EQ(jpeg.data[0], 0xFF);
  EXPECT_EQ(jpeg.data[1], 0xD8);
#endif
}

TEST(TextTest, GbkBothWays) {
  const std::string gbk = "\xC4\xE3\xBA\xC3";  // 你好
  EXPECT_EQ(FromGbk(gbk), QString::fromUtf8("你好"));
  EXPECT_EQ(ToGbk(QString::fromUtf8("你好")), gbk);
  EXPECT_EQ(FromGbk(std::string("ab\0cd", 5)), QStringLiteral("ab"));
  EXPECT_EQ(ToGbk(QString::fromUtf8("a\xF0\x9F\x98\x80"
                                    "b")),
            "a?b");
  EXPECT_EQ(FromGbk("\xFF"), QString(QChar(0xFFFD)));
}

}  // namespace

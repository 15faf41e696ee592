// The Dravlin console.
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <string_view>

#include "ui/platform/dialog_template.h"
#include "ui/shell/dravlin_app.h"
#include "ui/shell/screenshot.h"

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: dravlin [--all-pages]\n"
    "       dravlin --help | --version\n"
    "\n"
    "The Dravlin console: finds the recorders on the LAN and refreshes their pictures\n"
    "(tab \"NVR开机画面\") or broadcasts the PC clock to them (tab \"NVR对时\").\n"
    "\n"
    "  --all-pages   also show the channel-table page (third tab \"NVR通道管理\") and the\n"
    "                firmware-upgrade page (fourth tab \"固件升级\")\n"
    "  -h, --help    this text\n"
    "  --version     the version\n"
    "\n"
    "Qt's own options (e.g. -platform offscreen) are taken as well.\n";

}  // namespace

int main(int argc, char** argv) {
  // Before Qt: the help and the version need no display.
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("dravlin %s\n", DRAVLIN_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dravlin"));
  CDravlinApp theApp;
  // Qt has taken its own options out of the list by now.
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--all-pages")) {
      theApp.m_allPages = true;
    } else {
      std::fprintf(stderr, "dravlin: unknown option '%s'\n\n%s", a.toLocal8Bit().constData(), kUsage);
      return 2;
    }
  }
  QApplication::setFont(DialogFont());
  theApp.InitInstance();
  return ScreenshotStatus();
}

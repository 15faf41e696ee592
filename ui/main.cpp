// The Dravlin console.
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <string>
#include <string_view>

#include "ui/pages/runner_host.h"
#include "ui/platform/dialog_template.h"
#include "ui/shell/dravlin_app.h"
#include "ui/shell/screenshot.h"

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: dravlin [--all-pages] [--history STORE] [--station NAME]\n"
    "       dravlin --help | --version\n"
    "\n"
    "The Dravlin console: finds the recorders on the LAN and refreshes their pictures\n"
    "(tab \"NVR开机画面\") or broadcasts the PC clock to them (tab \"NVR对时\").\n"
    "\n"
    "  --all-pages   also show the channel-table page (third tab \"NVR通道管理\") and the\n"
    "                firmware-upgrade page (fourth tab \"固件升级\") and the production record\n"
    "                (fifth tab \"生产记录\")\n"
    "  --history STORE where every recorder's job is recorded: the station's own SQLite file\n"
    "                by default ($XDG_DATA_HOME/dravlin/history.sqlite), another SQLite file,\n"
    "                a PostgreSQL connection string (postgresql://..., a line's shared\n"
    "                record; Linux only), or off\n"
    "  --station NAME  the station's name in the record (default: the host name)\n"
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
  std::string historyLocation;
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--all-pages")) {
      theApp.m_allPages = true;
    } else if ((a == QLatin1String("--history") || a == QLatin1String("--station")) && i + 1 < args.size()) {
      const std::string value = args[++i].toLocal8Bit().toStdString();
      if (a == QLatin1String("--history")) historyLocation = value;
      else runner_host::SetStation(value);
    } else {
      std::fprintf(stderr, "dravlin: unknown option '%s'\n\n%s", a.toLocal8Bit().constData(), kUsage);
      return 2;
    }
  }
  QApplication::setFont(DialogFont());
  // The record is the operator's, not the console's: a store that cannot be opened is said and
  // the console works on without it.
  std::string why;
  if (runner_host::OpenHistory(historyLocation, &why) < 0)
    std::fprintf(stderr, "dravlin: the history cannot be kept: %s\n", why.c_str());
  theApp.InitInstance();
  return ScreenshotStatus();
}

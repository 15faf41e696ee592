// The Dravlin console.
#include <QApplication>

#include "ui/platform/dialog_template.h"
#include "ui/shell/dravlin_app.h"
#include "ui/shell/screenshot.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dravlin"));
  QApplication::setFont(DialogFont());
  CDravlinApp theApp;
  theApp.InitInstance();
  return ScreenshotStatus();
}

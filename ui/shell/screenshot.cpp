#include "ui/shell/screenshot.h"

#include <QPixmap>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ui/shell/dravlins.h"

namespace {
int g_status = 0;
}

int ScreenshotStatus() { return g_status; }

void ScheduleScreenshotSizeFromEnvironment(CDravlins& window) {
  const QString size = QString::fromLocal8Bit(qgetenv("DRAVLIN_SCREENSHOT_SIZE"));
  if (size.isEmpty()) return;
  bool okW = false, okH = false;
  const int w = size.section(QLatin1Char('x'), 0, 0).toInt(&okW);
  const int h = size.section(QLatin1Char('x'), 1, 1).toInt(&okH);
  if (!okW || !okH || w <= 0 || h <= 0) {
    std::fprintf(stderr, "screenshot: DRAVLIN_SCREENSHOT_SIZE is not WxH: %s\n", size.toLocal8Bit().constData());
    g_status = 1;
    return;
  }
  // Runs once the modal loop has shown the window: its pixels are the screen's divided by the
  // scale factor.
  QTimer::singleShot(0, &window, [&window, w, h] {
    const qreal ratio = window.devicePixelRatioF();
    window.resize(qRound(w / ratio), qRound(h / ratio));
    std::fprintf(stderr, "screenshot: window %dx%d at a pixel ratio of %.2f\n", window.width(), window.height(),
                 static_cast<double>(ratio));
  });
}

void ScheduleScreenshotFromEnvironment(CDravlins& window) {
  const char* path = std::getenv("DRAVLIN_SCREENSHOT");
  if (!path || !*path) return;
  const QString out = QString::fromLocal8Bit(path);
  const char* tab = std::getenv("DRAVLIN_SCREENSHOT_TAB");
  const char* delay = std::getenv("DRAVLIN_SCREENSHOT_DELAY_MS");
  const int tabIndex = tab ? std::atoi(tab) : 0;
  const int delayMs = delay ? std::atoi(delay) : 500;
  auto* timer = new QTimer(&window);
  auto waited = std::make_shared<int>(0);
  timer->setInterval(50);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, waited, out, tabIndex, delayMs] {
    QWindow* handle = window.windowHandle();
    const bool onScreen = window.isVisible() && handle && handle->isExposed();
    *waited += 50;
    if (!onScreen && *waited < 20000) return;
    if (*waited < delayMs) return;
    timer->stop();
    window.TabSheet().SelectPage(tabIndex);
    window.repaint();
    const QPixmap shot = window.grab();
    if (shot.isNull() || !shot.save(out, "PNG")) {
      std::fprintf(stderr, "screenshot: cannot save %s\n", out.toLocal8Bit().constData());
      g_status = 1;
    }
    window.EndDialog(IDCANCEL);
  });
  QTimer::singleShot(0, &window, [timer] { timer->start(); });
}

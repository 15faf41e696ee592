#include "ui/shell/screenshot_workflow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "ui/shell/dravlins.h"

namespace {

constexpr int kTickMs = 100;
constexpr qint64 kListDeadlineMs = 30000;
constexpr qint64 kListSettleMs = 2500;
constexpr char kProgressPrefix[] = "上传文件中..";

enum class Step { WaitWindow, WaitRows, WaitProgress, WaitEnd, Done };

struct Workflow {
  QString prefix;
  int wantRows = 0;
  Step step = Step::WaitWindow;
  QElapsedTimer clock;       // since the search started
  qint64 lastGrowth = 0;     // when the list last grew
  int lastCount = 0;
  qint64 firstProgress = -1; // when a row first showed upload progress
  QTemporaryDir pictures;
};

void Fail(const char* what) { std::fprintf(stderr, "screenshot workflow: %s\n", what); }

bool Save(CDravlins& window, const QString& path) {
  window.BootPicturePage().List().DrainPosted();
  window.repaint();
  const QPixmap shot = window.grab();
  if (shot.isNull() || !shot.save(path, "PNG")) {
    std::fprintf(stderr, "screenshot workflow: cannot save %s\n", path.toLocal8Bit().constData());
    return false;
  }
  std::fprintf(stderr, "screenshot workflow: saved %s\n", path.toLocal8Bit().constData());
  return true;
}

// A flat picture with a frame and a caption: small, no gradients, as the recorders want.
QString DrawPicture(const QString& dir, const char* name, QSize size, const char* caption) {
  QImage img(size, QImage::Format_RGB32);
  img.fill(QColor(13, 13, 15));
  QPainter p(&img);
  p.setPen(QPen(QColor(40, 120, 200), 6));
  p.drawRect(img.rect().adjusted(8, 8, -8, -8));
  QFont f = p.font();
  f.setPixelSize(size.height() / 8);
  p.setFont(f);
  p.setPen(QColor(230, 230, 230));
  p.drawText(img.rect(), Qt::AlignCenter, U8(caption));
  p.end();
  const QString path = QDir(dir).filePath(QString::fromLatin1(name));
  return img.save(path, "PNG") ? path : QString();
}

// Chooses the two drawn pictures, the built-in boot picture, ticks the QV5 rows and starts
// the refresh, as the operator would.
bool StartRefresh(CDravlins& window, Workflow& w) {
  CDravlinDlg& page = window.BootPicturePage();
  if (page.IsSearching()) page.OnCommand(1001, BN_CLICKED);
  const QString chan = DrawPicture(w.pictures.path(), "channel.png", QSize(360, 288), "Dravlin 通道");
  const QString shut = DrawPicture(w.pictures.path(), "shutdown.png", QSize(1024, 768), "Dravlin 关机");
  if (chan.isEmpty() || shut.isEmpty()) {
    Fail("cannot draw the pictures");
    return false;
  }
  {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    seam.pathAnswers = {chan, shut};
    page.OnCommand(1017, BN_CLICKED);
    page.OnCommand(1018, BN_CLICKED);
    for (const auto& box : seam.boxes) std::fprintf(stderr, "screenshot workflow: %s\n", box.text.toUtf8().constData());
    if (!seam.boxes.empty()) return false;
  }
  page.CheckDlgButton(1043, true);
  page.OnCommand(1043, BN_CLICKED);
  page.OnCommand(1003, BN_CLICKED);
  page.OnCommand(1024, BN_CLICKED);
  return true;
}

void Tick(CDravlins& window, QTimer* timer, Workflow& w) {
  CDravlinDlg& page = window.BootPicturePage();
  CReportCtrl& list = page.List();
  switch (w.step) {
    case Step::WaitWindow: {
      QWindow* handle = window.windowHandle();
      if (!window.isVisible() || !handle || !handle->isExposed()) return;
      window.TabSheet().SelectPage(0);
      page.OnCommand(1001, BN_CLICKED);
      if (!page.IsSearching()) {
        Fail("the search did not start");
        break;
      }
      w.clock.start();
      w.step = Step::WaitRows;
      return;
    }
    case Step::WaitRows: {
      const int n = list.GetRowCount();
      const qint64 now = w.clock.elapsed();
      if (n != w.lastCount) {
        w.lastCount = n;
        w.lastGrowth = now;
      }
      const bool enough = w.wantRows > 0 ? n >= w.wantRows : n > 0 && now - w.lastGrowth >= kListSettleMs;
      if (!enough && now < kListDeadlineMs) return;
      if (n == 0) {
        Fail("no recorder answered the search");
        break;
      }
      if (!StartRefresh(window, w)) break;
      w.clock.restart();
      w.step = Step::WaitProgress;
      return;
    }
    case Step::WaitProgress: {
      list.DrainPosted();
      int ticked = 0, uploading = 0;
      for (int r = 0; r < list.GetRowCount(); ++r) {
        if (!list.GetRowCheck(r)) continue;
        ++ticked;
        if (list.GetCellText(r, CDravlinDlg::kStatusColumn).startsWith(U8(kProgressPrefix))) ++uploading;
      }
      const qint64 now = w.clock.elapsed();
      if (uploading > 0 && w.firstProgress < 0) w.firstProgress = now;
      // Most ticked rows mid-upload makes the better picture; a short wait for it at most.
      const bool ready = uploading > 0 && (2 * uploading >= ticked || now - w.firstProgress >= 1500);
      if (ready) {
        if (!Save(window, w.prefix + QStringLiteral("-progress.png"))) break;
        w.step = Step::WaitEnd;
        return;
      }
      if (!page.IsTimerSet(CDravlinDlg::kSuperviseTimer)) {
        Fail("the refresh ended before any upload progress showed");
        break;
      }
      return;
    }
    case Step::WaitEnd:
      if (page.IsTimerSet(CDravlinDlg::kSuperviseTimer)) return;
      Save(window, w.prefix + QStringLiteral("-done.png"));
      break;
    case Step::Done:
      return;
  }
  w.step = Step::Done;
  timer->stop();
  window.EndDialog(IDCANCEL);
}

}  // namespace

void ScheduleWorkflowFromEnvironment(CDravlins& window) {
  const char* prefix = std::getenv("DRAVLIN_SCREENSHOT_WORKFLOW");
  if (!prefix || !*prefix) return;
  auto w = std::make_shared<Workflow>();
  w->prefix = QString::fromLocal8Bit(prefix);
  if (const char* rows = std::getenv("DRAVLIN_SCREENSHOT_WORKFLOW_ROWS")) w->wantRows = std::atoi(rows);
  auto* timer = new QTimer(&window);
  timer->setInterval(kTickMs);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, w] { Tick(window, timer, *w); });
  QTimer::singleShot(0, &window, [timer] { timer->start(); });
}

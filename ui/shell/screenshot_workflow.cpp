#include "ui/shell/screenshot_workflow.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
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
#include "ui/pages/net_assign_dlg.h"
#include "ui/platform/ip_address_ctrl.h"

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
  QElapsedTimer clock;    // since the search started
  qint64 lastGrowth = 0;  // when the list last grew
  int lastCount = 0;
  qint64 firstProgress = -1;  // when a row first showed upload progress
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

// A boot picture close to the recorders' 240 KB limit, so its upload outlasts what the socket
// buffers take at once and the rows show real percentages. Busy blocks of colour compress
// badly; the quality is lowered until the file fits.
QString DrawBootPicture(const QString& dir) {
  QImage img(QSize(1280, 720), QImage::Format_RGB32);
  quint32 seed = 7;
  for (int y = 0; y < img.height(); y += 4)
    for (int x = 0; x < img.width(); x += 4) {
      seed = seed * 1103515245u + 12345u;
      const QRgb c = qRgb((seed >> 8) & 0xFF, (seed >> 16) & 0xFF, (seed >> 24) & 0xFF);
      for (int dy = 0; dy < 4; ++dy)
        for (int dx = 0; dx < 4; ++dx) img.setPixel(x + dx, y + dy, c);
    }
  QPainter p(&img);
  QFont f = p.font();
  f.setPixelSize(96);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(img.rect(), Qt::AlignCenter, QStringLiteral("Dravlin"));
  p.end();
  const QString path = QDir(dir).filePath(QStringLiteral("boot.jpg"));
  for (int quality = 90; quality >= 10; quality -= 10) {
    if (!img.save(path, "JPEG", quality)) return QString();
    if (QFileInfo(path).size() <= 230 * 1024) {
      std::fprintf(stderr, "screenshot workflow: boot picture of %lld bytes\n",
                   static_cast<long long>(QFileInfo(path).size()));
      return path;
    }
  }
  return QString();
}

// Chooses the boot and channel pictures it draws in dir and the factory shutdown picture,
// ticks the QV5 rows and starts the refresh, as the operator would.
bool StartRefresh(CDravlins& window, const QString& dir) {
  CDravlinDlg& page = window.BootPicturePage();
  if (page.IsSearching()) page.OnCommand(IDC_BOOT_SEARCH, BN_CLICKED);
  const QString boot = DrawBootPicture(dir);
  const QString chan = DrawPicture(dir, "channel.png", QSize(360, 288), "Dravlin 通道");
  if (boot.isEmpty() || chan.isEmpty()) {
    Fail("cannot draw the pictures");
    return false;
  }
  {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    seam.pathAnswers = {boot, chan};
    page.OnCommand(IDC_BOOT_CHOOSE_BOOT, BN_CLICKED);
    page.OnCommand(IDC_BOOT_CHOOSE_CHANNEL, BN_CLICKED);
    for (const auto& box : seam.boxes) std::fprintf(stderr, "screenshot workflow: %s\n", box.text.toUtf8().constData());
    if (!seam.boxes.empty()) return false;
  }
  page.CheckDlgButton(IDC_BOOT_FACTORY_SHUTDOWN, true);
  page.OnCommand(IDC_BOOT_FACTORY_SHUTDOWN, BN_CLICKED);
  page.OnCommand(IDC_BOOT_SELECT_ALL, BN_CLICKED);
  page.OnCommand(IDC_BOOT_REFRESH, BN_CLICKED);
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
      page.OnCommand(IDC_BOOT_SEARCH, BN_CLICKED);
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
      if (!StartRefresh(window, w.pictures.path())) break;
      w.clock.restart();
      w.step = Step::WaitProgress;
      return;
    }
    case Step::WaitProgress: {
      list.DrainPosted();
      int ticked = 0, uploading = 0, halfway = 0;
      const QString prefix = U8(kProgressPrefix);
      for (int r = 0; r < list.GetRowCount(); ++r) {
        if (!list.GetRowCheck(r)) continue;
        ++ticked;
        const QString text = list.GetCellText(r, CDravlinDlg::kStatusColumn);
        if (!text.startsWith(prefix)) continue;
        ++uploading;
        const int pct = text.mid(prefix.size()).section(QLatin1Char('.'), 0, 0).toInt();
        if (pct >= 40 && pct <= 90) ++halfway;
      }
      const qint64 now = w.clock.elapsed();
      if (uploading > 0 && w.firstProgress < 0) w.firstProgress = now;
      // Most ticked rows well into an upload make the better picture; a short wait for it at most.
      const bool ready = uploading > 0 && (2 * halfway >= ticked || now - w.firstProgress >= 3000);
      if (ready) {
        std::fprintf(stderr, "screenshot workflow: %d of %d ticked rows uploading after %lld ms\n", uploading, ticked,
                     static_cast<long long>(now));
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
    case Step::Done: return;
  }
  w.step = Step::Done;
  timer->stop();
  window.EndDialog(IDCANCEL);
}

// ---- one page at work ---------------------------------------------------------------------

// A page scene: the tab it shows, what starts the work once the rows are listed, and when the
// picture is worth taking. Each returns false when it cannot go on.
struct PageScene {
  const char* name;
  int tab;
  bool (*search)(CDravlins& window);
  CReportCtrl& (*list)(CDravlins& window);
  bool (*start)(CDravlins& window, const QString& scratch);
  bool (*running)(CDravlins& window);
  int statusColumn;
};

// The boot-picture page: search, "全选", the pictures of the workflow above, "刷新图片并重启".
bool BootSearch(CDravlins& window) {
  CDravlinDlg& page = window.BootPicturePage();
  page.OnCommand(IDC_BOOT_SEARCH, BN_CLICKED);
  return page.IsSearching();
}
CReportCtrl& BootList(CDravlins& window) { return window.BootPicturePage().List(); }
bool BootRunning(CDravlins& window) { return window.BootPicturePage().IsTimerSet(CDravlinDlg::kSuperviseTimer); }

// The firmware page: search, every row ticked, an image of 4 MB it writes, "升级".
bool UpgradeSearch(CDravlins& window) {
  CUpgrade& page = window.UpgradePage();
  page.OnCommand(IDC_UPG_SEARCH, BN_CLICKED);
  return page.IsSearching();
}
CReportCtrl& UpgradeList(CDravlins& window) { return window.UpgradePage().List(); }
bool UpgradeStart(CDravlins& window, const QString& scratch) {
  CUpgrade& page = window.UpgradePage();
  const QString path = QDir(scratch).filePath(QStringLiteral("firmware.tgz"));
  {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    QByteArray block(64 * 1024, '\0');
    quint32 x = 2463534242u;
    for (int n = 0; n < 64; ++n) {
      for (char& c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
      }
      if (f.write(block) != block.size()) return false;
    }
  }
  RecordingUiSeam seam;
  ScopedUiSeam scoped(&seam);
  seam.pathAnswers = {path};
  page.OnCommand(IDC_UPG_BROWSE, BN_CLICKED);
  page.OnCommand(IDC_UPG_INVERT, BN_CLICKED);
  page.OnCommand(IDC_UPG_START, BN_CLICKED);
  for (const auto& box : seam.boxes) std::fprintf(stderr, "screenshot page: %s\n", box.text.toUtf8().constData());
  return seam.boxes.empty() && page.IsUpgrading();
}
bool UpgradeRunning(CDravlins& window) { return window.UpgradePage().IsUpgrading(); }

const PageScene kScenes[] = {
    {"boot", 0, BootSearch, BootList, StartRefresh, BootRunning, CDravlinDlg::kStatusColumn},
    {"upgrade", 3, UpgradeSearch, UpgradeList, UpgradeStart, UpgradeRunning, CUpgrade::kStatusColumn},
};

struct PageShot {
  const PageScene* scene = nullptr;
  QString out;
  int wantRows = 0;
  Step step = Step::WaitWindow;
  QElapsedTimer clock;
  qint64 lastGrowth = 0;
  int lastCount = 0;
  qint64 firstProgress = -1;
  QTemporaryDir scratch;
};

void PageTick(CDravlins& window, QTimer* timer, PageShot& w) {
  const PageScene& scene = *w.scene;
  CReportCtrl& list = scene.list(window);
  switch (w.step) {
    case Step::WaitWindow: {
      QWindow* handle = window.windowHandle();
      if (!window.isVisible() || !handle || !handle->isExposed()) return;
      if (window.TabSheet().GetPageCount() <= scene.tab) {
        Fail("the page has no tab (start the console with --all-pages)");
        break;
      }
      window.TabSheet().SelectPage(scene.tab);
      if (!scene.search(window)) {
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
      if (!scene.start(window, w.scratch.path())) {
        Fail("the work did not start");
        break;
      }
      w.clock.restart();
      w.step = Step::WaitProgress;
      return;
    }
    case Step::WaitProgress: {
      list.DrainPosted();
      int ticked = 0, uploading = 0, halfway = 0;
      const QString prefix = U8(kProgressPrefix);
      for (int r = 0; r < list.GetRowCount(); ++r) {
        if (!list.GetRowCheck(r)) continue;
        ++ticked;
        const QString text = list.GetCellText(r, scene.statusColumn);
        if (!text.startsWith(prefix)) continue;
        ++uploading;
        const int pct = text.mid(prefix.size()).section(QLatin1Char('.'), 0, 0).toInt();
        if (pct >= 30 && pct <= 90) ++halfway;
      }
      const qint64 now = w.clock.elapsed();
      if (uploading > 0 && w.firstProgress < 0) w.firstProgress = now;
      if (uploading > 0 && (2 * halfway >= ticked || now - w.firstProgress >= 5000)) {
        std::fprintf(stderr, "screenshot page: %d of %d ticked rows uploading after %lld ms\n", uploading, ticked,
                     static_cast<long long>(now));
        window.repaint();
        const QPixmap shot = window.grab();
        if (shot.isNull() || !shot.save(w.out, "PNG"))
          std::fprintf(stderr, "screenshot page: cannot save %s\n", w.out.toLocal8Bit().constData());
        else std::fprintf(stderr, "screenshot page: saved %s\n", w.out.toLocal8Bit().constData());
        break;
      }
      if (!scene.running(window)) {
        Fail("the work ended before any progress showed");
        break;
      }
      return;
    }
    default: break;
  }
  w.step = Step::Done;
  timer->stop();
  window.EndDialog(IDCANCEL);
}

// The channel page: search, log in to the NVR named by DRAVLIN_SCREENSHOT_NVR (else the first
// listed), let it search its network for cameras, "加满"; the picture once the filled channels
// are shown. It has a flow of its own: nothing in it uploads.
struct ChannelShot {
  QString out;
  QString nvr;
  int step = 0;
  QElapsedTimer clock;
  qint64 lastGrowth = 0;
  int lastCount = 0;
};

void ChannelTick(CDravlins& window, QTimer* timer, ChannelShot& w) {
  CDChanCtrl& page = window.ChannelPage();
  const qint64 now = w.clock.isValid() ? w.clock.elapsed() : 0;
  const bool late = now > kListDeadlineMs;
  switch (w.step) {
    case 0: {  // the window is up: the page's tab and its search
      QWindow* handle = window.windowHandle();
      if (!window.isVisible() || !handle || !handle->isExposed()) return;
      if (window.TabSheet().GetPageCount() <= 2) {
        Fail("the channel page has no tab (start the console with --all-pages)");
        break;
      }
      window.TabSheet().SelectPage(2);
      page.OnCommand(IDC_CHAN_NVR_SEARCH, BN_CLICKED);
      if (!page.IsNvrSearching()) {
        Fail("the search did not start");
        break;
      }
      w.clock.start();
      w.step = 1;
      return;
    }
    case 1: {  // the NVR listed: log in
      CReportCtrl& nvrs = page.NvrList();
      for (int r = 0; r < nvrs.GetRowCount(); ++r) {
        if (!w.nvr.isEmpty() && nvrs.GetCellText(r, 1) != w.nvr) continue;
        nvrs.SetRowStates(r, RVS_SELECTED | RVS_FOCUSED);
        page.OnReportNotify(IDC_CHAN_NVR_LIST, NM_REPORT_DBLCLK, r, 0);
        w.step = 2;
        w.clock.restart();
        return;
      }
      if (late) Fail("the NVR did not answer the search");
      if (late) break;
      return;
    }
    case 2: {  // logged in with the table read: the NVR's camera search
      if (!page.GetDlgItemText(IDC_CHAN_LOGIN_STATE).endsWith(U8("连接成功")) ||
          page.ChannelList().GetRowCount() == 0) {
        if (late) Fail("no login to the NVR");
        if (late) break;
        return;
      }
      page.OnCommand(IDC_CHAN_IPC_SEARCH, BN_CLICKED);
      w.step = 3;
      w.clock.restart();
      return;
    }
    case 3: {  // the cameras listed and settled: fill
      const int n = page.IpcList().GetRowCount();
      if (n != w.lastCount) {
        w.lastCount = n;
        w.lastGrowth = now;
      }
      if (n == 0 || now - w.lastGrowth < 1500) {
        if (late) Fail("the NVR found no cameras");
        if (late) break;
        return;
      }
      page.OnCommand(IDC_CHAN_ADD_ALL, BN_CLICKED);
      w.step = 4;
      w.clock.restart();
      return;
    }
    case 4: {  // the filled table read back: the picture
      CReportCtrl& chans = page.ChannelList();
      int used = 0;
      for (int r = 0; r < chans.GetRowCount(); ++r)
        used += chans.GetCellText(r, CDChanCtrl::kChanColIp).isEmpty() ? 0 : 1;
      if (used == 0) {
        if (late) Fail("no channel was filled");
        if (late) break;
        return;
      }
      std::fprintf(stderr, "screenshot page: %d of %d channels filled after %lld ms\n", used, chans.GetRowCount(),
                   static_cast<long long>(now));
      window.repaint();
      const QPixmap shot = window.grab();
      if (shot.isNull() || !shot.save(w.out, "PNG"))
        std::fprintf(stderr, "screenshot page: cannot save %s\n", w.out.toLocal8Bit().constData());
      else std::fprintf(stderr, "screenshot page: saved %s\n", w.out.toLocal8Bit().constData());
      break;
    }
    default: break;
  }
  w.step = 5;
  timer->stop();
  window.EndDialog(IDCANCEL);
}

bool ScheduleChannelShot(CDravlins& window, const char* out) {
  auto w = std::make_shared<ChannelShot>();
  w->out = QString::fromLocal8Bit(out);
  if (const char* nvr = std::getenv("DRAVLIN_SCREENSHOT_NVR")) w->nvr = QString::fromLocal8Bit(nvr);
  auto* timer = new QTimer(&window);
  timer->setInterval(kTickMs);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, w] { ChannelTick(window, timer, *w); });
  QTimer::singleShot(0, &window, [timer] { timer->start(); });
  return true;
}

// The maintenance page's "修改网络参数..." for every listed recorder: the dialog with a start
// address filled in, its preview showing each recorder's new address; the picture is of the
// dialog, which is then cancelled (nothing is sent).
struct NetworkShot {
  QString out;
  int step = 0;
  QElapsedTimer clock;
  qint64 lastGrowth = 0;
  int lastCount = 0;
};

void NetworkTick(CDravlins& window, QTimer* timer, NetworkShot& w) {
  CDravlinDlg& page = window.BootPicturePage();
  const qint64 now = w.clock.isValid() ? w.clock.elapsed() : 0;
  switch (w.step) {
    case 0: {
      QWindow* handle = window.windowHandle();
      if (!window.isVisible() || !handle || !handle->isExposed()) return;
      window.TabSheet().SelectPage(0);
      page.OnCommand(IDC_BOOT_SEARCH, BN_CLICKED);
      if (!page.IsSearching()) {
        Fail("the search did not start");
        break;
      }
      w.clock.start();
      w.step = 1;
      return;
    }
    case 1: {  // every recorder listed and the list settled: all ticked, the dialog
      CReportCtrl& list = page.List();
      const int n = list.GetRowCount();
      if (n != w.lastCount) {
        w.lastCount = n;
        w.lastGrowth = now;
      }
      if (n == 0 || now - w.lastGrowth < 2500) {
        if (now > kListDeadlineMs) Fail("no recorder answered the search");
        if (now > kListDeadlineMs) break;
        return;
      }
      for (int r = 0; r < n; ++r) list.SetRowCheck(r, true);
      RecordingUiSeam seam;
      ScopedUiSeam scoped(&seam);
      bool saved = false;
      seam.modalHook = [&](CDialog& d) {
        d.ControlAs<CIPAddressCtrl>(IDC_NET_START_IP)->SetAddress(0xC0A80A65);  // 192.168.10.101
        d.ControlAs<CIPAddressCtrl>(IDC_NET_NETMASK)->SetAddress(0xFFFFFF00);
        d.ControlAs<CIPAddressCtrl>(IDC_NET_GATEWAY)->SetAddress(0xC0A80A01);
        d.show();
        QApplication::processEvents();
        d.repaint();
        const QPixmap shot = d.grab();
        saved = !shot.isNull() && shot.save(w.out, "PNG");
        d.hide();
        return IDCANCEL;
      };
      page.RunListCommand(IDM_BOOT_SET_NETWORK, -1);
      for (const auto& box : seam.boxes) std::fprintf(stderr, "screenshot page: %s\n", box.text.toUtf8().constData());
      if (saved) std::fprintf(stderr, "screenshot page: saved %s (%d recorders)\n", w.out.toLocal8Bit().constData(), n);
      else std::fprintf(stderr, "screenshot page: cannot save %s\n", w.out.toLocal8Bit().constData());
      break;
    }
    default: break;
  }
  w.step = 2;
  timer->stop();
  window.EndDialog(IDCANCEL);
}

bool ScheduleNetworkShot(CDravlins& window, const char* out) {
  auto w = std::make_shared<NetworkShot>();
  w->out = QString::fromLocal8Bit(out);
  auto* timer = new QTimer(&window);
  timer->setInterval(kTickMs);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, w] { NetworkTick(window, timer, *w); });
  QTimer::singleShot(0, &window, [timer] { timer->start(); });
  return true;
}

bool SchedulePageFromEnvironment(CDravlins& window) {
  const char* name = std::getenv("DRAVLIN_SCREENSHOT_PAGE");
  const char* out = std::getenv("DRAVLIN_SCREENSHOT_PAGE_OUT");
  if (!name || !*name) return false;
  if (QString::fromLocal8Bit(name) == QLatin1String("channels") && out && *out) return ScheduleChannelShot(window, out);
  if (QString::fromLocal8Bit(name) == QLatin1String("network") && out && *out) return ScheduleNetworkShot(window, out);
  auto w = std::make_shared<PageShot>();
  for (const PageScene& scene : kScenes)
    if (QString::fromLocal8Bit(name) == QLatin1String(scene.name)) w->scene = &scene;
  if (!w->scene || !out || !*out) {
    std::fprintf(stderr, "screenshot page: no scene '%s' or no DRAVLIN_SCREENSHOT_PAGE_OUT\n", name);
    QTimer::singleShot(0, &window, [&window] { window.EndDialog(IDCANCEL); });
    return true;
  }
  w->out = QString::fromLocal8Bit(out);
  if (const char* rows = std::getenv("DRAVLIN_SCREENSHOT_WORKFLOW_ROWS")) w->wantRows = std::atoi(rows);
  auto* timer = new QTimer(&window);
  timer->setInterval(kTickMs);
  QObject::connect(timer, &QTimer::timeout, &window, [&window, timer, w] { PageTick(window, timer, *w); });
  QTimer::singleShot(0, &window, [timer] { timer->start(); });
  return true;
}

}  // namespace

void ScheduleWorkflowFromEnvironment(CDravlins& window) {
  if (SchedulePageFromEnvironment(window)) return;
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

// The operator's workflow against dravlin-sim in a private namespace, beyond the basic suite:
// "全选" against a fleet of mixed device types, and a full refresh of 64 recorders while the UI
// thread is watched for being held up (a link thread blocking it, a deadlock with the posts).
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gui/gui_test.h"
#include "imaging/factory_picture.h"
#include "page_e2e.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "util/digest.h"

// The list is shown and painted here; fontconfig keeps a cache of its own for the process's
// life, which LeakSanitizer would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

using namespace page_e2e;

namespace {

constexpr char kDone[] = "设置成功,正在重启,请稍后...";
// The refresh must never hold the UI thread this long. Far above any honest stall on a loaded
// machine, far below the 15-second supervision a blocked thread would run into.
constexpr qint64 kMaxUiGapMs = 1000;

// A JPEG of busy colour blocks (compresses badly) between 150 and 235 KB, within the boot
// picture's limit; "" when none could be made.
std::string NoisyJpeg(const std::string& path) {
  QImage img(QSize(1280, 720), QImage::Format_RGB32);
  quint32 seed = 11;
  for (int y = 0; y < img.height(); y += 4)
    for (int x = 0; x < img.width(); x += 4) {
      seed = seed * 1103515245u + 12345u;
      img.setPixel(x, y, qRgb((seed >> 8) & 0xFF, (seed >> 16) & 0xFF, (seed >> 24) & 0xFF));
      for (int d = 1; d < 16; ++d) img.setPixel(x + d % 4, y + d / 4, img.pixel(x, y));
    }
  const QString out = QString::fromStdString(path);
  for (int quality = 90; quality >= 10; quality -= 10) {
    if (!img.save(out, "JPEG", quality)) return {};
    const qint64 size = QFileInfo(out).size();
    if (size <= 235 * 1024) return size >= 150 * 1024 ? path : std::string();
  }
  return {};
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

class WorkflowE2E : public PageE2ETest {};

}  // namespace

TEST_F(WorkflowE2E, SelectAllTicksOnlyQv5TypesOfAMixedFleet) {
  // serial, device type as the recorder sends it (GBK bytes), ticked by "全选", and the type as
  // the list shows it when that differs from the bytes.
  struct Case {
    const char* serial;
    std::string type;
    bool ticked;
    const char* shown = nullptr;
  };
  const std::vector<Case> cases = {
      {"MIX0000001", "QV5108D", true},
      {"MIX0000002", "QV5232C", true},
      {"MIX0000003", "NVR-SIM16", false},
      {"MIX0000004", "HQV5104A", true},  // "QV5" anywhere in the type
      {"MIX0000005", "QV4108", false},
      {"MIX0000006", "qv5108d", false},  // the match is case-sensitive
      {"MIX0000007", "\xB8\xDF\xC7\xE5QV5116D", true, "高清QV5116D"},
      {"MIX0000008", "DVR-Q-V5", false},
  };
  NetnsLab lab(static_cast<int>(cases.size()));
  ASSERT_TRUE(lab.up()) << lab.up_error();
  std::string fleet;
  for (size_t i = 0; i < cases.size(); ++i)
    fleet += std::string("serial=") + cases[i].serial + " type=" + cases[i].type + " ip=10.77.1." +
             std::to_string(i + 1) + "\n";
  Sim sim(lab, {"--fleet", WriteFile(lab.dir() + "/fleet.txt", fleet)});
  ASSERT_TRUE(sim.ready()) << sim.err();

  bool ran = lab.inside([&] {
    QWidget host;
    auto page = std::make_unique<CDravlinDlg>();
    ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, &host));
    CReportCtrl& list = page->List();
    page->OnCommand(1001, BN_CLICKED);
    ASSERT_TRUE(page->IsSearching());
    ASSERT_TRUE(WaitUntil([&] { return list.GetRowCount() == static_cast<int>(cases.size()); }, 30000))
        << list.GetRowCount();
    page->OnCommand(1001, BN_CLICKED);

    std::map<QString, int> rowOf;
    for (int r = 0; r < list.GetRowCount(); ++r) rowOf[list.GetCellText(r, 3)] = r;
    // "反选" first ticks every row, so "全选" has ticks to take away as well as to give.
    page->OnCommand(1005, BN_CLICKED);
    for (int r = 0; r < list.GetRowCount(); ++r) ASSERT_TRUE(list.GetRowCheck(r));
    for (int round = 0; round < 2; ++round) {
      page->OnCommand(1003, BN_CLICKED);
      for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        ASSERT_EQ(rowOf.count(U8(c.serial)), 1u);
        const int r = rowOf[U8(c.serial)];
        EXPECT_EQ(list.GetRowCheck(r), c.ticked) << "round " << round;
        EXPECT_EQ(list.GetCellText(r, 2), c.shown ? U8(c.shown) : QString::fromLatin1(c.type.c_str()));
        EXPECT_EQ(list.GetCellText(r, 4), U8("空闲"));
      }
    }
    page.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";
}

// One full refresh of 64 ticked recorders (three pictures and the reboot) with the UI thread's
// heartbeat watched; `slow` makes every recorder read slowly behind small send buffers, so the
// rows spend seconds in "上传文件中..%d.." with posts arriving all the while.
static void RefreshSixtyFour(bool slow) {
  constexpr int kDevices = 64;
  NetnsLab lab(kDevices);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  const std::string dir = lab.dir();
  // Slow readers get a boot picture bigger than the buffers between console and recorder, so
  // its percentages can only come from what the recorder took in.
  const std::string boot =
      slow ? NoisyJpeg(dir + "/boot.jpg")
           : WriteFile(dir + "/boot.jpg",
                       std::string(reinterpret_cast<const char*>(factory_boot_jpeg_data()), factory_boot_jpeg_size()));
  ASSERT_FALSE(boot.empty());
  std::string chanBytes, shutBytes;
  for (int i = 0; i < 40000; ++i) chanBytes += static_cast<char>((i * 11 + 3) & 0xFF);
  for (int i = 0; i < 20000; ++i) shutBytes += static_cast<char>((i * 5 + 1) & 0xFF);
  const std::string chan = WriteFile(dir + "/chan.png", chanBytes);
  const std::string shut = WriteFile(dir + "/shut.png", shutBytes);
  const std::map<int, std::string> files = {{3, boot}, {4, chan}, {5, shut}};

  std::vector<std::string> args = {"--devices", std::to_string(kDevices), "--type", "QV5232C"};
  if (slow) {
    // Only this namespace's TCP stack is changed; it goes away with the namespace.
    ASSERT_EQ(lab.run({"sysctl", "-q", "-w", "net.ipv4.tcp_wmem=4096 16384 16384"}).exit_code, 0);
    args.insert(args.end(), {"--link-fault", "slow-read:all", "--slow-read-bps", "131072"});
  }
  Sim sim(lab, args);
  ASSERT_TRUE(sim.ready()) << sim.err();

  std::vector<QString> finalText;
  qint64 longestGap = -1, totalMs = -1;
  int ticks = 0, paintsDuring = 0, midProgress = 0;
  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    QWidget host;
    host.resize(1000, 700);
    auto page = std::make_unique<CDravlinDlg>();
    ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, &host));
    page->show();
    host.show();
    CReportCtrl& list = page->List();
    PaintCounter paints;
    list.viewport()->installEventFilter(&paints);
    // Upload percentages strictly between the start and the end, as the rows showed them.
    const QString prefix = U8("上传文件中..");
    QObject::connect(list.model(), &QAbstractItemModel::dataChanged, &host,
                     [&](const QModelIndex& tl, const QModelIndex& br) {
                       for (int r = tl.row(); r <= br.row(); ++r) {
                         const QString t = list.GetCellText(r, 4);
                         if (!t.startsWith(prefix)) continue;
                         const int pct = t.mid(prefix.size()).section(QLatin1Char('.'), 0, 0).toInt();
                         if (pct > 0 && pct < 100) ++midProgress;
                       }
                     });

    page->OnCommand(1001, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return list.GetRowCount() == kDevices; }, 30000)) << list.GetRowCount();
    page->OnCommand(1001, BN_CLICKED);
    for (const std::string& p : {boot, chan, shut}) seam.pathAnswers.push_back(QString::fromStdString(p));
    page->OnCommand(1040, BN_CLICKED);
    page->OnCommand(1017, BN_CLICKED);
    page->OnCommand(1018, BN_CLICKED);
    ASSERT_TRUE(seam.boxes.empty()) << seam.boxes[0].text.toStdString();
    page->OnCommand(1003, BN_CLICKED);

    UiHeartbeat beat(&host);
    QElapsedTimer total;
    beat.start();
    total.start();
    const int paintsBefore = paints.paints;
    page->OnCommand(1024, BN_CLICKED);
    const bool ended = WaitUntil([&] { return !page->IsTimerSet(CDravlinDlg::kSuperviseTimer); }, 60000);
    totalMs = total.elapsed();
    beat.stop();
    longestGap = beat.longest();
    ticks = beat.ticks();
    paintsDuring = paints.paints - paintsBefore;
    ASSERT_TRUE(ended) << "the supervision never ended";
    list.DrainPosted();
    for (int r = 0; r < kDevices; ++r) finalText.push_back(list.GetCellText(r, 4));
    page.reset();
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";

  std::printf(
      "refresh of %d recorders%s: %lld ms until the supervision ended, longest UI-thread gap %lld ms "
      "(%d ticks of 20 ms), %d repaints of the list, %d progress texts between 0 and 100\n",
      kDevices, slow ? " (slow readers)" : "", static_cast<long long>(totalMs), static_cast<long long>(longestGap),
      ticks, paintsDuring, midProgress);
  ::testing::Test::RecordProperty("refresh_ms", static_cast<int>(totalMs));
  ::testing::Test::RecordProperty("longest_ui_gap_ms", static_cast<int>(longestGap));

  ASSERT_EQ(finalText.size(), static_cast<size_t>(kDevices));
  for (int r = 0; r < kDevices; ++r) EXPECT_EQ(finalText[r], U8(kDone)) << "row " << r;
  EXPECT_LT(longestGap, kMaxUiGapMs) << "the UI thread was held up during the refresh";
  EXPECT_GT(paintsDuring, 0) << "the list was never repainted during the refresh";
  if (slow) {
    EXPECT_GT(midProgress, 0) << "slow uploads showed no percentage between the start and the end";
  }

  Json j;
  e2e::wait_until([&] {
    j = sim.read();
    return j["open_connections"].integer() == 0;
  });
  ASSERT_EQ(j["devices"].size(), static_cast<size_t>(kDevices));
  for (const Json& d : j["devices"].arr) {
    SCOPED_TRACE(d["serial"].str);
    const Json& l = d["link"];
    EXPECT_EQ(l["reboots"].integer(), 1);
    for (const auto& [type, path] : files) EXPECT_EQ(l["files"][std::to_string(type)]["md5"].str, Md5(path)) << type;
  }
  EXPECT_EQ(j["open_connections"].integer(), 0) << "every recorder was logged out";
}

TEST_F(WorkflowE2E, SixtyFourRecordersRefreshWithoutHoldingTheUiThread) { RefreshSixtyFour(false); }

TEST_F(WorkflowE2E, SixtyFourSlowRecordersRefreshWithoutHoldingTheUiThread) { RefreshSixtyFour(true); }

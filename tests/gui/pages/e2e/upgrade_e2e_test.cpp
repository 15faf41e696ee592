// The firmware page of the main window against 100 simulated recorders in a private namespace:
// a missing image is refused before any login; then a 2 MB image to every one of them, in waves
// (more recorders than links), with two refusing the login, one rejecting the image after
// receiving it and one slow reader that stops reading for 12 s halfway, while the UI thread is
// watched; Escape in the middle asks before the window would end the uploads.
#include <QElapsedTimer>
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
#include "page_e2e.h"
#include "ui/pages/upgrade.h"
#include "ui/shell/dravlins.h"
#include <QKeyEvent>
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "util/digest.h"

using namespace page_e2e;

namespace {

// The longest the UI thread may be held up at a time while the images go out.
constexpr qint64 kMaxUiGapMs = 250;

class UpgradeE2E : public PageE2ETest {};

}  // namespace

TEST_F(UpgradeE2E, OneHundredRecordersTakeAnImageInWavesWithoutHoldingTheUiThread) {
  constexpr int kDevices = 100;
  // Serial numbers of the simulator's default fleet are its indices' own; faults by index.
  const std::map<int, const char*> expected = {{0, "NVR 登录失败"}, {1, "NVR 登录失败"}, {2, "校验文件失败"}};
  constexpr int kSlow = 3;
  NetnsLab lab(kDevices);
  ASSERT_TRUE(lab.up()) << lab.up_error();
  const std::string firmware = lab.dir() + "/fw.tgz";
  {
    std::string image(2 * 1024 * 1024, '\0');
    uint32_t x = 2463534242u;
    for (char& c : image) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    std::ofstream(firmware, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  }
  char md5[33] = {};
  ASSERT_TRUE(md5_file_hex(firmware.c_str(), md5));

  Sim sim(lab,
          {"--devices", std::to_string(kDevices), "--link-fault", "refuse-login:0,1", "--link-fault",
           "reject-verdict:2", "--link-fault", "slow-read:" + std::to_string(kSlow), "--slow-read", "400:12000:50"});
  ASSERT_TRUE(sim.ready()) << sim.err();

  std::vector<QString> finalText;
  std::vector<QString> serials;
  qint64 longestGap = -1, upgradeMs = -1;
  bool ended = false;
  bool ran = lab.inside([&] {
    RecordingUiSeam seam;
    ScopedUiSeam scoped(&seam);
    CDravlins window(nullptr, true);
    ASSERT_TRUE(window.CreateIndirect());
    window.show();
    CUpgrade* page = &window.UpgradePage();
    CReportCtrl& list = page->List();

    page->OnCommand(1031, BN_CLICKED);
    ASSERT_TRUE(WaitUntil([&] { return list.GetRowCount() == kDevices; }, 30000)) << list.GetRowCount();
    page->OnCommand(1032, BN_CLICKED);  // 反选: every row ticked

    // An image that is not there: the reason, and not one login.
    const std::string missing = lab.dir() + "/no-such.tgz";
    seam.pathAnswers.push_back(QString::fromStdString(missing));
    page->OnCommand(1033, BN_CLICKED);
    page->OnCommand(1034, BN_CLICKED);
    ASSERT_EQ(seam.boxes.size(), 1u);
    EXPECT_EQ(seam.boxes[0].text, U8("固件文件不存在\n") + QString::fromStdString(missing));
    EXPECT_FALSE(page->IsUpgrading());
    EXPECT_TRUE(page->IsSearching()) << "nothing started, not even the search's end";
    int logins = 0;
    for (const Json& d : sim.read()["devices"].arr)
      logins += static_cast<int>(d["link"]["logins_accepted"].integer() + d["link"]["logins_refused"].integer());
    EXPECT_EQ(logins, 0);
    seam.boxes.clear();
    bool waited = false;  // a row beyond the free links said so
    QObject::connect(list.model(), &QAbstractItemModel::dataChanged, &window,
                     [&](const QModelIndex& tl, const QModelIndex& br) {
                       for (int r = tl.row(); r <= br.row(); ++r)
                         waited |= list.GetCellText(r, 4) == U8("等待空闲连接");
                     });

    seam.pathAnswers.push_back(QString::fromStdString(firmware));
    page->OnCommand(1033, BN_CLICKED);
    UiHeartbeat beat(&window);
    QElapsedTimer total;
    total.start();
    beat.start();
    page->OnCommand(1034, BN_CLICKED);  // 升级, which also ends the search
    ASSERT_TRUE(seam.boxes.empty()) << seam.boxes[0].text.toStdString();
    // Escape while the images go out: the window asks, and stays on a no.
    seam.boxAnswer = IDNO;
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&window, &esc);
    ASSERT_EQ(seam.boxes.size(), 1u);
    EXPECT_EQ(seam.boxes[0].text, U8("仍有设备正在处理,关闭窗口将中断它们。确定要关闭吗?"));
    EXPECT_TRUE(window.isVisible());
    ended = WaitUntil([&] { return !page->IsUpgrading(); }, 240000);
    EXPECT_TRUE(waited);
    upgradeMs = total.elapsed();
    longestGap = beat.stop();
    for (int r = 0; r < kDevices; ++r) {
      finalText.push_back(list.GetCellText(r, 4));
      serials.push_back(list.GetCellText(r, 3));
    }
    for (int id : {1031, 1032, 1033, 1034}) EXPECT_TRUE(page->IsWindowEnabled(id)) << id;
  });
  ASSERT_TRUE(ran) << "could not enter the lab's namespace";
  std::printf("firmware of 2 MB to %d recorders: %lld ms until the buttons came back, longest UI-thread gap %lld ms\n",
              kDevices, static_cast<long long>(upgradeMs), static_cast<long long>(longestGap));
  ::testing::Test::RecordProperty("longest_ui_gap_ms", static_cast<int>(longestGap));
  ASSERT_TRUE(ended) << "the buttons never came back";
  EXPECT_LT(longestGap, kMaxUiGapMs) << "the UI thread was held up during the upgrade";

  Json j;
  ASSERT_TRUE(e2e::wait_until([&] { return (j = sim.read())["open_connections"].integer() == 0 && !j.obj.empty(); }))
      << "every recorder was logged out";
  ASSERT_EQ(j["devices"].size(), static_cast<size_t>(kDevices));
  EXPECT_LE(j["peak_connections"].integer(), 64);
  std::map<QString, int> indexOf;
  for (size_t i = 0; i < j["devices"].arr.size(); ++i)
    indexOf[QString::fromStdString(j["devices"].arr[i]["serial"].str)] = static_cast<int>(i);
  ASSERT_EQ(finalText.size(), static_cast<size_t>(kDevices));
  for (int r = 0; r < kDevices; ++r) {
    ASSERT_EQ(indexOf.count(serials[r]), 1u) << serials[r].toStdString();
    const int i = indexOf[serials[r]];
    SCOPED_TRACE("recorder " + std::to_string(i));
    auto it = expected.find(i);
    const Json& l = j["devices"].arr[i]["link"];
    EXPECT_EQ(finalText[r], U8(it == expected.end() ? "校验文件成功" : it->second))
        << "logins accepted " << l["logins_accepted"].integer() << ", refused " << l["logins_refused"].integer()
        << ", last user '" << l["last_user"].str << "'";
    if (it == expected.end()) {
      EXPECT_EQ(l["files"]["1"]["md5"].str, std::string(md5));
    }
  }
}

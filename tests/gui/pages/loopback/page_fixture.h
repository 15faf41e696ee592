// Shared by the page tests: a boot-picture page inside a host window with a recording UI seam,
// recorders listed through the real search over loopback, capture of the pages' debugger
// output (standard error), and test pictures written at run time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QWidget>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/sock.h"
#include "common/fake_nvr.h"
#include "discovery/search.h"
#include "gui/gui_test.h"
#include "imaging/factory_picture.h"
#include "link/link.h"
#include "sim/answer.h"
#include "sim/device.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/runner_host.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"

#include <gtest/gtest.h>

namespace page_test {

using FakeNvr = test_common::FakeNvr;

// Everything written to standard error while it runs (debug_print writes there, one write per
// text), kept in a file of its own.
class StderrCapture {
 public:
  void Start() {
    char name[] = "/tmp/dravlin-page-stderr-XXXXXX";
    int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    path_ = name;
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
  }
  void Stop() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
    ::unlink(path_.c_str());
  }
  std::string Text() const {
    std::fflush(stderr);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int Count(const std::string& piece) const {
    const std::string t = Text();
    int n = 0;
    for (size_t p = t.find(piece); p != std::string::npos; p = t.find(piece, p + piece.size())) ++n;
    return n;
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// The runner's clock in the page suites: it stands still unless a test moves it, so no time
// limit runs out behind a test on a loaded machine.
inline std::atomic<int64_t> g_now{1000000};
inline int64_t TestNow() { return g_now.load(); }

// Moves the runner's clock; what falls due is handled at once.
inline void Advance(int64_t ms) {
  g_now += ms;
  runner_host::PumpNow();
}

// Every link of the runner given back.
inline bool LinksFree() {
  return WaitUntil([] {
    runner_host::PumpNow();
    return runner_host::Runner().links_in_use() == 0;
  });
}

inline sim::Device Recorder(int i, const std::string& type, uint16_t ptzPort = 1) {
  sim::Device d;
  d.index = i;
  char buf[64];
  std::snprintf(buf, sizeof buf, "SNPAGE%05d", i);
  d.serial = buf;
  d.type = type;
  d.lan.ip = "127.0.0.1";
  std::snprintf(buf, sizeof buf, "02:00:00:00:%02X:%02X", (i >> 8) & 0xFF, i & 0xFF);
  d.lan.mac = buf;
  d.lan.netmask = "255.0.0.0";
  std::snprintf(buf, sizeof buf, "127.0.%d.%d", i / 250, 1 + i % 250);
  d.lan.gateway = buf;
  d.ptz_port = ptzPort;
  d.accounts = {{"admin", "pw123", "Administrators", "Enable"}};
  return d;
}

inline std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path =
      std::string(::testing::TempDir()) + "dravlin-page-" + std::to_string(::getpid()) + "-" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// A baseline JPEG that passes the boot-picture check: the built-in picture's bytes.
inline std::string GoodJpeg() {
  return std::string(reinterpret_cast<const char*>(factory_boot_jpeg_data()), factory_boot_jpeg_size());
}

// A small PNG-named file (its content is never examined).
inline std::string SmallPng(char fill, size_t size = 3000) { return std::string(size, fill); }

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    runner_host::SetClockForTest(&TestNow);
    capture.Start();
    scoped = std::make_unique<ScopedUiSeam>(&seam);
    host = std::make_unique<QWidget>();
    host->resize(1000, 700);
    page = std::make_unique<CDravlinDlg>();
    ASSERT_TRUE(page->Create(IDD_DRAVLIN_DIALOG, host.get()));
    // Every status text a row shows, in order (consecutive repeats once).
    QObject::connect(list().model(), &QAbstractItemModel::dataChanged, host.get(),
                     [this](const QModelIndex& tl, const QModelIndex& br) {
                       if (tl.column() > CDravlinDlg::kStatusColumn || br.column() < CDravlinDlg::kStatusColumn) return;
                       for (int r = tl.row(); r <= br.row(); ++r) {
                         const QString t = Status(r);
                         auto& h = history[r];
                         if (h.empty() || h.back() != t) h.push_back(t);
                       }
                     });
  }
  bool Showed(int row, const char* text) {
    for (const QString& t : history[row])
      if (t == U8(text)) return true;
    return false;
  }

  void TearDown() override {
    page.reset();
    stopsearchipc();
    runner_host::Shutdown();
    runner_host::SetClockForTest(nullptr);
    host.reset();
    scoped.reset();
    capture.Stop();
  }

  CReportCtrl& list() { return page->List(); }
  QString Status(int row) { return list().GetCellText(row, CDravlinDlg::kStatusColumn); }
  int State(int row) {
    IPC e;
    return page->GetEntry(row, &e) ? e.state : -1;
  }
  void Click(int id) { page->OnCommand(id, BN_CLICKED); }
  void Tick(int id, bool on) {
    page->CheckDlgButton(id, on);
    Click(id);
  }
  // Texts posted by link threads are applied on the UI thread.
  bool WaitStatus(int row, const char* text, int deadlineMs = 20000) {
    return WaitUntil([&] { return Status(row) == U8(text); }, deadlineMs);
  }

  // Starts the page's search, answers it from 127.0.0.1 for every recorder, and lists them
  // with one listing tick.
  void List(const std::vector<sim::Device>& recorders) {
    Click(1001);
    ASSERT_TRUE(page->IsSearching());
    page->KillTimer(CDravlinDlg::kListTimer);  // ticked by hand
    ASSERT_TRUE(WaitUntil([] { return searchipc_port() != 0; }));
    const int base = getipccount();
    int sock = udp_bind(0x7F000001, 0, false);
    ASSERT_GE(sock, 0);
    for (const sim::Device& d : recorders) {
      const std::string a = sim::build_answer(d);
      ASSERT_GT(udp_sendto(sock, a.data(), static_cast<int>(a.size()), 0x7F000001, searchipc_port()), 0);
    }
    sock_close(sock);
    const int want = base + static_cast<int>(recorders.size());
    ASSERT_TRUE(WaitUntil([&] { return getipccount() >= want; })) << getipccount();
    page->OnTimer(CDravlinDlg::kListTimer);
  }

  // Chooses a picture through the file chooser.
  void Choose(int button, const std::string& path) {
    seam.pathAnswers.push_back(QString::fromStdString(path));
    Click(button);
  }

  // Runs the page's supervision tick by hand, without its timer.
  void Supervise() {
    runner_host::PumpNow();
    page->OnTimer(CDravlinDlg::kSuperviseTimer);
  }

  StderrCapture capture;
  std::map<int, std::vector<QString>> history;
  RecordingUiSeam seam;
  std::unique_ptr<ScopedUiSeam> scoped;
  std::unique_ptr<QWidget> host;
  std::unique_ptr<CDravlinDlg> page;
};

}  // namespace page_test

// Shared pieces of the page end-to-end suites: the simulator (sim_process.h), files written and
// hashed, a fixture with the namespace and the application, and a watch on the UI thread.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <string>

#include "gui/gui_test.h"
#include "netns_lab.h"
#include "sim_process.h"
#include "util/digest.h"

namespace page_e2e {

using e2e::Json;
using e2e::NetnsLab;
using e2e::Sim;

inline std::string WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

inline std::string Md5(const std::string& path) {
  char hex[33] = {};
  return md5_file_hex(path.c_str(), hex) ? std::string(hex) : std::string();
}

// A namespace of the test's own and the application the pages need.
class PageE2ETest : public e2e::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    GuiApp();
  }
};

// Ticks every 20 ms on the UI thread and keeps the longest time between two ticks.
class UiHeartbeat {
 public:
  explicit UiHeartbeat(QObject* owner) : timer_(owner) {
    timer_.setInterval(20);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, owner, [this] {
      longest_ = std::max(longest_, since_.restart());
      ++ticks_;
    });
  }
  void start() {
    since_.start();
    timer_.start();
  }
  // Stops and returns the longest gap, the time since the last tick included.
  qint64 stop() {
    timer_.stop();
    return longest_ = std::max(longest_, since_.elapsed());
  }
  qint64 longest() const { return longest_; }
  int ticks() const { return ticks_; }

 private:
  QTimer timer_;
  QElapsedTimer since_;
  qint64 longest_ = 0;
  int ticks_ = 0;
};

}  // namespace page_e2e

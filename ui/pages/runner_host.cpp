#include "ui/pages/runner_host.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>

#include "ui/platform/post_queue.h"
#include "util/log.h"

namespace runner_host {
namespace {

struct Host {
  jobs::RunnerLinkPort port;
  jobs::Runner runner{port, port};
  QObject target;  // the UI thread's end of the post queue
  PostQueue posts{&target};
  QTimer timer;  // the next deadline
  std::atomic<bool> posted{false};

  Host() {
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &target, [this] { Pump(); });
  }

  void Pump() {
    posted.store(false);
    const int64_t next = runner.pump();
    if (next < 0) {
      timer.stop();
      return;
    }
    const int64_t wait = std::max<int64_t>(next - port.now_ms(), 0);
    timer.start(static_cast<int>(std::min<int64_t>(wait, 60 * 60 * 1000)));
  }
};

Host* g_host = nullptr;  // made once, lives as long as the process

// Any thread: a link event was queued.
void WakeFromLink() {
  Host* h = g_host;
  if (!h || h->posted.exchange(true)) return;
  if (!h->posts.post([h] { h->Pump(); })) h->posted.store(false);
}

Host& Get() {
  if (!g_host) {
    // The link library writes its diagnostic lines through the pages' debug channel.
    log_set_sink(log_sink_to_debug);
    g_host = new Host;
    g_host->port.init();
    jobs::RunnerLinkPort::set_waker(&WakeFromLink);
  }
  return *g_host;
}

}  // namespace

jobs::Runner& Runner() { return Get().runner; }

void Wake() {
  Host& h = Get();
  if (!h.posted.exchange(true) && !h.posts.post([&h] { h.Pump(); })) h.posted.store(false);
}

void PumpNow() { Get().Pump(); }

int BusyJobs() { return Get().runner.count_busy(); }

void CancelAll() {
  Host& h = Get();
  h.runner.cancel_all();
  h.Pump();
}

void WaitForLogouts() {
  if (g_host) g_host->port.wait_logouts();
}

void Shutdown() {
  if (!g_host) return;
  Host& h = *g_host;
  h.runner.cancel_all();
  h.port.logout_all();
  // The logouts' hand-backs are the last events of the old links.
  h.Pump();
}

void SetClockForTest(int64_t (*now)()) { jobs::RunnerLinkPort::set_clock(now); }

}  // namespace runner_host

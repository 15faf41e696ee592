#include "ui/pages/runner_host.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

#include "jobs/journal.h"
#include "ui/platform/post_queue.h"
#include "util/fixedstr.h"
#include "util/gbk.h"
#include "util/log.h"

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace runner_host {
namespace {

struct Host {
  jobs::RunnerLinkPort port;
  jobs::Runner runner{port, port};
  QObject target;  // the UI thread's end of the post queue
  PostQueue posts{&target};
  QTimer timer;  // the next deadline
  std::atomic<bool> posted{false};
  std::unique_ptr<history::Store> history;
  std::unique_ptr<jobs::Journal> journal;
  std::string station;
  std::map<int, std::function<void()>> listeners;
  int next_listener = 0;

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

int OpenHistory(const std::string& location, std::string* why) {
  Host& h = Get();
  auto store = std::make_unique<history::Store>();
  const int r = store->open(location, why);
  if (r < 0) return r;
  // The journal writes through the store: both go together.
  h.runner.set_ended_hook(nullptr);
  h.journal.reset();
  h.history.reset();
  if (r == history::kHistoryDisabled) {
    HistoryChanged();
    return 0;
  }
  h.journal = std::make_unique<jobs::Journal>(store.get(), Station(), DRAVLIN_VERSION);
  h.history = std::move(store);
  // Every page's job is recorded by the runner as it ends (on the journal's own thread); a write
  // that fails is said on the debug channel and the work goes on. The pages hear of it on the
  // UI thread.
  h.journal->set_after_write([&h](int result) {
    if (result < 0) debug_print("history: %s\n", h.journal->last_problem().c_str());
    h.posts.post([] { HistoryChanged(); });
  });
  h.runner.set_ended_hook(h.journal->hook());
  HistoryChanged();
  return 0;
}

void SetStation(const std::string& name) { Get().station = name; }

std::string Station() {
  Host& h = Get();
  return h.station.empty() ? history::station_name() : h.station;
}

jobs::JobLabel LabelOf(const IPCSearchInfo& info, const char* command, const std::string& run_id) {
  jobs::JobLabel l;
  l.front = "console";
  l.command = command;
  l.run_id = run_id;
  // Device texts are GBK; the history keeps UTF-8.
  l.serial = gbk_to_utf8(fixed_view(info.devid.SerialNumber));
  l.device_type = gbk_to_utf8(fixed_view(info.devid.DeviceType));
  l.mac = std::string(fixed_view(info.lancfg.MacAddress));
  return l;
}

history::Store* History() { return g_host ? g_host->history.get() : nullptr; }

int AddHistoryListener(std::function<void()> listener) {
  Host& h = Get();
  h.listeners[h.next_listener] = std::move(listener);
  return h.next_listener++;
}

void RemoveHistoryListener(int id) {
  if (g_host) g_host->listeners.erase(id);
}

void HistoryChanged() {
  if (!g_host) return;
  // A listener may go away while the others are told.
  std::vector<int> ids;
  for (const auto& [id, fn] : g_host->listeners) ids.push_back(id);
  for (int id : ids)
    if (auto it = g_host->listeners.find(id); it != g_host->listeners.end()) it->second();
}

void SetClockForTest(int64_t (*now)()) { jobs::RunnerLinkPort::set_clock(now); }

}  // namespace runner_host

#include "cli/watch.h"

#include "cli/command.h"
#include "discovery/search.h"
#include "jobs/results.h"
#include "util/fixedstr.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

namespace dravlinctl {

namespace {

// The search thread's new-device callback takes no user pointer: the watch's event source.
std::atomic<jobs::EventSource*> g_events{nullptr};

void on_new_recorder(const IPCSearchInfo*)
{
    if (jobs::EventSource* e = g_events.load())
        e->wake();
}

struct Tally {
    int done = 0, failed = 0, running = 0;
    bool operator!=(const Tally& t) const { return done != t.done || failed != t.failed || running != t.running; }
};

Tally tally_of(const jobs::Runner& runner, const std::vector<jobs::JobId>& ids)
{
    Tally t;
    for (jobs::JobId id : ids) {
        const jobs::Job* job = runner.job(id);
        if (!job || !job->finished())
            ++t.running;
        else if (job->result() == jobs::kJobOk)
            ++t.done;
        else
            ++t.failed;
    }
    return t;
}

}  // namespace

void print_watch_tally(const jobs::Runner& runner, const std::vector<jobs::JobId>& ids)
{
    const Tally t = tally_of(runner, ids);
    std::fprintf(stderr, "watch: %d done, %d failed, %d in progress\n", t.done, t.failed, t.running);
}

int watch_recorders(const char* command, const FleetOptions& o, jobs::Runner& runner, jobs::EventSource& events,
                    RunHistory& hist, const std::vector<jobs::JobId>& ids, int& skipped,
                    const std::function<void(Recorder)>& submit)
{
    g_events.store(&events);
    setSearchCB(on_new_recorder);
    if (startsearchipc() != 1) {
        g_events.store(nullptr);
        std::fprintf(stderr, "dravlinctl %s: the search could not be started\n", command);
        return kExitFailed;
    }
    std::fprintf(stderr, "dravlinctl %s: watching for recorders (Ctrl-C ends)\n", command);
    const std::set<std::string> wanted(o.serials.begin(), o.serials.end());
    std::set<std::string> taken;  // once per run: a recorder that reboots and comes back is not done again
    auto rec = std::make_unique<IPCSearchInfo>();
    int scanned = 0;  // slots are only ever added, and a slot keeps its serial number
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.watch_seconds);
    Tally shown{-1, -1, -1};
    bool enough = false;
    while (!runner.interrupted() && !enough) {
        for (int count = getipccount(); scanned < count && !enough; ++scanned) {
            if (getipcinfo_copy(scanned, rec.get()) != 1)
                continue;
            const std::string serial(fixed_view(rec->devid.SerialNumber));
            if ((!wanted.empty() && !wanted.count(serial)) || !taken.insert(serial).second)
                continue;
            Recorder r;
            std::string why;
            if (!recorder_from(*rec, r, why)) {
                std::fprintf(stderr, "%s not used: %s\n", printable(serial).c_str(), why.c_str());
                continue;
            }
            if (!o.again && hist.done_before(serial)) {
                ++skipped;
                std::fprintf(stderr, "%s done before (history); skipped\n", printable(serial).c_str());
                continue;
            }
            submit(std::move(r));
            enough = o.watch_count > 0 && static_cast<long>(ids.size()) >= o.watch_count;
        }
        if (o.watch_seconds > 0 && std::chrono::steady_clock::now() >= end)
            break;
        const Tally t = tally_of(runner, ids);
        if (t != shown) {
            shown = t;
            std::fprintf(stderr, "watch: %d done, %d failed, %d in progress\n", t.done, t.failed, t.running);
        }
        if (!enough)
            runner.step(250);
    }
    g_events.store(nullptr);
    stopsearchipc();
    return kExitOk;
}

}  // namespace dravlinctl

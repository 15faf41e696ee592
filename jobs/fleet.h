// The fleet runner: one job per recorder on the link channels (at most 64 at once), every
// link's events queued by the link threads and handled on the runner's one thread. A recorder
// goes on to its next step as soon as its event arrives, also while later recorders' logins are
// still being started; a finished recorder is logged out in the background, so a link thread
// that takes its time to end holds up no one.
//
// Recorders beyond the channels run in waves: the first `parallel` recorders take channels 0,
// 1, ... in order, and each later one takes a channel as soon as the recorder before it on that
// channel is logged out (the port says so with a kEventChannelFree event).
//
// The tool builds its commands on this; the pages keep their own rows and timers and drive
// jobs themselves.
#pragma once

#include "jobs/job.h"
#include "jobs/link_port.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace jobs {

constexpr int kMaxFleetJobs = 64;  // the link table's size: recorders at once

// Not a link event: queued by a port's logout once the channel can take a new login (its link
// thread has ended and its events are dropped). A port used for more recorders than channels
// must queue it for every logout, or the recorders waiting for a channel never start.
constexpr int kEventChannelFree = -100;

// Where the runner gets link events and the time from.
class EventSource {
public:
    virtual ~EventSource() = default;
    // The next queued event, waiting up to wait_ms for one; false when none came.
    virtual bool next_event(LinkEvent& ev, int64_t wait_ms) = 0;
    // Milliseconds of a monotonic clock.
    virtual int64_t now_ms() = 0;
};

// The link library as the fleet uses it: the link table, event callbacks that only queue, the
// login problems read from the link's log lines, and logouts on a background thread.
class FleetLinkPort : public DirectLinkPort, public EventSource {
public:
    FleetLinkPort();
    ~FleetLinkPort() override;  // logs every link out
    FleetLinkPort(const FleetLinkPort&) = delete;
    FleetLinkPort& operator=(const FleetLinkPort&) = delete;

    // ipc_init; false when the table could not be allocated.
    bool init();
    // Drops the channel's queued events and ends its link in the background; queues
    // kEventChannelFree for the channel once the link has ended.
    void logout(int chanid, bool abort = false) override;
    // Waits for the background logouts, ends every link and drops every queued event.
    void logout_all();
    bool next_event(LinkEvent& ev, int64_t wait_ms) override;
    int64_t now_ms() override;

private:
    struct Logout {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mu_;
    // One per finished recorder; those done are joined when the next one starts (a long run
    // would otherwise keep hundreds of ended threads), the rest by logout_all.
    std::vector<Logout> logouts_;
};

// Installs the log sink that reads the link threads' login lines (kLoginProblem...), copying
// every line to the debug channel when verbose. Call once before the first login.
void watch_link_log(bool verbose);

class FleetRunner {
public:
    // parallel: how many recorders at once, 1 to kMaxFleetJobs (clamped).
    FleetRunner(LinkPort& port, EventSource& events, int parallel = kMaxFleetJobs);

    // Queues a recorder; its job is made on a channel when it starts. The policy must measure
    // time on the clock (tick_ms 0), from the job's own start. Returns the recorder's index
    // (add order), which the hooks and jobs() use.
    size_t add(Target target, std::vector<Step> steps, JobPolicy policy, NewsCallback news = nullptr);

    struct Hooks {
        std::function<void(size_t index, Job&)> before_start;                      // just before its login
        std::function<void(size_t index, const Job&, const LinkEvent&)> on_event;  // each event of a running job
    };
    // Starts the jobs in order, each as soon as a channel is free, and runs them until each has
    // finished; finished jobs are logged out as they finish.
    void run(const Hooks& hooks = {});

    // In add order; after run() every entry is set (null only for a recorder not started yet).
    const std::vector<std::unique_ptr<Job>>& jobs() const { return jobs_; }

private:
    struct Waiting {
        Target target;
        std::vector<Step> steps;
        JobPolicy policy;
        NewsCallback news;
    };
    bool start_next(const Hooks& hooks);
    void dispatch(const LinkEvent& ev, const Hooks& hooks);
    void release_finished();

    LinkPort& port_;
    EventSource& events_;
    int parallel_;
    std::vector<Waiting> waiting_;            // add order; moved into its job at the start
    std::vector<std::unique_ptr<Job>> jobs_;  // add order
    std::vector<bool> released_;              // per job: logged out
    size_t next_ = 0;                         // the next recorder to start
    std::vector<int> on_channel_;             // per channel: index of its job, -1 when free
    std::vector<int> freed_;                  // channels used before and free again
};

}  // namespace jobs

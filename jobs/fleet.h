// The fleet runner: one job per recorder, recorder i on link channel i (at most 64), every
// link's events queued by the link threads and handled on the runner's one thread. A recorder
// goes on to its next step as soon as its event arrives, also while later recorders' logins are
// still being started; a finished recorder is logged out in the background, so a link thread
// that takes its time to end holds up no one.
//
// The tool builds its commands on this; the pages keep their own rows and timers and drive
// jobs themselves.
#pragma once

#include "jobs/job.h"
#include "jobs/link_port.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace jobs {

constexpr int kMaxFleetJobs = 64;  // the link table's size

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
    // Drops the channel's queued events and ends its link in the background.
    void logout(int chanid, bool abort = false) override;
    // Waits for the background logouts, ends every link and drops every queued event.
    void logout_all();
    bool next_event(LinkEvent& ev, int64_t wait_ms) override;
    int64_t now_ms() override;

private:
    std::mutex mu_;
    std::vector<std::thread> logouts_;  // one per finished recorder, joined by logout_all
};

// Installs the log sink that reads the link threads' login lines (kLoginProblem...), copying
// every line to the debug channel when verbose. Call once before the first login.
void watch_link_log(bool verbose);

class FleetRunner {
public:
    FleetRunner(LinkPort& port, EventSource& events) : port_(port), events_(events) {}

    // A job for the next channel; its policy must measure time on the clock (tick_ms 0).
    // Null beyond kMaxFleetJobs.
    Job* add(Target target, std::vector<Step> steps, JobPolicy policy, NewsCallback news = nullptr);

    struct Hooks {
        std::function<void(Job&)> before_start;                         // just before its login
        std::function<void(const Job&, const LinkEvent&)> on_event;    // each event of a running job
    };
    // Starts every job in order and runs them until each has finished; finished jobs are
    // logged out as they finish.
    void run(const Hooks& hooks = {});

    const std::vector<std::unique_ptr<Job>>& jobs() const { return jobs_; }

private:
    void dispatch(const LinkEvent& ev, const Hooks& hooks);
    void release_finished();

    LinkPort& port_;
    EventSource& events_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<bool> released_;
};

}  // namespace jobs

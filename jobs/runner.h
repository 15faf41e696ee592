// The one runner of a process: it owns the entries of the link table, takes jobs from every
// front (the tool, each page of the console), gives each job a free entry when it starts and
// takes the entry back once the job has ended and its link is logged out. Jobs beyond the free
// entries (or beyond the parallel limit) wait and start in the order they were submitted, each as
// soon as an entry is given back: the work runs in waves.
//
// It is driven by link events and a clock: pump() handles what has arrived and what is due and
// says when it wants to be pumped next. The tool calls run() on its own thread, which pumps until
// every job has ended; the console pumps on its UI thread whenever the event source wakes it and
// at the deadline pump() returned. Every call (submit, cancel, pump, the queries) comes from that
// one owner thread; news and event hooks run there too, inside pump(). Link threads only queue
// their events, so they never wait for the owner.
#pragma once

#include "jobs/job.h"
#include "jobs/link_port.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace jobs {

constexpr int kMaxLinks = 64;  // the link table's size: jobs on links at once

// Where the runner gets link events and the time from.
class EventSource {
public:
    virtual ~EventSource() = default;
    // The next queued event, waiting up to wait_ms for one; false when none came.
    virtual bool next_event(LinkEvent& ev, int64_t wait_ms) = 0;
    // Milliseconds of a monotonic clock.
    virtual int64_t now_ms() = 0;
    // Whether the entry's auxiliary data is to be queued as kEventAuxData events (a held
    // session's answers); nothing is queued by default.
    virtual void want_aux(int /*chanid*/, bool /*on*/) { }
    // Makes a next_event() waiting now (or the next one) return: queues kEventWake. Any thread.
    virtual void wake() { }
};

// The link library as the runner uses it: one event callback for every entry that only queues
// (so no link thread ever waits for the runner), the auxiliary data of the entries that asked
// for it, and logouts on background threads, each followed by kEventChannelFree once the link
// thread has ended.
class RunnerLinkPort : public DirectLinkPort, public EventSource {
public:
    RunnerLinkPort();
    ~RunnerLinkPort() override;  // logs every link out
    RunnerLinkPort(const RunnerLinkPort&) = delete;
    RunnerLinkPort& operator=(const RunnerLinkPort&) = delete;

    // ipc_init; false when the table could not be allocated.
    bool init();
    // Drops the entry's queued events and ends its link in the background; queues
    // kEventChannelFree for it once the link has ended.
    void logout(int chanid, bool abort = false) override;
    // Waits for the background logouts under way (their links have ended when it returns).
    void wait_logouts();
    // Waits for the background logouts, ends every link and drops every queued link event (the
    // entries' hand-backs stay, so a runner takes them back).
    void logout_all();
    bool next_event(LinkEvent& ev, int64_t wait_ms) override;
    int64_t now_ms() override;
    void want_aux(int chanid, bool on) override;
    void wake() override;
    // Called on whichever thread queued an event, after it is queued; the console posts a pump
    // to its UI thread. Set it before the first login; null: nobody is woken.
    static void set_waker(void (*waker)());
    // The clock now_ms() reads; tests move their own. Null: the monotonic clock.
    static void set_clock(int64_t (*now)());

private:
    struct Logout {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mu_;
    // One per finished job; those done are joined when the next one starts (a long run would
    // otherwise keep hundreds of ended threads), the rest by logout_all.
    std::vector<Logout> logouts_;
};

using JobId = uint64_t;  // 0 is no job

// What the history keeps of the recorder a job is for (texts in UTF-8); the runner only hands
// it on to its ended hook.
struct JobLabel {
    std::string front;    // "tool" or "console"
    std::string command;  // "refresh", "upgrade", ...
    std::string run_id;
    std::string serial, device_type, mac;
};

// When an ended job was started and how long it took.
struct JobTimes {
    int64_t started_wall_ms = -1;  // wall clock, ms since 1970 UTC
    int64_t login_ms = -1;         // from its start to its first login; -1 none
    int64_t total_ms = -1;         // from its start to its end
};

// What a front hands the runner.
struct JobOrder {
    Target target;
    std::vector<Step> steps;
    JobPolicy policy;  // on the clock (tick_ms 0), from the job's own start
    NewsCallback news;
    // Just before the job's login, once it has its entry.
    std::function<void(Job&)> before_start;
    // Every event of the job's link while it runs, before the job sees it (kEventAuxData too).
    std::function<void(const Job&, const LinkEvent&)> on_event;
    bool wants_aux = false;       // its link's auxiliary data arrives as kEventAuxData
    const void* front = nullptr;  // who asked: count(), cancel_front()
    JobLabel label;               // for the ended hook (the history)
    // A started job that has ended (its result), once the runner's ended hook has done with it
    // (its history record written): possibly on another thread, after the job is forgotten.
    std::function<void(int result)> on_ended;
};

// Called once for every job that was started, when it has ended and its link is being logged
// out (the history's record of it), on the runner's thread. It calls done (on any thread, later
// if it likes) once it has finished with the job: that calls the job's on_ended.
using EndedHook = std::function<void(const Job&, const JobOrder&, const JobTimes&, std::function<void()> done)>;

class Runner {
public:
    // links: the entries it may use (0 .. links-1), at most kMaxLinks.
    Runner(LinkPort& port, EventSource& events, int links = kMaxLinks);
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Every started job, once it has ended (null: none).
    void set_ended_hook(EndedHook hook) { ended_hook_ = std::move(hook); }

    // At most n jobs on links at once (1 to the entries; clamped).
    void set_parallel(int n);
    int parallel() const { return parallel_; }

    // Queues a job; it starts at a pump, in submit order, when an entry is free. Its news says
    // kNewsWaiting when it has to wait for one.
    JobId submit(JobOrder order);
    // Ends a job that has not ended yet with `result` (waiting ones never start); its link is
    // logged out at once (reset: the work is given up on).
    void cancel(JobId id, int result = kJobCancelled);
    // Cancels every job of front that has not ended, and no news or hook of front's jobs is
    // called from here on (a page going away).
    void cancel_front(const void* front, int result = kJobCancelled);
    // Cancels every job of every front (news still told).
    void cancel_all(int result = kJobCancelled);
    // Asks for a stop; safe from any thread (a signal's watcher). At its next pump the runner
    // starts nothing more (the waiting jobs end as kJobInterrupted) and interrupts every
    // running job (Job::interrupt: an answer under way is awaited at most grace_ms); the
    // event source is woken, so run() gets there at once. The jobs' links are logged out as
    // they end.
    void request_interrupt(int64_t grace_ms);
    // A stop was asked for (and is applied, or will be at the next pump).
    bool interrupted() const { return interrupt_asked_.load(); }
    // Forgets an ended job (its record and callbacks). A job still running is cancelled first.
    void forget(JobId id);

    // The job, from submit until forget(); its chanid is -1 until it starts.
    const Job* job(JobId id) const;
    // Jobs of front that have not ended (waiting or running).
    int count(const void* front) const;
    // Jobs of every front that have not ended, held sessions not counted: work a stop would cut.
    int count_busy() const;
    // Jobs waiting for an entry.
    int waiting() const;
    // Entries held: by a running job, or by a link still being logged out.
    int links_in_use() const;
    // Nothing waiting or running, and every ended job's logout under way.
    bool idle() const;

    // Handles the queued events and the deadlines due, starts waiting jobs on free entries and
    // logs ended ones out. The next deadline on the source's clock, or -1 when none.
    int64_t pump();
    // Pumps, waiting for events in between, until idle() (the tool's loop).
    void run();
    // One turn of that loop: pumps, then waits for one event (at most until the next deadline
    // or max_wait_ms) and handles it. For an owner that also watches something else.
    void step(int64_t max_wait_ms);

private:
    struct Slot {
        JobOrder order;
        std::unique_ptr<Job> job;
        bool told_waiting = false;
        bool released = false;                       // logged out (or never started)
        int64_t started_at = -1, logged_in_at = -1;  // the source's clock
        int64_t started_wall_ms = -1;
    };

    bool start_next();
    void start_all();
    void apply_interrupt();
    void dispatch(const LinkEvent& ev);
    void release_ended();
    void apply_cancels();
    void bury();
    Slot* slot(JobId id);
    const Slot* slot(JobId id) const;
    int free_entry() const;

    LinkPort& port_;
    EventSource& events_;
    int links_;
    int parallel_;
    JobId next_id_ = 1;
    std::map<JobId, Slot> slots_;  // submit order (ids grow)
    std::vector<JobId> queue_;     // waiting, in submit order
    std::vector<JobId> owner_;     // per entry: its job, 0 when none
    std::vector<bool> releasing_;  // per entry: logged out, not given back yet
    bool pumping_ = false;
    std::vector<std::pair<JobId, int>> cancels_;  // asked for inside a pump
    std::vector<JobId> doomed_;                   // forgotten, erased once logged out
    std::atomic<bool> interrupt_asked_{false};
    std::atomic<bool> interrupt_pending_{false};  // asked for, not applied yet
    std::atomic<int64_t> interrupt_grace_ms_{0};
    EndedHook ended_hook_;
};

}  // namespace jobs

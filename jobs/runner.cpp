#include "jobs/runner.h"

#include "link/link.h"
#include "util/clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <system_error>

namespace jobs {

namespace {

// The link table is one per process, so its event queue is too.
std::mutex g_ev_mu;
std::condition_variable g_ev_cv;
std::deque<LinkEvent> g_events;
std::atomic<void (*)()> g_waker{nullptr};
std::atomic<int64_t (*)()> g_clock{nullptr};
std::atomic<bool> g_want_aux[kMaxLinks];

void push_event(LinkEvent&& ev)
{
    {
        std::lock_guard<std::mutex> lk(g_ev_mu);
        g_events.push_back(std::move(ev));
    }
    g_ev_cv.notify_all();
    if (auto wake = g_waker.load())
        wake();
}

// Runs on the link threads: only queues.
int queue_event(int chanid, int code, const void* data, int len)
{
    push_event(decode_event(chanid, code, data, len));
    return 0;
}

int queue_aux(int chanid, int kind, const void* data, int len, const void* info)
{
    if (chanid < 0 || chanid >= kMaxLinks || !g_want_aux[chanid].load() || kind != IPC_AUX_RESPONSE || !info)
        return 0;
    const auto* ai = static_cast<const AuxDataInfo*>(info);
    LinkEvent ev;
    ev.chanid = chanid;
    ev.code = kEventAuxData;
    ev.aux_kind = kind;
    ev.aux_type.assign(ai->msgtype, strnlen(ai->msgtype, sizeof ai->msgtype));
    ev.aux_code = ai->code;
    ev.aux_flag = ai->flag;
    if (data && len > 0)
        ev.text.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    push_event(std::move(ev));
    return 0;
}

// The events of one entry (every entry for -1), the hand-back of an entry excepted.
void drop_events(int chanid)
{
    std::lock_guard<std::mutex> lk(g_ev_mu);
    g_events.erase(std::remove_if(g_events.begin(), g_events.end(),
                                  [&](const LinkEvent& e) {
                                      return (chanid < 0 || e.chanid == chanid) && e.code != kEventChannelFree;
                                  }),
                   g_events.end());
}

}  // namespace

// ---- the runner's port onto the link library -------------------------------------------------

RunnerLinkPort::RunnerLinkPort() : DirectLinkPort(queue_event, queue_aux, nullptr) { drop_events(-1); }

RunnerLinkPort::~RunnerLinkPort() { logout_all(); }

bool RunnerLinkPort::init() { return ipc_init() == 1; }

void RunnerLinkPort::set_waker(void (*waker)()) { g_waker.store(waker); }

void RunnerLinkPort::set_clock(int64_t (*now)()) { g_clock.store(now); }

void RunnerLinkPort::want_aux(int chanid, bool on)
{
    if (chanid >= 0 && chanid < kMaxLinks)
        g_want_aux[chanid].store(on);
}

void RunnerLinkPort::logout(int chanid, bool abort)
{
    want_aux(chanid, false);
    drop_events(chanid);
    // Each logout waits for its link thread to notice (up to a poll, a connect or a login
    // wait); side by side, ended jobs wind down together and the runner goes on.
    auto end_link = [chanid, abort] {
        abort ? ipc_logout_abort(chanid) : ipc_logout(chanid);
        drop_events(chanid);
        // From here the entry takes a new login.
        LinkEvent ev;
        ev.chanid = chanid;
        ev.code = kEventChannelFree;
        push_event(std::move(ev));
    };
    std::lock_guard<std::mutex> lk(mu_);
    for (auto it = logouts_.begin(); it != logouts_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = logouts_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        logouts_.push_back({std::thread([end_link, done] {
                                end_link();
                                done->store(true);
                            }),
                            done});
    } catch (const std::system_error&) {
        end_link();  // no thread to spare: this one waits here
    }
}

void RunnerLinkPort::wait_logouts()
{
    std::vector<Logout> pending;
    {
        std::lock_guard<std::mutex> lk(mu_);
        pending.swap(logouts_);
    }
    for (Logout& l : pending)
        l.thread.join();
}

void RunnerLinkPort::logout_all()
{
    wait_logouts();
    for (auto& a : g_want_aux)
        a.store(false);
    ipc_logout_all();
    drop_events(-1);
}

bool RunnerLinkPort::next_event(LinkEvent& ev, int64_t wait_ms)
{
    std::unique_lock<std::mutex> lk(g_ev_mu);
    // A look without waiting never sleeps: a wait for no time still costs the thread a trip
    // through the scheduler, twice for every pass of the runner.
    if (wait_ms <= 0 ? g_events.empty()
                     : !g_ev_cv.wait_for(lk, std::chrono::milliseconds(wait_ms), [] { return !g_events.empty(); }))
        return false;
    ev = std::move(g_events.front());
    g_events.pop_front();
    return true;
}

void RunnerLinkPort::wake()
{
    LinkEvent ev;
    ev.code = kEventWake;  // chanid -1: no job's
    push_event(std::move(ev));
}

int64_t RunnerLinkPort::now_ms()
{
    if (auto clock = g_clock.load())
        return clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- the runner ------------------------------------------------------------------------------

Runner::Runner(LinkPort& port, EventSource& events, int links)
    : port_(port),
      events_(events),
      links_(std::clamp(links, 1, kMaxLinks)),
      parallel_(links_),
      owner_(static_cast<size_t>(links_), 0),
      releasing_(static_cast<size_t>(links_), false)
{ }

void Runner::set_parallel(int n) { parallel_ = std::clamp(n, 1, links_); }

Runner::Slot* Runner::slot(JobId id)
{
    auto it = slots_.find(id);
    return it == slots_.end() ? nullptr : &it->second;
}

const Runner::Slot* Runner::slot(JobId id) const
{
    auto it = slots_.find(id);
    return it == slots_.end() ? nullptr : &it->second;
}

JobId Runner::submit(JobOrder order)
{
    const JobId id = next_id_++;
    Slot& s = slots_[id];
    s.job = std::make_unique<Job>(-1, std::move(order.target), std::move(order.steps), order.policy, port_,
                                  std::move(order.news));
    s.order = std::move(order);  // what is left of it: the hooks and the front
    queue_.push_back(id);
    return id;
}

void Runner::cancel(JobId id, int result)
{
    Slot* s = slot(id);
    if (!s || s->job->finished())
        return;
    if (pumping_) {
        // Not from inside a job's own call: it ends at the next safe point of this pump.
        cancels_.push_back({id, result});
        return;
    }
    auto q = std::find(queue_.begin(), queue_.end(), id);
    if (q != queue_.end())
        queue_.erase(q);
    s->job->finish(result);
    if (!s->job->started())
        s->released = true;
    release_ended();
}

void Runner::cancel_front(const void* front, int result)
{
    for (auto& [id, s] : slots_) {
        if (s.order.front != front)
            continue;
        s.job->mute();
        s.order.before_start = nullptr;
        s.order.on_event = nullptr;
        s.order.on_ended = nullptr;
        cancel(id, result);
    }
}

void Runner::cancel_all(int result)
{
    for (auto& [id, s] : slots_)
        cancel(id, result);
}

void Runner::request_interrupt(int64_t grace_ms)
{
    interrupt_grace_ms_.store(grace_ms);
    interrupt_asked_.store(true);
    interrupt_pending_.store(true);
    events_.wake();
}

void Runner::apply_interrupt()
{
    if (!interrupt_pending_.exchange(false))
        return;
    for (JobId id : queue_) {
        Slot& s = *slot(id);
        s.job->finish(kJobInterrupted);  // never started: nothing to log out
        s.released = true;
    }
    queue_.clear();
    const int64_t now = events_.now_ms();
    const int64_t grace = interrupt_grace_ms_.load();
    for (auto& [id, s] : slots_)
        if (s.job->started() && !s.job->finished())
            s.job->interrupt(now, grace);
    release_ended();
}

void Runner::forget(JobId id)
{
    Slot* s = slot(id);
    if (!s)
        return;
    s->job->mute();
    s->order.before_start = nullptr;
    s->order.on_event = nullptr;
    s->order.on_ended = nullptr;
    cancel(id);
    doomed_.push_back(id);
    if (!pumping_)
        bury();
}

void Runner::bury()
{
    for (JobId id : doomed_) {
        Slot* s = slot(id);
        // A running job's record stays until its link is logged out (its entry is named there).
        if (s && s->job->finished() && s->released)
            slots_.erase(id);
    }
    doomed_.erase(std::remove_if(doomed_.begin(), doomed_.end(), [this](JobId id) { return !slot(id); }),
                  doomed_.end());
}

const Job* Runner::job(JobId id) const
{
    const Slot* s = slot(id);
    return s ? s->job.get() : nullptr;
}

int Runner::count(const void* front) const
{
    int n = 0;
    for (const auto& [id, s] : slots_)
        n += s.order.front == front && !s.job->finished();
    return n;
}

int Runner::count_busy() const
{
    int n = 0;
    for (const auto& [id, s] : slots_)
        n += !s.job->finished() && !s.job->policy().session;
    return n;
}

int Runner::waiting() const { return static_cast<int>(queue_.size()); }

int Runner::links_in_use() const
{
    int n = 0;
    for (int i = 0; i < links_; ++i)
        n += owner_[static_cast<size_t>(i)] != 0 || releasing_[static_cast<size_t>(i)];
    return n;
}

bool Runner::idle() const
{
    if (!queue_.empty())
        return false;
    for (const auto& [id, s] : slots_)
        if (!s.job->finished() || !s.released)
            return false;
    return true;
}

int Runner::free_entry() const
{
    if (links_in_use() >= parallel_)
        return -1;
    for (int i = 0; i < links_; ++i)
        if (owner_[static_cast<size_t>(i)] == 0 && !releasing_[static_cast<size_t>(i)])
            return i;
    return -1;
}

bool Runner::start_next()
{
    if (queue_.empty())
        return false;
    const int chanid = free_entry();
    if (chanid < 0) {
        for (JobId id : queue_) {
            Slot& s = *slot(id);
            if (!s.told_waiting) {
                s.told_waiting = true;
                s.job->notify({kNewsWaiting});
            }
        }
        return false;
    }
    const JobId id = queue_.front();
    queue_.erase(queue_.begin());
    Slot& s = *slot(id);
    owner_[static_cast<size_t>(chanid)] = id;
    s.job->assign(chanid);
    events_.want_aux(chanid, s.order.wants_aux || steps_need_aux(s.job->steps()));
    if (s.order.before_start)
        s.order.before_start(*s.job);
    s.started_at = events_.now_ms();
    const WallTime wall = wall_clock_now();
    s.started_wall_ms = static_cast<int64_t>(wall.sec) * 1000 + static_cast<int64_t>(wall.usec / 1000);
    s.job->start(s.started_at);
    return true;
}

void Runner::start_all()
{
    LinkEvent ev;
    while (start_next()) {
        // What already arrived for the jobs started so far goes on at once.
        while (events_.next_event(ev, 0))
            dispatch(ev);
        release_ended();
    }
}

void Runner::release_ended()
{
    for (auto& [id, s] : slots_) {
        if (s.released || !s.job->finished())
            continue;
        s.released = true;
        if (!s.job->started())
            continue;
        const int chanid = s.job->chanid();
        if (chanid >= 0 && chanid < links_ && owner_[static_cast<size_t>(chanid)] == id) {
            owner_[static_cast<size_t>(chanid)] = 0;
            releasing_[static_cast<size_t>(chanid)] = true;
        }
        // A failed job is given up on; a finished one leaves in order.
        port_.logout(chanid, s.job->result() != kJobOk);
        if (ended_hook_) {
            JobTimes t;
            t.started_wall_ms = s.started_wall_ms;
            t.login_ms = s.logged_in_at >= 0 ? s.logged_in_at - s.started_at : -1;
            t.total_ms = events_.now_ms() - s.started_at;
            std::function<void()> done;
            if (s.order.on_ended)
                done = [fn = s.order.on_ended, result = s.job->result()] { fn(result); };
            ended_hook_(*s.job, s.order, t, std::move(done));
        } else if (s.order.on_ended) {
            s.order.on_ended(s.job->result());
        }
    }
}

void Runner::apply_cancels()
{
    while (!cancels_.empty()) {
        auto [id, result] = cancels_.front();
        cancels_.erase(cancels_.begin());
        const bool was = pumping_;
        pumping_ = false;
        cancel(id, result);
        pumping_ = was;
    }
}

void Runner::dispatch(const LinkEvent& ev)
{
    if (ev.chanid < 0 || ev.chanid >= links_)
        return;
    const size_t c = static_cast<size_t>(ev.chanid);
    if (ev.code == kEventChannelFree) {
        releasing_[c] = false;
        return;
    }
    Slot* s = slot(owner_[c]);
    if (!s || s->job->finished() || !s->job->started())
        return;
    if (ev.code == IPC_EVENT_LOGIN_OK && s->logged_in_at < 0)
        s->logged_in_at = events_.now_ms();
    if (s->order.on_event)
        s->order.on_event(*s->job, ev);
    if (!s->job->finished())
        s->job->on_link_event(ev, events_.now_ms());
    apply_cancels();
}

int64_t Runner::pump()
{
    const bool outer = !pumping_;
    pumping_ = true;
    LinkEvent ev;
    apply_interrupt();
    start_all();
    while (events_.next_event(ev, 0))
        dispatch(ev);
    apply_interrupt();  // asked for while the events were handled
    const int64_t now = events_.now_ms();
    int64_t next = -1;
    std::vector<JobId> running;
    for (const auto& [id, s] : slots_)
        if (s.job->started() && !s.job->finished())
            running.push_back(id);
    for (JobId id : running) {
        Slot* s = slot(id);
        if (!s)
            continue;
        s->job->on_tick(now);
        apply_cancels();
    }
    release_ended();
    // Entries given back while ticking take the next ones at once.
    start_all();
    for (const auto& [id, s] : slots_) {
        if (!s.job->started() || s.job->finished())
            continue;
        const int64_t d = s.job->next_deadline();
        if (d >= 0 && (next < 0 || d < next))
            next = d;
    }
    if (outer) {
        pumping_ = false;
        apply_cancels();
        release_ended();
        bury();
    }
    return next;
}

void Runner::step(int64_t max_wait_ms)
{
    const int64_t next = pump();
    const int64_t now = events_.now_ms();
    // With nothing due the runner sleeps until an event (or its caller's bound).
    const int64_t wait = std::min(next < 0 ? max_wait_ms : std::max<int64_t>(next - now, 1), max_wait_ms);
    LinkEvent ev;
    if (events_.next_event(ev, std::max<int64_t>(wait, 0))) {
        pumping_ = true;
        dispatch(ev);
        pumping_ = false;
        apply_cancels();
    }
}

void Runner::run()
{
    // The bound only guards a source that would never say anything again.
    while (pump(), !idle())
        step(10000);
    release_ended();
}

}  // namespace jobs

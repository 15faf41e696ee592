#include "jobs/fleet.h"

#include "link/link.h"
#include "util/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <string_view>
#include <system_error>

namespace jobs {

namespace {

std::mutex g_ev_mu;
std::condition_variable g_ev_cv;
std::deque<LinkEvent> g_events;

// The link reports every failed login step as the same event; its thread's log lines say
// which step failed. Each link thread logs in on itself, so the last such line of the thread
// that emits the event is the one that belongs to it.
thread_local int t_login_problem = kLoginProblemNone;
std::atomic<bool> g_log_verbose{false};

void link_log_sink(int level, const char* text)
{
    std::string_view t(text);
    if (t.find("=ipc_login[") != std::string_view::npos)
        t_login_problem = kLoginProblemNone;
    else if (t.find("ipcauth long time wait") != std::string_view::npos)
        t_login_problem = kLoginProblemNoAnswer;
    else if (t.find("[ipcauth] ") != std::string_view::npos)  // wrong magic, length above the cap
        t_login_problem = kLoginProblemBadFrame;
    if (g_log_verbose.load())
        log_sink_to_debug(level, text);
}

// Events whose data is text; the others carry nothing or one 32-bit value.
bool text_event(int code)
{
    switch (code) {
    case IPC_EVENT_TALK_OK:
    case IPC_EVENT_TALK_FAIL:
    case IPC_EVENT_TALK_STOP_OK:
    case IPC_EVENT_TALK_STOP_FAIL:
    case IPC_EVENT_PTZ_OK:
    case IPC_EVENT_PTZ_FAIL:
    case IPC_EVENT_DOWNLOAD_OK:
    case IPC_EVENT_DOWNLOAD_FAIL:
    case IPC_EVENT_TALK_BUSY:
    case IPC_EVENT_TALK_PARAM:
    case IPC_EVENT_TALK_DISABLED: return true;
    default: return false;
    }
}

// Runs on the link threads: only queues, so a link thread never waits for the runner.
int queue_event(int chanid, int code, const void* data, int len)
{
    LinkEvent ev;
    ev.chanid = chanid;
    ev.code = code;
    if (code == IPC_EVENT_DISCONNECTED || code == IPC_EVENT_LOGIN_FAIL) {
        ev.login_problem = t_login_problem;
        t_login_problem = kLoginProblemNone;
    }
    if (data && len == 4 && !text_event(code)) {
        ev.has_value = true;
        std::memcpy(&ev.value, data, 4);
    } else if (data && len > 0 && text_event(code)) {
        ev.text.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    }
    {
        std::lock_guard<std::mutex> lk(g_ev_mu);
        g_events.push_back(std::move(ev));
    }
    g_ev_cv.notify_all();
    return 0;
}

void drop_events(int chanid)
{
    std::lock_guard<std::mutex> lk(g_ev_mu);
    g_events.erase(std::remove_if(g_events.begin(), g_events.end(),
                                  [&](const LinkEvent& e) { return chanid < 0 || e.chanid == chanid; }),
                   g_events.end());
}

}  // namespace

void watch_link_log(bool verbose)
{
    g_log_verbose.store(verbose);
    log_set_sink(link_log_sink);
}

FleetLinkPort::FleetLinkPort() : DirectLinkPort(queue_event, nullptr, nullptr) { drop_events(-1); }

FleetLinkPort::~FleetLinkPort() { logout_all(); }

bool FleetLinkPort::init() { return ipc_init() == 1; }

void FleetLinkPort::logout(int chanid, bool abort)
{
    drop_events(chanid);
    // Each logout waits for its link thread to notice (up to a poll, a connect or a login
    // wait); side by side, finished recorders wind down together and the runner goes on.
    auto end_link = [chanid, abort] {
        abort ? ipc_logout_abort(chanid) : ipc_logout(chanid);
        drop_events(chanid);
        // From here the channel takes a new login.
        LinkEvent ev;
        ev.chanid = chanid;
        ev.code = kEventChannelFree;
        {
            std::lock_guard<std::mutex> lk(g_ev_mu);
            g_events.push_back(std::move(ev));
        }
        g_ev_cv.notify_all();
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

void FleetLinkPort::logout_all()
{
    std::vector<Logout> pending;
    {
        std::lock_guard<std::mutex> lk(mu_);
        pending.swap(logouts_);
    }
    for (Logout& l : pending)
        l.thread.join();
    ipc_logout_all();
    drop_events(-1);
}

bool FleetLinkPort::next_event(LinkEvent& ev, int64_t wait_ms)
{
    std::unique_lock<std::mutex> lk(g_ev_mu);
    if (!g_ev_cv.wait_for(lk, std::chrono::milliseconds(std::max<int64_t>(wait_ms, 0)),
                          [] { return !g_events.empty(); }))
        return false;
    ev = std::move(g_events.front());
    g_events.pop_front();
    return true;
}

int64_t FleetLinkPort::now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- runner -------------------------------------------------------------------------------

FleetRunner::FleetRunner(LinkPort& port, EventSource& events, int parallel)
    : port_(port),
      events_(events),
      parallel_(std::clamp(parallel, 1, kMaxFleetJobs)),
      on_channel_(static_cast<size_t>(parallel_), -1)
{ }

size_t FleetRunner::add(Target target, std::vector<Step> steps, JobPolicy policy, NewsCallback news)
{
    waiting_.push_back({std::move(target), std::move(steps), policy, std::move(news)});
    jobs_.push_back(nullptr);
    released_.push_back(false);
    return jobs_.size() - 1;
}

bool FleetRunner::start_next(const Hooks& hooks)
{
    if (next_ >= jobs_.size())
        return false;
    // The first wave takes the channels in order (recorder i on channel i); later recorders
    // take the lowest channel given back.
    int chanid;
    if (next_ < static_cast<size_t>(parallel_)) {
        chanid = static_cast<int>(next_);
    } else {
        if (freed_.empty())
            return false;
        auto lowest = std::min_element(freed_.begin(), freed_.end());
        chanid = *lowest;
        freed_.erase(lowest);
    }
    const size_t index = next_++;
    Waiting w = std::move(waiting_[index]);
    waiting_[index] = Waiting{};
    jobs_[index] =
        std::make_unique<Job>(chanid, std::move(w.target), std::move(w.steps), w.policy, port_, std::move(w.news));
    on_channel_[static_cast<size_t>(chanid)] = static_cast<int>(index);
    if (hooks.before_start)
        hooks.before_start(index, *jobs_[index]);
    jobs_[index]->start(events_.now_ms());
    return true;
}

void FleetRunner::release_finished()
{
    for (size_t i = 0; i < next_; ++i) {
        if (jobs_[i]->finished() && jobs_[i]->started() && !released_[i]) {
            released_[i] = true;
            // A failed recorder is given up on; a finished one leaves in order.
            port_.logout(jobs_[i]->chanid(), jobs_[i]->result() != kJobOk);
        }
    }
}

void FleetRunner::dispatch(const LinkEvent& ev, const Hooks& hooks)
{
    if (ev.chanid < 0 || ev.chanid >= parallel_)
        return;
    int& owner = on_channel_[static_cast<size_t>(ev.chanid)];
    if (ev.code == kEventChannelFree) {
        // Only the logout of the channel's own finished recorder gives it back.
        if (owner >= 0 && released_[static_cast<size_t>(owner)]) {
            owner = -1;
            freed_.push_back(ev.chanid);
        }
        return;
    }
    if (owner < 0)
        return;
    const size_t index = static_cast<size_t>(owner);
    Job& job = *jobs_[index];
    if (job.finished() || !job.started())
        return;
    if (hooks.on_event)
        hooks.on_event(index, job, ev);
    job.on_link_event(ev, events_.now_ms());
}

void FleetRunner::run(const Hooks& hooks)
{
    LinkEvent ev;
    for (;;) {
        while (start_next(hooks)) {
            // What already arrived for the recorders started so far goes on at once.
            while (events_.next_event(ev, 0))
                dispatch(ev, hooks);
            release_finished();
        }
        int64_t now = events_.now_ms();
        int64_t next = now + 200;
        bool busy = next_ < jobs_.size();  // recorders still waiting for a channel
        for (size_t i = 0; i < next_; ++i) {
            Job& job = *jobs_[i];
            job.on_tick(now);
            if (job.finished())
                continue;
            busy = true;
            int64_t d = job.next_deadline();
            if (d >= 0)
                next = std::min(next, d);
        }
        release_finished();
        if (!busy)
            break;
        if (events_.next_event(ev, std::max<int64_t>(next - now, 1)))
            dispatch(ev, hooks);
    }
    release_finished();
}

}  // namespace jobs

#include "jobs/job.h"

#include "link/link.h"
#include "link/transfer.h"

#include <algorithm>
#include <utility>

namespace jobs {

bool is_picture_step(int kind)
{
    return kind == kStepBootPicture || kind == kStepChannelPicture || kind == kStepShutdownPicture;
}

namespace {

constexpr int kFormatDiskCode = 1017;  // the control code of the format request and its answer

int file_type_of(int kind)
{
    switch (kind) {
    case kStepBootPicture: return IPC_FILE_BOOT_PICTURE;
    case kStepChannelPicture: return IPC_FILE_CHANNEL_PICTURE;
    case kStepShutdownPicture: return IPC_FILE_SHUTDOWN_PICTURE;
    default: return IPC_FILE_FIRMWARE;
    }
}

// The event that answers a step's request.
int answer_event_of(int kind)
{
    switch (kind) {
    case kStepChannelAddMode: return IPC_EVENT_CHANADD_MODE;
    case kStepBuzzer: return IPC_EVENT_BUZZER;
    case kStepReboot: return IPC_EVENT_REBOOT;
    case kStepFormatDisk: return kEventAuxData;
    default: return IPC_EVENT_UPLOAD_RESULT;
    }
}

bool answer_ok(int kind, int value)
{
    switch (kind) {
    case kStepBuzzer: return value == 1;                        // 2: the model has no such setting
    case kStepChannelAddMode: return value == 0 || value == 1;  // both mean "set, restarting"
    default: return value == 0;
    }
}

// Steps whose data streams over the link (their progress is watched for a stall).
bool streams(const Step& s)
{
    return s.kind == kStepFirmware || s.kind == kStepBootPicture || (is_picture_step(s.kind) && !s.factory);
}

}  // namespace

bool request_written(const Step& s, int r) { return streams(s) && s.kind != kStepFirmware ? r > 0 : r == 0; }

int send_request(LinkPort& port, int chanid, const Step& s)
{
    switch (s.kind) {
    case kStepBootPicture:
    case kStepChannelPicture:
    case kStepShutdownPicture:
        if (!s.factory)
            return port.upload_file(chanid, file_type_of(s.kind), s.path.c_str());
        if (s.kind == kStepBootPicture)
            return port.upload_resource(chanid, s.data, s.size);
        return port.restore_picture(chanid, file_type_of(s.kind));
    case kStepChannelAddMode: return port.set_channel_add_mode(chanid, s.ctrl_enable, s.value);
    case kStepBuzzer: return port.set_buzzer(chanid, s.value);
    case kStepReboot: return port.reboot(chanid);
    case kStepFormatDisk: return port.format_disk(chanid, s.value);
    case kStepFirmware: return port.upload_firmware(chanid, s.path.c_str());
    default: return -1;
    }
}

Step Step::picture_file(int kind, std::string path)
{
    Step s;
    s.kind = kind;
    s.path = std::move(path);
    return s;
}

Step Step::factory_picture(int kind, const void* data, int size)
{
    Step s;
    s.kind = kind;
    s.factory = true;
    s.data = data;
    s.size = size;
    return s;
}

Step Step::firmware(std::string path)
{
    Step s;
    s.kind = kStepFirmware;
    s.path = std::move(path);
    return s;
}

Step Step::buzzer(int enable)
{
    Step s;
    s.kind = kStepBuzzer;
    s.value = enable;
    return s;
}

Step Step::channel_add_mode(int ctrl_enable, int mode)
{
    Step s;
    s.kind = kStepChannelAddMode;
    s.ctrl_enable = ctrl_enable;
    s.value = mode;
    return s;
}

Step Step::reboot()
{
    Step s;
    s.kind = kStepReboot;
    return s;
}

Step Step::format_disk(int disk)
{
    Step s;
    s.kind = kStepFormatDisk;
    s.value = disk;
    return s;
}

bool steps_need_aux(const std::vector<Step>& steps)
{
    return std::any_of(steps.begin(), steps.end(), [](const Step& s) { return s.kind == kStepFormatDisk; });
}

JobPolicy JobPolicy::tool(int64_t timeout_ms)
{
    JobPolicy p;
    p.limit_ms = timeout_ms;
    p.verdict_ms = 50000;  // as the firmware page gives up on a verdict
    return p;
}

JobPolicy JobPolicy::page()
{
    JobPolicy p;
    p.picture_unsent_at_login = Unsent::kWait;  // the page does not look at that result
    p.picture_unsent_chained = Unsent::kSkip;
    p.other_unsent_at_login = Unsent::kFail;
    p.other_unsent_chained = Unsent::kWait;  // "reboot by hand", then the supervision ends it
    p.loss_grace_ms = 0;
    p.link_loss_fails = false;
    p.resend_on_relogin = true;
    p.limit_ms = 15000;
    p.login_window_ms = 0;
    p.stall_ms = 0;
    return p;
}

JobPolicy JobPolicy::upgrade_page()
{
    JobPolicy p;
    p.other_unsent_at_login = Unsent::kWait;
    p.other_unsent_chained = Unsent::kWait;
    p.loss_grace_ms = 0;
    p.link_loss_fails = true;
    p.limit_ms = 0;
    p.login_window_ms = 50000;
    p.stall_ms = 50000;
    p.stall_until_verdict = true;
    return p;
}

JobPolicy JobPolicy::held_session()
{
    JobPolicy p;
    p.session = true;
    p.limit_ms = 0;
    p.login_window_ms = 15000;
    p.stall_ms = 0;
    return p;
}

Job::Job(int chanid, Target target, std::vector<Step> steps, JobPolicy policy, LinkPort& port, NewsCallback news)
    : chanid_(chanid),
      target_(std::move(target)),
      steps_(std::move(steps)),
      policy_(policy),
      port_(port),
      news_(std::move(news))
{ }

void Job::tell(JobNews n) const
{
    if (news_)
        news_(*this, n);
}

int Job::state() const
{
    if (finished() || !started_ || index_ >= steps_.size() || policy_.hold_ms > 0 || policy_.session)
        return kStateIdle;
    return steps_[index_].kind;
}

int Job::request(const Step& s) { return send_request(port_, chanid_, s); }

void Job::start(int64_t now)
{
    if (started_)
        return;
    started_ = true;
    start_at_ = now;
    phase_ = Phase::kLoggingIn;
    tell({kNewsLoginStarted});
    if (!port_.login(chanid_, target_))
        finish(kJobNotStarted);
}

void Job::send_current(bool at_login, int64_t now)
{
    const Step& s = steps_[index_];
    const int via = at_login ? kViaLogin : kViaChain;
    progress_ = -1;
    verdict_at_ = -1;
    request_out_ = request_written(s, request(s));
    if (request_out_) {
        phase_ = Phase::kAwaitAnswer;
        stall_at_ = policy_.stall_ms > 0 && streams(s) ? now + policy_.stall_ms : -1;
        tell({kNewsStepSent, static_cast<int>(index_), s.kind, false, 0, true, kJobRunning, via});
        return;
    }
    outcomes_.push_back({s.kind, false, false, 0, false});
    via_ = via;
    bool picture = is_picture_step(s.kind);
    Unsent rule = picture ? (at_login ? policy_.picture_unsent_at_login : policy_.picture_unsent_chained)
                          : (at_login ? policy_.other_unsent_at_login : policy_.other_unsent_chained);
    if (rule != Unsent::kWait && policy_.loss_grace_ms > 0 && policy_.link_loss_fails) {
        phase_ = Phase::kLossGrace;
        grace_rule_ = rule;
        grace_until_ = now + policy_.loss_grace_ms;
        return;
    }
    apply_unsent(rule, now);
}

void Job::apply_unsent(Unsent rule, int64_t now)
{
    grace_until_ = -1;
    const Step& s = steps_[index_];
    tell({kNewsStepUnsent, static_cast<int>(index_), s.kind, true, static_cast<int>(rule), false, kJobRunning, via_});
    switch (rule) {
    case Unsent::kSkip: advance(now); break;
    case Unsent::kFail: finish(kJobUnsent); break;
    case Unsent::kWait:
        phase_ = Phase::kAwaitAnswer;
        if (policy_.stall_until_verdict && policy_.stall_ms > 0 && stall_at_ < 0)
            stall_at_ = now + policy_.stall_ms;
        break;
    }
}

void Job::advance(int64_t now)
{
    stall_at_ = -1;
    verdict_at_ = -1;
    ++index_;
    if (interrupted_ && index_ < steps_.size()) {
        finish(kJobInterrupted);  // no further request once stopped
        return;
    }
    if (index_ < steps_.size())
        send_current(false, now);
    else
        finish_sequence();
}

void Job::finish_sequence()
{
    bool all_ok = std::all_of(outcomes_.begin(), outcomes_.end(), [](const StepOutcome& o) { return o.ok; });
    finish(all_ok ? kJobOk : kJobStepFailed);
}

void Job::finish(int result)
{
    if (finished())
        return;
    result_ = result == kJobRunning ? kJobStepFailed : result;
    phase_ = Phase::kIdle;
    stall_at_ = -1;
    verdict_at_ = -1;
    interrupt_at_ = -1;
    grace_until_ = -1;
    tell({kNewsFinished, index_ < steps_.size() ? static_cast<int>(index_) : -1, 0, false, 0, result_ == kJobOk,
          result_});
}

void Job::interrupt(int64_t now, int64_t grace_ms)
{
    if (finished() || !started_ || interrupted_)
        return;
    interrupted_ = true;
    const bool answer_due = logged_in_ && phase_ == Phase::kAwaitAnswer && request_out_ && policy_.hold_ms <= 0 &&
        !policy_.session && index_ < steps_.size();
    // An upload cut short leaves nothing on the recorder; its link is reset when the job ends.
    if (!answer_due || (streams(steps_[index_]) && progress_ < 100)) {
        finish(kJobInterrupted);
        return;
    }
    interrupt_at_ = now + std::max<int64_t>(grace_ms, 0);
}

namespace {

// A failed login attempt the recorder itself decided: only a refusal is final.
bool refusal(const LinkEvent& ev)
{
    return ev.login_problem == IPC_LOGIN_REFUSED ||
        (ev.code == IPC_EVENT_LOGIN_FAIL && ev.login_problem == IPC_LOGIN_PROBLEM_NONE);
}

int retry_problem(const LinkEvent& ev)
{
    return ev.login_problem == IPC_LOGIN_PROBLEM_NONE ? IPC_LOGIN_CONNECT_FAILED : ev.login_problem;
}

}  // namespace

int Job::login_failure_result() const
{
    switch (last_login_failure_) {
    case IPC_LOGIN_NO_ANSWER:
    case IPC_LOGIN_CLOSED: return kJobNoLoginAnswer;
    case IPC_LOGIN_BAD_ANSWER: return kJobBadLoginAnswer;
    default: return kJobTimedOut;
    }
}

void Job::on_check_event(const LinkEvent& ev)
{
    // A login check keeps going to the end of its time whatever happens; it remembers the
    // first loss after a login, and before one the latest reason the login failed.
    if (ev.code == IPC_EVENT_LOGIN_OK) {
        if (!logged_in_)
            tell({kNewsLoggedIn});
        logged_in_ = true;
        return;
    }
    if (ev.code != IPC_EVENT_DISCONNECTED && ev.code != IPC_EVENT_LOGIN_FAIL)
        return;
    if (logged_in_) {
        if (check_failure_ == kJobOk)
            check_failure_ = kJobLinkLost;
        return;
    }
    if (refusal(ev)) {
        check_failure_ = kJobLoginRefused;
        return;
    }
    last_login_failure_ = retry_problem(ev);
    if (last_login_failure_ == IPC_LOGIN_CONNECT_FAILED)
        ++connect_failures_;
    if (login_failure_result() != kJobTimedOut)
        check_failure_ = login_failure_result();
}

void Job::on_login_trouble(const LinkEvent& ev)
{
    if (logged_in_) {
        if (policy_.link_loss_fails || policy_.session) {
            if (phase_ == Phase::kLossGrace)
                lost_at_step_ = static_cast<int>(index_);
            finish(kJobLinkLost);
        } else if (ev.code == IPC_EVENT_LOGIN_FAIL && refusal(ev)) {
            finish(kJobLoginRefused);
        }
        return;  // the link reconnects by itself
    }
    if (refusal(ev)) {
        finish(kJobLoginRefused);
        return;
    }
    // No answer, a bad answer, a connection closed before the answer (a rebooting recorder),
    // no connection: the link tries again, and the login window decides.
    last_login_failure_ = retry_problem(ev);
    if (last_login_failure_ == IPC_LOGIN_CONNECT_FAILED)
        ++connect_failures_;
    tell({kNewsLoginRetry, -1, 0, true, last_login_failure_});
}

void Job::on_progress(const LinkEvent& ev, int64_t now)
{
    if (phase_ != Phase::kAwaitAnswer || index_ >= steps_.size() || !streams(steps_[index_]) || !ev.has_value)
        return;
    const Step& s = steps_[index_];
    progress_ = std::max(progress_, static_cast<int>(ev.value));
    tell({kNewsStepProgress, static_cast<int>(index_), s.kind, true, ev.value});
    // Once every byte is handed over, the recorder's own check before its verdict is covered
    // by the overall limit, or by the stall limit where the policy says so.
    if (ev.value >= 100) {
        stall_at_ = policy_.stall_until_verdict && policy_.stall_ms > 0 ? now + policy_.stall_ms : -1;
        if (policy_.verdict_ms > 0 && verdict_at_ < 0)
            verdict_at_ = now + policy_.verdict_ms;
        if (policy_.done_at_full_progress) {
            outcomes_.push_back({s.kind, true, true, ev.value, true});
            finish(kJobOk);
        }
    } else if (policy_.stall_ms > 0) {
        stall_at_ = now + policy_.stall_ms;
    }
}

void Job::on_answer(const LinkEvent& ev, int64_t now)
{
    if (phase_ != Phase::kAwaitAnswer || index_ >= steps_.size() || answer_event_of(steps_[index_].kind) != ev.code)
        return;
    const Step& s = steps_[index_];
    int v = ev.has_value ? ev.value : -1;
    bool ok = ev.has_value && answer_ok(s.kind, v);
    stall_at_ = -1;
    outcomes_.push_back({s.kind, true, ev.has_value, v, ok});
    tell({kNewsStepAnswered, static_cast<int>(index_), s.kind, ev.has_value, v, ok});
    // A refused picture does not stop the sequence: the next one and the reboot follow.
    if (!ok && !is_picture_step(s.kind)) {
        finish(kJobStepFailed);
        return;
    }
    advance(now);
}

void Job::on_link_event(const LinkEvent& ev, int64_t now)
{
    if (finished() || !started_)
        return;
    if (policy_.hold_ms > 0) {
        on_check_event(ev);
        return;
    }
    switch (ev.code) {
    case IPC_EVENT_LOGIN_OK: {
        bool first = !logged_in_;
        logged_in_ = true;
        if (first)
            tell({kNewsLoggedIn});
        if (policy_.session) {
            phase_ = Phase::kAwaitAnswer;
        } else if (steps_.empty()) {
            finish(kJobOk);
        } else if (phase_ == Phase::kLoggingIn || (policy_.resend_on_relogin && phase_ == Phase::kAwaitAnswer)) {
            send_current(true, now);
        }
        break;
    }
    case IPC_EVENT_LOGIN_FAIL:
    case IPC_EVENT_DISCONNECTED: on_login_trouble(ev); break;
    case IPC_EVENT_UPLOAD_PROGRESS: on_progress(ev, now); break;
    case IPC_EVENT_UPLOAD_RESULT:
    case IPC_EVENT_BUZZER:
    case IPC_EVENT_CHANADD_MODE:
    case IPC_EVENT_REBOOT: on_answer(ev, now); break;
    case kEventAuxData:
        // A disk format is answered as auxiliary data: its flag is the verdict.
        if (ev.aux_type == "SYSTEM_CONTROL_MESSAGE" && ev.aux_code == kFormatDiskCode) {
            LinkEvent answer = ev;
            answer.has_value = true;
            answer.value = ev.aux_flag;
            on_answer(answer, now);
        }
        break;
    default: break;
    }
}

int64_t Job::limit_deadline() const
{
    int64_t limit = policy_.limit_ms;
    if (!logged_in_ && policy_.login_window_ms > 0)
        limit = limit > 0 ? std::min(limit, policy_.login_window_ms) : policy_.login_window_ms;
    return limit > 0 ? start_at_ + limit : -1;
}

void Job::on_tick(int64_t now)
{
    if (finished() || !started_)
        return;
    if (policy_.hold_ms > 0) {
        if (now >= start_at_ + policy_.hold_ms)
            finish(!logged_in_ && check_failure_ == kJobOk ? kJobTimedOut
                       : check_failure_ != kJobOk          ? check_failure_
                                                           : kJobOk);
        return;
    }
    int64_t deadline = limit_deadline();
    if (deadline >= 0 && now >= deadline) {
        finish(logged_in_ ? kJobTimedOut : login_failure_result());
        return;
    }
    if (stall_at_ >= 0 && now >= stall_at_) {
        finish(kJobStalled);
        return;
    }
    if (verdict_at_ >= 0 && now >= verdict_at_) {
        finish(kJobNoVerdict);
        return;
    }
    if (interrupt_at_ >= 0 && now >= interrupt_at_) {
        finish(kJobInterrupted);
        return;
    }
    if (phase_ == Phase::kLossGrace && now >= grace_until_)
        apply_unsent(grace_rule_, now);
}

int64_t Job::next_deadline() const
{
    if (finished() || !started_)
        return -1;
    int64_t d = -1;
    auto take = [&d](int64_t t) {
        if (t >= 0 && (d < 0 || t < d))
            d = t;
    };
    if (policy_.hold_ms > 0)
        return start_at_ + policy_.hold_ms;
    take(limit_deadline());
    take(stall_at_);
    take(verdict_at_);
    take(interrupt_at_);
    if (phase_ == Phase::kLossGrace)
        take(grace_until_);
    return d;
}

}  // namespace jobs

// One recorder's maintenance job: a short sequence of steps (pictures, configuration pushes,
// reboot, firmware) run over that recorder's link, driven by its link events and by a clock
// the owner passes in (milliseconds of any monotonic clock; tests pass their own).
//
// A job logs the recorder in (or, by policy, first tries its first request on a link that may
// already be up), sends each step's request when the previous one has been answered, and
// reports what happens through its news callback: login, each request sent or not, upload
// progress, each answer, and the end with a JobResult. It holds the deadlines too: the login
// window, the upload stall limit and the overall limit (wall time, or counted in supervision
// ticks). It knows no screen text: the tool and the pages turn news into their own words.
//
// The two callers' rules differ (a request that cannot be written, a lost link, how time is
// counted); JobPolicy holds every difference. A job is not thread-safe: its owner serialises
// start, on_link_event and on_tick (the tool's runner calls them from one thread; a page under
// its row lock).
#pragma once

#include "jobs/link_port.h"
#include "jobs/results.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jobs {

// Kinds of step. The values are the maintenance page's row states, so a page can show
// state() as it always did.
enum StepKind : int {
    kStepBootPicture = 11,
    kStepChannelPicture = 12,
    kStepShutdownPicture = 13,
    kStepChannelAddMode = 14,
    kStepBuzzer = 15,
    kStepReboot = 16,
    kStepFirmware = 17,
    kStepFormatDisk = 18,
};
// state() of a job with no step pending (not started or finished).
constexpr int kStateIdle = 10;

bool is_picture_step(int kind);

struct Step {
    int kind = kStepReboot;
    bool factory = false;        // pictures: the built-in boot picture, or a factory restore
    std::string path;            // file pictures and firmware
    const void* data = nullptr;  // the built-in boot picture; must outlive the upload
    int size = 0;
    int value = 0;        // buzzer: 1 allows the button; channel-add mode: 0 to 4; disk: 0 sd1, 1 sd2, 2 usb
    int ctrl_enable = 1;  // channel-add mode: 0 forbids the recorder's users to change it

    static Step picture_file(int kind, std::string path);
    static Step factory_picture(int kind, const void* data = nullptr, int size = 0);
    static Step firmware(std::string path);
    static Step buzzer(int enable);
    static Step channel_add_mode(int ctrl_enable, int mode);
    static Step reboot();
    static Step format_disk(int disk);
};

// Whether the steps' answers come as auxiliary data (a disk format's), which the link then
// has to queue for the job.
bool steps_need_aux(const std::vector<Step>& steps);

// What a step whose request cannot be written does.
enum class Unsent : int {
    kSkip,  // recorded as failed; the sequence goes on with the next step
    kFail,  // the job ends (kJobUnsent)
    kWait,  // nothing happens: the job waits for its time limit
};

struct JobPolicy {
    // A request that cannot be written: for a picture or another step, on the first send
    // after a login or chained after an answer.
    Unsent picture_unsent_at_login = Unsent::kSkip;
    Unsent picture_unsent_chained = Unsent::kSkip;
    Unsent other_unsent_at_login = Unsent::kFail;
    Unsent other_unsent_chained = Unsent::kFail;
    // Before applying that rule, wait this long for a link loss: a request that cannot go out
    // on a link that just broke is the loss (kJobLinkLost), not the request. 0: at once.
    int64_t loss_grace_ms = 500;
    // Event 2 or 5 after the login ends the job as kJobLinkLost; otherwise the link's own
    // reconnection is left to bring it back (and a 5 ends it as kJobLoginRefused).
    bool link_loss_fails = true;
    // Every new login (after a reconnection) sends the pending step's request again.
    bool resend_on_relogin = false;
    // An upload whose progress reaches 100 % ends the job (the verdict is not awaited).
    bool done_at_full_progress = false;
    // The whole job, from start(); 0: no limit.
    int64_t limit_ms = 15000;
    // Not logged in within this (bounded by limit_ms) fails; 0: only limit_ms applies.
    int64_t login_window_ms = 15000;
    // An upload with no progress for this long fails as kJobStalled; 0: never.
    int64_t stall_ms = 50000;
    // The stall limit also runs while nothing can move: the verdict awaited after 100 %, and
    // a request left waiting unwritten (Unsent::kWait). Without it only limit_ms covers those.
    bool stall_until_verdict = false;
    // > 0: once an upload reached 100 %, its verdict is awaited this long at most (then
    // kJobNoVerdict), whatever limit_ms allows.
    int64_t verdict_ms = 0;
    // > 0: a login check. The job holds the link this long and ends ok only when the recorder
    // logged in and the link stayed up; steps are ignored.
    int64_t hold_ms = 0;
    // A session: after the login the job keeps the link (steps are ignored) until its owner
    // finishes it; a refused login, the login window and a lost link end it.
    bool session = false;

    // dravlinctl's rules, with its per-recorder time-out: an upload that makes no progress
    // for 50 s, or has no verdict 50 s after 100 %, fails sooner.
    static JobPolicy tool(int64_t timeout_ms);
    // The maintenance page's rules: 15 s for the whole sequence, an unsent picture skipped
    // when chained and left waiting right after a login, a lost link left to reconnect.
    static JobPolicy page();
    // The firmware page's rules: log in, announce the image at every login, the row done only
    // at the verdict (or a refused login), never at 100 %; no overall limit, since an image may
    // take long, but nothing moving for 50 s ends it (no login, no progress, no verdict after
    // 100 %, an announcement that cannot be written); a lost link ends the row at once.
    static JobPolicy upgrade_page();
    // A page's session with one recorder (the channel page's NVR): 15 s to log in, then the
    // link is the page's until it lets go or the link breaks.
    static JobPolicy held_session();
};

// A finished step (answered, or its request not written).
struct StepOutcome {
    int kind = 0;
    bool sent = false;
    bool has_value = false;  // the answer carried a value
    int value = 0;           // -1 when the answer carried none
    bool ok = false;
};

enum NewsKind : int {
    kNewsLoginStarted,  // the link is starting
    kNewsLoginRetry,    // a login attempt failed in a way worth retrying (value: its IpcLoginProblem);
                        // the link tries again by itself within the login window
    kNewsLoggedIn,      // the first login of this job
    kNewsStepSent,      // step's request written
    kNewsStepUnsent,    // step's request not written (value: the Unsent rule applied)
    kNewsStepProgress,  // upload progress (value: percent)
    kNewsStepAnswered,  // step answered (value, ok)
    kNewsFinished,      // the job ended (result)
    kNewsWaiting,       // the runner has no free link for it yet
};

// When a step's request went out (or did not): news of kNewsStepSent and kNewsStepUnsent.
enum SendVia : int {
    kViaLogin,  // right after a login
    kViaChain,  // after the previous step's answer
};

struct JobNews {
    int kind = kNewsLoginStarted;
    int step = -1;  // index into the steps, -1 when none
    int step_kind = 0;
    bool has_value = false;
    int value = 0;
    bool ok = false;
    int result = kJobRunning;
    int via = kViaLogin;  // sent and unsent news
};

// Sends one step's request on chanid: the link call's own result.
int send_request(LinkPort& port, int chanid, const Step& step);
// Whether that result means the request was written: picture uploads answer with the bytes
// written, the firmware announcement, restores and the other requests with 0.
bool request_written(const Step& step, int result);

class Job;
using NewsCallback = std::function<void(const Job& job, const JobNews& news)>;

class Job {
public:
    Job(int chanid, Target target, std::vector<Step> steps, JobPolicy policy, LinkPort& port,
        NewsCallback news = nullptr);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    void start(int64_t now);
    // One event of this job's link. Events of other links must not come here.
    void on_link_event(const LinkEvent& ev, int64_t now);
    // Checks the deadlines.
    void on_tick(int64_t now);
    // The earliest clock deadline still ahead, or -1 (none, or finished).
    int64_t next_deadline() const;
    // Ends the job from outside (e.g. the owner gives up); no effect once finished.
    void finish(int result);
    // Stops the job at its next safe point, without another request: one not logged in, or
    // still streaming an upload, ends at once as kJobInterrupted; one whose request is out
    // (a short request, or an upload handed over whole) waits for that answer, at most
    // grace_ms, and then ends as the answer decides when it was the last step, otherwise as
    // kJobInterrupted.
    void interrupt(int64_t now, int64_t grace_ms);
    bool interrupted() const { return interrupted_; }
    // The runner gives a job its entry just before it starts.
    void assign(int chanid) { chanid_ = chanid; }
    // No news from here on (its owner is going away).
    void mute() { news_ = nullptr; }
    // News from the job's owner (the runner's kNewsWaiting), through the job's callback.
    void notify(const JobNews& n) const { tell(n); }

    int chanid() const { return chanid_; }
    const Target& target() const { return target_; }
    const std::vector<Step>& steps() const { return steps_; }
    const JobPolicy& policy() const { return policy_; }
    bool started() const { return started_; }
    bool finished() const { return result_ != kJobRunning; }
    int result() const { return result_; }
    bool logged_in() const { return logged_in_; }
    int connect_failures() const { return connect_failures_; }
    // The IpcLoginProblem of the last failed login attempt, IPC_LOGIN_PROBLEM_NONE before one.
    int last_login_failure() const { return last_login_failure_; }
    // The step kind pending, or kStateIdle.
    int state() const;
    int current_step() const { return finished() ? -1 : static_cast<int>(index_); }
    const std::vector<StepOutcome>& outcomes() const { return outcomes_; }
    // Index of the step whose unsent request turned out to be a lost link, else -1.
    int lost_at_step() const { return lost_at_step_; }

private:
    enum class Phase { kIdle, kLoggingIn, kAwaitAnswer, kLossGrace };

    void tell(JobNews n) const;
    void send_current(bool at_login, int64_t now);
    void apply_unsent(Unsent rule, int64_t now);
    void advance(int64_t now);
    void finish_sequence();
    void on_login_trouble(const LinkEvent& ev);
    // What a job that never logged in ends with: the kind of its last failed attempt.
    int login_failure_result() const;
    void on_check_event(const LinkEvent& ev);
    void on_answer(const LinkEvent& ev, int64_t now);
    void on_progress(const LinkEvent& ev, int64_t now);
    int request(const Step& s);
    int64_t limit_deadline() const;

    int chanid_;
    Target target_;
    std::vector<Step> steps_;
    JobPolicy policy_;
    LinkPort& port_;
    NewsCallback news_;

    Phase phase_ = Phase::kIdle;
    size_t index_ = 0;
    bool started_ = false;
    bool logged_in_ = false;
    int connect_failures_ = 0;
    int last_login_failure_ = 0;
    int result_ = kJobRunning;
    int check_failure_ = kJobOk;  // login checks: what went wrong first
    int lost_at_step_ = -1;
    int64_t start_at_ = 0;
    int64_t stall_at_ = -1;
    int64_t verdict_at_ = -1;   // the verdict limit, once an upload reached 100 %
    int progress_ = -1;         // the pending upload's last percentage
    bool request_out_ = false;  // the pending step's request was written
    bool interrupted_ = false;
    int64_t interrupt_at_ = -1;  // an interrupted job's wait for its answer ends here
    int64_t grace_until_ = -1;
    Unsent grace_rule_ = Unsent::kFail;
    int via_ = kViaChain;  // how the request now waiting out its loss grace was tried
    std::vector<StepOutcome> outcomes_;
};

}  // namespace jobs

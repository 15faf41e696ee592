// The job engine on a fake link port and a clock the test moves: the order of requests, the
// tool's and the page's rules for unsent requests and lost links, the deadlines (login window,
// stall, overall limit on the clock or in supervision ticks), login checks, and the fleet
// runner going on with a recorder while later ones are still being started, and running more
// recorders than links in waves.
#include "jobs/fleet.h"
#include "jobs/job.h"
#include "link/link.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace jobs;

// Records every call as a word; the words in `refuse` report a request that was not written.
struct FakePort : LinkPort {
    std::string calls;
    std::set<std::string> refuse;
    bool login_ok = true;

    int note(const std::string& word, int written)
    {
        calls += (calls.empty() ? "" : " ") + word;
        return refuse.count(word) ? -4 : written;
    }
    bool login(int chanid, const Target&) override { return note("login" + std::to_string(chanid), 1) > 0 && login_ok; }
    void logout(int chanid, bool) override { note("logout" + std::to_string(chanid), 0); }
    int upload_file(int, int filetype, const char*) override { return note("file" + std::to_string(filetype), 300); }
    int upload_resource(int, const void*, int) override { return note("res3", 300); }
    int upload_firmware(int, const char*) override { return note("fw", 0); }
    int restore_picture(int, int filetype) override { return note("restore" + std::to_string(filetype), 0); }
    int set_channel_add_mode(int, int, int) override { return note("mode", 0); }
    int set_buzzer(int, int) override { return note("buzzer", 0); }
    int reboot(int) override { return note("reboot", 0); }
};

// One scripted thing at a time on the clock: a link event, or a tick.
struct Act {
    int64_t at;
    int code;  // link event code, or kTick
    int value = 0;
    int problem = kLoginProblemNone;
};
constexpr int kTick = -1;

std::vector<Step> files()
{
    return {Step::picture_file(kStepBootPicture, "b.jpg"), Step::picture_file(kStepChannelPicture, "c.png"),
            Step::picture_file(kStepShutdownPicture, "s.png"), Step::reboot()};
}

std::string outcome_text(const Job& job)
{
    std::string t;
    for (const StepOutcome& o : job.outcomes())
        t += (t.empty() ? "" : " ") + std::to_string(o.kind) + (o.sent ? (o.ok ? "+" : "-") : "!");
    return t;
}

struct Case {
    const char* name;
    JobPolicy policy;
    std::vector<Step> steps;
    std::set<std::string> refuse;
    std::vector<Act> script;
    const char* calls;
    int result;            // kJobRunning: still running after the script
    const char* outcomes;  // kind then + ok, - refused, ! not written
};

void run_case(const Case& c)
{
    SCOPED_TRACE(c.name);
    FakePort port;
    port.refuse = c.refuse;
    Job job(0, Target{"127.0.0.1", 8091, "u", "p"}, c.steps, c.policy, port);
    job.start(0);
    for (const Act& a : c.script) {
        if (a.code == kTick) {
            job.on_tick(a.at);
            continue;
        }
        LinkEvent ev;
        ev.chanid = 0;
        ev.code = a.code;
        ev.has_value =
            a.code != IPC_EVENT_LOGIN_OK && a.code != IPC_EVENT_LOGIN_FAIL && a.code != IPC_EVENT_DISCONNECTED;
        ev.value = a.value;
        ev.login_problem = a.problem;
        job.on_link_event(ev, a.at);
        job.on_tick(a.at);
    }
    EXPECT_EQ(port.calls, c.calls);
    EXPECT_EQ(job.result(), c.result) << job_result_text(job.result());
    EXPECT_EQ(outcome_text(job), c.outcomes);
}

constexpr int kOk = IPC_EVENT_LOGIN_OK, kLost = IPC_EVENT_DISCONNECTED, kRefused = IPC_EVENT_LOGIN_FAIL,
              kProgress = IPC_EVENT_UPLOAD_PROGRESS, kUpload = IPC_EVENT_UPLOAD_RESULT, kReboot = IPC_EVENT_REBOOT;

TEST(JobSequence, StepsFollowTheAnswersUnderEachPolicy)
{
    const JobPolicy tool = JobPolicy::tool(15000), page = JobPolicy::page();
    JobPolicy page_logged_out = page;  // the page's first try finds no link
    const std::set<std::string> no_link = {"file3", "res3"};
    // clang-format off
    const Case cases[] = {
        {"three files and the reboot", tool, files(), {},
         {{10, kOk}, {20, kUpload, 0}, {30, kUpload, 0}, {40, kUpload, 0}, {50, kReboot, 0}},
         "login0 file3 file4 file5 reboot", kJobOk, "11+ 12+ 13+ 16+"},
        {"factory pictures", tool,
         {Step::factory_picture(kStepBootPicture, "x", 1), Step::factory_picture(kStepChannelPicture),
          Step::factory_picture(kStepShutdownPicture), Step::reboot()}, {},
         {{10, kOk}, {20, kUpload, 0}, {30, kUpload, 0}, {40, kUpload, 0}, {50, kReboot, 0}},
         "login0 res3 restore4 restore5 reboot", kJobOk, "11+ 12+ 13+ 16+"},
        {"a refused picture still chains to the next and the reboot", tool, files(), {},
         {{10, kOk}, {20, kUpload, 0}, {30, kUpload, 5}, {40, kUpload, 0}, {50, kReboot, 0}},
         "login0 file3 file4 file5 reboot", kJobStepFailed, "11+ 12- 13+ 16+"},
        {"a refused reboot ends the job", tool, {Step::reboot()}, {}, {{10, kOk}, {20, kReboot, 1}},
         "login0 reboot", kJobStepFailed, "16-"},
        {"buzzer answers 1 for done, 2 for no such setting", tool, {Step::buzzer(1)}, {},
         {{10, kOk}, {20, IPC_EVENT_BUZZER, 2}}, "login0 buzzer", kJobStepFailed, "15-"},
        {"channel-add mode: 1 is done too", tool, {Step::channel_add_mode(0, 3)}, {},
         {{10, kOk}, {20, IPC_EVENT_CHANADD_MODE, 1}}, "login0 mode", kJobOk, "14+"},
        {"an answer of another step is not this one's", tool, {Step::reboot()}, {},
         {{10, kOk}, {20, kUpload, 0}}, "login0 reboot", kJobRunning, ""},
        {"tool: an unsent picture is skipped once no loss follows", tool, files(), {"file4"},
         {{10, kOk}, {20, kUpload, 0}, {400, kTick}, {520, kTick}, {530, kUpload, 0}, {540, kReboot, 0}},
         "login0 file3 file4 file5 reboot", kJobStepFailed, "11+ 12! 13+ 16+"},
        {"tool: an unsent request followed by a loss is the lost link", tool, files(), {"file4"},
         {{10, kOk}, {20, kUpload, 0}, {100, kLost}}, "login0 file3 file4", kJobLinkLost, "11+ 12!"},
        {"tool: an unsent reboot fails the job", tool, {Step::reboot()}, {"reboot"}, {{10, kOk}, {600, kTick}},
         "login0 reboot", kJobUnsent, "16!"},
        {"tool: a loss after the login fails the job", tool, files(), {}, {{10, kOk}, {20, kLost}},
         "login0 file3", kJobLinkLost, ""},
        {"page: a loss after the login waits for the link to come back and resends", page_logged_out, files(), no_link,
         {{10, kOk}, {20, kLost}, {3100, kOk}}, "file3 login0 file3 file3", kJobRunning, "11! 11!"},
        {"page: request written on a link that is up: no login", page, files(), {},
         {{20, kUpload, 0}, {30, kUpload, 0}, {40, kUpload, 0}, {50, kReboot, 0}},
         "file3 file4 file5 reboot", kJobOk, "11+ 12+ 13+ 16+"},
        {"page: an unsent chained picture is skipped at once", page, files(), {"file4"},
         {{20, kUpload, 0}, {30, kUpload, 0}, {40, kReboot, 0}}, "file3 file4 file5 reboot", kJobStepFailed,
         "11+ 12! 13+ 16+"},
        {"page: a refused login ends the row", page_logged_out, files(), no_link, {{10, kRefused}},
         "file3 login0", kJobLoginRefused, ""},
        {"page: an unsent reboot waits for the supervision", page, {Step::picture_file(kStepShutdownPicture, "s"), Step::reboot()},
         {"reboot"}, {{20, kUpload, 0}}, "file5 reboot", kJobRunning, "13+ 16!"},
    };
    // clang-format on
    for (const Case& c : cases)
        run_case(c);
}

TEST(JobDeadlines, LoginWindowStallLimitAndTicks)
{
    JobPolicy tool = JobPolicy::tool(600000);
    JobPolicy page = JobPolicy::page();
    const JobPolicy upgrade = JobPolicy::upgrade_page();
    // clang-format off
    const Case cases[] = {
        {"not logged in within the login window", tool, files(), {}, {{5000, kLost}, {14999, kTick}, {15000, kTick}},
         "login0", kJobTimedOut, ""},
        {"the login window is bounded by a shorter limit", JobPolicy::tool(2000), files(), {}, {{2000, kTick}},
         "login0", kJobTimedOut, ""},
        {"a login that is not answered", tool, files(), {}, {{300, kLost, 0, kLoginProblemNoAnswer}}, "login0",
         kJobNoLoginAnswer, ""},
        {"a login answer that is no frame", tool, files(), {}, {{300, kRefused, 0, kLoginProblemBadFrame}}, "login0",
         kJobBadLoginAnswer, ""},
        {"a refused login", tool, files(), {}, {{300, kRefused}}, "login0", kJobLoginRefused, ""},
        {"progress keeps an upload alive, silence stalls it", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {40000, kProgress, 40}, {89999, kTick}, {90000, kTick}}, "login0 fw", kJobStalled, ""},
        {"after 100 % only the overall limit waits for the verdict", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {100, kProgress, 100}, {599999, kTick}, {600000, kTick}}, "login0 fw", kJobTimedOut, ""},
        {"a restore streams nothing and never stalls", tool, {Step::factory_picture(kStepChannelPicture)}, {},
         {{10, kOk}, {200000, kTick}}, "login0 restore4", kJobRunning, ""},
        {"upgrade page: 100 % is not the end, the verdict is", upgrade, {Step::firmware("f")}, {},
         {{10, kOk}, {20, kLost}, {3010, kOk}, {3100, kProgress, 100}, {40000, kTick}}, "login0 fw fw", kJobRunning,
         ""},
        {"upgrade page: a rejected verdict", upgrade, {Step::firmware("f")}, {},
         {{10, kOk}, {3100, kProgress, 100}, {3200, kUpload, 5}}, "login0 fw", kJobStepFailed, "17-"},
        {"upgrade page: no verdict within 50 s of 100 %", upgrade, {Step::firmware("f")}, {},
         {{10, kOk}, {100, kProgress, 100}, {50099, kTick}, {50100, kTick}}, "login0 fw", kJobStalled, ""},
        {"upgrade page: not reached within 50 s", upgrade, {Step::firmware("f")}, {},
         {{5000, kLost}, {49999, kTick}, {50000, kTick}}, "login0", kJobTimedOut, ""},
        {"upgrade page: an announcement not written waits 50 s", upgrade, {Step::firmware("f")}, {"fw"},
         {{10, kOk}, {50009, kTick}, {50010, kTick}}, "login0 fw", kJobStalled, "17!"},
    };
    // clang-format on
    for (const Case& c : cases)
        run_case(c);

    // The page's supervision counts 500 ms per tick from the start, progress or not; the tick
    // after the count reaches 15 s ends the row.
    FakePort port;
    Job job(3, Target{}, files(), page, port);
    job.start(0);
    for (int i = 0; i < 30; ++i) {
        LinkEvent ev;
        ev.chanid = 3;
        ev.code = kProgress;
        ev.has_value = true;
        ev.value = 5 + i;
        job.on_link_event(ev, 0);
        job.on_tick(0);  // the clock does not matter here
    }
    EXPECT_FALSE(job.finished());
    EXPECT_EQ(job.elapsed_ms(), 15000);
    EXPECT_EQ(job.state(), kStepBootPicture);
    job.on_tick(0);
    EXPECT_EQ(job.result(), kJobTimedOut);
    EXPECT_EQ(job.state(), kStateIdle);
}

TEST(JobAdopt, ARowStoredAtAStateChainsOnFromThereAndResendsAtEachLogin)
{
    FakePort port;
    port.refuse = {"reboot"};
    Job job(0, Target{}, files(), JobPolicy::page(), port);
    ASSERT_FALSE(job.adopt(kStepBuzzer, 0));
    ASSERT_TRUE(job.adopt(kStepChannelPicture, 1500));
    EXPECT_EQ(job.state(), kStepChannelPicture);
    LinkEvent ev;
    ev.chanid = 0;
    ev.code = kOk;
    job.on_link_event(ev, 0);  // every login sends the pending step again
    job.on_link_event(ev, 0);
    ev.code = kUpload;
    ev.has_value = true;
    ev.value = 0;
    job.on_link_event(ev, 0);
    job.on_link_event(ev, 0);
    EXPECT_EQ(port.calls, "file4 file4 file5 reboot");
    EXPECT_EQ(job.state(), kStepReboot);  // not written: waits for the supervision
    EXPECT_EQ(job.elapsed_ms(), 1500);
}

TEST(JobLoginCheck, HoldsTheLinkAndRemembersTheFirstLoss)
{
    JobPolicy check;
    check.hold_ms = 6000;
    // clang-format off
    const Case cases[] = {
        {"stays up", check, {}, {}, {{10, kOk}, {6000, kTick}}, "login0", kJobOk, ""},
        {"lost and back again still fails", check, {}, {}, {{10, kOk}, {20, kLost}, {3010, kOk}, {6000, kTick}},
         "login0", kJobLinkLost, ""},
        {"never connected", check, {}, {}, {{10, kLost}, {6000, kTick}}, "login0", kJobTimedOut, ""},
        {"refused", check, {}, {}, {{10, kRefused}, {6000, kTick}}, "login0", kJobLoginRefused, ""},
        {"runs until the end", check, {}, {}, {{10, kRefused}, {5999, kTick}}, "login0", kJobRunning, ""},
    };
    // clang-format on
    for (const Case& c : cases)
        run_case(c);
}

// Events queued by the fake port's logins and logouts; time moves only when the runner waits.
// With hold_logins a login is answered only when the runner waits, one at a time.
struct ScriptedFleet : FakePort, EventSource {
    std::deque<LinkEvent> queue, held;
    int64_t now = 0;
    bool hold_logins = false;
    bool login(int chanid, const Target& t) override
    {
        FakePort::login(chanid, t);
        LinkEvent ev;
        ev.chanid = chanid;
        ev.code = IPC_EVENT_LOGIN_OK;
        (hold_logins ? held : queue).push_back(ev);
        return true;
    }
    void logout(int chanid, bool abort) override
    {
        FakePort::logout(chanid, abort);
        LinkEvent ev;
        ev.chanid = chanid;
        ev.code = kEventChannelFree;
        queue.push_back(ev);
    }
    int reboot(int chanid) override
    {
        FakePort::reboot(chanid);
        LinkEvent ev;
        ev.chanid = chanid;
        ev.code = IPC_EVENT_REBOOT;
        ev.has_value = true;
        queue.push_back(ev);
        return 0;
    }
    bool next_event(LinkEvent& ev, int64_t wait_ms) override
    {
        if (queue.empty() && wait_ms > 0 && !held.empty()) {
            queue.push_back(held.front());
            held.pop_front();
        }
        if (queue.empty()) {
            now += wait_ms;
            return false;
        }
        ev = queue.front();
        queue.pop_front();
        return true;
    }
    int64_t now_ms() override { return now; }
};

TEST(FleetRunner, ARecorderGoesOnWhileLaterOnesAreStillStarting)
{
    ScriptedFleet fleet;
    FleetRunner runner(fleet, fleet);
    for (int i = 0; i < 3; ++i)
        runner.add(Target{}, {Step::reboot()}, JobPolicy::tool(15000));
    runner.run();
    EXPECT_EQ(fleet.calls, "login0 reboot logout0 login1 reboot logout1 login2 reboot logout2");
    for (const auto& job : runner.jobs())
        EXPECT_EQ(job->result(), kJobOk);
}

TEST(FleetRunner, MoreRecordersThanLinksRunInWavesOnTheLinksGivenBack)
{
    ScriptedFleet fleet;
    fleet.hold_logins = true;
    FleetRunner runner(fleet, fleet, 2);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(runner.add(Target{}, {Step::reboot()}, JobPolicy::tool(15000)), static_cast<size_t>(i));
    std::vector<size_t> started;
    FleetRunner::Hooks hooks;
    hooks.before_start = [&](size_t index, Job&) { started.push_back(index); };
    runner.run(hooks);
    // The third recorder logs in only once the first one's link was given back.
    EXPECT_EQ(fleet.calls, "login0 login1 reboot logout0 login0 reboot logout1 reboot logout0");
    EXPECT_EQ(started, (std::vector<size_t>{0, 1, 2}));
    ASSERT_EQ(runner.jobs().size(), 3u);
    EXPECT_EQ(runner.jobs()[2]->chanid(), 0);
    for (const auto& job : runner.jobs())
        EXPECT_EQ(job->result(), kJobOk);
}

}  // namespace

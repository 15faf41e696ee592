// The job engine on a fake link port and a clock the test moves: the order of requests, the
// tool's and the pages' rules for unsent requests, lost links and failed logins, the deadlines
// (login window, stall, overall limit), login checks, and the runner: a job going on while later
// ones are still being started, more jobs than links in waves, fronts sharing the links.
#include "jobs/runner.h"
#include "jobs/job.h"
#include "link/link.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    int format_disk(int, int disk) override { return note("format" + std::to_string(disk), 0); }
};

// One scripted thing at a time on the clock: a link event, or a tick.
struct Act {
    int64_t at;
    int code;  // link event code, or kTick
    int value = 0;
    int problem = IPC_LOGIN_PROBLEM_NONE;
};
constexpr int kTick = -1;
constexpr int kInterrupt = -2;  // Job::interrupt with value as its grace

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
        if (a.code == kInterrupt) {
            job.interrupt(a.at, a.value);
            continue;
        }
        LinkEvent ev;
        ev.chanid = 0;
        ev.code = a.code;
        if (a.code == kEventAuxData) {
            // An answer that comes as auxiliary data: its flag, and the code in place of the problem.
            ev.aux_kind = IPC_AUX_RESPONSE;
            ev.aux_type = "SYSTEM_CONTROL_MESSAGE";
            ev.aux_code = a.problem;
            ev.aux_flag = a.value;
            job.on_link_event(ev, a.at);
            job.on_tick(a.at);
            continue;
        }
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
        {"a disk format is answered by its auxiliary data", tool, {Step::format_disk(1)}, {},
         {{10, kOk}, {20, kEventAuxData, 0, 1032}, {30, kEventAuxData, 0, 1017}}, "login0 format1", kJobOk, "18+"},
        {"a refused disk format fails", tool, {Step::format_disk(2)}, {},
         {{10, kOk}, {20, kEventAuxData, -1, 1017}}, "login0 format2", kJobStepFailed, "18-"},
        {"tool: an unsent picture is skipped once no loss follows", tool, files(), {"file4"},
         {{10, kOk}, {20, kUpload, 0}, {400, kTick}, {520, kTick}, {530, kUpload, 0}, {540, kReboot, 0}},
         "login0 file3 file4 file5 reboot", kJobStepFailed, "11+ 12! 13+ 16+"},
        {"tool: an unsent request followed by a loss is the lost link", tool, files(), {"file4"},
         {{10, kOk}, {20, kUpload, 0}, {100, kLost}}, "login0 file3 file4", kJobLinkLost, "11+ 12!"},
        {"tool: an unsent reboot fails the job", tool, {Step::reboot()}, {"reboot"}, {{10, kOk}, {600, kTick}},
         "login0 reboot", kJobUnsent, "16!"},
        {"tool: a loss after the login fails the job", tool, files(), {}, {{10, kOk}, {20, kLost}},
         "login0 file3", kJobLinkLost, ""},
        {"page: a loss after the login waits for the link to come back and resends", page, files(), no_link,
         {{10, kOk}, {20, kLost}, {3100, kOk}}, "login0 file3 file3", kJobRunning, "11! 11!"},
        {"page: an unsent chained picture is skipped at once", page, files(), {"file4"},
         {{10, kOk}, {20, kUpload, 0}, {30, kUpload, 0}, {40, kReboot, 0}}, "login0 file3 file4 file5 reboot",
         kJobStepFailed, "11+ 12! 13+ 16+"},
        {"page: a refused login ends the row", page, files(), no_link, {{10, kRefused, 0, IPC_LOGIN_REFUSED}},
         "login0", kJobLoginRefused, ""},
        {"page: an unsent reboot waits for the time limit", page, {Step::picture_file(kStepShutdownPicture, "s"), Step::reboot()},
         {"reboot"}, {{10, kOk}, {20, kUpload, 0}}, "login0 file5 reboot", kJobRunning, "13+ 16!"},
        {"page: 15 s from the start, progress or not", page, files(), {},
         {{10, kOk}, {100, kProgress, 5}, {14000, kProgress, 95}, {14999, kTick}, {15000, kTick}}, "login0 file3",
         kJobTimedOut, ""},
    };
    // clang-format on
    for (const Case& c : cases)
        run_case(c);
}

TEST(JobDeadlines, LoginWindowStallLimitAndTicks)
{
    JobPolicy tool = JobPolicy::tool(600000);
    const JobPolicy upgrade = JobPolicy::upgrade_page();
    // clang-format off
    const Case cases[] = {
        {"not logged in within the login window", tool, files(), {}, {{5000, kLost}, {14999, kTick}, {15000, kTick}},
         "login0", kJobTimedOut, ""},
        {"the login window is bounded by a shorter limit", JobPolicy::tool(2000), files(), {}, {{2000, kTick}},
         "login0", kJobTimedOut, ""},
        {"a login never answered ends at the window as unanswered", tool, files(), {},
         {{300, kRefused, 0, IPC_LOGIN_NO_ANSWER}, {3300, kLost, 0, IPC_LOGIN_CONNECT_FAILED},
          {6300, kRefused, 0, IPC_LOGIN_NO_ANSWER}, {14999, kTick}, {15000, kTick}}, "login0", kJobNoLoginAnswer, ""},
        {"a login answer that is no frame, the last failure", tool, files(), {},
         {{300, kRefused, 0, IPC_LOGIN_BAD_ANSWER}, {15000, kTick}}, "login0", kJobBadLoginAnswer, ""},
        {"a recorder closing before its answer (rebooting) is tried again", tool, {Step::reboot()}, {},
         {{300, kRefused, 0, IPC_LOGIN_CLOSED}, {3300, kOk}, {3400, kReboot, 0}}, "login0 reboot", kJobOk, "16+"},
        {"a refused login is final", tool, files(), {}, {{300, kRefused, 0, IPC_LOGIN_REFUSED}}, "login0",
         kJobLoginRefused, ""},
        {"progress keeps an upload alive, silence stalls it", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {40000, kProgress, 40}, {89999, kTick}, {90000, kTick}}, "login0 fw", kJobStalled, ""},
        {"after 100 % the verdict has 50 s, whatever the limit", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {100, kProgress, 100}, {50099, kTick}, {50100, kTick}}, "login0 fw", kJobNoVerdict, ""},
        {"the overall limit still ends a verdict due sooner", JobPolicy::tool(20000), {Step::firmware("f")}, {},
         {{10, kOk}, {100, kProgress, 100}, {20000, kTick}}, "login0 fw", kJobTimedOut, ""},
        {"a restore streams nothing and never stalls", tool, {Step::factory_picture(kStepChannelPicture)}, {},
         {{10, kOk}, {200000, kTick}}, "login0 restore4", kJobRunning, ""},
        {"upgrade page: 100 % is not the end, the verdict is", upgrade, {Step::firmware("f")}, {},
         {{10, kOk}, {3100, kProgress, 100}, {40000, kTick}}, "login0 fw", kJobRunning, ""},
        {"upgrade page: a lost link ends the row at once", upgrade, {Step::firmware("f")}, {},
         {{10, kOk}, {20, kProgress, 30}, {30, kLost}}, "login0 fw", kJobLinkLost, ""},
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
}

TEST(JobInterrupt, NoFurtherRequestAndAnAnswerUnderWayIsAwaitedBriefly)
{
    const JobPolicy tool = JobPolicy::tool(600000);
    const std::vector<Step> restore_then_reboot = {Step::factory_picture(kStepChannelPicture), Step::reboot()};
    // clang-format off
    const Case cases[] = {
        {"not logged in yet", tool, files(), {}, {{100, kInterrupt, 10000}}, "login0", kJobInterrupted, ""},
        {"mid-upload: the stream is given up", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {20, kProgress, 40}, {30, kInterrupt, 10000}}, "login0 fw", kJobInterrupted, ""},
        {"the reboot under way gets its answer", tool, {Step::reboot()}, {},
         {{10, kOk}, {20, kInterrupt, 10000}, {30, kReboot, 0}}, "login0 reboot", kJobOk, "16+"},
        {"an answered step leads to no further request", tool, restore_then_reboot, {},
         {{10, kOk}, {20, kInterrupt, 10000}, {30, kUpload, 0}}, "login0 restore4", kJobInterrupted, "12+"},
        {"a whole upload's verdict is awaited", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {20, kProgress, 100}, {30, kInterrupt, 10000}, {40, kUpload, 0}}, "login0 fw", kJobOk, "17+"},
        {"within the grace only", tool, {Step::firmware("f")}, {},
         {{10, kOk}, {20, kProgress, 100}, {30, kInterrupt, 10000}, {10029, kTick}, {10030, kTick}}, "login0 fw",
         kJobInterrupted, ""},
    };
    // clang-format on
    for (const Case& c : cases)
        run_case(c);
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
        // As the link's port: nothing of the ended link arrives after its logout.
        for (auto* q : {&queue, &held})
            q->erase(std::remove_if(q->begin(), q->end(), [chanid](const LinkEvent& e) { return e.chanid == chanid; }),
                     q->end());
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

JobOrder order_of(std::vector<Step> steps, std::function<void(Job&)> before = nullptr)
{
    JobOrder order;
    order.steps = std::move(steps);
    order.policy = JobPolicy::tool(15000);
    order.before_start = std::move(before);
    return order;
}

TEST(Runner, AJobGoesOnWhileLaterOnesAreStillStarting)
{
    ScriptedFleet fleet;
    Runner runner(fleet, fleet);
    std::vector<JobId> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(runner.submit(order_of({Step::reboot()})));
    runner.run();
    EXPECT_EQ(fleet.calls, "login0 reboot logout0 login1 reboot logout1 login0 reboot logout0");
    for (JobId id : ids)
        EXPECT_EQ(runner.job(id)->result(), kJobOk);
    EXPECT_TRUE(runner.idle());
}

TEST(Runner, MoreJobsThanLinksRunInWavesOnTheLinksGivenBack)
{
    ScriptedFleet fleet;
    fleet.hold_logins = true;
    Runner runner(fleet, fleet);
    runner.set_parallel(2);
    std::vector<JobId> ids;
    std::vector<JobId> started;
    std::string waited;
    for (int i = 0; i < 3; ++i) {
        JobOrder order = order_of({Step::reboot()});
        const JobId next = static_cast<JobId>(i + 1);
        order.before_start = [&started, next](Job&) { started.push_back(next); };
        order.news = [&waited, i](const Job&, const JobNews& n) {
            if (n.kind == kNewsWaiting)
                waited += std::to_string(i);
        };
        ids.push_back(runner.submit(std::move(order)));
    }
    runner.run();
    // The third job logs in only once the first one's link was given back.
    EXPECT_EQ(fleet.calls, "login0 login1 reboot logout0 login0 reboot logout1 reboot logout0");
    EXPECT_EQ(started, ids);
    EXPECT_EQ(waited, "2");
    EXPECT_EQ(runner.job(ids[2])->chanid(), 0);
    for (JobId id : ids)
        EXPECT_EQ(runner.job(id)->result(), kJobOk);
}

TEST(Runner, AnInterruptStartsNothingMoreAndEndsWhatRuns)
{
    ScriptedFleet fleet;
    fleet.hold_logins = true;
    Runner runner(fleet, fleet);
    runner.set_parallel(2);
    std::vector<JobId> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back(runner.submit(order_of({Step::reboot()})));
    runner.pump();
    EXPECT_EQ(fleet.calls, "login0 login1");
    runner.request_interrupt(10000);
    EXPECT_TRUE(runner.interrupted());
    runner.run();
    EXPECT_EQ(fleet.calls, "login0 login1 logout0 logout1");
    for (JobId id : ids)
        EXPECT_EQ(runner.job(id)->result(), kJobInterrupted);
    EXPECT_FALSE(runner.job(ids[2])->started());
    EXPECT_TRUE(runner.idle());
}

TEST(Runner, FrontsShareTheLinksAndACancelledFrontHearsNothingMore)
{
    ScriptedFleet fleet;
    fleet.hold_logins = true;
    Runner runner(fleet, fleet, 2);
    int page_a = 0, page_b = 0;
    int news_a = 0;
    JobOrder a = order_of({Step::reboot()});
    a.front = &page_a;
    a.news = [&news_a](const Job&, const JobNews&) { ++news_a; };
    JobOrder b = order_of({Step::reboot()});
    b.front = &page_b;
    const JobId ida = runner.submit(std::move(a));
    const JobId idb = runner.submit(std::move(b));
    const JobId idc = runner.submit(order_of({Step::reboot()}));
    runner.pump();
    EXPECT_EQ(runner.count(&page_a), 1);
    EXPECT_EQ(runner.waiting(), 1);
    EXPECT_EQ(runner.links_in_use(), 2);
    const int heard = news_a;
    runner.cancel_front(&page_a);
    EXPECT_EQ(news_a, heard);
    EXPECT_EQ(runner.job(ida)->result(), kJobCancelled);
    runner.run();
    EXPECT_EQ(fleet.calls, "login0 login1 logout0 login0 reboot logout1 reboot logout0");
    EXPECT_EQ(runner.job(idb)->result(), kJobOk);
    EXPECT_EQ(runner.job(idc)->chanid(), 0);
    runner.forget(ida);
    EXPECT_EQ(runner.job(ida), nullptr);
}

}  // namespace

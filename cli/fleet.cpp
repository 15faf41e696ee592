// The commands over recorders on the fleet runner: progress lines and the closing summary.
#include "cli/fleet.h"

#include "cli/command.h"
#include "cli/fleet_files.h"
#include "cli/fleet_history.h"
#include "cli/watch.h"
#include "cli/interrupt.h"
#include "jobs/messages.h"
#include "jobs/runner.h"
#include "link/link.h"
#include "util/log.h"
#include "jobs/results.h"
#include "util/clock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace dravlinctl {

namespace {

std::mutex g_err_mu;

// "<name> <text>" on standard error; the name is the recorder's own text.
void progress_line(const std::string& name, const std::string& text)
{
    const std::string shown = printable(name);
    std::lock_guard<std::mutex> lk(g_err_mu);
    std::fprintf(stderr, "%s %s\n", shown.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

bool progress_worth_showing(int percent, int& last_shown)
{
    if (percent <= last_shown)
        return false;
    bool show = percent >= 100 || percent / 20 > (last_shown < 0 ? 0 : last_shown / 20);
    if (show)
        last_shown = percent;
    return show;
}

std::string json_quote(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string printable(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char buf[8];
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(s[++i]));
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

std::string step_text(const StepResult& s)
{
    std::string t = s.step + (s.ok ? " ok" : " failed");
    if (!s.ok && !s.detail.empty())
        t += " (" + s.detail + ")";
    return t;
}

// "2024-05-01T09:30:12.345Z"
std::string utc_text(const WallTime& t)
{
    std::time_t sec = static_cast<std::time_t>(t.sec);
    const std::tm* tm = std::gmtime(&sec);  // the main thread's only caller
    char buf[40];
    if (!tm || std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", tm) == 0)
        return "";
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(t.usec / 1000));
    return std::string(buf) + ms;
}

std::string ms_json(int64_t ms) { return ms < 0 ? "null" : std::to_string(ms); }

std::string detail_of(const SummaryRow& r)
{
    std::string d;
    for (const auto& s : r.steps)
        d += (d.empty() ? "" : ", ") + step_text(s);
    // A failure's message goes in front unless a step already says it.
    if (!r.ok && !r.message.empty() && d.find(r.message) == std::string::npos)
        d = r.message + (d.empty() ? "" : "; " + d);
    return d;
}

// The summary as JSON, one recorder a line, written as it goes (a run of hundreds of
// recorders is never built as one string).
void print_json(FILE* out, const Summary& sum)
{
    std::fprintf(out, "{\"command\": %s, \"ok\": %s, \"started\": %s, \"ended\": %s, ", json_quote(sum.command).c_str(),
                 sum.all_ok ? "true" : "false", json_quote(sum.started).c_str(), json_quote(sum.ended).c_str());
    if (!sum.history.empty())
        std::fprintf(out, "\"history\": %s, ", json_quote(sum.history).c_str());
    std::fprintf(out, "\"recorders\": [");
    for (size_t i = 0; i < sum.rows.size(); ++i) {
        const SummaryRow& r = sum.rows[i];
        std::fprintf(out,
                     "%s\n  {\"name\": %s, \"serial\": %s, \"address\": %s, \"port\": %d, \"ok\": %s, "
                     "\"result\": %s, \"message\": %s, \"login_ms\": %s, \"total_ms\": %s, \"steps\": [",
                     i ? "," : "", json_quote(r.name).c_str(), json_quote(r.serial).c_str(),
                     json_quote(r.address).c_str(), r.port, r.ok ? "true" : "false", json_quote(r.result).c_str(),
                     json_quote(r.message).c_str(), ms_json(r.login_ms).c_str(), ms_json(r.total_ms).c_str());
        for (size_t k = 0; k < r.steps.size(); ++k) {
            const StepResult& s = r.steps[k];
            std::fprintf(out, "%s{\"step\": %s, \"ok\": %s, \"value\": ", k ? ", " : "", json_quote(s.step).c_str(),
                         s.ok ? "true" : "false");
            if (s.has_value)
                std::fprintf(out, "%d", s.value);
            else
                std::fprintf(out, "null");
            std::fprintf(out, ", \"detail\": %s}", json_quote(s.detail).c_str());
        }
        std::fprintf(out, "]}");
    }
    std::fprintf(out, "%s]}\n", sum.rows.empty() ? "" : "\n");
}

}  // namespace

void print_summary(FILE* out, bool json, const Summary& sum)
{
    if (json) {
        print_json(out, sum);
    } else {
        // The RESULT column is as wide as its longest result, so none runs into the detail.
        int width = 13;
        for (const auto& r : sum.rows)
            width = std::max(width, static_cast<int>(r.result.size()));
        std::fprintf(out, "%-24s %-21s %-*s %s\n", "RECORDER", "ADDRESS", width, "RESULT", "DETAIL");
        for (const auto& r : sum.rows) {
            std::string addr = r.address.empty() ? "-" : r.address + ":" + std::to_string(r.port);
            std::fprintf(out, "%-24s %-21s %-*s %s\n", printable(r.name).c_str(), addr.c_str(), width, r.result.c_str(),
                         printable(detail_of(r)).c_str());
        }
    }
    std::fflush(out);
}

// The report is written whole or not at all, and never in place of anything but a report.
std::string write_report(const std::string& path, const Summary& sum)
{
    return replace_file(path, [&sum](FILE* f) {
        print_json(f, sum);
        return !std::ferror(f);
    });
}

std::string utc_now_text() { return utc_text(wall_clock_now()); }

// ---- the command on the fleet runner ------------------------------------------------------

namespace {

// What one recorder's run has to show: its progress lines and its summary row.
struct RecorderRun {
    Recorder rec;
    FleetWording wording = FleetWording::kRequest;
    int last_percent = -1;  // the last progress line's
    int percent = -1;       // the pending upload's progress
    int pending = -1;       // the step whose request is out and not answered yet
    bool told_login_retry = false;
    std::vector<StepResult> steps;
    std::string message;
    int64_t started_at = -1;               // ms of the monotonic clock
    int64_t login_ms = -1, total_ms = -1;  // from started_at
};

int64_t now_ms() { return static_cast<int64_t>(get_tick_ms()); }

std::string sent_text(const jobs::Step& s, FleetWording wording)
{
    std::string name = jobs::step_name(s.kind);
    if (wording == FleetWording::kRequest)
        return name + " sent";
    if (s.kind == jobs::kStepReboot)
        return "rebooting";
    if (!s.factory)
        return name + " uploading";
    return name +
        (s.kind == jobs::kStepBootPicture ? " uploading the built-in picture" : " restoring the factory picture");
}

// The line that ends a recorder's progress.
void tell_end(const RecorderRun& run, int result)
{
    const bool ok = result == jobs::kJobOk;
    progress_line(run.rec.name,
                  ok ? "done"
                     : std::string(jobs::job_result_text(result)) + (run.message.empty() ? "" : ": " + run.message));
}

// The recorder's news as progress lines and summary steps.
void tell(RecorderRun& run, const jobs::Job& job, const jobs::JobNews& n)
{
    const std::string& name = run.rec.name;
    const bool sequence = run.wording == FleetWording::kSequence;
    std::string step = n.step >= 0 ? jobs::step_name(n.step_kind) : "";
    switch (n.kind) {
    case jobs::kNewsLoginRetry:
        if (n.value == IPC_LOGIN_CONNECT_FAILED && job.connect_failures() == 1)
            progress_line(name, "cannot connect, retrying");
        else if (n.value != IPC_LOGIN_CONNECT_FAILED && !run.told_login_retry) {
            run.told_login_retry = true;
            progress_line(name,
                          std::string(n.value == IPC_LOGIN_BAD_ANSWER ? "bad login answer" : "no login answer") +
                              ", retrying");
        }
        break;
    case jobs::kNewsLoggedIn:
        if (run.login_ms < 0)
            run.login_ms = now_ms() - run.started_at;
        progress_line(name, "logged in");
        break;
    case jobs::kNewsStepSent:
        run.last_percent = -1;
        run.percent = -1;
        run.pending = n.step;
        progress_line(name, sent_text(job.steps()[static_cast<size_t>(n.step)], run.wording));
        break;
    case jobs::kNewsStepUnsent:
        run.pending = -1;
        run.steps.push_back({step, false, false, 0, "request not sent"});
        if (sequence && jobs::is_picture_step(n.step_kind) && n.value == static_cast<int>(jobs::Unsent::kSkip))
            progress_line(name, step + " request not sent");
        break;
    case jobs::kNewsStepProgress:
        run.percent = std::max(run.percent, static_cast<int>(n.value));
        if (progress_worth_showing(n.value, run.last_percent))
            progress_line(name, step + " " + std::to_string(n.value) + "%");
        break;
    case jobs::kNewsStepAnswered: {
        run.pending = -1;
        int v = n.value;
        std::string detail;
        if (!n.ok) {
            if (!sequence)
                detail = jobs::request_refusal(n.step_kind, v);
            else if (n.step_kind == jobs::kStepReboot)
                detail = "refused with " + std::to_string(v);
            else
                detail = jobs::upload_result_text(v, "picture");
        }
        run.steps.push_back({step, n.ok, n.has_value, v, detail});
        if (sequence && jobs::is_picture_step(n.step_kind)) {
            bool factory = job.steps()[static_cast<size_t>(n.step)].factory;
            progress_line(name, step + (n.ok ? (factory ? " restored" : " accepted") : " " + detail));
        }
        break;
    }
    case jobs::kNewsFinished: {
        if (run.started_at >= 0)
            run.total_ms = now_ms() - run.started_at;
        run.message = jobs::job_message(job);
        if (run.pending >= 0 && static_cast<size_t>(run.pending) < job.steps().size()) {
            // The step it was in when it ended stays in the row, with how far it got.
            const std::string pending = jobs::step_name(job.steps()[static_cast<size_t>(run.pending)].kind);
            run.steps.push_back({pending, false, false, 0,
                                 run.percent >= 0 ? "reached " + std::to_string(run.percent) + " %"
                                                  : std::string("sent, not answered")});
            run.pending = -1;
        }
        // A recorder that was started says so once its history record is written (the runner's
        // ended hook), so that every recorder said to be done is in the history whatever
        // happens to the tool after.
        if (!job.started())
            tell_end(run, job.result());
        break;
    }
    default: break;
    }
}

jobs::Target login_target(const Recorder& r) { return {r.address, r.port, r.user, r.password}; }

// The link's diagnostic lines on standard error with --verbose, nowhere otherwise.
void route_link_log(bool verbose) { log_set_sink(verbose ? log_sink_to_debug : nullptr); }

}  // namespace

namespace {

// --retry-failed: the options with the report's failed recorders chosen. kExitOk, kExitUsage
// after a message, or -1 when nothing failed (after a line saying so).
int choose_failed(const char* command, const FleetOptions& given, FleetOptions& o)
{
    o = given;
    FleetReport report;
    std::string why = read_fleet_report(given.retry_failed, report);
    if (!why.empty())
        return usage_error(command, "--retry-failed " + given.retry_failed + ": " + why);
    if (report.command != command)
        return usage_error(command,
                           "--retry-failed " + given.retry_failed + " is a report of '" + report.command +
                               "', not of '" + command + "'");
    std::vector<std::string> serials;
    std::vector<TargetAddress> targets;
    for (const ReportEntry& e : report.recorders) {
        if (e.ok)
            continue;
        TargetAddress t;
        if (!e.serial.empty()) {
            serials.push_back(e.serial);
        } else if (parse_target_address(e.address + ":" + std::to_string(e.port), t)) {
            targets.push_back(t);
        } else {
            return usage_error(command,
                               "--retry-failed " + given.retry_failed + ": the failed recorder '" + e.name +
                                   "' has neither a serial number nor an address");
        }
    }
    if (!serials.empty() && !targets.empty())
        return usage_error(command,
                           "--retry-failed " + given.retry_failed +
                               " mixes searched recorders and --target addresses; retry them apart");
    if (serials.empty() && targets.empty()) {
        std::fprintf(stderr, "dravlinctl %s: no recorder failed in %s; nothing to retry\n", command,
                     given.retry_failed.c_str());
        return -1;
    }
    o.serials.clear();
    o.targets.clear();
    for (const std::string& s : serials)
        if (std::find(o.serials.begin(), o.serials.end(), s) == o.serials.end())
            o.serials.push_back(s);
    for (const TargetAddress& t : targets)
        if (std::none_of(o.targets.begin(), o.targets.end(),
                         [&](const TargetAddress& x) { return x.ip == t.ip && x.port == t.port; }))
            o.targets.push_back(t);
    o.retry_failed.clear();
    if (!o.targets.empty() && !password_from_environment(o, why) && !why.empty())
        return usage_error(command, why);
    if (!o.targets.empty() && (!o.have_user || !o.have_password))
        return usage_error(command,
                           "the failed recorders of " + given.retry_failed +
                               " were given with --target: give --user and --password again");
    why = check_fleet_options(o, kRunFleetOptions);
    if (!why.empty())
        return usage_error(command, why);
    std::fprintf(stderr, "dravlinctl %s: retrying the %zu failed recorder(s) of %s\n", command,
                 o.serials.size() + o.targets.size(), given.retry_failed.c_str());
    return kExitOk;
}

}  // namespace

int run_fleet(const char* command, const FleetOptions& given, const std::vector<jobs::Step>& steps,
              FleetWording wording)
{
    Summary sum;
    sum.command = command;
    sum.started = utc_text(wall_clock_now());
    if (!given.report.empty()) {
        std::string why = report_path_problem(given.report);
        if (!why.empty())
            return usage_error(command, "--report " + given.report + " cannot be written: " + why);
    }
    // From here every run writes its report, and a signal ends it in order.
    InterruptScope scope;
    auto finish = [&](int code) {
        sum.ended = utc_text(wall_clock_now());
        if (!given.report.empty()) {
            std::string why = write_report(given.report, sum);
            if (!why.empty()) {
                std::fprintf(stderr, "dravlinctl %s: the report %s could not be written: %s\n", command,
                             given.report.c_str(), why.c_str());
                code = code == kExitOk ? kExitFailed : code;
            }
        }
        if (int sig = interrupt_signal()) {
            std::fprintf(stderr, "dravlinctl %s: stopped by %s\n", command, sig == SIGINT ? "SIGINT" : "SIGTERM");
            return 128 + sig;
        }
        return code;
    };
    FleetOptions o = given;
    if (!given.retry_failed.empty()) {
        int r = choose_failed(command, given, o);
        if (r == -1) {
            // Nothing to do is a success; the report says so too, for a script that chains retries.
            if (o.json)
                print_summary(stdout, true, sum);
            return finish(kExitOk);
        }
        if (r != kExitOk)
            return r;
    }

    ConsoleGuard guard(o.verbose);
    route_link_log(o.verbose);
    RunHistory hist(command, o, steps);

    FleetChoice choice;
    if (!o.watch) {
        int r = choose_recorders(command, o, choice, SIZE_MAX);
        if (r != kExitOk) {
            sum.all_ok = false;
            sum.history = hist.problem();
            return finish(r);
        }
        if (choice.recorders.empty() && choice.missing.empty() && choice.unusable.empty()) {
            std::fprintf(stderr, "dravlinctl %s: no recorder found\n", command);
            sum.all_ok = false;
            hist.finish(0, 0, 0);
            sum.history = hist.problem();
            if (o.json)
                print_summary(stdout, true, sum);
            return finish(kExitFailed);
        }
    }

    std::vector<std::unique_ptr<RecorderRun>> runs;
    std::vector<int> results;
    int skipped = 0;  // --watch: recorders the history shows as done
    {
        jobs::RunnerLinkPort port;
        if ((o.watch || !choice.recorders.empty()) && !port.init()) {
            std::fprintf(stderr, "dravlinctl %s: the link table could not be allocated\n", command);
            sum.all_ok = false;
            return finish(kExitFailed);
        }
        jobs::Runner runner(port, port);
        runner.set_parallel(static_cast<int>(o.parallel));
        runner.set_ended_hook(hist.hook());
        const jobs::JobPolicy policy = jobs::JobPolicy::tool(o.timeout_seconds * 1000);
        std::vector<jobs::JobId> ids;
        auto submit = [&](Recorder rec, size_t total) {
            auto run = std::make_unique<RecorderRun>();
            run->rec = std::move(rec);
            run->wording = wording;
            RecorderRun* rp = run.get();
            const size_t index = runs.size();
            jobs::JobOrder order;
            order.target = login_target(rp->rec);
            order.steps = steps;
            order.policy = policy;
            order.label = hist.label_of(rp->rec);
            order.news = [rp](const jobs::Job& job, const jobs::JobNews& n) { tell(*rp, job, n); };
            order.on_ended = [rp](int result) { tell_end(*rp, result); };
            order.before_start = [rp, index, total, &o](jobs::Job& job) {
                rp->started_at = now_ms();
                std::string line = "logging in to " + rp->rec.address + ":" + std::to_string(rp->rec.port);
                // Beyond the first wave, say which link it took, so a long run shows it moving.
                if (index >= static_cast<size_t>(o.parallel))
                    line += " (" + std::to_string(index + 1) + (total ? " of " + std::to_string(total) : "") +
                        ", link " + std::to_string(job.chanid()) + ")";
                progress_line(rp->rec.name, line);
            };
            ids.push_back(runner.submit(std::move(order)));
            runs.push_back(std::move(run));
        };
        const size_t chosen = choice.recorders.size();
        for (Recorder& rec : choice.recorders)
            submit(std::move(rec), chosen);
        choice.recorders.clear();
        // A signal from here on stops the runner; one that came during the search already has.
        scope.set([&runner] { runner.request_interrupt(kStopGraceSeconds * 1000); });
        if (interrupt_signal())
            runner.request_interrupt(kStopGraceSeconds * 1000);
        if (o.watch) {
            const int r = watch_recorders(command, o, runner, port, hist, ids, skipped,
                                          [&](Recorder rec) { submit(std::move(rec), 0); });
            if (r != kExitOk) {
                sum.all_ok = false;
                runner.request_interrupt(0);
            }
        }
        runner.run();
        // Every recorder's record written (and its line said) before the summary.
        hist.drain();
        if (o.watch)
            print_watch_tally(runner, ids);
        scope.set(nullptr);
        for (jobs::JobId id : ids) {
            const jobs::Job* job = runner.job(id);
            results.push_back(job && job->finished() ? job->result() : jobs::kJobNotStarted);
        }
        port.logout_all();
    }
    guard.restore();

    int succeeded = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const RecorderRun& run = *runs[i];
        SummaryRow row;
        row.name = run.rec.name;
        row.serial = run.rec.serial;
        row.address = run.rec.address;
        row.port = run.rec.port;
        row.ok = results[i] == jobs::kJobOk;
        row.result = jobs::job_result_text(results[i]);
        row.message = run.message;
        row.login_ms = run.login_ms;
        row.total_ms = run.total_ms;
        row.steps = run.steps;
        sum.all_ok = sum.all_ok && row.ok;
        succeeded += row.ok;
        sum.rows.push_back(std::move(row));
    }
    for (const auto& [serial, why] : choice.unusable) {
        SummaryRow row;
        row.name = serial;
        row.serial = serial;
        row.result = "bad answer";
        row.message = why;
        sum.all_ok = false;
        sum.rows.push_back(std::move(row));
    }
    for (const auto& s : choice.missing) {
        SummaryRow row;
        row.name = s;
        row.serial = s;
        row.result = "not found";
        row.message = "no answer to the search";
        sum.all_ok = false;
        sum.rows.push_back(std::move(row));
    }
    if (o.watch && sum.rows.empty() && skipped == 0)
        sum.all_ok = false;  // nothing appeared
    hist.finish(static_cast<int>(runs.size()), succeeded, static_cast<int>(runs.size()) - succeeded);
    sum.history = hist.problem();
    sum.ended = utc_text(wall_clock_now());
    print_summary(stdout, o.json, sum);
    std::fprintf(stderr, "%d of %zu recorder(s) succeeded%s\n", succeeded, sum.rows.size(),
                 skipped ? (", " + std::to_string(skipped) + " done before (history)").c_str() : "");
    return finish(sum.all_ok ? kExitOk : kExitFailed);
}

}  // namespace dravlinctl

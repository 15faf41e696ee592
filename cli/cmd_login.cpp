// dravlinctl login: log in to the chosen recorders over the control link (a login check job
// each), print every link event per recorder as it arrives, then log out.
#include "cli/command.h"
#include "cli/fleet.h"
#include "jobs/runner.h"
#include "util/log.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

const char* failure_text(int result)
{
    switch (result) {
    case jobs::kJobLinkLost: return "link lost after the login";
    case jobs::kJobNoLoginAnswer: return "the recorder did not answer the login";
    case jobs::kJobBadLoginAnswer: return "the recorder's login answer is not a valid frame";
    case jobs::kJobLoginRefused: return "the recorder refused the account";
    default: return "not logged in (could not connect)";
    }
}

int run_login(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {}); !twice.empty())
        return dravlinctl::usage_error("login", twice);
    FleetOptions o;
    long seconds = 15;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        // Here --seconds is how long to stay logged in; the search time is --search-seconds.
        int r = parse_fleet_option(args, i, o, err, SharedOptionSet{false, false, false});
        if (r < 0)
            return usage_error("login", err);
        if (r > 0)
            continue;
        const std::string& a = args[i];
        if (a == "--seconds" || a == "--search-seconds") {
            long v;
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 1, 86400, v))
                return usage_error("login", a + " needs a whole number from 1 to 86400");
            ++i;
            (a == "--seconds" ? seconds : o.search_seconds) = v;
        } else {
            return usage_error("login", "unknown option '" + a + "'");
        }
    }
    std::string err = check_fleet_options(o);
    if (!err.empty())
        return usage_error("login", err);

    ConsoleGuard guard(o.verbose);
    log_set_sink(o.verbose ? log_sink_to_debug : nullptr);
    FleetChoice choice;
    int r = choose_recorders("login", o, choice);
    if (r != kExitOk)
        return r;
    FILE* out = stdout;
    int failures = 0;
    for (const auto& w : choice.missing) {
        std::fprintf(out, "%s not found\n", w.c_str());
        ++failures;
    }
    for (const auto& [serial, why] : choice.unusable) {
        std::fprintf(out, "%s not used: %s\n", serial.c_str(), why.c_str());
        ++failures;
    }
    if (choice.recorders.empty() && choice.missing.empty() && choice.unusable.empty()) {
        std::fprintf(stderr, "dravlinctl login: no recorder found\n");
        return kExitFailed;
    }

    std::vector<int> results;
    {
        jobs::RunnerLinkPort port;
        if (!choice.recorders.empty() && !port.init()) {
            std::fprintf(stderr, "dravlinctl login: the link table could not be allocated\n");
            return kExitFailed;
        }
        jobs::Runner runner(port, port);
        // A login check: the link must stay up for the whole time, so a loss after the login
        // fails the recorder even when the link logs in again.
        jobs::JobPolicy check;
        check.hold_ms = seconds * 1000;
        std::vector<jobs::JobId> ids;
        for (const Recorder& rec : choice.recorders) {
            jobs::JobOrder order;
            order.target = {rec.address, rec.port, rec.user, rec.password};
            order.policy = check;
            order.before_start = [&rec, out](jobs::Job&) {
                std::fprintf(out, "%s login %s:%d\n", rec.name.c_str(), rec.address.c_str(), rec.port);
                std::fflush(out);
            };
            order.on_event = [&rec, out](const jobs::Job&, const jobs::LinkEvent& ev) {
                std::string line = rec.name + " event " + std::to_string(ev.code);
                // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on " " + a temporary.
                if (ev.has_value)
                    line.append(" ").append(std::to_string(ev.value));
                else if (!ev.text.empty())
                    line.append(" ").append(ev.text);
                std::fprintf(out, "%s\n", line.c_str());
                std::fflush(out);
            };
            ids.push_back(runner.submit(std::move(order)));
        }
        runner.run();
        for (jobs::JobId id : ids)
            results.push_back(runner.job(id)->result());
        port.logout_all();
    }
    guard.restore();

    int ok = 0;
    for (size_t k = 0; k < choice.recorders.size(); ++k) {
        if (results[k] == jobs::kJobOk) {
            ++ok;
            continue;
        }
        ++failures;
        std::fprintf(stderr, "%s failed: %s\n", choice.recorders[k].name.c_str(), failure_text(results[k]));
    }
    std::fprintf(stderr, "%d of %zu recorder(s) logged in\n", ok, choice.recorders.size());
    return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("login", "log in to recorders over the control link and show the link events",
                "Usage: dravlinctl login [--serial S ... | --target IP[:PORT] ... --user U --password P]\n"
                "                        [--seconds N] [--search-seconds N] [--verbose]\n"
                "\n"
                "The password may also come from --password-file FILE (its first line) or DRAVLIN_PASSWORD.\n"
                "\n"
                "Searches the LAN (up to --search-seconds, default 3, or until every --serial answered),\n"
                "then logs in to the chosen recorders (default: all found, at most 64) with the first\n"
                "account and the control port of their search answers; --target logs in to the given\n"
                "addresses instead, without any search. Every link event is printed as\n"
                "'<recorder> event <code> [value]' when it arrives; after N seconds (default 15) all links\n"
                "are logged out. Exit status 0 when every chosen recorder reported event 4 (logged in) and\n"
                "its link stayed up for the whole N seconds; a failure's reason goes to standard error.\n",
                dravlinctl::run_login);

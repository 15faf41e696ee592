// dravlinctl login: log in to the chosen recorders over the control link, print every link
// event per recorder as it arrives, then log out.
#include "cli/command.h"
#include "cli/fleet.h"
#include "link/link.h"
#include "util/log.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_login(const std::vector<std::string>& args)
{
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

    StdoutGuard guard(o.verbose);
    watch_link_log(o.verbose);
    FleetChoice choice;
    int r = choose_recorders("login", o, choice);
    if (r != kExitOk)
        return r;
    FILE* out = guard.out();
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

    std::vector<bool> logged_in(choice.recorders.size(), false);
    std::vector<std::string> why(choice.recorders.size());  // why a recorder failed, "" while fine
    {
        FleetLinks links;
        if (!choice.recorders.empty() && !links.init()) {
            std::fprintf(stderr, "dravlinctl login: the link table could not be allocated\n");
            return kExitFailed;
        }
        for (size_t i = 0; i < choice.recorders.size(); ++i) {
            const Recorder& rec = choice.recorders[i];
            std::fprintf(out, "%s login %s:%d\n", rec.name.c_str(), rec.address.c_str(), rec.port);
            std::fflush(out);
            if (!links.login(static_cast<int>(i), rec))
                ++failures;
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            if (now >= end)
                break;
            LinkEvent ev;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            if (!links.next(ev, std::max(left, std::chrono::milliseconds(1))))
                continue;
            if (ev.chanid < 0 || ev.chanid >= static_cast<int>(choice.recorders.size()))
                continue;
            size_t k = static_cast<size_t>(ev.chanid);
            if (ev.code == IPC_EVENT_LOGIN_OK) {
                logged_in[k] = true;
            } else if (ev.code == IPC_EVENT_DISCONNECTED || ev.code == IPC_EVENT_LOGIN_FAIL) {
                // The link must stay up for the whole time: a loss after the login fails the
                // recorder even when the link logs in again.
                if (logged_in[k] && why[k].empty())
                    why[k] = "link lost after the login";
                else if (!logged_in[k] && ev.login_problem == kLoginProblemNoAnswer)
                    why[k] = "the recorder did not answer the login";
                else if (!logged_in[k] && ev.login_problem == kLoginProblemBadFrame)
                    why[k] = "the recorder's login answer is not a valid frame";
                else if (!logged_in[k] && ev.code == IPC_EVENT_LOGIN_FAIL)
                    why[k] = "the recorder refused the account";
            }
            std::string line = choice.recorders[static_cast<size_t>(ev.chanid)].name + " event " + std::to_string(ev.code);
            if (ev.has_value)
                line += " " + std::to_string(ev.value);
            else if (!ev.text.empty())
                line += " " + ev.text;
            std::fprintf(out, "%s\n", line.c_str());
            std::fflush(out);
        }
    }
    guard.restore();

    int ok = 0;
    for (size_t k = 0; k < choice.recorders.size(); ++k) {
        if (logged_in[k] && why[k].empty()) {
            ++ok;
            continue;
        }
        ++failures;
        std::fprintf(stderr, "%s failed: %s\n", choice.recorders[k].name.c_str(),
                     why[k].empty() ? "not logged in (could not connect)" : why[k].c_str());
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
                "Searches the LAN (up to --search-seconds, default 3, or until every --serial answered),\n"
                "then logs in to the chosen recorders (default: all found, at most 64) with the first\n"
                "account and the control port of their search answers; --target logs in to the given\n"
                "addresses instead, without any search. Every link event is printed as\n"
                "'<recorder> event <code> [value]' when it arrives; after N seconds (default 15) all links\n"
                "are logged out. Exit status 0 when every chosen recorder reported event 4 (logged in) and\n"
                "its link stayed up for the whole N seconds; a failure's reason goes to standard error.\n",
                dravlinctl::run_login);

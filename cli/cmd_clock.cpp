// dravlinctl clock: broadcast this PC's clock to the recorders for a while.
#include "cli/command.h"
#include "cli/fleet.h"
#include "discovery/sendtime.h"
#include "util/log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

int run_clock(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {}); !twice.empty())
        return dravlinctl::usage_error("clock", twice);
    long seconds = -1;
    bool verbose = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--seconds") {
            if (i + 1 >= args.size())
                return dravlinctl::usage_error("clock", "--seconds needs a number");
            char* end = nullptr;
            seconds = std::strtol(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end != '\0' || seconds < 1 || seconds > 86400)
                return dravlinctl::usage_error("clock", "--seconds needs a whole number from 1 to 86400");
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            return dravlinctl::usage_error("clock", "unknown option '" + a + "'");
        }
    }
    if (seconds < 0)
        return dravlinctl::usage_error("clock", "--seconds is required");
    if (verbose)
        log_set_sink(log_sink_to_debug);
    if (startSendtimeFor(seconds) != 1) {
        std::fprintf(stderr, "dravlinctl clock: the clock broadcast could not be started\n");
        return dravlinctl::kExitFailed;
    }
    // One datagram goes out at the start and one at each change of the PC's second; a second
    // more than that lets a late one still go out before the thread is stopped.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 1);
    while (sendtime_sent() < seconds && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int why = sendtime_send_errno();
    stopSendtime();
    long sent = sendtime_sent();
    if (sent < seconds) {
        std::fprintf(stderr, "dravlinctl clock: %ld of %ld clock datagram(s) went out%s%s\n", sent, seconds,
                     why ? ": " : "", why ? log_error_text(why) : "");
        return dravlinctl::kExitFailed;
    }
    std::fprintf(stderr, "%ld clock datagram(s) sent\n", sent);
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("clock", "broadcast this PC's local time to the recorders once a second",
                "Usage: dravlinctl clock --seconds N [--verbose]\n"
                "\n"
                "Broadcasts the PC's local time (no time zone) to every recorder on the LAN once per\n"
                "second, N datagrams in all. Only for production networks without Internet access, with\n"
                "a correct PC clock, and only from one PC at a time. Exit status 1, with the system's\n"
                "reason, when fewer than N datagrams could be sent.\n"
                "\n"
                "  --seconds N   how many datagrams, one a second (1 to 86400)\n"
                "  --verbose     diagnostic lines (each message sent) on standard error\n",
                run_clock);

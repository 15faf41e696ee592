// dravlinctl clock: broadcast this PC's clock to the recorders for a while.
#include "cli/command.h"
#include "discovery/sendtime.h"
#include "util/log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

int run_clock(const std::vector<std::string>& args)
{
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
    if (startSendtime() != 1) {
        std::fprintf(stderr, "dravlinctl clock: the clock broadcast could not be started\n");
        return dravlinctl::kExitFailed;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stopSendtime();
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("clock", "broadcast this PC's local time to the recorders once a second",
                "Usage: dravlinctl clock --seconds N [--verbose]\n"
                "\n"
                "Broadcasts the PC's local time (no time zone) to every recorder on the LAN once per\n"
                "second for N seconds. Only for production networks without Internet access, with a\n"
                "correct PC clock, and only from one PC at a time.\n"
                "\n"
                "  --seconds N   how long to broadcast (1 to 86400)\n"
                "  --verbose     diagnostic lines (each message sent) on standard error\n",
                run_clock);

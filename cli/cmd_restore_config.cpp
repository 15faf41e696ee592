// dravlinctl restore-config: ask the recorder with a given serial number to restore its
// configuration.
#include "cli/command.h"
#include "cli/fleet.h"
#include "discovery/reconfig.h"
#include "discovery/search.h"
#include "util/log.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

int run_restore_config(const std::vector<std::string>& args)
{
    const char* cmd = "restore-config";
    if (std::string twice = dravlinctl::repeated_option(args, {"--serial"}); !twice.empty())
        return dravlinctl::usage_error(cmd, twice);
    std::string serial;
    bool have_serial = false, verbose = false;
    long seconds = 3;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--serial") {
            if (i + 1 >= args.size())
                return dravlinctl::usage_error(cmd, "--serial needs a value");
            serial = args[++i];
            have_serial = true;
        } else if (a == "--seconds") {
            if (i + 1 >= args.size() || !dravlinctl::parse_long(args[i + 1], 1, 3600, seconds))
                return dravlinctl::usage_error(cmd, "--seconds needs a whole number from 1 to 3600");
            ++i;
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            return dravlinctl::usage_error(cmd, "unknown option '" + a + "'");
        }
    }
    if (!have_serial)
        return dravlinctl::usage_error(cmd, "--serial is required");
    if (serial.empty() || serial.size() > 32)
        return dravlinctl::usage_error(cmd, "--serial needs 1 to 32 characters");
    std::string why = dravlinctl::xml_text_problem(serial);
    if (!why.empty())
        return dravlinctl::usage_error(cmd, "--serial: " + why);
    if (verbose)
        log_set_sink(log_sink_to_debug);
    // As set-network: only a recorder that answers the search is sent anything.
    auto rec = std::make_unique<IPCSearchInfo>();
    std::string error;
    int found = dravlinctl::find_one_recorder(serial, seconds, rec.get(), error);
    if (found < 0) {
        std::fprintf(stderr, "dravlinctl %s: %s; nothing was sent\n", cmd, error.c_str());
        return dravlinctl::kExitFailed;
    }
    if (found == 0) {
        std::fprintf(
            stderr,
            "dravlinctl %s: no recorder with serial number %s answered the search within %ld s; nothing was sent\n",
            cmd, serial.c_str(), seconds);
        return dravlinctl::kExitFailed;
    }
    errno = 0;
    int r = restore_ipcconfig(serial.c_str());
    if (r != 1) {
        const int e = errno;
        std::fprintf(stderr, "dravlinctl restore-config: the request could not be sent (%d): %s\n", r,
                     log_error_text(e ? e : EIO));
        return dravlinctl::kExitFailed;
    }
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("restore-config", "ask one recorder (by serial number) to restore its configuration",
                "Usage: dravlinctl restore-config --serial S [--seconds N] [--verbose]\n"
                "\n"
                "Searches the LAN (up to N seconds, default 3) for the recorder with serial number S, then\n"
                "broadcasts one restore request that only that recorder takes. Recorders do not answer.\n"
                "Exit status 1 when the recorder did not answer the search (nothing is sent) or the\n"
                "request could not be broadcast (with the system's reason); 2 for bad arguments.\n",
                run_restore_config);

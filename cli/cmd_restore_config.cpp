// dravlinctl restore-config: ask the recorder with a given serial number to restore its
// configuration.
#include "cli/command.h"
#include "cli/fleet.h"
#include "discovery/reconfig.h"
#include "util/log.h"

#include <cstdio>

namespace {

int run_restore_config(const std::vector<std::string>& args)
{
    const char* cmd = "restore-config";
    std::string serial;
    bool have_serial = false, verbose = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--serial") {
            if (i + 1 >= args.size())
                return dravlinctl::usage_error(cmd, "--serial needs a value");
            serial = args[++i];
            have_serial = true;
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
    int r = restore_ipcconfig(serial.c_str());
    if (r != 1) {
        std::fprintf(stderr, "dravlinctl restore-config: the request could not be sent (%d)\n", r);
        return dravlinctl::kExitFailed;
    }
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("restore-config", "ask one recorder (by serial number) to restore its configuration",
                "Usage: dravlinctl restore-config --serial S [--verbose]\n"
                "\n"
                "Broadcasts one restore request on the LAN; only the recorder with serial number S\n"
                "takes it. Recorders do not answer.\n",
                run_restore_config);

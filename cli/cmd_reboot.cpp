// dravlinctl reboot: ask recorders to restart.
#include "cli/command.h"
#include "cli/fleet.h"

#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_reboot(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {}); !twice.empty())
        return dravlinctl::usage_error("reboot", twice);
    FleetOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error("reboot", err);
        if (r == 0)
            return usage_error("reboot", "unknown option '" + args[i] + "'");
    }
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error("reboot", err);
    return run_fleet("reboot", o, {jobs::Step::reboot()}, FleetWording::kRequest);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("reboot", "restart recorders",
                "Usage: dravlinctl reboot [--timeout SECONDS] [recorder options]\n"
                "\n"
                "Logs in to every chosen recorder in parallel and asks it to reboot. A recorder succeeds\n"
                "when it answers the request with success.\n"
                "\n"
                "  --timeout SECONDS    time for one recorder, login included (default 15)\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_reboot);

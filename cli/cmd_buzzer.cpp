// dravlinctl buzzer: allow or forbid the recorder's users to operate the buzzer button (for
// recorders that had a buzzer fitted after leaving the factory).
#include "cli/command.h"
#include "cli/fleet.h"

#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_buzzer(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--enable"}); !twice.empty())
        return dravlinctl::usage_error("buzzer", twice);
    FleetOptions o;
    long enable = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error("buzzer", err);
        if (r > 0)
            continue;
        if (args[i] == "--enable") {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 0, 1, enable))
                return usage_error("buzzer", "--enable needs 0 or 1");
            ++i;
        } else {
            return usage_error("buzzer", "unknown option '" + args[i] + "'");
        }
    }
    if (enable < 0)
        return usage_error("buzzer", "--enable 0|1 is required");
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error("buzzer", err);
    return run_fleet("buzzer", o, {jobs::Step::buzzer(static_cast<int>(enable))}, FleetWording::kRequest);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("buzzer", "allow or forbid the recorders' buzzer button",
                "Usage: dravlinctl buzzer --enable 0|1 [--timeout SECONDS] [recorder options]\n"
                "\n"
                "Sends the buzzer-button setting to every chosen recorder in parallel: 1 lets the\n"
                "recorder's users operate the buzzer button, 0 does not. A recorder succeeds when it\n"
                "answers that the setting was made; recorders that do not support it fail.\n"
                "\n"
                "  --enable 0|1         the setting (required)\n"
                "  --timeout SECONDS    time for one recorder, login included (default 15)\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_buzzer);

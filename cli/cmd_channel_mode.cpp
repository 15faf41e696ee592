// dravlinctl channel-mode: set the recorders' default channel-expansion mode (the recorder
// restarts to apply it).
#include "cli/command.h"
#include "cli/fleet.h"

#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_channel_mode(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--mode"}); !twice.empty())
        return dravlinctl::usage_error("channel-mode", twice);
    FleetOptions o;
    long mode = -1;
    bool lock = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error("channel-mode", err);
        if (r > 0)
            continue;
        if (args[i] == "--mode") {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 0, 4, mode))
                return usage_error("channel-mode", "--mode needs a number from 0 to 4");
            ++i;
        } else if (args[i] == "--lock") {
            lock = true;
        } else {
            return usage_error("channel-mode", "unknown option '" + args[i] + "'");
        }
    }
    if (mode < 0)
        return usage_error("channel-mode", "--mode 0..4 is required");
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error("channel-mode", err);
    int ctrl_enable = lock ? 0 : 1;
    return run_fleet("channel-mode", o, {jobs::Step::channel_add_mode(ctrl_enable, static_cast<int>(mode))},
                     FleetWording::kRequest);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("channel-mode", "set the recorders' channel-expansion mode (they restart)",
                "Usage: dravlinctl channel-mode --mode 0..4 [--lock] [--timeout SECONDS] [recorder options]\n"
                "\n"
                "Sends the default channel-add mode to every chosen recorder in parallel; a recorder that\n"
                "accepts it restarts. The mode's channel counts depend on the model, e.g. for QV5232C:\n"
                "0 = 16, 1 = 25, 2 = 32, 3 = 9, 4 = 4 channels.\n"
                "\n"
                "  --mode 0..4          the channel-add mode (required)\n"
                "  --lock               forbid the recorder's users to change the channel configuration\n"
                "  --timeout SECONDS    time for one recorder, login included (default 15)\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_channel_mode);

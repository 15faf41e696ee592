// dravlinctl format-disk: format one disk of each chosen recorder (a production line's last
// step before shipping). Everything recorded on that disk is lost, so the command does nothing
// without --yes.
#include "cli/command.h"
#include "cli/fleet.h"

#include <string>
#include <vector>

namespace dravlinctl {
namespace {

const char* const kCmd = "format-disk";

int run_format_disk(const std::vector<std::string>& args)
{
    if (std::string twice = repeated_option(args, {"--disk"}); !twice.empty())
        return usage_error(kCmd, twice);
    FleetOptions o;
    int disk = -1;
    bool yes = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--yes") {
            yes = true;
            continue;
        }
        if (args[i] == "--disk") {
            if (i + 1 >= args.size())
                return usage_error(kCmd, "--disk needs a value");
            const std::string& d = args[++i];
            // The recorder's own names of its disks, in the order of the request's disk number.
            disk = d == "sd1" ? 0 : d == "sd2" ? 1 : d == "usb" ? 2 : -1;
            if (disk < 0)
                return usage_error(kCmd, "--disk needs sd1, sd2 or usb, not '" + printable(d) + "'");
            continue;
        }
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error(kCmd, err);
        if (r == 0)
            return usage_error(kCmd, "unknown option '" + args[i] + "'");
    }
    if (disk < 0)
        return usage_error(kCmd, "--disk is required (sd1, sd2 or usb)");
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error(kCmd, err);
    if (!yes)
        return usage_error(kCmd, "formatting erases the recordings on the disk; add --yes");
    return run_fleet(kCmd, o, {jobs::Step::format_disk(disk)}, FleetWording::kRequest);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("format-disk", "format a disk of recorders (erases its recordings)",
                "Usage: dravlinctl format-disk --disk sd1|sd2|usb --yes [--timeout SECONDS] [recorder options]\n"
                "\n"
                "Logs in to every chosen recorder in parallel and asks it to format the disk named by\n"
                "--disk: the first or second internal disk, or the USB disk. A recorder succeeds when it\n"
                "answers the request with success; a recorder without that disk refuses.\n"
                "Everything recorded on the disk is lost: without --yes nothing is searched or sent\n"
                "(exit status 2).\n"
                "\n"
                "  --disk NAME          sd1, sd2 or usb\n"
                "  --yes                the recordings on that disk may go\n"
                "  --timeout SECONDS    time for one recorder, login included (default 15)\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_format_disk);

// dravlinctl upgrade: upload one firmware image to many recorders at once.
#include "cli/command.h"
#include "cli/fleet.h"

#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_upgrade(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--firmware"}); !twice.empty())
        return dravlinctl::usage_error("upgrade", twice);
    FleetOptions o;
    o.timeout_seconds = 600;  // a whole image, then the recorder's own check before its verdict
    std::string firmware;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error("upgrade", err);
        if (r > 0)
            continue;
        if (args[i] == "--firmware") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return usage_error("upgrade", "--firmware needs a file");
            firmware = args[++i];
        } else {
            return usage_error("upgrade", "unknown option '" + args[i] + "'");
        }
    }
    if (firmware.empty())
        return usage_error("upgrade", "--firmware FILE is required");
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error("upgrade", err);
    std::string problem = upload_file_problem(firmware);
    if (!problem.empty()) {
        std::fprintf(stderr, "dravlinctl upgrade: %s: %s\n", firmware.c_str(), problem.c_str());
        return kExitUsage;
    }
    return run_fleet("upgrade", o, {jobs::Step::firmware(firmware)}, FleetWording::kRequest);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("upgrade", "upload a firmware image to recorders",
                "Usage: dravlinctl upgrade --firmware FILE [--timeout SECONDS] [recorder options]\n"
                "\n"
                "Uploads the firmware image (.tgz, .tar.gz or .bin) to every chosen recorder in parallel,\n"
                "showing each one's progress. A recorder succeeds when it reports that it checked and\n"
                "accepted the image.\n"
                "\n"
                "  --firmware FILE      the image (required)\n"
                "  --timeout SECONDS    time for one recorder, login included (default 600); a recorder\n"
                "                       not logged in within 15 s, whose upload makes no progress for 50 s\n"
                "                       (\"stalled\"), or that gives no verdict 50 s after the whole image\n"
                "                       went out (\"no verdict\"), fails sooner\n"
                "\n"
                "The image is sent exactly as long as it was when announced: one that grows or is cut short\n"
                "while it is sent (still being copied) fails that recorder with \"the file changed while it\n"
                "was sent\", and the recorder gets no closing frame for it.\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_upgrade);

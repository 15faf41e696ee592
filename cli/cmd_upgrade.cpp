// dravlinctl upgrade: upload one firmware image to many recorders at once.
#include "cli/command.h"
#include "cli/fleet.h"
#include "link/link.h"
#include "link/transfer.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

int run_upgrade(const std::vector<std::string>& args)
{
    FleetOptions o;
    o.timeout_seconds = 600;  // a whole image, then the recorder's own check before its verdict
    std::string firmware;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err);
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
    std::string err = check_fleet_options(o);
    if (!err.empty())
        return usage_error("upgrade", err);
    if (firmware.size() > 255) {
        std::fprintf(stderr, "dravlinctl upgrade: %s: the path is longer than 255 characters\n", firmware.c_str());
        return kExitUsage;
    }
    // The upload announces its length as a 32-bit count, and an empty image is no firmware.
    struct stat st {};
    FILE* f = std::fopen(firmware.c_str(), "rb");
    if (!f || ::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (f)
            std::fclose(f);
        std::fprintf(stderr, "dravlinctl upgrade: %s: cannot be read as a file\n", firmware.c_str());
        return kExitUsage;
    }
    std::fclose(f);
    if (st.st_size == 0 || st.st_size > INT_MAX) {
        std::fprintf(stderr, "dravlinctl upgrade: %s: %s\n", firmware.c_str(),
                     st.st_size == 0 ? "the file is empty" : "the file is larger than 2 GiB");
        return kExitUsage;
    }
    RequestPlan plan{"firmware",
                     [firmware](int chanid) { return ipc_upload_firmware(chanid, firmware.c_str()) == 0; },
                     IPC_EVENT_UPLOAD_RESULT, [](int v) { return v == 0; },
                     [](int v) {
                         return v == 5 ? std::string("the recorder refused the firmware")
                                       : "the upload failed (" + std::to_string(v) + ")";
                     }};
    return run_fleet("upgrade", o, [&](const Recorder&) { return make_request_job(plan); });
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
                "  --timeout SECONDS    time for one recorder, login included (default 600)\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_upgrade);

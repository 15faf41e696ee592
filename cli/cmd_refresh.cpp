// dravlinctl refresh: the console's maintenance sequence on many recorders at once — log in,
// boot picture, channel background picture, shutdown picture (each uploaded from a file or
// the factory one restored; kinds not given are skipped), then reboot.
#include "cli/command.h"
#include "cli/fleet.h"
#include "imaging/picture_check.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

// The built-in boot picture, loaded once; it must outlive every link that streams it.
FactoryPicture g_factory;

int run_refresh(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--boot", "--channel", "--shutdown"}); !twice.empty())
        return dravlinctl::usage_error("refresh", twice);
    FleetOptions o;
    o.timeout_seconds = 15;
    std::string boot, channel, shutdown;
    bool fboot = false, fchannel = false, fshutdown = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err, kRunFleetOptions);
        if (r < 0)
            return usage_error("refresh", err);
        if (r > 0)
            continue;
        const std::string& a = args[i];
        std::string* path = a == "--boot" ? &boot
            : a == "--channel"            ? &channel
            : a == "--shutdown"           ? &shutdown
                                          : nullptr;
        if (path) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return usage_error("refresh", a + " needs a file");
            *path = args[++i];
        } else if (a == "--factory-boot") {
            fboot = true;
        } else if (a == "--factory-channel") {
            fchannel = true;
        } else if (a == "--factory-shutdown") {
            fshutdown = true;
        } else {
            return usage_error("refresh", "unknown option '" + a + "'");
        }
    }
    if (!boot.empty() && fboot)
        return usage_error("refresh", "choose one of --boot and --factory-boot");
    if (!channel.empty() && fchannel)
        return usage_error("refresh", "choose one of --channel and --factory-channel");
    if (!shutdown.empty() && fshutdown)
        return usage_error("refresh", "choose one of --shutdown and --factory-shutdown");
    if (boot.empty() && channel.empty() && shutdown.empty() && !fboot && !fchannel && !fshutdown)
        return usage_error("refresh",
                           "give at least one picture (--boot, --channel, --shutdown or a --factory-* option)");
    std::string err = check_fleet_options(o, kRunFleetOptions);
    if (!err.empty())
        return usage_error("refresh", err);

    std::vector<jobs::Step> steps;
    struct Given {
        int kind;  // picture check kind
        int step;
        bool factory;
        const std::string& path;
    } given[] = {
        {kPictureBoot, jobs::kStepBootPicture, fboot, boot},
        {kPictureChannel, jobs::kStepChannelPicture, fchannel, channel},
        {kPictureShutdown, jobs::kStepShutdownPicture, fshutdown, shutdown},
    };
    for (const Given& g : given) {
        if (!g.factory && g.path.empty())
            continue;
        if (!g.factory) {
            // Every file is checked before the first request of any recorder: an empty channel or
            // shutdown picture would blank the recorder's picture.
            std::string problem = upload_file_problem(g.path);
            if (!problem.empty()) {
                std::fprintf(stderr, "dravlinctl refresh: %s: %s\n", g.path.c_str(), problem.c_str());
                return kExitUsage;
            }
            PictureCheckReport report;
            int checked;
            {
                // The decoder's trace lines are console lines; keep them out of the summary.
                ConsoleGuard quiet(o.verbose);
                checked = CheckPictureFile(g.kind, g.path.c_str(), nullptr, &report);
            }
            if (checked != kPictureOk) {
                std::fprintf(stderr, "dravlinctl refresh: %s: %s\n", g.path.c_str(), report.message.c_str());
                return kExitUsage;
            }
        }
        if (!g.factory) {
            steps.push_back(jobs::Step::picture_file(g.step, g.path));
            continue;
        }
        if (g.step == jobs::kStepBootPicture && !g_factory.data && LoadFactoryPicture(&g_factory) != 0) {
            std::fprintf(stderr, "dravlinctl refresh: the built-in boot picture could not be loaded\n");
            return kExitFailed;
        }
        steps.push_back(
            jobs::Step::factory_picture(g.step, g.step == jobs::kStepBootPicture ? g_factory.data.get() : nullptr,
                                        g.step == jobs::kStepBootPicture ? static_cast<int>(g_factory.size) : 0));
    }
    steps.push_back(jobs::Step::reboot());
    return run_fleet("refresh", o, steps, FleetWording::kSequence);
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("refresh", "upload or restore the boot, channel and shutdown pictures, then reboot",
                "Usage: dravlinctl refresh [--boot FILE | --factory-boot] [--channel FILE | --factory-channel]\n"
                "                          [--shutdown FILE | --factory-shutdown] [--timeout SECONDS]\n"
                "                          [recorder options]\n"
                "\n"
                "On every chosen recorder in parallel: log in, send the boot picture, the channel background\n"
                "picture and the shutdown picture (kinds not given are skipped), then ask it to reboot.\n"
                "A picture the recorder refuses marks the recorder failed, but the sequence goes on to the\n"
                "reboot. A recorder succeeds when every picture was accepted and it accepted the reboot.\n"
                "\n"
                "  --boot FILE          boot picture: JPEG, at most 240 KB and 1920 x 1080, decodable\n"
                "  --factory-boot       send the built-in factory boot picture instead\n"
                "  --channel FILE       channel background picture (PNG), at most 64 KB\n"
                "  --factory-channel    restore the recorder's factory channel picture\n"
                "  --shutdown FILE      shutdown picture (PNG), at most 64 KB\n"
                "  --factory-shutdown   restore the recorder's factory shutdown picture\n"
                "  --timeout SECONDS    time for one recorder's whole sequence, login included (default 15)\n"
                "\n"
                "Files are checked before anything is sent (readable, not empty, within the kind's limits);\n"
                "a file that fails its check stops the command with exit status 2 and the check's message.\n"
                "A recorder not logged in within 15 s, or whose upload makes no progress for 50 s, fails.\n"
                "\n" DRAVLIN_FLEET_OPTIONS_HELP,
                dravlinctl::run_refresh);

// dravlinctl refresh: the console's maintenance sequence on many recorders at once — log in,
// boot picture, channel background picture, shutdown picture (each uploaded from a file or
// the factory one restored; kinds not given are skipped), then reboot.
#include "cli/command.h"
#include "cli/fleet.h"
#include "imaging/picture_check.h"
#include "link/link.h"
#include "link/requests.h"
#include "link/transfer.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

// The built-in boot picture, loaded once; it must outlive every link that streams it.
FactoryPicture g_factory;

struct PictureStep {
    const char* name;   // progress and summary text
    int kind;           // picture check kind
    int filetype;       // upload file type
    bool factory = false;
    std::string path;
};

class RefreshJob : public Job {
public:
    explicit RefreshJob(const std::vector<PictureStep>& steps) : steps_(steps) {}

    void start(RecorderRun& run) override { next_step(run); }

    void on_event(RecorderRun& run, const LinkEvent& ev) override
    {
        if (ev.code == IPC_EVENT_UPLOAD_PROGRESS && waiting_picture()) {
            if (ev.has_value && progress_worth_showing(ev.value, last_percent_)) {
                run.progress(std::string(steps_[index_].name) + " " + std::to_string(ev.value) + "%");
            }
            if (ev.has_value && ev.value >= 100)
                run.progress_not_awaited();
            else
                run.expect_progress_within(std::chrono::seconds(kUploadStallSeconds));
        } else if (ev.code == IPC_EVENT_UPLOAD_RESULT && waiting_picture()) {
            run.progress_not_awaited();
            const PictureStep& s = steps_[index_];
            int v = ev.has_value ? ev.value : -1;
            StepResult r{s.name, v == 0, ev.has_value, v, v == 0 ? "" : upload_result_text(v, "picture")};
            run.progress(std::string(s.name) + (v == 0 ? (s.factory ? " restored" : " accepted") : " " + r.detail));
            run.add_step(r);
            // A refused picture does not stop the sequence: the next one and the reboot follow.
            ++index_;
            next_step(run);
        } else if (ev.code == IPC_EVENT_REBOOT && rebooting_) {
            int v = ev.has_value ? ev.value : -1;
            run.add_step({"reboot", v == 0, ev.has_value, v, v == 0 ? "" : "refused with " + std::to_string(v)});
            if (v != 0)
                run.finish(false, "the recorder refused the reboot (" + std::to_string(v) + ")");
            else if (!run.steps_ok())
                run.finish(false, "a picture was not accepted; the recorder reboots");
            else
                run.finish(true, "");
        }
    }

private:
    bool waiting_picture() const { return !rebooting_ && index_ < steps_.size(); }

    // Sends the current step's request; true when it went out.
    bool send(RecorderRun& run, const PictureStep& s)
    {
        int chanid = run.chanid();
        if (s.factory) {
            if (s.filetype == IPC_FILE_BOOT_PICTURE)
                return ipc_file_upload_resource(chanid, g_factory.data.get(), static_cast<int>(g_factory.size)) > 0;
            return ipc_sys_RestorePicture(chanid, s.filetype) == 0;
        }
        return ipc_file_upload(chanid, s.filetype, s.path.c_str()) > 0;
    }

    // Sends the next picture that can be sent; a request that cannot be written fails its step
    // at once rather than waiting for an answer that will never come. After the last one, the
    // reboot.
    void next_step(RecorderRun& run)
    {
        while (index_ < steps_.size()) {
            const PictureStep& s = steps_[index_];
            last_percent_ = -1;
            if (send(run, s)) {
                run.progress(std::string(s.name) + (!s.factory                              ? " uploading"
                                                    : s.filetype == IPC_FILE_BOOT_PICTURE ? " uploading the built-in picture"
                                                                                          : " restoring the factory picture"));
                if (!s.factory || s.filetype == IPC_FILE_BOOT_PICTURE)
                    run.expect_progress_within(std::chrono::seconds(kUploadStallSeconds));
                return;
            }
            run.add_step({s.name, false, false, 0, "request not sent"});
            if (link_lost_event_pending(run.chanid(), std::chrono::milliseconds(500))) {
                fail_unsent(run, s.name);
                return;
            }
            run.progress(std::string(s.name) + " request not sent");
            ++index_;
        }
        rebooting_ = true;
        if (ipc_sys_Reboot(run.chanid()) != 0) {
            run.add_step({"reboot", false, false, 0, "request not sent"});
            fail_unsent(run, "reboot", "the reboot request could not be sent; reboot the recorder by hand");
            return;
        }
        run.progress("rebooting");
    }

    std::vector<PictureStep> steps_;
    size_t index_ = 0;
    bool rebooting_ = false;
    int last_percent_ = -1;
};

int run_refresh(const std::vector<std::string>& args)
{
    FleetOptions o;
    o.timeout_seconds = 15;
    std::string boot, channel, shutdown;
    bool fboot = false, fchannel = false, fshutdown = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string err;
        int r = parse_fleet_option(args, i, o, err);
        if (r < 0)
            return usage_error("refresh", err);
        if (r > 0)
            continue;
        const std::string& a = args[i];
        std::string* path = a == "--boot" ? &boot : a == "--channel" ? &channel : a == "--shutdown" ? &shutdown : nullptr;
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
        return usage_error("refresh", "give at least one picture (--boot, --channel, --shutdown or a --factory-* option)");
    std::string err = check_fleet_options(o);
    if (!err.empty())
        return usage_error("refresh", err);

    std::vector<PictureStep> steps;
    struct Given {
        const char* name;
        int kind;
        int filetype;
        bool factory;
        const std::string& path;
    } given[] = {
        {"boot picture", kPictureBoot, IPC_FILE_BOOT_PICTURE, fboot, boot},
        {"channel picture", kPictureChannel, IPC_FILE_CHANNEL_PICTURE, fchannel, channel},
        {"shutdown picture", kPictureShutdown, IPC_FILE_SHUTDOWN_PICTURE, fshutdown, shutdown},
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
                // The decoder traces on standard output; keep it for the summary.
                StdoutGuard quiet(o.verbose);
                checked = CheckPictureFile(g.kind, g.path.c_str(), nullptr, &report);
            }
            if (checked != kPictureOk) {
                std::fprintf(stderr, "dravlinctl refresh: %s: %s\n", g.path.c_str(), report.message.c_str());
                return kExitUsage;
            }
        }
        PictureStep s{g.name, g.kind, g.filetype, g.factory, g.path};
        steps.push_back(s);
    }
    if (fboot && !g_factory.data && LoadFactoryPicture(&g_factory) != 0) {
        std::fprintf(stderr, "dravlinctl refresh: the built-in boot picture could not be loaded\n");
        return kExitFailed;
    }
    return run_fleet("refresh", o, [&](const Recorder&) { return std::make_unique<RefreshJob>(steps); });
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

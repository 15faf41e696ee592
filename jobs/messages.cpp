#include "jobs/messages.h"

#include "jobs/results.h"
#include "link/link.h"

#include <algorithm>

namespace jobs {

const char* step_name(int kind)
{
    switch (kind) {
    case kStepBootPicture: return "boot picture";
    case kStepChannelPicture: return "channel picture";
    case kStepShutdownPicture: return "shutdown picture";
    case kStepChannelAddMode: return "channel mode";
    case kStepBuzzer: return "buzzer setting";
    case kStepReboot: return "reboot";
    case kStepFirmware: return "firmware";
    case kStepFormatDisk: return "disk format";
    default: return "step";
    }
}

std::string upload_result_text(int value, const char* what)
{
    if (value == IPC_UPLOAD_REFUSED)
        return std::string("the recorder refused the ") + what;
    if (value < IPC_UPLOAD_OK || value > IPC_UPLOAD_FILE_CHANGED)
        return "the upload failed (" + std::to_string(value) + ")";
    return upload_value_text(value);
}

std::string request_refusal(int kind, int v)
{
    switch (kind) {
    case kStepReboot: return "the recorder refused the reboot (" + std::to_string(v) + ")";
    case kStepFirmware: return upload_result_text(v, "firmware");
    case kStepFormatDisk: return "the recorder refused to format the disk (" + std::to_string(v) + ")";
    case kStepBuzzer:
        return v == 2 ? std::string("this model does not support the setting")
                      : "the recorder refused the setting (" + std::to_string(v) + ")";
    default: return "the recorder refused the setting (" + std::to_string(v) + ")";
    }
}

bool is_sequence(const Job& job)
{
    return std::any_of(job.steps().begin(), job.steps().end(), [](const Step& s) { return is_picture_step(s.kind); });
}

namespace {

std::string seconds(int64_t ms) { return std::to_string((ms + 999) / 1000) + " s"; }

}  // namespace

std::string job_message(const Job& job)
{
    const auto& outcomes = job.outcomes();
    const JobPolicy& p = job.policy();
    auto step_at = [&](int i) {
        return i >= 0 && static_cast<size_t>(i) < job.steps().size() ? step_name(job.steps()[i].kind) : "";
    };
    switch (job.result()) {
    case kJobOk: return "";
    case kJobStepFailed: {
        if (outcomes.empty())
            return "the recorder refused a request";
        const StepOutcome& last = outcomes.back();
        if (!is_sequence(job))
            return request_refusal(last.kind, last.value);
        if (last.kind == kStepReboot && !last.ok)
            return "the recorder refused the reboot (" + std::to_string(last.value) + ")";
        return "a picture was not accepted; the recorder reboots";
    }
    case kJobUnsent: {
        const int kind = outcomes.empty() ? 0 : outcomes.back().kind;
        if (is_sequence(job) && kind == kStepReboot)
            return "the reboot request could not be sent; reboot the recorder by hand";
        return std::string("the ") + step_name(kind) + " request could not be written";
    }
    case kJobLinkLost:
        if (job.lost_at_step() >= 0)
            return std::string("the link broke before the ") + step_at(job.lost_at_step()) + " request went out";
        return "the link broke before the work was done";
    case kJobLoginRefused: return "the recorder refused the account";
    case kJobNoLoginAnswer: return "the recorder did not answer the login";
    case kJobBadLoginAnswer: return "the recorder's login answer is not a valid frame";
    case kJobStalled: return "the upload made no progress for " + seconds(p.stall_ms);
    case kJobNoVerdict: return "the recorder gave no verdict within " + seconds(p.stall_ms) + " of the whole upload";
    case kJobTimedOut: {
        if (job.logged_in())
            return "no result within " + seconds(p.limit_ms);
        int64_t window = p.limit_ms;
        if (p.login_window_ms > 0)
            window = window > 0 ? std::min(window, p.login_window_ms) : p.login_window_ms;
        return "not logged in within " + seconds(window) +
            (job.connect_failures() > 0 ? " (could not connect)" : " (no login answer)");
    }
    case kJobNotStarted: return "the link could not be started";
    case kJobInterrupted:
        return job.started() ? "stopped before it had finished (signal)" : "stopped before it was started (signal)";
    case kJobCancelled: return "given up before it had finished";
    default: return "";
    }
}

}  // namespace jobs

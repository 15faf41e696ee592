#include "cli/serve_work.h"

#include "jobs/journal.h"
#include "link/link.h"

namespace dravlinctl::serve {

namespace {

// The console's own row texts.
constexpr char kWaitingText[] = "等待空闲连接";
constexpr char kStartFailedText[] = "启动连接失败";
constexpr char kGivenUpText[] = "超时-处理异常,请重新操作";
constexpr char kLinkLostText[] = "连接中断-升级失败,请重新操作";
constexpr char kPictureNames[3][16] = {"开机画面", "通道背景", "关机画面"};

bool given_up(int result)
{
    return result == jobs::kJobTimedOut || result == jobs::kJobStalled || result == jobs::kJobNoLoginAnswer ||
        result == jobs::kJobBadLoginAnswer;
}

std::string failed_pictures_note(const jobs::Job& job)
{
    std::string names;
    for (const jobs::StepOutcome& o : job.outcomes()) {
        const int kind = o.kind - jobs::kStepBootPicture;
        if (jobs::is_picture_step(o.kind) && !o.ok && kind >= 0 && kind < 3)
            names += (names.empty() ? "" : "、") + std::string(kPictureNames[kind]);
    }
    return names.empty() ? "" : "(" + names + "设置失败)";
}

}  // namespace

std::string device_json(const Device& d, size_t index)
{
    return "{\"index\": " + std::to_string(index) + ", \"serial\": " + json_quote(d.serial) +
        ", \"type\": " + json_quote(d.type) + ", \"ip\": " + json_quote(d.ip) +
        ", \"gateway\": " + json_quote(d.gateway) + ", \"mac\": " + json_quote(d.mac) +
        ", \"port\": " + std::to_string(d.rec.port) + ", \"status\": " + json_quote(d.status) +
        ", \"state\": " + json_quote(d.state) + ", \"command\": " + json_quote(d.command) +
        ", \"percent\": " + std::to_string(d.percent) + ", \"result\": " + json_quote(d.result) + "}";
}

// The row text a link event gives, "" when it leaves the row as it is: the maintenance page's
// for pictures and reboots, the firmware page's for an image.
std::string event_text(Work work, const jobs::Job& job, const jobs::LinkEvent& ev, int& percent)
{
    const int value = ev.has_value ? ev.value : -1;
    switch (ev.code) {
    case 0: return "NVR 连接中";
    case 1: return "NVR 连接成功";
    case IPC_EVENT_LOGIN_OK: return "NVR 登录成功";
    case IPC_EVENT_LOGIN_FAIL:
        // Only the recorder's refusal is final; a login it did not answer is tried again.
        return ev.login_problem == IPC_LOGIN_REFUSED || ev.login_problem == IPC_LOGIN_PROBLEM_NONE ? "NVR 登录失败"
                                                                                                   : "";
    case IPC_EVENT_UPLOAD_PROGRESS:
        percent = ev.has_value ? ev.value : 0;
        if (work == Work::kFirmware && percent >= 100)
            return "上传文件成功";
        return "上传文件中.." + std::to_string(percent) + "..";
    case IPC_EVENT_UPLOAD_RESULT:
        if (work == Work::kFirmware)
            return value == 0 ? "校验文件成功" : value == IPC_UPLOAD_LINK_FAILED ? kLinkLostText : "校验文件失败";
        return value == 0 ? "设置图片成功" : "设置图片失败";
    case IPC_EVENT_REBOOT: return value == 0 ? "设置成功,正在重启,请稍后..." + failed_pictures_note(job) : "设置失败";
    default: return "";
    }
}

// The row text of a job's news, "" when it leaves the row as it is.
std::string news_text(Work work, const jobs::Job& job, const jobs::JobNews& n)
{
    switch (n.kind) {
    case jobs::kNewsWaiting: return kWaitingText;
    case jobs::kNewsLoginStarted: return work == Work::kFirmware ? "" : "NVR 连接中";
    case jobs::kNewsStepSent:
    case jobs::kNewsStepUnsent: {
        if (work == Work::kFirmware)
            return "";
        const bool sent = n.kind == jobs::kNewsStepSent;
        if (n.step_kind != jobs::kStepReboot)
            return "";
        if (n.via == jobs::kViaLogin)
            return sent ? "上传配置成功" : "上传配置失败,请手动重启";
        return sent ? "正在进行重启" : "设置重启失败,请手动重启";
    }
    case jobs::kNewsFinished:
        if (n.result == jobs::kJobNotStarted)
            return kStartFailedText;
        if (work == Work::kFirmware) {
            switch (n.result) {
            case jobs::kJobOk:
            case jobs::kJobCancelled: return "";
            case jobs::kJobStepFailed: {
                const auto& out = job.outcomes();
                return !out.empty() && out.back().value == IPC_UPLOAD_LINK_FAILED ? kLinkLostText : "校验文件失败";
            }
            case jobs::kJobLoginRefused: return "NVR 登录失败";
            case jobs::kJobLinkLost: return kLinkLostText;
            default: return kGivenUpText;
            }
        }
        if (n.result == jobs::kJobLoginRefused)
            return "NVR 登录失败";
        return given_up(n.result) ? kGivenUpText : "";
    default: return "";
    }
}

const char* command_of(Work w) { return w == Work::kRefresh ? "refresh" : w == Work::kReboot ? "reboot" : "upgrade"; }

bool work_of(const JsonValue& body, Work& work)
{
    const JsonValue* kind = body.get("kind");
    if (!kind || kind->type != JsonValue::kString)
        return false;
    if (kind->str == "refresh")
        work = Work::kRefresh;
    else if (kind->str == "reboot")
        work = Work::kReboot;
    else if (kind->str == "firmware")
        work = Work::kFirmware;
    else
        return false;
    return true;
}

bool steps_of(const JsonValue& body, Uploads& uploads, jobs::Journal* journal, FactoryPicture& factory,
              WorkRequest& req, Reply& error)
{
    auto fail = [&error](int status, const std::string& code, const std::string& message) {
        error = {status, error_json(code, message)};
        return false;
    };
    // The files: uploads that arrived and passed their checks, held until the jobs end.
    static const struct {
        const char* key;
        int upload;
        int step;
    } pictures[] = {{"boot", kUploadBoot, jobs::kStepBootPicture},
                    {"channel", kUploadChannel, jobs::kStepChannelPicture},
                    {"shutdown", kUploadShutdown, jobs::kStepShutdownPicture}};
    if (req.work == Work::kRefresh) {
        for (const auto& p : pictures) {
            const JsonValue* v = body.get(p.key);
            if (!v || v->type == JsonValue::kNull)
                continue;
            if (v->type != JsonValue::kString)
                return fail(400, "bad_request", std::string("\"") + p.key + "\" is an upload's id or \"factory\"");
            if (v->str == "factory") {
                if (p.step == jobs::kStepBootPicture && !factory.data && LoadFactoryPicture(&factory) != 0)
                    return fail(500, "no_factory_picture", "the built-in boot picture could not be loaded");
                req.steps.push_back(
                    jobs::Step::factory_picture(p.step, p.step == jobs::kStepBootPicture ? factory.data.get() : nullptr,
                                                p.step == jobs::kStepBootPicture ? static_cast<int>(factory.size) : 0));
                continue;
            }
            std::shared_ptr<Upload> up = uploads.find(v->str, p.upload);
            if (!up)
                return fail(400, "unknown_upload",
                            std::string("no ") + p.key + " picture " + v->str + " (never arrived, or replaced)");
            req.held.push_back(up);
            if (journal)
                journal->name_file(up->path, up->name);
            req.steps.push_back(jobs::Step::picture_file(p.step, up->path));
        }
        if (req.steps.empty())
            return fail(400, "bad_request", "give at least one picture (an upload's id or \"factory\")");
        req.steps.push_back(jobs::Step::reboot());
    } else if (req.work == Work::kReboot) {
        req.steps.push_back(jobs::Step::reboot());
    } else {
        const JsonValue* v = body.get("firmware");
        std::shared_ptr<Upload> up =
            v && v->type == JsonValue::kString ? uploads.find(v->str, kUploadFirmware) : nullptr;
        if (!up)
            return fail(400, "unknown_upload", "\"firmware\" names no image that arrived (or it was replaced)");
        req.held.push_back(up);
        if (journal)
            journal->name_file(up->path, up->name);
        req.steps.push_back(jobs::Step::firmware(up->path));
    }
    return true;
}

}  // namespace dravlinctl::serve

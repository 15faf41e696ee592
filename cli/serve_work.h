// The work of the browser console's recorder list: what a start request asks for (its kind and
// its files), what a row holds, and the texts a job's link events and news give the row (the
// maintenance page's for pictures and reboots, the firmware page's for an image).
#pragma once

#include "cli/fleet.h"
#include "cli/json_reader.h"
#include "cli/serve_app.h"
#include "cli/serve_uploads.h"
#include "imaging/picture_check.h"
#include "jobs/job.h"

#include <memory>
#include <string>
#include <vector>

namespace jobs {
class Journal;
}

namespace dravlinctl::serve {

enum class Work { kRefresh, kReboot, kFirmware };

struct Device {
    Recorder rec;
    std::string serial, type, ip, gateway, mac;  // UTF-8
    std::string status = "空闲";
    std::string state = "idle";  // idle, busy, ok, failed
    std::string command;
    int percent = -1;
    jobs::JobId job = 0;
    std::string result;  // the last job's result ("ok", "login refused", ...), "" while none ended
};

std::string device_json(const Device& d, size_t index);
// The row text a link event gives, "" when it leaves the row as it is; percent takes the
// upload's progress.
std::string event_text(Work work, const jobs::Job& job, const jobs::LinkEvent& ev, int& percent);
// The row text of a job's news, "" when it leaves the row as it is.
std::string news_text(Work work, const jobs::Job& job, const jobs::JobNews& n);
const char* command_of(Work w);

struct WorkRequest {
    Work work = Work::kRefresh;
    std::vector<jobs::Step> steps;
    std::vector<std::shared_ptr<Upload>> held;  // the uploads the steps send, kept until the jobs end
};
// The request's "kind"; false when it names none.
bool work_of(const JsonValue& body, Work& work);
// The steps of req.work from the request's files (uploads that arrived and passed their checks,
// or "factory" pictures, loaded into factory once); false with the error reply when a file is
// missing or wrong. The journal (if any) learns the uploads' own names.
bool steps_of(const JsonValue& body, Uploads& uploads, jobs::Journal* journal, FactoryPicture& factory,
              WorkRequest& req, Reply& error);

}  // namespace dravlinctl::serve

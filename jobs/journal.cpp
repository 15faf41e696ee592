#include "jobs/journal.h"

#include "jobs/messages.h"
#include "jobs/results.h"
#include "util/digest.h"

#include <sys/stat.h>

namespace jobs {

const char* file_kind_of(int step_kind)
{
    switch (step_kind) {
    case kStepBootPicture: return "boot";
    case kStepChannelPicture: return "channel";
    case kStepShutdownPicture: return "shutdown";
    case kStepFirmware: return "firmware";
    default: return "";
    }
}

Journal::Journal(history::Store* store, std::string station, std::string version)
    : store_(store), station_(std::move(station)), version_(std::move(version))
{ }

EndedHook Journal::hook()
{
    return [this](const Job& job, const JobSpec& spec, const JobTimes& times) { write(job, spec, times); };
}

history::FileSent Journal::file_of(const std::string& kind, const std::string& path)
{
    history::FileSent f;
    f.kind = kind;
    f.name = path;
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return f;
    f.size = static_cast<int64_t>(st.st_size);
    Known& k = known_[path];
    if (k.size != f.size || k.mtime != static_cast<int64_t>(st.st_mtime) || k.md5.empty()) {
        char hex[33] = {};
        k.size = f.size;
        k.mtime = static_cast<int64_t>(st.st_mtime);
        k.md5 = md5_file_hex(path.c_str(), hex) ? std::string(hex) : std::string();
    }
    f.md5 = k.md5;
    return f;
}

std::vector<history::FileSent> Journal::files_of(const std::vector<Step>& steps)
{
    std::vector<history::FileSent> files;
    for (const Step& s : steps) {
        const std::string kind = file_kind_of(s.kind);
        if (kind.empty())
            continue;
        if (!s.factory) {
            files.push_back(file_of(kind, s.path));
        } else if (s.data && s.size > 0) {
            // The built-in boot picture: the program's own bytes.
            history::FileSent f;
            f.kind = kind;
            f.name = "(built-in)";
            f.size = s.size;
            char hex[33] = {};
            f.md5 = md5_hex(s.data, static_cast<size_t>(s.size), hex);
            files.push_back(std::move(f));
        } else {
            history::FileSent f;  // a factory restore: the recorder's own picture, nothing sent
            f.kind = kind;
            f.name = "(factory)";
            f.size = 0;
            files.push_back(std::move(f));
        }
    }
    return files;
}

history::JobRecord Journal::record_of(const Job& job, const JobLabel& label, const JobTimes& times)
{
    history::JobRecord r;
    r.station = station_;
    r.front = label.front;
    r.command = label.command;
    r.run_id = label.run_id;
    r.started = times.started_wall_ms >= 0 ? history::utc_text(times.started_wall_ms) : history::utc_now();
    r.ended = times.started_wall_ms >= 0 && times.total_ms >= 0
        ? history::utc_text(times.started_wall_ms + times.total_ms)
        : history::utc_now();
    r.serial = label.serial;
    r.device_type = label.device_type;
    r.address = job.target().address;
    r.mac = label.mac;
    r.files = files_of(job.steps());
    r.result = job_result_text(job.result());
    r.message = job_message(job);
    r.login_ms = times.login_ms;
    r.total_ms = times.total_ms;
    r.version = version_;
    return r;
}

int Journal::write(const Job& job, const JobSpec& spec, const JobTimes& times)
{
    if (!store_ || !store_->is_open())
        return history::kHistoryDisabled;
    std::string why;
    const int r = store_->add_job(record_of(job, spec.label, times), &why);
    if (r < 0) {
        ++failed_;
        last_problem_ = why.empty() ? history::history_result_text(r) : why;
    } else {
        ++written_;
        if (r == history::kHistoryQueued)
            last_problem_ = why.empty() ? history::history_result_text(r) : why;
    }
    if (after_write_)
        after_write_(r);
    return r;
}

}  // namespace jobs

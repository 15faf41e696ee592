#include "jobs/journal.h"

#include "jobs/messages.h"
#include "jobs/results.h"
#include "util/digest.h"

#include <sys/stat.h>

namespace jobs {

namespace {

// A record waits this long for others to end before it is written: a wave's jobs end over a few
// hundredths of a second, and one commit for them all writes a few pages of the journal file
// instead of a few per record (and brings its checkpoint far less often). drain() cuts it short,
// and so does a gathering this large, so that the run's end never waits for a long last write.
constexpr auto kGatherWindow = std::chrono::milliseconds(30);
constexpr size_t kGatherAtMost = 16;
constexpr size_t kMaxBatch = 256;

}  // namespace

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

Journal::~Journal()
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (writer_.joinable())
        writer_.join();
}

EndedHook Journal::hook()
{
    return [this](const Job& job, const JobOrder& order, const JobTimes& times, std::function<void()> done) {
        write(job, order, times, std::move(done));
    };
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
    std::lock_guard<std::mutex> lk(known_mu_);
    if (auto n = names_.find(path); n != names_.end())
        f.name = n->second;
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

void Journal::name_file(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> lk(known_mu_);
    names_[path] = name;
}

std::vector<history::FileSent> Journal::files_of(const std::vector<Step>& steps)
{
    std::vector<history::FileSent> files;
    for (const Step& s : steps) {
        const std::string kind = file_kind_of(s.kind);
        if (kind.empty())
            continue;
        history::FileSent f;
        f.kind = kind;
        if (!s.factory) {
            f = file_of(kind, s.path);
        } else if (s.size > 0) {
            // The built-in boot picture: its bytes, or their MD5 taken when the job ended.
            f.name = "(built-in)";
            f.size = s.size;
            char hex[33] = {};
            f.md5 = s.data ? std::string(md5_hex(s.data, static_cast<size_t>(s.size), hex)) : s.path;
        } else {
            f.name = "(factory)";  // a factory restore: the recorder's own picture, nothing sent
            f.size = 0;
        }
        files.push_back(std::move(f));
    }
    return files;
}

void Journal::write(const Job& job, const JobOrder& order, const JobTimes& times, std::function<void()> done)
{
    if (!store_) {
        if (done)
            done();
        return;
    }
    Pending p;
    history::JobRecord& r = p.record;
    const JobLabel& label = order.label;
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
    r.result = job_result_text(job.result());
    r.message = job_message(job);
    r.login_ms = times.login_ms;
    r.total_ms = times.total_ms;
    r.version = version_;
    p.steps = job.steps();
    for (Step& s : p.steps) {
        // The built-in picture's bytes belong to its page: their MD5 is taken now, and the
        // writer keeps that instead of the pointer.
        if (s.factory && s.data && s.size > 0) {
            char hex[33] = {};
            s.path = md5_hex(s.data, static_cast<size_t>(s.size), hex);
        }
        s.data = nullptr;
    }
    p.done = std::move(done);
    push(std::move(p));
}

void Journal::prepare(const std::vector<Step>& steps)
{
    if (!store_)
        return;
    Pending p;
    p.prepare_only = true;
    for (const Step& s : steps)
        if (!s.factory && file_kind_of(s.kind)[0] != '\0')
            p.steps.push_back(s);
    if (!p.steps.empty())
        push(std::move(p));
}

void Journal::post(std::function<void()> fn)
{
    Pending p;
    p.prepare_only = true;
    p.task = std::move(fn);
    push(std::move(p));
}

void Journal::push(Pending p)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        p.queued = std::chrono::steady_clock::now();
        // A writer gathering records waits for its window, not for each one that joins it.
        wake = queue_.empty() || p.prepare_only || queue_.size() + 1 == kGatherAtMost;
        queue_.push_back(std::move(p));
        if (!writer_.joinable())
            writer_ = std::thread([this] { run(); });
    }
    if (wake)
        cv_.notify_all();
}

void Journal::run()
{
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
        cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) {
            if (stop_)
                return;
            continue;
        }
        // Whatever has ended meanwhile goes in one write: a wave that ends together costs one
        // commit, not one each.
        if (!queue_.front().prepare_only)
            cv_.wait_until(lk, queue_.front().queued + kGatherWindow,
                           [this] { return stop_ || draining_ > 0 || queue_.size() >= kGatherAtMost; });
        std::vector<Pending> batch;
        while (!queue_.empty() && batch.size() < kMaxBatch) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        busy_ = true;
        lk.unlock();
        std::vector<history::JobRecord> records;
        for (Pending& p : batch) {
            if (p.task)
                p.task();
            // A store that is not open (it may be opened by a task before) keeps nothing.
            if (!store_->is_open())
                continue;
            p.record.files = files_of(p.steps);
            if (!p.prepare_only)
                records.push_back(p.record);
        }
        std::string why;
        const int r = records.empty() ? history::kHistoryOk : store_->add_jobs(records, &why);
        lk.lock();
        if (!records.empty()) {
            const int n = static_cast<int>(records.size());
            if (r < 0) {
                failed_ += n;
                last_problem_ = why.empty() ? history::history_result_text(r) : why;
            } else {
                written_ += n;
                if (r == history::kHistoryQueued)
                    last_problem_ = why.empty() ? history::history_result_text(r) : why;
            }
        }
        lk.unlock();
        if (!records.empty() && after_write_)
            after_write_(r);
        for (Pending& p : batch)
            if (p.done)
                p.done();
        lk.lock();
        busy_ = false;
        idle_cv_.notify_all();
    }
}

void Journal::drain()
{
    std::unique_lock<std::mutex> lk(mu_);
    ++draining_;
    cv_.notify_all();
    idle_cv_.wait(lk, [this] { return queue_.empty() && !busy_; });
    --draining_;
}

int Journal::written() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return written_;
}

int Journal::failed() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return failed_;
}

std::string Journal::last_problem() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return last_problem_;
}

}  // namespace jobs

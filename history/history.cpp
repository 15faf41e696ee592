#include "history/history.h"
#include "history/backend.h"
#include "history/schema.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/random.h>
#include <unistd.h>
#endif

namespace history {

const char* history_result_text(int result)
{
    switch (result) {
    case kHistoryOk: return "ok";
    case kHistoryQueued: return "queued";
    case kHistoryDisabled: return "off";
    case kHistoryBadLocation: return "bad store name";
    case kHistoryOpenFailed: return "cannot open";
    case kHistoryNewerSchema: return "newer schema";
    case kHistoryWriteFailed: return "write failed";
    case kHistoryReadFailed: return "read failed";
    case kHistoryNotOpen: return "not open";
    case kHistoryUnavailable: return "not available";
    default: return "failed";
    }
}

struct Store::State {
    std::mutex mutex;
    std::unique_ptr<Backend> backend;
    bool off = false;
};

Store::Store() : state_(std::make_unique<State>()) { }

Store::~Store() = default;

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The reason goes to the caller's string when it gave one.
std::string* reason_sink(std::string* why, std::string* local) { return why ? why : local; }

}  // namespace

int Store::open(const std::string& location, std::string* why, const OpenOptions& options)
{
    std::string local_why;
    why = reason_sink(why, &local_why);
    why->clear();
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->backend.reset();
    state_->off = false;
    if (location == "off") {
        state_->off = true;
        return kHistoryDisabled;
    }
    if (starts_with(location, "postgresql://") || starts_with(location, "postgres://"))
        return open_postgres(location, options, &state_->backend, why);
    if (location.find("://") != std::string::npos) {
        *why = "unknown kind of history store: " + location.substr(0, location.find("://") + 3) +
            " (a SQLite file's path, postgresql://... or off)";
        return kHistoryBadLocation;
    }
    std::string path = location.empty() ? default_path(why) : location;
    if (path.empty())
        return kHistoryOpenFailed;
    return open_sqlite(path, options, &state_->backend, why);
}

void Store::close()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->backend.reset();
    state_->off = false;
}

bool Store::is_open() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->backend != nullptr;
}

std::string Store::where() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->off)
        return "off";
    return state_->backend ? state_->backend->where() : std::string();
}

namespace {

// The common part of every call: off, not open, or the backend's answer.
template <typename Call>
int with_backend(std::mutex& mutex, const std::unique_ptr<Backend>& backend, bool off, std::string* why, Call call)
{
    std::string local_why;
    why = reason_sink(why, &local_why);
    why->clear();
    std::lock_guard<std::mutex> lock(mutex);
    if (off)
        return kHistoryDisabled;
    if (!backend) {
        *why = "the history is not open";
        return kHistoryNotOpen;
    }
    return call(*backend, why);
}

}  // namespace

int Store::add_job(const JobRecord& job, std::string* why)
{
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.add_job(job, new_id(), w); });
}

int Store::add_jobs(const std::vector<JobRecord>& jobs, std::string* why)
{
    if (jobs.empty())
        return kHistoryOk;
    std::vector<std::string> uids;
    for (size_t i = 0; i < jobs.size(); ++i)
        uids.push_back(new_id());
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.add_jobs(jobs, uids, w); });
}

int Store::add_run(const RunRecord& run, std::string* why)
{
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.add_run(run, w); });
}

int Store::query(const Filter& filter, std::vector<JobRecord>* out, std::string* why)
{
    out->clear();
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.query(filter, out, w); });
}

int Store::query_runs(const Filter& filter, std::vector<RunRecord>* out, std::string* why)
{
    out->clear();
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.query_runs(filter, out, w); });
}

int Store::flush(std::string* why)
{
    return with_backend(state_->mutex, state_->backend, state_->off, why,
                        [&](Backend& b, std::string* w) { return b.flush(w); });
}

int Store::pending()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->backend ? state_->backend->pending() : 0;
}

#ifdef _WIN32
namespace {

// Read wide, so that a folder name the code page cannot hold is said, not turned into '?'. "" when
// unset.
std::wstring environment_variable(const wchar_t* name)
{
    std::wstring value(::GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    if (!value.empty())
        value.resize(::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

}  // namespace
#endif

std::string default_path(std::string* why)
{
    std::string local_why;
    why = reason_sink(why, &local_why);
#ifdef _WIN32
    std::wstring base = environment_variable(L"LOCALAPPDATA");
    if (base.empty()) {
        base = environment_variable(L"USERPROFILE");
        if (base.empty()) {
            *why = "no folder for the history: neither LOCALAPPDATA nor USERPROFILE is set";
            return "";
        }
        base += L"\\AppData\\Local";
    }
    std::string path;
    if (!native_from_wide(base + L"\\dravlin\\history.sqlite", &path)) {
        *why = "no folder for the history: " + path + " has characters this system's code page cannot hold";
        return "";
    }
    return path;
#else
    const char* xdg = std::getenv("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is invalid and to be ignored.
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/dravlin/history.sqlite";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/share/dravlin/history.sqlite";
    *why = "no folder for the history: neither XDG_DATA_HOME nor HOME is set";
    return "";
#endif
}

int schema_version() { return migrations().back().version; }

std::string utc_text(int64_t ms)
{
    int64_t sec = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int milli = static_cast<int>(ms - sec * 1000);
    int64_t days = sec >= 0 ? sec / 86400 : (sec - 86399) / 86400;
    const int64_t in_day = sec - days * 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian), without the C library's
    // per-platform gmtime variants.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<long long>(year),
                  static_cast<int>(month), static_cast<int>(day), static_cast<int>(in_day / 3600),
                  static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60), milli);
    return buf;
}

std::string utc_now()
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return utc_text(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string new_id()
{
    // The system's random source on every call: a process forked after an id was made still makes
    // ids of its own. One getrandom() where there is one: a std::random_device probes the CPU
    // each time it is made, which in a virtual machine costs more than the record it names.
    unsigned int v[4] = {};
#ifndef _WIN32
    if (::getrandom(v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
#endif
    {
        std::random_device rd;
        for (unsigned int& x : v)
            x = rd();
    }
    char buf[33];
    std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", v[0], v[1], v[2], v[3]);
    return buf;
}

std::string station_name()
{
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    return name ? name : "";
#else
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
#endif
}

}  // namespace history

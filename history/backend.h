// What a kind of store does behind history::Store (which holds its mutex around every call).
#pragma once

#include "history/history.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace history {

class Backend {
public:
    virtual ~Backend() = default;
    // uid: the record's own identifier, which makes a second write of it a no-op.
    virtual int add_job(const JobRecord& job, const std::string& uid, std::string* why) = 0;
    // Several at once (one transaction where the store has them); the worst result of them.
    virtual int add_jobs(const std::vector<JobRecord>& jobs, const std::vector<std::string>& uids, std::string* why)
    {
        int worst = kHistoryOk;
        for (size_t i = 0; i < jobs.size(); ++i) {
            const int r = add_job(jobs[i], uids[i], why);
            if (r < worst || (worst >= 0 && r > worst))
                worst = r;
        }
        return worst;
    }
    virtual int add_run(const RunRecord& run, std::string* why) = 0;
    virtual int query(const Filter& filter, std::vector<JobRecord>* out, std::string* why) = 0;
    virtual int query_runs(const Filter& filter, std::vector<RunRecord>* out, std::string* why) = 0;
    virtual int flush(std::string* /*why*/) { return kHistoryOk; }
    virtual int pending() { return 0; }
    virtual std::string where() const = 0;
};

// Opens (creating it and its folders) a SQLite store. Its result is open()'s; the backend is
// set for kHistoryOk and kHistoryNewerSchema.
int open_sqlite(const std::string& path, const OpenOptions& options, std::unique_ptr<Backend>* out, std::string* why);

// Opens a PostgreSQL store whose writes wait in options.local_path (or the default file) while
// the server does not answer.
int open_postgres(const std::string& conninfo, const OpenOptions& options, std::unique_ptr<Backend>* out,
                  std::string* why);

// The station's queue of writes for a shared store, in its SQLite file.
struct QueuedWrite {
    int64_t id = 0;
    std::string kind;  // "job" or "run"
    std::string payload;
};

class LocalQueue {
public:
    virtual ~LocalQueue() = default;
    virtual int enqueue(const std::string& target, const std::string& kind, const std::string& payload,
                        std::string* why) = 0;
    // 1 and the oldest write for target; 0 when none waits; a failure.
    virtual int oldest(const std::string& target, QueuedWrite* out, std::string* why) = 0;
    virtual int remove(int64_t id, std::string* why) = 0;
    virtual int count(const std::string& target) = 0;
    virtual std::string where() const = 0;
};

int open_local_queue(const std::string& path, const OpenOptions& options, std::unique_ptr<LocalQueue>* out,
                     std::string* why);

// Makes the missing folders of dir, each private to the user (0 or a result with why).
int make_private_dirs(const std::filesystem::path& dir, std::string* why);
// Creates the file (mode 0600) unless it exists, so that SQLite never makes it with the umask's
// wider mode; its -wal and -shm files take the same mode from it.
int create_private_file(const std::string& path, std::string* why);

// "could not open PATH: " and the system's reason for the last failed call, first letter small.
std::string system_reason(int error_number);

#ifdef _WIN32
// A path is the system's narrow text, as the command line and the environment give it: the ANSI
// code page on Windows (UTF-8 where the system uses it as its code page). Windows' own calls take
// it wide and SQLite takes UTF-8.
std::wstring wide_from_native(const std::string& text);
// false when the text holds a character the code page has no form for (*out then holds '?').
bool native_from_wide(const std::wstring& text, std::string* out);
// The system's narrow text as UTF-8 (SQLite's file names).
std::string utf8_from_native(const std::string& text);
#endif

}  // namespace history

// The history of every recorder job: one record per recorder a front worked on (station, command,
// the recorder, each file sent, the result) and one per run, kept in the station's own SQLite
// file or in a PostgreSQL database that the stations of a line share. No record holds a password.
//
// Every call gives an integer result (kHistory..., negative on failure) and, where asked for, one
// line saying why; nothing is thrown. A failed write concerns the history alone: the caller says
// it and goes on with its work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace history {

enum HistoryResult : int {
    kHistoryOk = 0,
    kHistoryQueued = 1,        // the shared store did not answer: kept on the station, sent when it does
    kHistoryDisabled = 2,      // the history is off: nothing written, nothing found
    kHistoryBadLocation = -1,  // the store's name was not understood
    kHistoryOpenFailed = -2,
    kHistoryNewerSchema = -3,  // written by a newer program: read only
    kHistoryWriteFailed = -4,
    kHistoryReadFailed = -5,
    kHistoryNotOpen = -6,
    kHistoryUnavailable = -7,  // the kind of store is not part of this build
};

// "ok", "queued", "off", "bad store name", "cannot open", "newer schema", "write failed",
// "read failed", "not open", "not available"; "failed" for anything else.
const char* history_result_text(int result);

// The records are plain; every member has an initializer, so that a designated initializer may
// leave any out.

// One file sent to a recorder.
struct FileSent {
    std::string kind = {};  // "boot", "channel", "shutdown", "firmware", "config", ...
    std::string name = {};  // as the operator chose it (base name or path)
    int64_t size = -1;      // bytes; -1: unknown
    std::string md5 = {};   // lower-case hex; "" when not computed
};

// What a front did to one recorder. Times are UTC texts as utc_text() makes them.
struct JobRecord {
    std::string station = {};  // host name, or the name the operator gave
    std::string front = {};    // "tool" or "console"
    std::string command = {};  // "refresh", "upgrade", ...
    std::string run_id = {};   // the run it belonged to (RunRecord::run_id)
    std::string started = {}, ended = {};
    std::string serial = {}, device_type = {}, address = {}, mac = {};
    std::vector<FileSent> files = {};
    std::string result = {};               // "ok" for success (jobs::job_result_text), else what went wrong
    std::string message = {};              // the failure's reason; "" when none
    int64_t login_ms = -1, total_ms = -1;  // -1: it never got that far
    std::string version = {};              // the product's version that did it
};

// One run of a command over any number of recorders.
struct RunRecord {
    std::string run_id = {};
    std::string station = {}, front = {}, command = {};
    std::string options = {};              // the command's options as text, secrets already removed by the caller
    std::string started = {}, ended = {};  // ended "" while the run goes on
    int recorders = 0, ok = 0, failed = 0;
};

// What query() returns: every condition given must hold ("" / false / 0: not a condition).
struct Filter {
    std::string serial = {};
    std::string since = {};  // UTC text or a prefix of one ("2026-12-07"): started at or after it
    std::string command = {};
    std::string station = {};
    bool failed_only = false;  // result other than "ok"
    int limit = 0;             // at most this many, newest first; 0: all
};

struct OpenOptions {
    // The station's own SQLite file, where writes to a shared store wait while it does not
    // answer; "" for default_path().
    std::string local_path;
    // fsync on every write (SQLite synchronous=FULL): a record also survives a power cut, at
    // the cost of a disk flush per write. Off: it survives the end of the process (kill -9),
    // which is what a station needs most.
    bool full_sync = false;
};

// A history store. Every call is serialized by the store's own mutex, so several threads may
// share one; the runner writes from its own thread and nothing waits for it but that thread. A
// write to PostgreSQL waits for the server's answer: connecting waits at most 5 s (or
// PGCONNECT_TIMEOUT / connect_timeout), and after a try that waited a second or more the writes
// of the next 30 s are queued at once without trying again (flush() always tries).
class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // location: "" (the default SQLite file), "off", a SQLite file's path, or a PostgreSQL
    // connection string ("postgresql://..." or "postgres://...", with libpq's PG* variables
    // for what it leaves out); a path is the system's narrow text, as the command line gives it
    // (UTF-8 on Linux, the ANSI code page on Windows). kHistoryOk; kHistoryDisabled for "off";
    // kHistoryQueued when a shared store is not answering yet (writes wait on the station until
    // it does); kHistoryNewerSchema when the store was made by a newer program (open for
    // queries; writes are refused, or for a shared store wait on the station);
    // else a failure and the store stays closed. Opening again closes what was open.
    int open(const std::string& location, std::string* why = nullptr, const OpenOptions& options = {});
    void close();
    bool is_open() const;
    // Where the records go: the file's path, "off", or the database without any password.
    std::string where() const;

    // Writes one record. kHistoryOk, kHistoryQueued (shared store away: kept on the station),
    // kHistoryDisabled, or a failure.
    int add_job(const JobRecord& job, std::string* why = nullptr);
    // Several at once: one transaction on SQLite. The worst result of them.
    int add_jobs(const std::vector<JobRecord>& jobs, std::string* why = nullptr);
    // Writes a run, or replaces the run of the same run_id (a run is written when it starts
    // and again with its counts when it ends).
    int add_run(const RunRecord& run, std::string* why = nullptr);

    // Newest first (by started, then by order of writing).
    int query(const Filter& filter, std::vector<JobRecord>* out, std::string* why = nullptr);
    // Runs, newest first; the filter's serial and failed_only are not conditions here.
    int query_runs(const Filter& filter, std::vector<RunRecord>* out, std::string* why = nullptr);

    // Sends what waits on the station for a shared store, in order, now. kHistoryOk when
    // nothing is left waiting, kHistoryQueued (and why) when the store still does not answer.
    int flush(std::string* why = nullptr);
    // Records waiting on the station for this store; 0 for a SQLite store.
    int pending();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// $XDG_DATA_HOME/dravlin/history.sqlite, else ~/.local/share/dravlin/history.sqlite
// (on Windows %LOCALAPPDATA%\dravlin\history.sqlite, else %USERPROFILE%\AppData\Local\dravlin\...);
// "" and why when neither is known.
std::string default_path(std::string* why = nullptr);

// The schema this program writes; a store of a higher version is only read.
int schema_version();

// "2026-12-07T09:30:12.345Z" for milliseconds since 1970-01-01 UTC; utc_now() for now.
std::string utc_text(int64_t ms_since_epoch);
std::string utc_now();

// A new identifier of 32 hex digits, unique across stations and processes (a run's id).
std::string new_id();

// This machine's host name; "" when unknown.
std::string station_name();

}  // namespace history

// The station's own store: one SQLite file (mode 0600 in a folder of mode 0700 where this program
// makes them), shared by every process of the station. Several writers wait for each other (busy
// timeout); each write is one transaction.
//
// Durability: WAL journal with synchronous=NORMAL. A commit has written its pages into the WAL
// file before sqlite3_step returns, so once add_job has returned the record is in the system's
// file cache and survives the end of the process however it ends (kill -9 included); only a
// power cut or a system crash may lose the last records since the last checkpoint, and even then
// the file stays consistent. A station's records are worth keeping across a crashed or killed
// tool above all, and FULL's flush per write would cost more than a whole record's write, so
// FULL is an option (OpenOptions::full_sync) for stations that need the power-cut case too.
#include "history/backend.h"
#include "history/schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

namespace history {

namespace {

constexpr int kBusyTimeoutMs = 10000;  // another process's write takes far less; a stuck one is reported

// One prepared statement, finalized with its owner.
class Stmt {
public:
    Stmt() = default;
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool prepare(sqlite3* db, const std::string& sql)
    {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* get() const { return stmt_; }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    void text(int i, const std::string& v)
    {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void blob(int i, const std::string& v)
    {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    // -1 is "none": stored as NULL.
    void optional(int i, int64_t v)
    {
        if (v < 0)
            sqlite3_bind_null(stmt_, i);
        else
            sqlite3_bind_int64(stmt_, i, v);
    }
    std::string column_text(int i) const
    {
        const unsigned char* p = sqlite3_column_text(stmt_, i);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string();
    }
    std::string column_blob(int i) const
    {
        const void* p = sqlite3_column_blob(stmt_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string();
    }
    int64_t column_optional(int i) const
    {
        return sqlite3_column_type(stmt_, i) == SQLITE_NULL ? -1 : sqlite3_column_int64(stmt_, i);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore final : public Backend, public LocalQueue {
public:
    explicit SqliteStore(std::string path) : path_(std::move(path)) { }
    ~SqliteStore() override
    {
        statements_.clear();
        sqlite3_close(db_);
    }

    int open(const OpenOptions& options, std::string* why)
    {
#ifdef _WIN32
        std::filesystem::path file(wide_from_native(path_));
        const std::string sqlite_name = utf8_from_native(path_);  // SQLite's file names are UTF-8 there too
#else
        std::filesystem::path file(path_);
        const std::string& sqlite_name = path_;
#endif
        int rc = make_private_dirs(file.parent_path(), why);
        if (rc == kHistoryOk)
            rc = create_private_file(path_, why);
        if (rc != kHistoryOk)
            return rc;
        if (sqlite3_open_v2(sqlite_name.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK)
            return fail(kHistoryOpenFailed, "could not open", why);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        // A run's last close would otherwise copy the journal into the file and wait for the
        // disk; the next run, or SQLite's own checkpoints as the journal grows, do it instead.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_extended_result_codes(db_, 1);
        // The first statement is where SQLite reads the file: "file is not a database" shows here.
        std::string mode;
        if (!set_wal(&mode))
            return fail(kHistoryOpenFailed, "could not open", why);
        if (mode != "wal") {
            *why =
                "could not open " + path_ + ": its file system cannot hold a WAL journal (journal mode " + mode + ")";
            return kHistoryOpenFailed;
        }
        std::string pragmas = options.full_sync ? "PRAGMA synchronous = FULL;" : "PRAGMA synchronous = NORMAL;";
        pragmas += "PRAGMA foreign_keys = ON;";
        if (sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return fail(kHistoryOpenFailed, "could not open", why);
        return migrate(why);
    }

    std::string where() const override { return path_; }

    int add_job(const JobRecord& j, const std::string& uid, std::string* why) override
    {
        return add_jobs({j}, {uid}, why);
    }

    // One transaction for them all: a burst of jobs that end together costs one commit.
    int add_jobs(const std::vector<JobRecord>& jobs, const std::vector<std::string>& uids, std::string* why) override
    {
        if (read_only_)
            return refuse(why);
        Stmt& job = statement(kInsertJob,
                              "INSERT INTO jobs (uid, run_id, station, front, command, started, ended, serial, "
                              "device_type, address, mac, result, message, login_ms, total_ms, version) "
                              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)");
        Stmt& file = statement(kInsertFile,
                               "INSERT INTO job_files (job_id, seq, kind, name, size, md5) "
                               "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        if (!job.get() || !file.get())
            return fail(kHistoryWriteFailed, "could not write to", why);
        if (!begin())
            return fail(kHistoryWriteFailed, "could not write to", why);
        bool ok = true;
        for (size_t k = 0; ok && k < jobs.size(); ++k) {
            const JobRecord& j = jobs[k];
            int i = 1;
            for (const std::string* s : {&uids[k], &j.run_id, &j.station, &j.front, &j.command, &j.started, &j.ended,
                                         &j.serial, &j.device_type, &j.address, &j.mac, &j.result, &j.message})
                job.text(i++, *s);
            job.optional(i++, j.login_ms);
            job.optional(i++, j.total_ms);
            job.text(i, j.version);
            ok = step_done(job);
            const int64_t id = sqlite3_last_insert_rowid(db_);
            for (size_t n = 0; ok && n < j.files.size(); ++n) {
                const FileSent& f = j.files[n];
                file.integer(1, id);
                file.integer(2, static_cast<int64_t>(n));
                file.text(3, f.kind);
                file.text(4, f.name);
                file.optional(5, f.size);
                file.text(6, f.md5);
                ok = step_done(file);
            }
        }
        return finish(ok, why);
    }

    int add_run(const RunRecord& r, std::string* why) override
    {
        if (read_only_)
            return refuse(why);
        Stmt& run = statement(kUpsertRun,
                              "INSERT INTO runs (run_id, station, front, command, options, started, ended, "
                              "recorders, ok, failed) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
                              "ON CONFLICT (run_id) DO UPDATE SET station = excluded.station, "
                              "front = excluded.front, command = excluded.command, options = excluded.options, "
                              "started = excluded.started, ended = excluded.ended, "
                              "recorders = excluded.recorders, ok = excluded.ok, failed = excluded.failed");
        if (!run.get())
            return fail(kHistoryWriteFailed, "could not write to", why);
        int i = 1;
        for (const std::string* s : {&r.run_id, &r.station, &r.front, &r.command, &r.options, &r.started, &r.ended})
            run.text(i++, *s);
        for (int n : {r.recorders, r.ok, r.failed})
            run.integer(i++, n);
        // One statement: its own transaction.
        if (!step_done(run))
            return fail(kHistoryWriteFailed, "could not write to", why);
        return kHistoryOk;
    }

    int query(const Filter& filter, std::vector<JobRecord>* out, std::string* why) override
    {
        std::vector<std::string> params;
        Stmt jobs;
        Stmt& files = statement(kSelectFiles,
                                "SELECT kind, name, size, md5 FROM job_files WHERE job_id = ?1 "
                                "ORDER BY seq");
        if (!files.get() || !jobs.prepare(db_, job_query_sql(filter, false, &params)))
            return fail(kHistoryReadFailed, "could not read", why);
        for (size_t i = 0; i < params.size(); ++i)
            jobs.text(static_cast<int>(i + 1), params[i]);
        // A read transaction, so that a job and its files are read as one.
        if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
            return fail(kHistoryReadFailed, "could not read", why);
        out->clear();
        int rc;
        while ((rc = sqlite3_step(jobs.get())) == SQLITE_ROW) {
            JobRecord r;
            int c = 1;
            for (std::string* s : {&r.station, &r.front, &r.command, &r.run_id, &r.started, &r.ended, &r.serial,
                                   &r.device_type, &r.address, &r.mac, &r.result, &r.message})
                *s = jobs.column_text(c++);
            r.login_ms = jobs.column_optional(c++);
            r.total_ms = jobs.column_optional(c++);
            r.version = jobs.column_text(c);
            files.integer(1, sqlite3_column_int64(jobs.get(), 0));
            int frc;
            while ((frc = sqlite3_step(files.get())) == SQLITE_ROW)
                r.files.push_back(
                    {files.column_text(0), files.column_text(1), files.column_optional(2), files.column_text(3)});
            files.reset();
            if (frc != SQLITE_DONE) {
                rc = frc;
                break;
            }
            out->push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            int result = fail(kHistoryReadFailed, "could not read", why);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            out->clear();
            return result;
        }
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        return kHistoryOk;
    }

    int query_runs(const Filter& filter, std::vector<RunRecord>* out, std::string* why) override
    {
        std::vector<std::string> params;
        Stmt runs;
        if (!runs.prepare(db_, run_query_sql(filter, false, &params)))
            return fail(kHistoryReadFailed, "could not read", why);
        for (size_t i = 0; i < params.size(); ++i)
            runs.text(static_cast<int>(i + 1), params[i]);
        out->clear();
        int rc;
        while ((rc = sqlite3_step(runs.get())) == SQLITE_ROW) {
            RunRecord r;
            int c = 0;
            for (std::string* s : {&r.run_id, &r.station, &r.front, &r.command, &r.options, &r.started, &r.ended})
                *s = runs.column_text(c++);
            r.recorders = sqlite3_column_int(runs.get(), c++);
            r.ok = sqlite3_column_int(runs.get(), c++);
            r.failed = sqlite3_column_int(runs.get(), c);
            out->push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            out->clear();
            return fail(kHistoryReadFailed, "could not read", why);
        }
        return kHistoryOk;
    }

    // ---- the queue of a shared store's writes ----

    int enqueue(const std::string& target, const std::string& kind, const std::string& payload,
                std::string* why) override
    {
        if (read_only_)
            return refuse(why);
        Stmt& add = statement(kEnqueue, "INSERT INTO outbox (target, kind, payload, queued) VALUES (?1, ?2, ?3, ?4)");
        if (!add.get())
            return fail(kHistoryWriteFailed, "could not write to", why);
        add.text(1, target);
        add.text(2, kind);
        add.blob(3, payload);
        add.text(4, utc_now());
        if (!step_done(add))
            return fail(kHistoryWriteFailed, "could not write to", why);
        return kHistoryOk;
    }

    int oldest(const std::string& target, QueuedWrite* out, std::string* why) override
    {
        Stmt& next = statement(kOldest, "SELECT id, kind, payload FROM outbox WHERE target = ?1 ORDER BY id LIMIT 1");
        if (!next.get())
            return fail(kHistoryReadFailed, "could not read", why);
        next.text(1, target);
        int rc = sqlite3_step(next.get());
        if (rc == SQLITE_ROW) {
            out->id = sqlite3_column_int64(next.get(), 0);
            out->kind = next.column_text(1);
            out->payload = next.column_blob(2);
        }
        int result = rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : fail(kHistoryReadFailed, "could not read", why);
        next.reset();
        return result;
    }

    int remove(int64_t id, std::string* why) override
    {
        Stmt& del = statement(kRemove, "DELETE FROM outbox WHERE id = ?1");
        if (!del.get())
            return fail(kHistoryWriteFailed, "could not write to", why);
        del.integer(1, id);
        if (!step_done(del))
            return fail(kHistoryWriteFailed, "could not write to", why);
        return kHistoryOk;
    }

    int count(const std::string& target) override
    {
        Stmt& n = statement(kCount, "SELECT count(*) FROM outbox WHERE target = ?1");
        if (!n.get())
            return 0;
        n.text(1, target);
        int result = sqlite3_step(n.get()) == SQLITE_ROW ? sqlite3_column_int(n.get(), 0) : 0;
        n.reset();
        return result;
    }

private:
    enum StatementId { kInsertJob, kInsertFile, kUpsertRun, kSelectFiles, kEnqueue, kOldest, kRemove, kCount, kCount_ };

    Stmt& statement(StatementId id, const char* sql)
    {
        if (statements_.empty())
            statements_.resize(kCount_);
        std::unique_ptr<Stmt>& s = statements_[id];
        if (!s) {
            s = std::make_unique<Stmt>();
            if (!s->prepare(db_, sql)) {
                s.reset();
                static Stmt none;
                return none;
            }
        }
        return *s;
    }

    int fail(int result, const char* what, std::string* why)
    {
        *why = std::string(what) + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return result;
    }

    int refuse(std::string* why)
    {
        *why = "not written to " + path_ + ": its schema version " + std::to_string(found_version_) +
            " is newer than this program's " + std::to_string(schema_version());
        return kHistoryNewerSchema;
    }

    // Turns the WAL journal on (it stays on in the file). Leaving the rollback journal takes the
    // file's exclusive lock, for which SQLite does not wait on its own when another process reads
    // it (two stations opening a new file at once): that is waited for here, within the busy
    // timeout.
    bool set_wal(std::string* mode)
    {
        int waited = 0;
        for (int pause = 1;; pause = std::min(pause * 2, 20)) {
            Stmt wal;
            if (!wal.prepare(db_, "PRAGMA journal_mode = WAL"))
                return false;
            int rc = sqlite3_step(wal.get());
            if (rc == SQLITE_ROW) {
                *mode = wal.column_text(0);
                return true;
            }
            if ((rc & 0xff) != SQLITE_BUSY || waited >= kBusyTimeoutMs)
                return false;
            sqlite3_sleep(pause);
            waited += pause;
        }
    }

    bool begin() { return sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK; }

    // Runs a statement that returns no rows and makes it ready for the next use.
    bool step_done(Stmt& s)
    {
        bool ok = sqlite3_step(s.get()) == SQLITE_DONE;
        s.reset();
        return ok;
    }

    // Commits when ok, else rolls back; the reason is taken before the rollback replaces it.
    int finish(bool ok, std::string* why)
    {
        if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
            return kHistoryOk;
        int result = fail(kHistoryWriteFailed, "could not write to", why);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }

    // The version written in the file; 0 for a new file. -1 on failure.
    int read_version()
    {
        Stmt v;
        if (!v.prepare(db_, "SELECT coalesce(max(version), 0) FROM schema_version"))
            return sqlite3_errcode(db_) == SQLITE_ERROR ? 0 : -1;  // no such table: a new file
        return sqlite3_step(v.get()) == SQLITE_ROW ? sqlite3_column_int(v.get(), 0) : -1;
    }

    // Brings the file to this program's schema in one transaction (another process doing the same
    // at the same time waits, then finds it done). A newer file is left as it is, for reading.
    int migrate(std::string* why)
    {
        const int latest = schema_version();
        int v = read_version();
        if (v == latest)
            return kHistoryOk;
        if (v > latest) {
            found_version_ = v;
            read_only_ = true;
            refuse(why);
            return kHistoryNewerSchema;
        }
        if (!begin())
            return fail(kHistoryOpenFailed, "could not open", why);
        bool ok = sqlite3_exec(db_, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", nullptr,
                               nullptr, nullptr) == SQLITE_OK;
        v = ok ? read_version() : -1;
        ok = v >= 0;
        if (ok && v > latest) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            found_version_ = v;
            read_only_ = true;
            refuse(why);
            return kHistoryNewerSchema;
        }
        for (const Migration& m : migrations()) {
            if (ok && m.version > v)
                ok = sqlite3_exec(db_, m.sqlite, nullptr, nullptr, nullptr) == SQLITE_OK;
        }
        if (ok && v < latest) {
            std::string set = "DELETE FROM schema_version; INSERT INTO schema_version (version) VALUES (" +
                std::to_string(latest) + ")";
            ok = sqlite3_exec(db_, set.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        }
        if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
            return kHistoryOk;
        int result = fail(kHistoryOpenFailed, "could not open", why);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    std::vector<std::unique_ptr<Stmt>> statements_;
    bool read_only_ = false;
    int found_version_ = 0;
};

}  // namespace

int open_sqlite(const std::string& path, const OpenOptions& options, std::unique_ptr<Backend>* out, std::string* why)
{
    auto store = std::make_unique<SqliteStore>(path);
    int rc = store->open(options, why);
    if (rc == kHistoryOk || rc == kHistoryNewerSchema)
        *out = std::move(store);
    return rc;
}

int open_local_queue(const std::string& path, const OpenOptions& options, std::unique_ptr<LocalQueue>* out,
                     std::string* why)
{
    auto store = std::make_unique<SqliteStore>(path);
    int rc = store->open(options, why);
    if (rc == kHistoryOk)
        *out = std::move(store);
    return rc;
}

}  // namespace history

// The store a line's stations share: a PostgreSQL database through libpq. A write the server does
// not take (away, connection lost, refused) waits in the station's SQLite file and is sent, in
// order, before the next write or on flush(); each job carries its own uid, so one that reached the
// server before its answer was lost is not stored twice.
#include "history/backend.h"
#include "history/schema.h"

#ifndef DRAVLIN_HISTORY_POSTGRESQL

namespace history {

int open_postgres(const std::string&, const OpenOptions&, std::unique_ptr<Backend>*, std::string* why)
{
#ifdef _WIN32
    *why = "PostgreSQL is not available in this build of the history: on Windows it is kept in SQLite files only";
#else
    *why = "PostgreSQL is not available in this build of the history";
#endif
    return kHistoryUnavailable;
}

}  // namespace history

#else

#include "history/libpq_lazy.h"

#include <chrono>
#include <cstdlib>
#include <map>

namespace history {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kConnectTimeoutSeconds = "5";
// A server that refuses at once is tried again at the next write; one that makes a try wait (an
// unreachable host) is left alone for a while, so that it costs the runner one wait, not one per
// job.
constexpr auto kSlowFailure = std::chrono::seconds(1);
constexpr auto kRetryAfterSlowFailure = std::chrono::seconds(30);
// Taken by whichever station brings the schema up to date; the others wait for it.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7236837116372054356)";

// One line: libpq's messages end in a newline and may hold a hint on a second line.
std::string one_line(const char* message)
{
    std::string s;
    for (const char* p = message ? message : ""; *p; ++p) {
        char c = (*p == '\n' || *p == '\t' || *p == '\r') ? ' ' : *p;
        if (c == ' ' && (s.empty() || s.back() == ' '))
            continue;
        s += c;
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return "PostgreSQL: " + (s.empty() ? std::string("no answer") : s);
}

void no_notices(void*, const char*) { }

// A result freed with its owner.
class Result {
public:
    explicit Result(PGresult* r) : r_(r) { }
    ~Result() { lib::PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }
    bool ok() const
    {
        ExecStatusType s = lib::PQresultStatus(r_);
        return r_ && (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK);
    }
    int rows() const { return lib::PQntuples(r_); }
    std::string text(int row, int col) const
    {
        return std::string(lib::PQgetvalue(r_, row, col), static_cast<size_t>(lib::PQgetlength(r_, row, col)));
    }
    int64_t optional(int row, int col) const
    {
        return lib::PQgetisnull(r_, row, col) ? -1 : std::strtoll(lib::PQgetvalue(r_, row, col), nullptr, 10);
    }

private:
    PGresult* r_;
};

// A PostgreSQL array literal of texts: every element quoted, with \ and " escaped.
std::string text_array(const std::vector<std::string>& items)
{
    std::string out = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        out += i ? ",\"" : "\"";
        for (char c : items[i]) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

std::string optional_text(int64_t v) { return v < 0 ? std::string() : std::to_string(v); }

class PgStore final : public Backend {
public:
    PgStore(std::string conninfo, std::string target, std::unique_ptr<LocalQueue> queue)
        : conninfo_(std::move(conninfo)), target_(std::move(target)), queue_(std::move(queue))
    { }
    ~PgStore() override { disconnect(); }

    std::string where() const override { return target_; }

    // Connects now (kHistoryOk), or says why not (kHistoryQueued: writes will wait on the station;
    // kHistoryNewerSchema: they are not taken there).
    int start(std::string* why)
    {
        if (connect(true, why) && read_only_) {
            refuse(why);
            return kHistoryNewerSchema;
        }
        if (conn_)
            return kHistoryOk;
        *why += "; writes wait in " + queue_->where() + " until it answers";
        return kHistoryQueued;
    }

    int add_job(const JobRecord& job, const std::string& uid, std::string* why) override
    {
        return write("job", encode_job(job, uid), why);
    }

    int add_run(const RunRecord& run, std::string* why) override { return write("run", encode_run(run), why); }

    int flush(std::string* why) override
    {
        if (queue_->count(target_) == 0)
            return kHistoryOk;
        return send_queued(true, why) ? kHistoryOk : kHistoryQueued;
    }

    int pending() override { return queue_->count(target_); }

    int query(const Filter& filter, std::vector<JobRecord>* out, std::string* why) override
    {
        out->clear();
        if (!connect(true, why))
            return kHistoryReadFailed;
        std::vector<std::string> params;
        // One statement, so the jobs and their files are read as one.
        Result rows(exec("WITH j AS (" + job_query_sql(filter, true, &params) +
                             ") SELECT j.*, f.kind, f.name, f.size, f.md5 FROM j "
                             "LEFT JOIN job_files f ON f.job_id = j.id ORDER BY j.started DESC, j.id DESC, f.seq",
                         params));
        if (!rows.ok())
            return failed(rows.get(), kHistoryReadFailed, why);
        std::string last_id;
        for (int r = 0; r < rows.rows(); ++r) {
            if (out->empty() || rows.text(r, 0) != last_id) {
                last_id = rows.text(r, 0);
                JobRecord j;
                int c = 1;
                for (std::string* s : {&j.station, &j.front, &j.command, &j.run_id, &j.started, &j.ended, &j.serial,
                                       &j.device_type, &j.address, &j.mac, &j.result, &j.message})
                    *s = rows.text(r, c++);
                j.login_ms = rows.optional(r, c++);
                j.total_ms = rows.optional(r, c++);
                j.version = rows.text(r, c);
                out->push_back(std::move(j));
            }
            if (!lib::PQgetisnull(rows.get(), r, 16))
                out->back().files.push_back(
                    {rows.text(r, 16), rows.text(r, 17), rows.optional(r, 18), rows.text(r, 19)});
        }
        return kHistoryOk;
    }

    int query_runs(const Filter& filter, std::vector<RunRecord>* out, std::string* why) override
    {
        out->clear();
        if (!connect(true, why))
            return kHistoryReadFailed;
        std::vector<std::string> params;
        Result runs(exec(run_query_sql(filter, true, &params), params));
        if (!runs.ok())
            return failed(runs.get(), kHistoryReadFailed, why);
        for (int r = 0; r < runs.rows(); ++r) {
            RunRecord run;
            int c = 0;
            for (std::string* s :
                 {&run.run_id, &run.station, &run.front, &run.command, &run.options, &run.started, &run.ended})
                *s = runs.text(r, c++);
            run.recorders = static_cast<int>(runs.optional(r, c++));
            run.ok = static_cast<int>(runs.optional(r, c++));
            run.failed = static_cast<int>(runs.optional(r, c));
            out->push_back(std::move(run));
        }
        return kHistoryOk;
    }

private:
    // Sends the queue first, so the server gets every record in the order they were written;
    // anything not sent joins the end of the queue.
    int write(const char* kind, const std::string& payload, std::string* why)
    {
        bool sent = false;
        if (send_queued(false, why))
            sent = send(kind, payload, why);
        if (sent)
            return kHistoryOk;
        std::string queue_why;
        if (queue_->enqueue(target_, kind, payload, &queue_why) != kHistoryOk) {
            *why += "; not kept either: " + queue_why;
            return kHistoryWriteFailed;
        }
        *why += "; kept in " + queue_->where() + " until it answers";
        return kHistoryQueued;
    }

    // True once nothing waits for this store. force: try to connect even just after a failed try.
    bool send_queued(bool force, std::string* why)
    {
        QueuedWrite w;
        int rc;
        while ((rc = queue_->oldest(target_, &w, why)) == 1) {
            if (!connect(force, why) || !send(w.kind.c_str(), w.payload, why))
                return false;
            if (queue_->remove(w.id, why) != kHistoryOk)
                return false;
        }
        return rc == 0 && connect(force, why);
    }

    // One record to the server, connecting again once when the connection turns out broken (a
    // server restarted since the last write).
    bool send(const char* kind, const std::string& payload, std::string* why)
    {
        if (read_only_) {
            refuse(why);
            return false;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connect(attempt > 0, why))
                return false;
            int rc = send_once(kind, payload, why);
            if (rc >= 0)
                return rc > 0;
        }
        return false;
    }

    // 1 sent; 0 not sent (and why); -1 the connection broke.
    int send_once(const char* kind, const std::string& payload, std::string* why)
    {
        JobRecord j;
        RunRecord r;
        std::string uid;
        std::unique_ptr<Result> res;
        if (std::string(kind) == "job" && decode_job(payload, &j, &uid)) {
            std::vector<std::string> seq, kinds, names, sizes, md5s;
            for (size_t i = 0; i < j.files.size(); ++i) {
                seq.push_back(std::to_string(i));
                kinds.push_back(j.files[i].kind);
                names.push_back(j.files[i].name);
                sizes.push_back(j.files[i].size < 0 ? "NULL" : std::to_string(j.files[i].size));
                md5s.push_back(j.files[i].md5);
            }
            // One statement, so one transaction: the job and its files, or nothing.
            res = std::make_unique<Result>(
                exec("WITH job AS (INSERT INTO jobs (uid, run_id, station, front, command, started, ended, serial, "
                     "device_type, address, mac, result, message, login_ms, total_ms, version) VALUES ($1, $2, $3, "
                     "$4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14::bigint, $15::bigint, $16) "
                     "ON CONFLICT (uid) DO NOTHING RETURNING id) "
                     "INSERT INTO job_files (job_id, seq, kind, name, size, md5) "
                     "SELECT job.id, f.seq, f.kind, f.name, f.size, f.md5 FROM job, "
                     "unnest($17::int[], $18::text[], $19::text[], $20::bigint[], $21::text[]) "
                     "AS f (seq, kind, name, size, md5)",
                     {uid,
                      j.run_id,
                      j.station,
                      j.front,
                      j.command,
                      j.started,
                      j.ended,
                      j.serial,
                      j.device_type,
                      j.address,
                      j.mac,
                      j.result,
                      j.message,
                      optional_text(j.login_ms),
                      optional_text(j.total_ms),
                      j.version,
                      "{" + join(seq) + "}",
                      text_array(kinds),
                      text_array(names),
                      "{" + join(sizes) + "}",
                      text_array(md5s)},
                     {13, 14}));
        } else if (std::string(kind) == "run" && decode_run(payload, &r)) {
            res = std::make_unique<Result>(exec(
                "INSERT INTO runs (run_id, station, front, command, options, started, ended, recorders, ok, failed) "
                "VALUES ($1, $2, $3, $4, $5, $6, $7, $8::int, $9::int, $10::int) ON CONFLICT (run_id) DO UPDATE SET "
                "station = excluded.station, front = excluded.front, command = excluded.command, "
                "options = excluded.options, started = excluded.started, ended = excluded.ended, "
                "recorders = excluded.recorders, ok = excluded.ok, failed = excluded.failed",
                {r.run_id, r.station, r.front, r.command, r.options, r.started, r.ended, std::to_string(r.recorders),
                 std::to_string(r.ok), std::to_string(r.failed)}));
        } else {
            // Not a record this program wrote: nothing to send, and it must not hold up the rest.
            *why = "a queued " + std::string(kind) + " record could not be read";
            return 1;
        }
        if (res->ok())
            return 1;
        failed(res->get(), kHistoryWriteFailed, why);
        if (lib::PQstatus(conn_) == CONNECTION_BAD) {
            disconnect();
            return -1;
        }
        return 0;
    }

    static std::string join(const std::vector<std::string>& items)
    {
        std::string out;
        for (const std::string& s : items)
            out += (out.empty() ? "" : ",") + s;
        return out;
    }

    // Text parameters; those whose index is in null_when_empty are NULL when "".
    PGresult* exec(const std::string& sql, const std::vector<std::string>& params,
                   std::initializer_list<int> null_when_empty = {})
    {
        std::vector<const char*> values;
        for (size_t i = 0; i < params.size(); ++i) {
            bool null = false;
            for (int n : null_when_empty)
                null = null || (static_cast<size_t>(n) == i && params[i].empty());
            values.push_back(null ? nullptr : params[i].c_str());
        }
        return lib::PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0);
    }

    int failed(PGresult* res, int result, std::string* why)
    {
        const char* msg = res ? lib::PQresultErrorMessage(res) : "";
        *why = one_line(msg && *msg ? msg : lib::PQerrorMessage(conn_));
        if (lib::PQstatus(conn_) == CONNECTION_BAD)
            disconnect();
        return result;
    }

    void refuse(std::string* why)
    {
        *why = "not written to " + target_ + ": its schema version " + std::to_string(found_version_) +
            " is newer than this program's " + std::to_string(schema_version());
    }

    void disconnect()
    {
        if (conn_)
            lib::PQfinish(conn_);
        conn_ = nullptr;
    }

    // True when connected with the schema ready. Unless forced, not again soon after a try that
    // failed slowly.
    bool connect(bool force, std::string* why)
    {
        if (conn_ && lib::PQstatus(conn_) == CONNECTION_OK)
            return true;
        disconnect();
        schema_failure_.clear();
        if (!force && Clock::now() < retry_at_) {
            *why = last_failure_;
            return false;
        }
        std::vector<const char*> keys, values;
        if (!std::getenv("PGCONNECT_TIMEOUT")) {
            keys.push_back("connect_timeout");
            values.push_back(kConnectTimeoutSeconds);
        }
        // The connection string last, so that what it says wins.
        keys.push_back("dbname");
        values.push_back(conninfo_.c_str());
        keys.push_back(nullptr);
        values.push_back(nullptr);
        const Clock::time_point tried = Clock::now();
        conn_ = lib::PQconnectdbParams(keys.data(), values.data(), 1);
        if (!conn_ || lib::PQstatus(conn_) != CONNECTION_OK || !ready_schema()) {
            last_failure_ = one_line(conn_ ? lib::PQerrorMessage(conn_) : "out of memory");
            if (!schema_failure_.empty())
                last_failure_ = schema_failure_;
            *why = last_failure_;
            disconnect();
            if (Clock::now() - tried >= kSlowFailure)
                retry_at_ = Clock::now() + kRetryAfterSlowFailure;
            return false;
        }
        return true;
    }

    // Brings the database to this program's schema: one station at a time (advisory lock), all of
    // it or nothing (one transaction). A database at the schema needs no rights beyond writing rows.
    bool ready_schema()
    {
        lib::PQsetNoticeProcessor(conn_, no_notices, nullptr);
        const int latest = schema_version();
        int v = read_version();
        if (v == latest || v > latest) {
            read_only_ = v > latest;
            found_version_ = v;
            return true;
        }
        bool ok = command("BEGIN") && command(kSchemaLock) &&
            command("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        v = ok ? read_version() : -1;
        ok = v >= 0;
        for (const Migration& m : migrations()) {
            if (ok && m.version > v)
                ok = command(m.postgres);
        }
        if (ok && v < latest)
            ok = command("DELETE FROM schema_version") &&
                command("INSERT INTO schema_version (version) VALUES (" + std::to_string(latest) + ")");
        if (ok && command("COMMIT")) {
            read_only_ = v > latest;
            found_version_ = v;
            return true;
        }
        Result rollback(lib::PQexec(conn_, "ROLLBACK"));
        return false;
    }

    // The version in the database; 0 when it has no schema yet, -1 on failure.
    int read_version()
    {
        Result has(lib::PQexec(conn_, "SELECT to_regclass('schema_version') IS NOT NULL"));
        if (!has.ok() || has.rows() != 1) {
            schema_failure_ = one_line(lib::PQresultErrorMessage(has.get()));
            return -1;
        }
        if (has.text(0, 0) != "t")
            return 0;
        Result v(lib::PQexec(conn_, "SELECT coalesce(max(version), 0) FROM schema_version"));
        if (!v.ok() || v.rows() != 1) {
            schema_failure_ = one_line(lib::PQresultErrorMessage(v.get()));
            return -1;
        }
        return std::atoi(v.text(0, 0).c_str());
    }

    bool command(const std::string& sql)
    {
        Result r(lib::PQexec(conn_, sql.c_str()));
        if (!r.ok())
            schema_failure_ = one_line(lib::PQresultErrorMessage(r.get()));
        return r.ok();
    }

    std::string conninfo_;
    std::string target_;
    std::unique_ptr<LocalQueue> queue_;
    PGconn* conn_ = nullptr;
    Clock::time_point retry_at_{};
    std::string last_failure_;
    std::string schema_failure_;
    bool read_only_ = false;
    int found_version_ = 0;
};

// user@host:port/dbname of a connection string, with libpq's defaults (PG* variables) for what it
// leaves out and never its password: the store's name in messages, and the key of its queue.
int describe(const std::string& conninfo, std::string* target, std::string* why)
{
    char* err = nullptr;
    PQconninfoOption* given = lib::PQconninfoParse(conninfo.c_str(), &err);
    if (!given) {
        *why = "bad PostgreSQL connection string: " + std::string(err ? err : "out of memory");
        while (!why->empty() && (why->back() == '\n' || why->back() == ' '))
            why->pop_back();
        lib::PQfreemem(err);
        return kHistoryBadLocation;
    }
    std::map<std::string, std::string> v;
    if (PQconninfoOption* defaults = lib::PQconndefaults()) {
        for (PQconninfoOption* o = defaults; o->keyword; ++o)
            if (o->val)
                v[o->keyword] = o->val;
        lib::PQconninfoFree(defaults);
    }
    for (PQconninfoOption* o = given; o->keyword; ++o)
        if (o->val && *o->val)
            v[o->keyword] = o->val;
    lib::PQconninfoFree(given);
    std::string host = v["host"].empty() ? v["hostaddr"] : v["host"];
    std::string db = v["dbname"].empty() ? v["user"] : v["dbname"];
    *target = "postgresql://" + (v["user"].empty() ? "" : v["user"] + "@") + host +
        (v["port"].empty() ? "" : ":" + v["port"]) + "/" + db;
    return kHistoryOk;
}

}  // namespace

int open_postgres(const std::string& conninfo, const OpenOptions& options, std::unique_ptr<Backend>* out,
                  std::string* why)
{
    if (!lib::load_libpq(why))
        return kHistoryUnavailable;
    std::string target;
    int rc = describe(conninfo, &target, why);
    if (rc != kHistoryOk)
        return rc;
    std::string local = options.local_path.empty() ? default_path(why) : options.local_path;
    if (local.empty())
        return kHistoryOpenFailed;
    std::unique_ptr<LocalQueue> queue;
    rc = open_local_queue(local, options, &queue, why);
    if (rc != kHistoryOk) {
        *why = "the station's file for writes waiting on " + target + ": " + *why;
        return rc == kHistoryNewerSchema ? rc : kHistoryOpenFailed;
    }
    auto store = std::make_unique<PgStore>(conninfo, target, std::move(queue));
    rc = store->start(why);
    *out = std::move(store);
    return rc;
}

}  // namespace history

#endif

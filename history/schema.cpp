#include "history/schema.h"

#include <cstdlib>

namespace history {

namespace {

// Times are UTC texts of one fixed form, so they sort as text; PostgreSQL compares them
// byte by byte ("C"), whatever the database's locale.
// clang-format off
const char* const kV1Sqlite = R"sql(
CREATE TABLE runs (
    run_id    TEXT PRIMARY KEY,
    station   TEXT NOT NULL,
    front     TEXT NOT NULL,
    command   TEXT NOT NULL,
    options   TEXT NOT NULL,
    started   TEXT NOT NULL,
    ended     TEXT NOT NULL,
    recorders INTEGER NOT NULL,
    ok        INTEGER NOT NULL,
    failed    INTEGER NOT NULL
);
CREATE TABLE jobs (
    id          INTEGER PRIMARY KEY,
    uid         TEXT NOT NULL UNIQUE,
    run_id      TEXT NOT NULL,
    station     TEXT NOT NULL,
    front       TEXT NOT NULL,
    command     TEXT NOT NULL,
    started     TEXT NOT NULL,
    ended       TEXT NOT NULL,
    serial      TEXT NOT NULL,
    device_type TEXT NOT NULL,
    address     TEXT NOT NULL,
    mac         TEXT NOT NULL,
    result      TEXT NOT NULL,
    message     TEXT NOT NULL,
    login_ms    INTEGER,
    total_ms    INTEGER,
    version     TEXT NOT NULL
);
CREATE TABLE job_files (
    job_id INTEGER NOT NULL REFERENCES jobs (id) ON DELETE CASCADE,
    seq    INTEGER NOT NULL,
    kind   TEXT NOT NULL,
    name   TEXT NOT NULL,
    size   INTEGER,
    md5    TEXT NOT NULL,
    PRIMARY KEY (job_id, seq)
);
-- Writes for a shared store that did not answer, oldest first; the station's file only.
CREATE TABLE outbox (
    id      INTEGER PRIMARY KEY,
    target  TEXT NOT NULL,
    kind    TEXT NOT NULL,
    payload BLOB NOT NULL,
    queued  TEXT NOT NULL
);
CREATE INDEX outbox_by_target ON outbox (target, id);
)sql";

const char* const kV1Postgres = R"sql(
CREATE TABLE runs (
    run_id    TEXT PRIMARY KEY,
    station   TEXT NOT NULL,
    front     TEXT NOT NULL,
    command   TEXT NOT NULL,
    options   TEXT NOT NULL,
    started   TEXT COLLATE "C" NOT NULL,
    ended     TEXT COLLATE "C" NOT NULL,
    recorders INTEGER NOT NULL,
    ok        INTEGER NOT NULL,
    failed    INTEGER NOT NULL
);
CREATE TABLE jobs (
    id          BIGSERIAL PRIMARY KEY,
    uid         TEXT NOT NULL UNIQUE,
    run_id      TEXT NOT NULL,
    station     TEXT NOT NULL,
    front       TEXT NOT NULL,
    command     TEXT NOT NULL,
    started     TEXT COLLATE "C" NOT NULL,
    ended       TEXT COLLATE "C" NOT NULL,
    serial      TEXT NOT NULL,
    device_type TEXT NOT NULL,
    address     TEXT NOT NULL,
    mac         TEXT NOT NULL,
    result      TEXT NOT NULL,
    message     TEXT NOT NULL,
    login_ms    BIGINT,
    total_ms    BIGINT,
    version     TEXT NOT NULL
);
CREATE TABLE job_files (
    job_id BIGINT NOT NULL REFERENCES jobs (id) ON DELETE CASCADE,
    seq    INTEGER NOT NULL,
    kind   TEXT NOT NULL,
    name   TEXT NOT NULL,
    size   BIGINT,
    md5    TEXT NOT NULL,
    PRIMARY KEY (job_id, seq)
);
)sql";

// The history's filters (a serial's jobs, the jobs since a time) without reading every row of
// a line's long history.
const char* const kV2 = R"sql(
CREATE INDEX jobs_by_serial ON jobs (serial, started);
CREATE INDEX jobs_by_started ON jobs (started);
CREATE INDEX runs_by_started ON runs (started);
)sql";
// clang-format on

void where_equal(std::string* sql, const char* column, const std::string& value, bool postgres,
                 std::vector<std::string>* params)
{
    if (value.empty())
        return;
    params->push_back(value);
    *sql += std::string(" AND ") + column + (postgres ? "$" : "?") + std::to_string(params->size());
}

void where_common(std::string* sql, const Filter& f, bool postgres, std::vector<std::string>* params)
{
    where_equal(sql, "started >= ", f.since, postgres, params);
    where_equal(sql, "command = ", f.command, postgres, params);
    where_equal(sql, "station = ", f.station, postgres, params);
}

void add_field(std::string* out, const std::string& v)
{
    *out += std::to_string(v.size());
    *out += ':';
    *out += v;
}

// Reads the fields back; false when the text is not a whole sequence of them.
bool split_fields(const std::string& data, std::vector<std::string>* fields)
{
    size_t pos = 0;
    while (pos < data.size()) {
        size_t colon = data.find(':', pos);
        if (colon == std::string::npos || colon == pos || colon - pos > 10)
            return false;
        size_t len = 0;
        for (size_t i = pos; i < colon; ++i) {
            if (data[i] < '0' || data[i] > '9')
                return false;
            len = len * 10 + static_cast<size_t>(data[i] - '0');
        }
        if (len > data.size() - colon - 1)
            return false;
        fields->push_back(data.substr(colon + 1, len));
        pos = colon + 1 + len;
    }
    return true;
}

bool to_int64(const std::string& s, int64_t* v)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    long long n = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    *v = n;
    return true;
}

const char* const kJobFormat = "job1";
const char* const kRunFormat = "run1";
constexpr size_t kJobFixedFields = 18;  // format, uid, 15 fields, file count
constexpr size_t kRunFields = 11;

}  // namespace

const std::vector<Migration>& migrations()
{
    static const std::vector<Migration> steps = {
        {1, kV1Sqlite, kV1Postgres},
        {2, kV2, kV2},
    };
    return steps;
}

std::string job_query_sql(const Filter& f, bool postgres, std::vector<std::string>* params)
{
    std::string sql = std::string("SELECT ") + kJobColumns + " FROM jobs WHERE 1 = 1";
    where_equal(&sql, "serial = ", f.serial, postgres, params);
    where_common(&sql, f, postgres, params);
    if (f.failed_only)
        sql += " AND result <> 'ok'";
    sql += " ORDER BY started DESC, id DESC";
    if (f.limit > 0)
        sql += " LIMIT " + std::to_string(f.limit);
    return sql;
}

std::string run_query_sql(const Filter& f, bool postgres, std::vector<std::string>* params)
{
    std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE 1 = 1";
    where_common(&sql, f, postgres, params);
    sql += " ORDER BY started DESC, run_id DESC";
    if (f.limit > 0)
        sql += " LIMIT " + std::to_string(f.limit);
    return sql;
}

std::string encode_job(const JobRecord& j, const std::string& uid)
{
    std::string out;
    for (const std::string* s : {&uid, &j.station, &j.front, &j.command, &j.run_id, &j.started, &j.ended, &j.serial,
                                 &j.device_type, &j.address, &j.mac, &j.result, &j.message})
        add_field(&out, *s);
    add_field(&out, std::to_string(j.login_ms));
    add_field(&out, std::to_string(j.total_ms));
    add_field(&out, j.version);
    add_field(&out, std::to_string(j.files.size()));
    for (const FileSent& f : j.files) {
        add_field(&out, f.kind);
        add_field(&out, f.name);
        add_field(&out, std::to_string(f.size));
        add_field(&out, f.md5);
    }
    std::string head;
    add_field(&head, kJobFormat);
    return head + out;
}

bool decode_job(const std::string& data, JobRecord* j, std::string* uid)
{
    std::vector<std::string> v;
    if (!split_fields(data, &v) || v.size() < kJobFixedFields || v[0] != kJobFormat)
        return false;
    int64_t files = 0;
    if (!to_int64(v[17], &files) || files < 0 || v.size() != kJobFixedFields + 4 * static_cast<size_t>(files))
        return false;
    JobRecord r;
    *uid = v[1];
    std::string* text[] = {&r.station, &r.front,       &r.command, &r.run_id, &r.started, &r.ended,
                           &r.serial,  &r.device_type, &r.address, &r.mac,    &r.result,  &r.message};
    for (size_t i = 0; i < 12; ++i)
        *text[i] = v[2 + i];
    if (!to_int64(v[14], &r.login_ms) || !to_int64(v[15], &r.total_ms))
        return false;
    r.version = v[16];
    for (int64_t i = 0; i < files; ++i) {
        const size_t at = kJobFixedFields + 4 * static_cast<size_t>(i);
        FileSent f;
        f.kind = v[at];
        f.name = v[at + 1];
        if (!to_int64(v[at + 2], &f.size))
            return false;
        f.md5 = v[at + 3];
        r.files.push_back(std::move(f));
    }
    *j = std::move(r);
    return true;
}

std::string encode_run(const RunRecord& r)
{
    std::string out;
    add_field(&out, kRunFormat);
    for (const std::string* s : {&r.run_id, &r.station, &r.front, &r.command, &r.options, &r.started, &r.ended})
        add_field(&out, *s);
    for (int n : {r.recorders, r.ok, r.failed})
        add_field(&out, std::to_string(n));
    return out;
}

bool decode_run(const std::string& data, RunRecord* r)
{
    std::vector<std::string> v;
    if (!split_fields(data, &v) || v.size() != kRunFields || v[0] != kRunFormat)
        return false;
    RunRecord out;
    std::string* text[] = {&out.run_id, &out.station, &out.front, &out.command, &out.options, &out.started, &out.ended};
    for (size_t i = 0; i < 7; ++i)
        *text[i] = v[1 + i];
    int* counts[] = {&out.recorders, &out.ok, &out.failed};
    for (size_t i = 0; i < 3; ++i) {
        int64_t n = 0;
        if (!to_int64(v[8 + i], &n))
            return false;
        *counts[i] = static_cast<int>(n);
    }
    *r = std::move(out);
    return true;
}

}  // namespace history

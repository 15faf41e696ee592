// The history's tables, the same in SQLite and PostgreSQL, as a list of migrations: a store at
// version N gets every step above N, in one transaction. A step is never changed once it has
// shipped; a new column or table is a new step at the end.
#pragma once

#include "history/history.h"

#include <string>
#include <vector>

namespace history {

struct Migration {
    int version;           // the schema's version once this step is applied
    const char* sqlite;    // statements for SQLite
    const char* postgres;  // the same for PostgreSQL
};

// Steps 1, 2, ... in order.
const std::vector<Migration>& migrations();

// The jobs' SELECT for a filter: columns in the order read_job_columns() expects, newest first.
// Its values go to *params; placeholders are ?1.. (SQLite) or $1.. (PostgreSQL), which both
// number from 1.
std::string job_query_sql(const Filter& filter, bool postgres, std::vector<std::string>* params);
std::string run_query_sql(const Filter& filter, bool postgres, std::vector<std::string>* params);

constexpr const char* kJobColumns = "id, station, front, command, run_id, started, ended, serial, device_type, "
                                    "address, mac, result, message, login_ms, total_ms, version";
constexpr const char* kRunColumns = "run_id, station, front, command, options, started, ended, recorders, ok, failed";

// The record of a write waiting on the station for a shared store: a format version, then each
// field as "<length>:<bytes>". The job's uid goes with it so that sending it twice (the answer lost
// after the server stored it) still makes one row.
std::string encode_job(const JobRecord& job, const std::string& uid);
bool decode_job(const std::string& data, JobRecord* job, std::string* uid);
std::string encode_run(const RunRecord& run);
bool decode_run(const std::string& data, RunRecord* run);

}  // namespace history

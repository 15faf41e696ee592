// dravlinctl history: what was done to which recorder, from the history store.
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/fleet_files.h"
#include "history/history.h"

#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

std::string files_text(const history::JobRecord& r)
{
    std::string t;
    for (const auto& f : r.files) {
        // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on "" + a temporary.
        if (!t.empty())
            t += "; ";
        t.append(f.kind).append(" ").append(f.name);
        if (!f.md5.empty())
            t.append(" ").append(f.md5);
    }
    return t;
}

void write_csv(FILE* out, const std::vector<history::JobRecord>& rows)
{
    std::fprintf(out,
                 "started,ended,station,front,command,serial,device_type,address,mac,result,message,login_ms,"
                 "total_ms,files,version\r\n");
    for (const auto& r : rows) {
        const std::string fields[] = {r.started,
                                      r.ended,
                                      r.station,
                                      r.front,
                                      r.command,
                                      r.serial,
                                      r.device_type,
                                      r.address,
                                      r.mac,
                                      r.result,
                                      r.message,
                                      r.login_ms < 0 ? "" : std::to_string(r.login_ms),
                                      r.total_ms < 0 ? "" : std::to_string(r.total_ms),
                                      files_text(r),
                                      r.version};
        std::string line;
        for (const std::string& f : fields) {
            if (!line.empty())
                line += ',';
            line += csv_field(f);
        }
        std::fprintf(out, "%s\r\n", line.c_str());
    }
}

std::string ms_json(int64_t ms) { return ms < 0 ? "null" : std::to_string(ms); }

void write_json(FILE* out, const std::vector<history::JobRecord>& rows)
{
    std::fprintf(out, "[");
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        std::fprintf(out,
                     "%s\n  {\"started\": %s, \"ended\": %s, \"station\": %s, \"front\": %s, \"command\": %s, "
                     "\"run\": %s, \"serial\": %s, \"device_type\": %s, \"address\": %s, \"mac\": %s, \"ok\": %s, "
                     "\"result\": %s, \"message\": %s, \"login_ms\": %s, \"total_ms\": %s, \"version\": %s, "
                     "\"files\": [",
                     i ? "," : "", json_quote(r.started).c_str(), json_quote(r.ended).c_str(),
                     json_quote(r.station).c_str(), json_quote(r.front).c_str(), json_quote(r.command).c_str(),
                     json_quote(r.run_id).c_str(), json_quote(r.serial).c_str(), json_quote(r.device_type).c_str(),
                     json_quote(r.address).c_str(), json_quote(r.mac).c_str(), r.result == "ok" ? "true" : "false",
                     json_quote(r.result).c_str(), json_quote(r.message).c_str(), ms_json(r.login_ms).c_str(),
                     ms_json(r.total_ms).c_str(), json_quote(r.version).c_str());
        for (size_t k = 0; k < r.files.size(); ++k) {
            const auto& f = r.files[k];
            std::fprintf(out, "%s{\"kind\": %s, \"name\": %s, \"size\": %s, \"md5\": %s}", k ? ", " : "",
                         json_quote(f.kind).c_str(), json_quote(f.name).c_str(),
                         f.size < 0 ? "null" : std::to_string(f.size).c_str(), json_quote(f.md5).c_str());
        }
        std::fprintf(out, "]}");
    }
    std::fprintf(out, "%s]\n", rows.empty() ? "" : "\n");
}

void write_table(FILE* out, const std::vector<history::JobRecord>& rows)
{
    std::fprintf(out, "%-24s %-16s %-20s %-10s %-15s %-8s %s\n", "STARTED", "STATION", "SERIAL", "COMMAND", "ADDRESS",
                 "RESULT", "DETAIL");
    for (const auto& r : rows) {
        const std::string detail = r.message.empty() ? files_text(r) : r.message;
        std::fprintf(out, "%-24s %-16s %-20s %-10s %-15s %-8s %s\n", r.started.c_str(), printable(r.station).c_str(),
                     printable(r.serial).c_str(), r.command.c_str(), r.address.c_str(),
                     r.result == "ok" ? "ok" : "failed",
                     printable(r.result == "ok" ? detail : r.result + ": " + detail).c_str());
    }
}

int run_history(const std::vector<std::string>& args)
{
    const char* name = "history";
    if (std::string twice =
            repeated_option(args, {"--serial", "--since", "--command", "--station", "--history", "--csv", "--limit"});
        !twice.empty())
        return usage_error(name, twice);
    history::Filter f;
    std::string location, export_path;
    bool json = false, csv = false, exporting = false;
    size_t i = 0;
    if (!args.empty() && args[0] == "export") {
        exporting = true;
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if ((a == "--serial" || a == "--since" || a == "--command" || a == "--station" || a == "--history") &&
            has_value) {
            const std::string& v = args[++i];
            (a == "--serial"        ? f.serial
                 : a == "--since"   ? f.since
                 : a == "--command" ? f.command
                 : a == "--station" ? f.station
                                    : location) = v;
        } else if (a == "--limit" && has_value) {
            long n = 0;
            if (!parse_long(args[++i], 1, 1000000, n))
                return usage_error(name, "--limit needs a number of rows from 1");
            f.limit = static_cast<int>(n);
        } else if (a == "--failed") {
            f.failed_only = true;
        } else if (a == "--json" && !exporting) {
            json = true;
        } else if (a == "--csv" && exporting && has_value) {
            export_path = args[++i];
        } else if (a == "--csv" && !exporting) {
            csv = true;
        } else {
            return usage_error(name,
                               "unknown option '" + a + "'" +
                                   (a == "--csv" || a == "--serial" || a == "--since" || a == "--command" ||
                                            a == "--station" || a == "--history" || a == "--limit"
                                        ? " (it needs a value)"
                                        : ""));
        }
    }
    if (exporting && export_path.empty())
        return usage_error(name, "export needs --csv FILE");
    if (json && csv)
        return usage_error(name, "choose one of --json and --csv");

    history::Store store;
    std::string why;
    const int r = store.open(location, &why);
    if (r == history::kHistoryDisabled)
        return usage_error(name, "--history off: there is no history to read");
    if (r < 0) {
        std::fprintf(stderr, "dravlinctl history: %s\n", why.c_str());
        return kExitFailed;
    }
    // Records that waited on this station for a shared store go first, so they are listed too.
    store.flush();
    std::vector<history::JobRecord> rows;
    if (store.query(f, &rows, &why) < 0) {
        std::fprintf(stderr, "dravlinctl history: %s\n", why.c_str());
        return kExitFailed;
    }
    if (exporting) {
        const std::string problem = replace_file(export_path, [&rows](FILE* out) {
            std::fputs("\xEF\xBB\xBF", out);  // a byte-order mark, for spreadsheets
            write_csv(out, rows);
            return !std::ferror(out);
        });
        if (!problem.empty()) {
            std::fprintf(stderr, "dravlinctl history: %s cannot be written: %s\n", export_path.c_str(),
                         problem.c_str());
            return kExitFailed;
        }
        std::fprintf(stderr, "%zu record(s) written to %s\n", rows.size(), export_path.c_str());
        return kExitOk;
    }
    if (json)
        write_json(stdout, rows);
    else if (csv)
        write_csv(stdout, rows);
    else
        write_table(stdout, rows);
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("history", "what was done to which recorder, newest first",
                "Usage: dravlinctl history [--serial S] [--since TIME] [--command C] [--failed]\n"
                "                          [--station NAME] [--limit N] [--history STORE] [--json|--csv]\n"
                "       dravlinctl history export --csv FILE [the same filters]\n"
                "\n"
                "Lists the history of recorder jobs (every fleet command and the console write one record\n"
                "per recorder): when, on which station, what command, the recorder, each file sent with\n"
                "its MD5, the result and its reason.\n"
                "\n"
                "  --serial S       one recorder\n"
                "  --since TIME     started at or after TIME (UTC, 2026-12-07 or 2026-12-07T09:30:00)\n"
                "  --command C      one command (refresh, upgrade, reboot, buzzer, channel-mode)\n"
                "  --failed         only what did not succeed\n"
                "  --station NAME   one station\n"
                "  --limit N        the newest N only\n"
                "  --history STORE  the store to read (default: the station's own file; a path or\n"
                "                   postgresql://...)\n"
                "  --json, --csv    the rows as JSON or CSV on standard output\n"
                "  export --csv F   the rows as a CSV file (UTF-8 with a byte-order mark), whole or not at all\n",
                dravlinctl::run_history);

// Files dravlinctl is handed back: its own fleet reports (--report, read again by
// --retry-failed), lists of the serial numbers a search should find (search --expect) and
// network plans (set-network --plan); and how a report is written. Pure code over text and
// files, tested without any recorder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dravlinctl {

// One recorder of a report, as far as choosing it again needs.
struct ReportEntry {
    std::string name, serial, address;
    uint16_t port = 0;
    bool ok = false;
    std::string result;
};

struct FleetReport {
    std::string command;
    std::vector<ReportEntry> recorders;
};

// Largest file read back (a report of 1000 recorders with their steps is well below 1 MiB).
constexpr size_t kMaxReadBackBytes = 64u << 20;

// "" when text is a report (a JSON object with "command" and a "recorders" array whose entries
// have "serial", "address", "port" and "ok"); otherwise why not.
std::string parse_fleet_report(const std::string& text, FleetReport& out);
std::string read_fleet_report(const std::string& path, FleetReport& out);

// The serial numbers of an expect file, in file order without repeats. Accepted: one serial
// per line ('#' starts a comment anywhere on a line; blank lines skipped); a CSV whose header row names a
// column "serial"; JSON: an array of serials or of objects with "serial" (search --json), or an
// object with such an array as "recorders" (a report, search --expect --json). "" when read,
// otherwise why not (also for a file without any serial).
std::string parse_expect_list(const std::string& text, std::vector<std::string>& serials);
std::string read_expect_file(const std::string& path, std::vector<std::string>& serials);

// One recorder of a network plan (set-network --plan) and the values it is to take, by column
// name ("ip", "netmask", "gateway", "dns1", "dns2", "dhcp"); a value not there keeps the
// recorder's own.
struct PlanRow {
    int line = 0;  // in the file, for messages
    std::string serial;
    std::map<std::string, std::string> values;
};

// A plan: a CSV whose header row names its columns (serial and any of ip, netmask, gateway,
// dns1, dns2, dhcp, in any order and case), then one recorder a row; an empty cell or a missing
// column keeps the recorder's value; '#' starts a comment line. Checks the layout and the serial
// numbers (1 to 32 characters, none twice), not the values. "" when read, otherwise why not.
std::string parse_network_plan(const std::string& text, std::vector<PlanRow>& rows);

// The whole file, at most kMaxReadBackBytes; "" when read, otherwise why not. Only a regular
// file is read: a FIFO or a device is never opened for reading (it could block or never end).
std::string read_small_file(const std::string& path, std::string& text);

// ---- writing a report -----------------------------------------------------------------------

// "" when a report can be written at path: nothing is there yet, or a regular file (never a
// folder, a device, a FIFO or a symbolic link, which a report must not replace), and its
// folder exists and takes a new file (tried with a file of the tool's own, removed again).
// Otherwise why not.
std::string report_path_problem(const std::string& path);

// Writes a new file in path's folder (a unique name, created exclusively) through write
// (false: a write failed) and renames it over path, so a reader finds the old report or the
// whole new one. Nothing else is ever removed: on failure only that new file goes again.
// "" when written, otherwise why not.
std::string replace_file(const std::string& path, const std::function<bool(FILE*)>& write);

// One CSV field: quoted (with "" inside) when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& s);

}  // namespace dravlinctl

// dravlinctl search: find the recorders on this LAN and list them.
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/fleet_files.h"
#include "discovery/search.h"
#include "util/gbk.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <cstdio>
#include <set>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using dravlinctl::json_quote;

std::string to_utf8(std::string_view gbk) { return gbk_to_utf8(gbk); }

// A device text as one CSV field, its control characters escaped as in the table.
std::string csv_text(const std::string& text) { return dravlinctl::csv_field(dravlinctl::printable(text)); }

std::string cell(const std::string& text) { return dravlinctl::printable(text); }

struct Row {
    std::string serial, type, ip, gateway, netmask, mac, user;
    int dhcp, ptz_port, web_port, video_port;
};

Row make_row(const IPCSearchInfo& r)
{
    Row row;
    row.serial = to_utf8(fixed_view(r.devid.SerialNumber));
    row.type = to_utf8(fixed_view(r.devid.DeviceType));
    row.ip = to_utf8(fixed_view(r.lancfg.IPAddress));
    row.gateway = to_utf8(fixed_view(r.lancfg.Gateway));
    row.netmask = to_utf8(fixed_view(r.lancfg.Netmask));
    row.mac = to_utf8(fixed_view(r.lancfg.MacAddress));
    row.user = r.usercfg.count > 0 ? to_utf8(fixed_view(r.usercfg.accounts[0].Username)) : std::string();
    row.dhcp = r.lancfg.DHCP;
    row.ptz_port = r.streamcfg.PTZPort;
    row.web_port = r.streamcfg.WEBPort;
    row.video_port = r.streamcfg.VideoPort;
    return row;
}

enum class Format { kTable, kJson, kCsv };

// Rows are printed one at a time as they are read from the search table, so the tool holds one
// record's copy and one row, never a second table.
class RowPrinter {
public:
    RowPrinter(Format f, bool json_object) : format_(f), object_(json_object) { }

    void begin()
    {
        if (format_ == Format::kJson)
            std::printf(object_ ? "{\"recorders\": [" : "[");
        else if (format_ == Format::kCsv)
            std::printf("serial,type,ip,gateway,netmask,mac,dhcp,ptz_port,web_port,video_port,user\n");
        else
            std::printf("%-16s %-16s %-16s %-18s %-16s %-24s %-6s %s\n", "IP", "GATEWAY", "NETMASK", "MAC", "TYPE",
                        "SERIAL", "PORT", "USER");
    }

    void row(const Row& r)
    {
        if (format_ == Format::kJson)
            std::printf("%s\n  {\"serial\": %s, \"type\": %s, \"ip\": %s, \"gateway\": %s, \"netmask\": %s, "
                        "\"mac\": %s, \"dhcp\": %d, \"ptz_port\": %d, \"web_port\": %d, \"video_port\": %d, "
                        "\"user\": %s}",
                        rows_ ? "," : "", json_quote(r.serial).c_str(), json_quote(r.type).c_str(),
                        json_quote(r.ip).c_str(), json_quote(r.gateway).c_str(), json_quote(r.netmask).c_str(),
                        json_quote(r.mac).c_str(), r.dhcp, r.ptz_port, r.web_port, r.video_port,
                        json_quote(r.user).c_str());
        else if (format_ == Format::kCsv)
            std::printf("%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%s\n", csv_text(r.serial).c_str(), csv_text(r.type).c_str(),
                        csv_text(r.ip).c_str(), csv_text(r.gateway).c_str(), csv_text(r.netmask).c_str(),
                        csv_text(r.mac).c_str(), r.dhcp, r.ptz_port, r.web_port, r.video_port,
                        csv_text(r.user).c_str());
        else
            std::printf("%-16s %-16s %-16s %-18s %-16s %-24s %-6d %s\n", cell(r.ip).c_str(), cell(r.gateway).c_str(),
                        cell(r.netmask).c_str(), cell(r.mac).c_str(), cell(r.type).c_str(), cell(r.serial).c_str(),
                        r.ptz_port, cell(r.user).c_str());
        ++rows_;
    }

    // Closes the rows; a JSON object stays open for the expect lists.
    void end()
    {
        if (format_ == Format::kJson)
            std::printf("%s]%s", rows_ ? "\n" : "", object_ ? "" : "\n");
        else if (format_ == Format::kTable)
            std::fprintf(stderr, "%zu recorder(s) found\n", rows_);
    }

private:
    Format format_;
    bool object_;
    size_t rows_ = 0;
};

std::string json_list(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? ", " : "") + json_quote(items[i]);
    return out + "]";
}

// The found, missing and unexpected serial numbers of an expect list: in the JSON object, or as
// lines after the table (on standard error for CSV, whose output stays one table).
void print_expect(Format f, size_t expected, const std::vector<std::string>& found,
                  const std::vector<std::string>& missing, const std::vector<std::string>& unexpected)
{
    if (f == Format::kJson) {
        std::printf(", \"expected\": %zu, \"found\": %s, \"missing\": %s, \"unexpected\": %s}\n", expected,
                    json_list(found).c_str(), json_list(missing).c_str(), json_list(unexpected).c_str());
        return;
    }
    FILE* out = f == Format::kCsv ? stderr : stdout;
    std::fprintf(out, "expected %zu: %zu found, %zu missing, %zu unexpected\n", expected, found.size(), missing.size(),
                 unexpected.size());
    for (const auto& s : missing)
        std::fprintf(out, "missing %s\n", cell(s).c_str());
    for (const auto& s : unexpected)
        std::fprintf(out, "unexpected %s\n", cell(s).c_str());
}

int run_search(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--expect"}); !twice.empty())
        return dravlinctl::usage_error("search", twice);
    long seconds = 3;
    Format format = Format::kTable;
    bool verbose = false;
    std::string expect_path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--seconds") {
            if (i + 1 >= args.size())
                return dravlinctl::usage_error("search", "--seconds needs a number");
            char* end = nullptr;
            seconds = std::strtol(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end != '\0' || seconds < 1 || seconds > 3600)
                return dravlinctl::usage_error("search", "--seconds needs a whole number from 1 to 3600");
        } else if (a == "--json" || a == "--csv") {
            if (format != Format::kTable)
                return dravlinctl::usage_error("search", "choose one of --json and --csv");
            format = a == "--json" ? Format::kJson : Format::kCsv;
        } else if (a == "--expect") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return dravlinctl::usage_error("search", "--expect needs a file");
            expect_path = args[++i];
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            return dravlinctl::usage_error("search", "unknown option '" + a + "'");
        }
    }
    // The list is read before anything is broadcast: a wrong file is a wrong argument.
    std::vector<std::string> expected;
    if (!expect_path.empty()) {
        std::string why = dravlinctl::read_expect_file(expect_path, expected);
        if (!why.empty())
            return dravlinctl::usage_error("search", "--expect " + expect_path + ": " + why);
    }
    if (verbose)
        log_set_sink(log_sink_to_debug);

    if (startsearchipc() != 1) {
        std::fprintf(stderr, "dravlinctl search: the search could not be started\n");
        return dravlinctl::kExitFailed;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool had_socket = false;
    int send_errno = 0;  // the last reason a request could not go out
    auto watch = [&] {
        had_socket = had_socket || searchipc_socket() >= 0;
        if (int e = searchipc_send_errno())
            send_errno = e;
    };
    auto rec = std::make_unique<IPCSearchInfo>();
    std::set<std::string> pending(expected.begin(), expected.end());
    int scanned = 0;  // slots are only ever added, and a slot keeps its serial number
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        watch();
        if (!expected.empty()) {
            // The search may end as soon as every expected recorder answered.
            for (int count = getipccount(); scanned < count; ++scanned)
                if (getipcinfo_copy(scanned, rec.get()) == 1)
                    pending.erase(std::string(fixed_view(rec->devid.SerialNumber)));
            if (pending.empty())
                break;
        }
    }
    watch();
    // What answered from here on is not listed: the table is read at one moment.
    const int count = getipccount();

    if (!had_socket && !send_errno) {
        stopsearchipc();
        std::fprintf(stderr, "dravlinctl search: no UDP port from 3002 up could be opened for the search\n");
        return dravlinctl::kExitFailed;
    }
    const std::set<std::string> want(expected.begin(), expected.end());
    std::set<std::string> seen;
    std::vector<std::string> unexpected;
    RowPrinter printer(format, !expected.empty());
    printer.begin();
    for (int i = 0; i < count; ++i) {
        if (getipcinfo_copy(i, rec.get()) != 1)
            continue;
        Row row = make_row(*rec);
        if (!expected.empty()) {
            std::string serial(fixed_view(rec->devid.SerialNumber));
            seen.insert(serial);
            if (!want.count(serial))
                unexpected.push_back(row.serial);
        }
        printer.row(row);
    }
    stopsearchipc();
    printer.end();
    bool all_found = true;
    if (!expected.empty()) {
        std::vector<std::string> found, missing;
        for (const auto& s : expected)
            (seen.count(s) ? found : missing).push_back(s);
        print_expect(format, expected.size(), found, missing, unexpected);
        all_found = missing.empty();
    }
    std::fflush(stdout);
    // What was found is still listed, but a search whose requests did not all go out is no
    // success: the list may lack recorders that never heard it.
    if (send_errno) {
        std::fprintf(stderr, "dravlinctl search: the search request could not be broadcast: %s\n",
                     log_error_text(send_errno));
        return dravlinctl::kExitFailed;
    }
    return all_found ? dravlinctl::kExitOk : dravlinctl::kExitFailed;
}

}  // namespace

DRAVLIN_COMMAND("search", "find the recorders on this LAN (UDP broadcast) and list them",
                "Usage: dravlinctl search [--seconds N] [--json | --csv] [--expect FILE] [--verbose]\n"
                "\n"
                "Broadcasts the search request once a second for N seconds (default 3), then prints\n"
                "one row per recorder that answered, in the order they first answered: IP, gateway,\n"
                "netmask, MAC, device type, serial number, control port and first user name.\n"
                "\n"
                "  --seconds N   how long to search (1 to 3600, default 3)\n"
                "  --json        an array of objects with the keys serial, type, ip, gateway, netmask,\n"
                "                mac, dhcp, ptz_port, web_port, video_port, user\n"
                "  --csv         the same columns as comma-separated values with a header row\n"
                "  --expect FILE the recorders that should answer: one serial number per line ('#'\n"
                "                starts a comment anywhere on a line), a CSV with a column named serial, or\n"
                "                JSON (search --json output, or a fleet command's --report). The search\n"
                "                ends as soon as every one answered; then the found, missing and\n"
                "                unexpected ones are told (after the table; on standard error with --csv;\n"
                "                with --json the output is an object {\"recorders\": [...], \"expected\": N,\n"
                "                \"found\": [...], \"missing\": [...], \"unexpected\": [...]}). Exit status 1\n"
                "                when any is missing, 2 when the file cannot be read\n"
                "  --verbose     diagnostic lines on standard error\n"
                "\n"
                "Device texts are converted from GB2312/GBK to UTF-8; in the table and CSV their control\n"
                "characters are written escaped (\\x1b). Exit status 1, with the system's\n"
                "reason (e.g. \"Network is unreachable\"), when a search request could not be broadcast.\n",
                run_search);

// dravlinctl search: find the recorders on this LAN and list them.
#include "cli/command.h"
#include "cli/fleet.h"
#include "discovery/search.h"
#include "util/gbk.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using dravlinctl::json_quote;

std::string to_utf8(std::string_view gbk) { return gbk_to_utf8(gbk); }

std::string csv_field(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

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

void print_json(const std::vector<Row>& rows)
{
    std::printf("[");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::printf("%s\n  {\"serial\": %s, \"type\": %s, \"ip\": %s, \"gateway\": %s, \"netmask\": %s, \"mac\": %s, "
                    "\"dhcp\": %d, \"ptz_port\": %d, \"web_port\": %d, \"video_port\": %d, \"user\": %s}",
                    i ? "," : "", json_quote(r.serial).c_str(), json_quote(r.type).c_str(), json_quote(r.ip).c_str(),
                    json_quote(r.gateway).c_str(), json_quote(r.netmask).c_str(), json_quote(r.mac).c_str(), r.dhcp,
                    r.ptz_port, r.web_port, r.video_port, json_quote(r.user).c_str());
    }
    std::printf("%s]\n", rows.empty() ? "" : "\n");
}

void print_csv(const std::vector<Row>& rows)
{
    std::printf("serial,type,ip,gateway,netmask,mac,dhcp,ptz_port,web_port,video_port,user\n");
    for (const Row& r : rows)
        std::printf("%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%s\n", csv_field(r.serial).c_str(), csv_field(r.type).c_str(),
                    csv_field(r.ip).c_str(), csv_field(r.gateway).c_str(), csv_field(r.netmask).c_str(),
                    csv_field(r.mac).c_str(), r.dhcp, r.ptz_port, r.web_port, r.video_port, csv_field(r.user).c_str());
}

void print_table(const std::vector<Row>& rows)
{
    std::printf("%-16s %-16s %-16s %-18s %-16s %-24s %-6s %s\n", "IP", "GATEWAY", "NETMASK", "MAC", "TYPE", "SERIAL",
                "PORT", "USER");
    for (const Row& r : rows)
        std::printf("%-16s %-16s %-16s %-18s %-16s %-24s %-6d %s\n", r.ip.c_str(), r.gateway.c_str(), r.netmask.c_str(),
                    r.mac.c_str(), r.type.c_str(), r.serial.c_str(), r.ptz_port, r.user.c_str());
    std::fprintf(stderr, "%zu recorder(s) found\n", rows.size());
}

int run_search(const std::vector<std::string>& args)
{
    long seconds = 3;
    enum { Table, Json, Csv } format = Table;
    bool verbose = false;
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
            if (format != Table)
                return dravlinctl::usage_error("search", "choose one of --json and --csv");
            format = a == "--json" ? Json : Csv;
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            return dravlinctl::usage_error("search", "unknown option '" + a + "'");
        }
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
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        watch();
    }
    watch();

    std::vector<Row> rows;
    int count = getipccount();
    rows.reserve(static_cast<size_t>(count));
    auto rec = std::make_unique<IPCSearchInfo>();
    for (int i = 0; i < count; ++i)
        if (getipcinfo_copy(i, rec.get()) == 1)
            rows.push_back(make_row(*rec));
    stopsearchipc();

    if (!had_socket && !send_errno) {
        std::fprintf(stderr, "dravlinctl search: no UDP port from 3002 up could be opened for the search\n");
        return dravlinctl::kExitFailed;
    }
    if (format == Json)
        print_json(rows);
    else if (format == Csv)
        print_csv(rows);
    else
        print_table(rows);
    // What was found is still listed, but a search whose requests did not all go out is no
    // success: the list may lack recorders that never heard it.
    if (send_errno) {
        std::fprintf(stderr, "dravlinctl search: the search request could not be broadcast: %s\n",
                     std::strerror(send_errno));
        return dravlinctl::kExitFailed;
    }
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("search", "find the recorders on this LAN (UDP broadcast) and list them",
                "Usage: dravlinctl search [--seconds N] [--json | --csv] [--verbose]\n"
                "\n"
                "Broadcasts the search request once a second for N seconds (default 3), then prints\n"
                "one row per recorder that answered, in the order they first answered: IP, gateway,\n"
                "netmask, MAC, device type, serial number, control port and first user name.\n"
                "\n"
                "  --seconds N   how long to search (1 to 3600, default 3)\n"
                "  --json        an array of objects with the keys serial, type, ip, gateway, netmask,\n"
                "                mac, dhcp, ptz_port, web_port, video_port, user\n"
                "  --csv         the same columns as comma-separated values with a header row\n"
                "  --verbose     diagnostic lines on standard error\n"
                "\n"
                "Device texts are converted from GB2312/GBK to UTF-8. Exit status 1, with the system's\n"
                "reason (e.g. \"Network is unreachable\"), when a search request could not be broadcast.\n",
                run_search);

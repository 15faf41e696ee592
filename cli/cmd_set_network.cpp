// dravlinctl set-network: ask the recorder with a given serial number to take new LAN settings.
// The request carries every LAN field, so the recorder's current values (from its search
// answer) fill in whatever the operator did not give.
#include "base/sock.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "discovery/reconfig.h"
#include "discovery/search.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

const char* const kCmd = "set-network";

// The search answer of `serial`, searching up to `seconds`. 1 found; 0 not found; -1 the
// search could not run (error says why).
int find_recorder(const std::string& serial, long seconds, IPCSearchInfo* out, std::string& error)
{
    if (startsearchipc() != 1) {
        error = "the search could not be started";
        return -1;
    }
    int send_errno = 0;
    bool found = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!found && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (int e = searchipc_send_errno())
            send_errno = e;
        int count = getipccount();
        for (int i = 0; i < count && !found; ++i)
            found = getipcinfo_copy(i, out) == 1 && fixed_view(out->devid.SerialNumber) == serial;
    }
    stopsearchipc();
    if (found)
        return 1;
    if (send_errno) {
        error = std::string("the search request could not be broadcast: ") + log_error_text(send_errno);
        return -1;
    }
    return 0;
}

int run_set_network(const std::vector<std::string>& args)
{
    std::map<std::string, std::string> v;
    bool verbose = false;
    long seconds = 3;
    static const char* const kFields[] = {"--ip", "--netmask", "--gateway", "--mac", "--dhcp", "--dns1", "--dns2"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--verbose" || a == "-v") {
            verbose = true;
            continue;
        }
        bool known = a == "--serial" || a == "--seconds";
        for (const char* k : kFields)
            known = known || a == k;
        if (!known)
            return dravlinctl::usage_error(kCmd, "unknown option '" + a + "'");
        if (i + 1 >= args.size())
            return dravlinctl::usage_error(kCmd, a + " needs a value");
        v[a] = args[++i];
    }
    if (!v.count("--serial"))
        return dravlinctl::usage_error(kCmd, "--serial is required");
    const std::string serial = v["--serial"];
    if (serial.empty() || serial.size() > 32)
        return dravlinctl::usage_error(kCmd, "--serial needs 1 to 32 characters");
    if (v.count("--seconds") && !dravlinctl::parse_long(v["--seconds"], 1, 3600, seconds))
        return dravlinctl::usage_error(kCmd, "--seconds needs a whole number from 1 to 3600");
    bool any = false;
    for (const char* k : kFields)
        any = any || v.count(k);
    if (!any)
        return dravlinctl::usage_error(
            kCmd, "give at least one of --ip, --netmask, --gateway, --mac, --dhcp, --dns1, --dns2");
    for (const char* addr : {"--ip", "--netmask", "--gateway"})
        if (v.count(addr) && !ipv4_parse(v[addr].c_str(), nullptr))
            return dravlinctl::usage_error(kCmd, std::string(addr) + " needs a dotted IPv4 address");
    for (const char* dns : {"--dns1", "--dns2"})  // empty clears the server
        if (v.count(dns) && !v[dns].empty() && !ipv4_parse(v[dns].c_str(), nullptr))
            return dravlinctl::usage_error(kCmd, std::string(dns) + " needs a dotted IPv4 address or ''");
    if (v.count("--dhcp") && v["--dhcp"] != "0" && v["--dhcp"] != "1")
        return dravlinctl::usage_error(kCmd, "--dhcp needs 0 or 1");
    if (v.count("--mac") && (v["--mac"].empty() || v["--mac"].size() > 255))
        return dravlinctl::usage_error(kCmd, "--mac needs 1 to 255 characters");
    for (const char* text : {"--serial", "--mac"}) {
        std::string why = v.count(text) ? dravlinctl::xml_text_problem(v[text]) : "";
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, std::string(text) + ": " + why);
    }

    if (verbose)
        log_set_sink(log_sink_to_debug);
    auto rec = std::make_unique<IPCSearchInfo>();
    std::string error;
    int found = find_recorder(serial, seconds, rec.get(), error);
    if (found < 0) {
        std::fprintf(stderr, "dravlinctl %s: %s; nothing was sent\n", kCmd, error.c_str());
        return dravlinctl::kExitFailed;
    }
    if (found == 0) {
        std::fprintf(
            stderr,
            "dravlinctl %s: no recorder with serial number %s answered the search within %ld s; nothing was sent\n",
            kCmd, serial.c_str(), seconds);
        return dravlinctl::kExitFailed;
    }

    LanCfg& cfg = rec->lancfg;
    struct Field {
        const char* option;
        char* text;
        size_t width;
        const char* name;
    } const fields[] = {
        {"--ip", cfg.IPAddress, sizeof cfg.IPAddress, "IP address"},
        {"--netmask", cfg.Netmask, sizeof cfg.Netmask, "netmask"},
        {"--gateway", cfg.Gateway, sizeof cfg.Gateway, "gateway"},
        {"--mac", cfg.MacAddress, sizeof cfg.MacAddress, "MAC address"},
        {"--dns1", cfg.DNS1, sizeof cfg.DNS1, "DNS 1"},
        {"--dns2", cfg.DNS2, sizeof cfg.DNS2, "DNS 2"},
    };
    for (const Field& f : fields) {
        if (v.count(f.option)) {
            fixed_copy(f.text, f.width, v[f.option]);
            continue;
        }
        // A value the recorder reported goes back as it came; one that cannot travel as XML
        // text is not guessed at.
        std::string why = dravlinctl::xml_text_problem(std::string(fixed_view(f.text, f.width)));
        if (!why.empty()) {
            std::fprintf(stderr, "dravlinctl %s: the recorder's current %s cannot be sent back (%s); give %s\n", kCmd,
                         f.name, why.c_str(), f.option);
            return dravlinctl::kExitFailed;
        }
    }
    if (v.count("--dhcp"))
        cfg.DHCP = v["--dhcp"] == "1" ? 1 : 0;

    int r = modify_ipcnetwork(serial.c_str(), &cfg);
    if (r != 1) {
        std::fprintf(stderr, "dravlinctl %s: the request could not be broadcast (%d)\n", kCmd, r);
        return dravlinctl::kExitFailed;
    }
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("set-network", "ask one recorder (by serial number) to take new LAN settings",
                "Usage: dravlinctl set-network --serial S [--ip A] [--netmask M] [--gateway G] [--mac X]\n"
                "                              [--dhcp 0|1] [--dns1 A] [--dns2 A] [--seconds N] [--verbose]\n"
                "\n"
                "Searches the LAN (up to N seconds, default 3) for the recorder with serial number S,\n"
                "then broadcasts one network-change request that only that recorder takes. The request\n"
                "carries every LAN value: those not given keep the recorder's current values from its\n"
                "search answer (--dns1 '' or --dns2 '' clears a server). Give at least one value.\n"
                "Recorders do not answer: run 'dravlinctl search' afterwards to see the new settings.\n"
                "Texts with '\"', '<', '>', '&' or control characters are refused (exit status 2).\n"
                "Exit status 1 when the recorder did not answer the search (nothing is sent) or the\n"
                "request could not be broadcast.\n",
                run_set_network);

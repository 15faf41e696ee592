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

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

const char* const kCmd = "set-network";

// What a LAN value must be; "" when it is.
std::string unicast_problem(const std::string& option, const std::string& text)
{
    uint32_t a = 0;
    if (!ipv4_parse(text.c_str(), &a))
        return option + " needs a dotted IPv4 address, not '" + dravlinctl::printable(text) + "'";
    if (a == 0 || a == 0xFFFFFFFFu)
        return option + " " + text + " is no address of one device";
    if ((a >> 28) == 0xE)
        return option + " " + text + " is a multicast address, not one device's";
    return "";
}

std::string netmask_problem(const std::string& text)
{
    uint32_t m = 0;
    if (!ipv4_parse(text.c_str(), &m))
        return "--netmask needs a dotted IPv4 netmask, not '" + dravlinctl::printable(text) + "'";
    // Ones, then zeros: the complement plus one is a power of two.
    const uint32_t host = ~m;
    if (m == 0 || (host & (host + 1)) != 0)
        return "--netmask " + text + " is not a netmask (its ones must come first, e.g. 255.255.255.0)";
    return "";
}

// Six hexadecimal pairs apart by ':' or '-' (one kind of separator throughout).
std::string mac_problem(const std::string& text)
{
    bool ok = text.size() == 17 && (text[2] == ':' || text[2] == '-');
    for (size_t i = 0; ok && i < text.size(); ++i) {
        if (i % 3 == 2)
            ok = text[i] == text[2];
        else
            ok = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
    }
    return ok
        ? ""
        : "--mac needs six hexadecimal pairs such as 00:1a:2b:3c:4d:5e, not '" + dravlinctl::printable(text) + "'";
}

int run_set_network(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(
            args, {"--serial", "--ip", "--netmask", "--gateway", "--mac", "--dhcp", "--dns1", "--dns2"});
        !twice.empty())
        return dravlinctl::usage_error("set-network", twice);
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
        if (v.count(a))
            return dravlinctl::usage_error(kCmd, a + " is given twice");
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
    for (const char* addr : {"--ip", "--gateway", "--dns1", "--dns2"}) {
        // An empty DNS value clears the server.
        bool clears = v.count(addr) && v[addr].empty() && std::string(addr).rfind("--dns", 0) == 0;
        std::string why = v.count(addr) && !clears ? unicast_problem(addr, v[addr]) : "";
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, why);
    }
    if (v.count("--netmask")) {
        std::string why = netmask_problem(v["--netmask"]);
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, why);
    }
    if (v.count("--dhcp") && v["--dhcp"] != "0" && v["--dhcp"] != "1")
        return dravlinctl::usage_error(kCmd, "--dhcp needs 0 or 1, not '" + v["--dhcp"] + "'");
    if (v.count("--mac")) {
        std::string why = mac_problem(v["--mac"]);
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, why);
    }
    for (const char* text : {"--serial", "--mac"}) {
        std::string why = v.count(text) ? dravlinctl::xml_text_problem(v[text]) : "";
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, std::string(text) + ": " + why);
    }

    if (verbose)
        log_set_sink(log_sink_to_debug);
    auto rec = std::make_unique<IPCSearchInfo>();
    std::string error;
    int found = dravlinctl::find_one_recorder(serial, seconds, rec.get(), error);
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

    errno = 0;
    int r = modify_ipcnetwork(serial.c_str(), &cfg);
    if (r != 1) {
        const int e = errno;
        std::fprintf(stderr, "dravlinctl %s: the request could not be broadcast (%d): %s\n", kCmd, r,
                     log_error_text(e ? e : EIO));
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
                "The values are checked first (exit status 2, naming the value at fault): the MAC as six\n"
                "hexadecimal pairs (00:1a:2b:3c:4d:5e), the IP address, gateway and DNS servers as the\n"
                "dotted address of one device (not 0.0.0.0, 255.255.255.255 or multicast), the netmask with\n"
                "its ones first. A serial number with '\"', '<', '>', '&' or control characters is refused.\n"
                "Exit status 1 when the recorder did not answer the search (nothing is sent) or the\n"
                "request could not be broadcast (with the system's reason).\n",
                run_set_network);

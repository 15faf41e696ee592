// dravlinctl set-network: ask the recorder with a given serial number to take new LAN settings.
#include "base/sock.h"
#include "cli/command.h"
#include "discovery/reconfig.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

int run_set_network(const std::vector<std::string>& args)
{
    const char* cmd = "set-network";
    std::map<std::string, std::string> v;
    bool verbose = false;
    static const char* const kValued[] = {"--serial", "--ip", "--netmask", "--gateway", "--mac", "--dhcp", "--dns1", "--dns2"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--verbose" || a == "-v") {
            verbose = true;
            continue;
        }
        bool known = false;
        for (const char* k : kValued)
            known = known || a == k;
        if (!known)
            return dravlinctl::usage_error(cmd, "unknown option '" + a + "'");
        if (i + 1 >= args.size())
            return dravlinctl::usage_error(cmd, a + " needs a value");
        v[a] = args[++i];
    }
    for (const char* req : {"--serial", "--ip", "--netmask", "--gateway"})
        if (!v.count(req))
            return dravlinctl::usage_error(cmd, std::string(req) + " is required");
    if (v["--serial"].empty() || v["--serial"].size() > 32)
        return dravlinctl::usage_error(cmd, "--serial needs 1 to 32 characters");
    for (const char* addr : {"--ip", "--netmask", "--gateway", "--dns1", "--dns2"})
        if (v.count(addr) && !ipv4_parse(v[addr].c_str(), nullptr))
            return dravlinctl::usage_error(cmd, std::string(addr) + " needs a dotted IPv4 address");
    if (v.count("--dhcp") && v["--dhcp"] != "0" && v["--dhcp"] != "1")
        return dravlinctl::usage_error(cmd, "--dhcp needs 0 or 1");
    if (v.count("--mac") && (v["--mac"].empty() || v["--mac"].size() > 255))
        return dravlinctl::usage_error(cmd, "--mac needs 1 to 255 characters");

    auto cfg = std::make_unique<LanCfg>();
    std::memset(cfg.get(), 0, sizeof *cfg);
    fixed_copy(cfg->IPAddress, v["--ip"]);
    fixed_copy(cfg->Netmask, v["--netmask"]);
    fixed_copy(cfg->Gateway, v["--gateway"]);
    fixed_copy(cfg->MacAddress, v.count("--mac") ? v["--mac"] : "");
    fixed_copy(cfg->DNS1, v.count("--dns1") ? v["--dns1"] : "");
    fixed_copy(cfg->DNS2, v.count("--dns2") ? v["--dns2"] : "");
    cfg->DHCP = v.count("--dhcp") && v["--dhcp"] == "1" ? 1 : 0;

    if (verbose)
        log_set_sink(log_sink_to_debug);
    int r = modify_ipcnetwork(v["--serial"].c_str(), cfg.get());
    if (r != 1) {
        std::fprintf(stderr, "dravlinctl set-network: the request could not be sent (%d)\n", r);
        return dravlinctl::kExitFailed;
    }
    return dravlinctl::kExitOk;
}

}  // namespace

DRAVLIN_COMMAND("set-network", "ask one recorder (by serial number) to take new LAN settings",
                "Usage: dravlinctl set-network --serial S --ip A --netmask M --gateway G\n"
                "                              [--mac X] [--dhcp 0|1] [--dns1 A] [--dns2 A] [--verbose]\n"
                "\n"
                "Broadcasts one network-change request on the LAN; only the recorder with serial\n"
                "number S takes it. Recorders do not answer: run 'dravlinctl search' afterwards to see\n"
                "the new settings. Omitted optional values are sent empty (DHCP 0).\n",
                run_set_network);

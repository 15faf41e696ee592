// dravlinctl set-network: give found recorders new LAN settings, one at a time or a whole
// site's plan at once, and confirm each by the recorder's own search answers.
//
// The request travels as a search-protocol broadcast addressed by serial number, so it reaches
// a recorder whatever subnet it is on now. It carries every LAN field: the recorder's current
// values (from its search answer) fill in whatever the operator did not give. Recorders do not
// answer the request; the search keeps running and a recorder counts as done only when it
// answers with the new address, netmask and gateway (or with DHCP on, when that was asked for).
#include "base/sock.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/fleet_files.h"
#include "cli/interrupt.h"
#include "discovery/search.h"
#include "jobs/net_assign.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>

namespace {

const char* const kCmd = "set-network";

using dravlinctl::kExitFailed;
using dravlinctl::kExitOk;
using dravlinctl::kExitUsage;

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

std::string netmask_problem(const std::string& option, const std::string& text)
{
    uint32_t m = 0;
    if (!ipv4_parse(text.c_str(), &m))
        return option + " needs a dotted IPv4 netmask, not '" + dravlinctl::printable(text) + "'";
    if (!jobs::ipv4_netmask_ok(m))
        return option + " " + text + " is not a netmask (its ones must come first, e.g. 255.255.255.0)";
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

// The LAN values one recorder is to take; an absent key keeps its current value.
using Values = std::map<std::string, std::string>;  // "ip", "netmask", "gateway", "mac", "dns1", "dns2", "dhcp"

// "" when the values may be sent; `where` names them in the message ("--ip", "plan line 3: ip").
std::string values_problem(const Values& v, const std::function<std::string(const std::string&)>& where)
{
    for (const char* key : {"ip", "gateway", "dns1", "dns2"}) {
        auto it = v.find(key);
        if (it == v.end())
            continue;
        // An empty DNS value clears the server.
        if (it->second.empty() && std::string(key).rfind("dns", 0) == 0)
            continue;
        if (std::string why = unicast_problem(where(key), it->second); !why.empty())
            return why;
    }
    if (auto it = v.find("netmask"); it != v.end())
        if (std::string why = netmask_problem(where("netmask"), it->second); !why.empty())
            return why;
    if (auto it = v.find("dhcp"); it != v.end() && it->second != "0" && it->second != "1")
        return where("dhcp") + " needs 0 or 1, not '" + dravlinctl::printable(it->second) + "'";
    if (auto it = v.find("mac"); it != v.end())
        if (std::string why = mac_problem(it->second); !why.empty())
            return why;
    return "";
}

// The search, kept running while the requests are confirmed.
class Search {
public:
    ~Search()
    {
        if (running_)
            stopsearchipc();
    }
    bool start()
    {
        running_ = startsearchipc() == 1;
        return running_;
    }
    // Notes the table's new slots (a slot keeps its serial number; its record is refreshed in
    // place by every answer, so only new slots need a look).
    void update()
    {
        auto rec = std::make_unique<IPCSearchInfo>();
        const int count = getipccount();
        for (; known_ < count; ++known_) {
            if (getipcinfo_copy(known_, rec.get()) != 1)
                break;  // not filled yet: looked at again next time
            slots_.emplace(std::string(fixed_view(rec->devid.SerialNumber)), known_);
        }
        if (int e = searchipc_send_errno())
            send_errno_ = e;
    }
    bool has(const std::string& serial) const { return slots_.count(serial) > 0; }
    // The latest answer of a serial number listed by update().
    bool copy(const std::string& serial, IPCSearchInfo* out) const
    {
        auto it = slots_.find(serial);
        return it != slots_.end() && getipcinfo_copy(it->second, out) == 1;
    }
    // Every record listed by update(), by serial number.
    std::map<std::string, IPCSearchInfo> records() const
    {
        std::map<std::string, IPCSearchInfo> out;
        for (const auto& [serial, slot] : slots_)
            if (!copy(serial, &out[serial]))
                out.erase(serial);
        return out;
    }
    int send_errno() const { return send_errno_; }

private:
    bool running_ = false;
    int send_errno_ = 0;
    int known_ = 0;
    std::map<std::string, int> slots_;
};

std::string field(const char (&f)[256]) { return std::string(fixed_view(f)); }

void progress(const std::string& serial, const std::string& text)
{
    std::fprintf(stderr, "%s %s\n", dravlinctl::printable(serial).c_str(), text.c_str());
    std::fflush(stderr);
}

int run_set_network(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(
            args, {"--ip", "--ip-from", "--plan", "--netmask", "--gateway", "--mac", "--dhcp", "--dns1", "--dns2"});
        !twice.empty())
        return dravlinctl::usage_error(kCmd, twice);
    Values given;
    std::vector<std::string> serials;
    std::string ip_from, plan_path, report;
    bool verbose = false, dry_run = false, json = false;
    long seconds = 3;
    static const std::map<std::string, std::string> kFields = {
        {"--ip", "ip"},     {"--netmask", "netmask"}, {"--gateway", "gateway"}, {"--mac", "mac"},
        {"--dhcp", "dhcp"}, {"--dns1", "dns1"},       {"--dns2", "dns2"}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--verbose" || a == "-v") {
            verbose = true;
            continue;
        }
        if (a == "--dry-run" || a == "--json") {
            (a == "--json" ? json : dry_run) = true;
            continue;
        }
        const bool known = kFields.count(a) || a == "--serial" || a == "--seconds" || a == "--ip-from" ||
            a == "--plan" || a == "--report";
        if (!known)
            return dravlinctl::usage_error(kCmd, "unknown option '" + a + "'");
        if (i + 1 >= args.size())
            return dravlinctl::usage_error(kCmd, a + " needs a value");
        const std::string& value = args[++i];
        if (a == "--serial") {
            if (value.empty() || value.size() > 32)
                return dravlinctl::usage_error(kCmd, "--serial needs 1 to 32 characters");
            if (std::string why = dravlinctl::xml_text_problem(value); !why.empty())
                return dravlinctl::usage_error(kCmd, "--serial: " + why);
            if (std::find(serials.begin(), serials.end(), value) == serials.end())
                serials.push_back(value);
        } else if (a == "--seconds") {
            if (!dravlinctl::parse_long(value, 1, 3600, seconds))
                return dravlinctl::usage_error(kCmd, "--seconds needs a whole number from 1 to 3600");
        } else if (a == "--ip-from") {
            ip_from = value;
        } else if (a == "--plan") {
            plan_path = value;
        } else if (a == "--report") {
            report = value;
        } else {
            given[kFields.at(a)] = value;
        }
    }
    const bool from = !ip_from.empty(), plan = !plan_path.empty();
    if (from + plan + given.count("ip") > 1)
        return dravlinctl::usage_error(kCmd, "choose one of --ip, --ip-from and --plan");
    if (plan && (!given.empty() || !serials.empty()))
        return dravlinctl::usage_error(kCmd, "--plan takes its recorders and values from the file alone");
    if (!from && !plan && given.empty())
        return dravlinctl::usage_error(
            kCmd, "give at least one of --ip, --ip-from, --plan, --netmask, --gateway, --mac, --dhcp, --dns1, --dns2");
    if ((given.count("ip") || given.count("mac")) && serials.size() != 1)
        return dravlinctl::usage_error(
            kCmd, serials.empty() ? "--serial is required" : "--ip and --mac are one recorder's: give one --serial");
    if (std::string why = values_problem(given, [](const std::string& k) { return "--" + k; }); !why.empty())
        return dravlinctl::usage_error(kCmd, why);
    if (std::string why = given.count("mac") ? dravlinctl::xml_text_problem(given["mac"]) : ""; !why.empty())
        return dravlinctl::usage_error(kCmd, "--mac: " + why);
    if (from)
        if (std::string why = unicast_problem("--ip-from", ip_from); !why.empty())
            return dravlinctl::usage_error(kCmd, why);
    if (from && given.count("dhcp") && given["dhcp"] == "1")
        return dravlinctl::usage_error(kCmd, "--ip-from gives fixed addresses: not with --dhcp 1");
    std::vector<dravlinctl::PlanRow> rows;
    if (plan) {
        std::string text;
        std::string why = dravlinctl::read_small_file(plan_path, text);
        if (why.empty())
            why = dravlinctl::parse_network_plan(text, rows);
        for (size_t i = 0; why.empty() && i < rows.size(); ++i) {
            const std::string at = "plan line " + std::to_string(rows[i].line);
            why = dravlinctl::xml_text_problem(rows[i].serial);
            if (!why.empty())
                why = at + ": serial: " + why;
            else
                why = values_problem(rows[i].values, [&](const std::string& k) { return at + ": " + k; });
        }
        if (!why.empty())
            return dravlinctl::usage_error(kCmd, "--plan " + plan_path + ": " + why);
        for (const dravlinctl::PlanRow& r : rows)
            serials.push_back(r.serial);
    }
    if (!report.empty())
        if (std::string why = dravlinctl::report_path_problem(report); !why.empty())
            return dravlinctl::usage_error(kCmd, "--report " + report + ": " + why);

    if (verbose)
        log_set_sink(log_sink_to_debug);
    dravlinctl::ConsoleGuard console(verbose);
    dravlinctl::InterruptScope interrupt;

    // The search: until every named recorder answered, or the whole time when none is named.
    Search search;
    if (!search.start()) {
        std::fprintf(stderr, "dravlinctl %s: the search could not be started; nothing was sent\n", kCmd);
        return kExitFailed;
    }
    const auto search_end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        search.update();
        const bool all = !serials.empty() &&
            std::all_of(serials.begin(), serials.end(), [&](const std::string& s) { return search.has(s); });
        if (all || std::chrono::steady_clock::now() >= search_end || dravlinctl::interrupt_signal())
            break;
    }
    const std::map<std::string, IPCSearchInfo> found = search.records();
    if (dravlinctl::interrupt_signal())
        return 128 + dravlinctl::interrupt_signal();
    if (found.empty() && search.send_errno()) {
        std::fprintf(stderr, "dravlinctl %s: the search request could not be broadcast: %s; nothing was sent\n", kCmd,
                     log_error_text(search.send_errno()));
        return kExitFailed;
    }
    std::vector<std::string> missing;
    for (const std::string& s : serials)
        if (!found.count(s))
            missing.push_back(s);
    if (!missing.empty()) {
        std::string list;
        for (const std::string& s : missing)
            list += (list.empty() ? "" : ", ") + dravlinctl::printable(s);
        std::fprintf(stderr,
                     "dravlinctl %s: no recorder with serial number %s answered the search within %ld s; "
                     "nothing was sent\n",
                     kCmd, list.c_str(), seconds);
        return kExitFailed;
    }
    // In serial order, so a plan made from --ip-from is the same on every run.
    std::vector<std::string> chosen = serials;
    if (chosen.empty())
        for (const auto& [s, rec] : found)
            chosen.push_back(s);
    std::sort(chosen.begin(), chosen.end());
    if (chosen.empty()) {
        std::fprintf(stderr, "dravlinctl %s: no recorder answered the search within %ld s; nothing was sent\n", kCmd,
                     seconds);
        return kExitFailed;
    }

    std::vector<jobs::FoundAddress> found_addresses;
    std::vector<std::string> taken;
    for (const auto& [s, rec] : found) {
        found_addresses.push_back({s, field(rec.lancfg.IPAddress)});
        taken.push_back(field(rec.lancfg.IPAddress));
    }
    std::map<std::string, Values> per;
    for (const std::string& s : chosen)
        per[s] = given;
    for (const dravlinctl::PlanRow& r : rows)
        per[r.serial] = r.values;
    if (from) {
        const IPCSearchInfo& first = found.at(chosen.front());
        const std::string mask = given.count("netmask") ? given["netmask"] : field(first.lancfg.Netmask);
        std::vector<std::string> addresses;
        jobs::NetPlanCheck c = jobs::plan_addresses(ip_from, mask, chosen.size(), taken, addresses);
        if (c.problem != jobs::kPlanOk) {
            std::fprintf(stderr, "dravlinctl %s: %s; nothing was sent\n", kCmd,
                         c.problem == jobs::kPlanBadNetmask
                             ? ("the netmask " + dravlinctl::printable(c.value) + " is not one").c_str()
                             : ("the subnet of " + ip_from + " under " + mask + " has no room for " +
                                std::to_string(chosen.size()) + " recorders")
                                   .c_str());
            return kExitUsage;
        }
        for (size_t i = 0; i < chosen.size(); ++i) {
            per[chosen[i]]["ip"] = addresses[i];
            per[chosen[i]]["netmask"] = mask;
            per[chosen[i]]["dhcp"] = "0";
        }
    }

    std::vector<jobs::NetAssignment> items;
    for (const std::string& s : chosen) {
        const IPCSearchInfo& rec = found.at(s);
        jobs::NetAssignment a;
        a.serial = s;
        a.before = rec.lancfg;
        a.want = rec.lancfg;
        LanCfg& cfg = a.want;
        struct F {
            const char* key;
            char* text;
            const char* name;
        } const fields[] = {
            {"ip", cfg.IPAddress, "IP address"}, {"netmask", cfg.Netmask, "netmask"},
            {"gateway", cfg.Gateway, "gateway"}, {"mac", cfg.MacAddress, "MAC address"},
            {"dns1", cfg.DNS1, "DNS 1"},         {"dns2", cfg.DNS2, "DNS 2"},
        };
        const Values& v = per[s];
        for (const F& f : fields) {
            if (auto it = v.find(f.key); it != v.end()) {
                fixed_copy(f.text, 256, it->second);
                continue;
            }
            // A value the recorder reported goes back as it came; one that cannot travel as XML
            // text is not guessed at.
            std::string why = dravlinctl::xml_text_problem(std::string(fixed_view(f.text, 256)));
            if (!why.empty()) {
                std::fprintf(stderr, "dravlinctl %s: %s: the recorder's current %s cannot be sent back (%s); give it\n",
                             kCmd, dravlinctl::printable(s).c_str(), f.name, why.c_str());
                return kExitFailed;
            }
        }
        if (auto it = v.find("dhcp"); it != v.end())
            cfg.DHCP = it->second == "1" ? 1 : 0;
        items.push_back(std::move(a));
    }
    if (jobs::NetPlanCheck c = jobs::check_net_plan(items, found_addresses); c.problem != jobs::kPlanOk) {
        std::string why;
        switch (c.problem) {
        case jobs::kPlanGatewayOutside: why = "the gateway " + c.value + " is outside the subnet"; break;
        case jobs::kPlanAddressTwice: why = "the address " + c.value + " is planned twice"; break;
        case jobs::kPlanAddressTaken: why = "another found recorder has the address " + c.value; break;
        case jobs::kPlanBadNetmask: why = "the netmask " + dravlinctl::printable(c.value) + " is not one"; break;
        default: why = "'" + dravlinctl::printable(c.value) + "' is no address of one device"; break;
        }
        std::fprintf(stderr, "dravlinctl %s: %s: %s; nothing was sent\n", kCmd, dravlinctl::printable(c.serial).c_str(),
                     why.c_str());
        return kExitUsage;
    }

    auto lan_text = [](const LanCfg& c) {
        return c.DHCP ? std::string("DHCP")
                      : std::string(fixed_view(c.IPAddress)) + " " + std::string(fixed_view(c.Netmask)) + " " +
                std::string(fixed_view(c.Gateway));
    };
    if (dry_run) {
        std::printf("%-24s %-16s %s\n", "RECORDER", "NOW", "NEW (ADDRESS NETMASK GATEWAY)");
        for (const jobs::NetAssignment& a : items)
            std::printf("%-24s %-16s %s\n", dravlinctl::printable(a.serial).c_str(),
                        std::string(fixed_view(a.before.IPAddress)).c_str(), lan_text(a.want).c_str());
        std::fflush(stdout);
        return kExitOk;
    }

    dravlinctl::Summary sum;
    sum.command = kCmd;
    sum.started = dravlinctl::utc_now_text();
    const int64_t t0 = static_cast<int64_t>(get_tick_ms());
    auto now = [] { return static_cast<int64_t>(get_tick_ms()); };
    jobs::NetAssignJob job(items, nullptr, [&](const jobs::NetAssignment& a) {
        switch (a.state) {
        case jobs::kNetSent: progress(a.serial, "sent: " + lan_text(a.want)); break;
        case jobs::kNetConfirmed: progress(a.serial, "confirmed"); break;
        case jobs::kNetNotConfirmed:
            progress(a.serial,
                     "not confirmed: no search answer with the new settings within " +
                         std::to_string(jobs::kNetConfirmMs / 1000) + " s");
            break;
        case jobs::kNetUnsent: progress(a.serial, "not sent: the request could not be broadcast"); break;
        default: break;
        }
    });
    job.start(now());
    auto rec = std::make_unique<IPCSearchInfo>();
    while (!job.finished() && !dravlinctl::interrupt_signal()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int64_t t = now();
        for (const jobs::NetAssignment& a : job.items())
            if (a.state == jobs::kNetSent && search.copy(a.serial, rec.get()))
                job.observe(*rec, t);
        job.on_tick(t);
    }

    for (const jobs::NetAssignment& a : job.items()) {
        const IPCSearchInfo& rec = found.at(a.serial);
        dravlinctl::SummaryRow r;
        r.name = r.serial = a.serial;
        r.address = a.want.DHCP ? field(a.before.IPAddress) : field(a.want.IPAddress);
        r.port = rec.streamcfg.PTZPort;
        r.ok = a.state == jobs::kNetConfirmed;
        r.result = a.state == jobs::kNetConfirmed ? "confirmed"
            : a.state == jobs::kNetNotConfirmed   ? "not confirmed"
            : a.state == jobs::kNetUnsent         ? "not sent"
                                                  : "interrupted";
        r.message = a.state == jobs::kNetNotConfirmed
            ? "no search answer with the new settings within " + std::to_string(jobs::kNetConfirmMs / 1000) + " s"
            : a.state == jobs::kNetUnsent ? "the request could not be broadcast (" + std::to_string(a.send_result) + ")"
            : a.state == jobs::kNetSent   ? "stopped before it was confirmed (signal)"
                                          : "";
        r.total_ms = a.done_at >= 0 ? a.done_at - t0 : -1;
        r.steps.push_back(
            {"network settings", r.ok, false, 0, "from " + lan_text(a.before) + " to " + lan_text(a.want)});
        sum.all_ok = sum.all_ok && r.ok;
        sum.rows.push_back(std::move(r));
    }
    sum.ended = dravlinctl::utc_now_text();
    console.restore();
    dravlinctl::print_summary(stdout, json, sum);
    int rc = sum.all_ok ? kExitOk : kExitFailed;
    if (!report.empty())
        if (std::string why = dravlinctl::write_report(report, sum); !why.empty()) {
            std::fprintf(stderr, "dravlinctl %s: the report %s could not be written: %s\n", kCmd, report.c_str(),
                         why.c_str());
            rc = kExitUsage;
        }
    if (int sig = dravlinctl::interrupt_signal())
        return 128 + sig;
    return rc;
}

}  // namespace

DRAVLIN_COMMAND("set-network", "give recorders new LAN settings and confirm them by their search answers",
                "Usage: dravlinctl set-network [--serial S ...] [--ip A | --ip-from A | --plan FILE]\n"
                "                              [--netmask M] [--gateway G] [--mac X] [--dhcp 0|1]\n"
                "                              [--dns1 A] [--dns2 A] [--seconds N] [--dry-run]\n"
                "                              [--json] [--report FILE] [--verbose]\n"
                "\n"
                "Searches the LAN (up to N seconds, default 3, or until every --serial answered) and asks\n"
                "the chosen recorders (--serial, repeatable; default: every one found) to take new LAN\n"
                "settings. Each request is a broadcast that only the recorder with that serial number\n"
                "takes, so it reaches recorders on another subnet too. It carries every LAN value: those\n"
                "not given keep the recorder's current values from its search answer (--dns1 '' or\n"
                "--dns2 '' clears a server). The search goes on, and a recorder is confirmed once it\n"
                "answers with the new address, netmask and gateway (with DHCP on, for --dhcp 1); one that\n"
                "does not within 30 s is 'not confirmed'.\n"
                "\n"
                "  --ip A          the address of the one recorder given with --serial\n"
                "  --ip-from A     the recorders in serial order take A and the addresses after it,\n"
                "                  skipping addresses that a found recorder uses now and the subnet's own\n"
                "                  and broadcast addresses (netmask: --netmask, or the first recorder's)\n"
                "  --plan FILE     a CSV file: a header row naming the columns serial, ip, netmask,\n"
                "                  gateway, dns1, dns2, dhcp (any of them but serial may be left out),\n"
                "                  then one recorder a row; a missing column or an empty cell keeps the\n"
                "                  recorder's value; only the recorders it names are changed\n"
                "  --dry-run       print what each recorder would take, in that order, and send nothing\n"
                "  --json          the summary as JSON, as the other fleet commands print it\n"
                "  --report FILE   the same JSON written to FILE\n"
                "\n"
                "The values are checked first (exit status 2, naming the value at fault): the MAC as six\n"
                "hexadecimal pairs (00:1a:2b:3c:4d:5e), the IP address, gateway and DNS servers as the\n"
                "dotted address of one device (not 0.0.0.0, 255.255.255.255 or multicast), the netmask with\n"
                "its ones first; after the search, the plan as a whole: a gateway outside the new subnet,\n"
                "an address planned twice or one that another found recorder uses sends nothing (exit 2).\n"
                "A serial number with '\"', '<', '>', '&' or control characters is refused.\n"
                "Exit status 0 when every chosen recorder confirmed; 1 when one did not, when a --serial\n"
                "did not answer the search (nothing is sent) or the search could not be broadcast (with\n"
                "the system's reason).\n",
                run_set_network);

// Choosing the recorders of a command (a LAN search or --target addresses), and keeping the
// console lines off standard output while a command runs.
#include "cli/fleet.h"

#include "base/sock.h"
#include "cli/command.h"
#include "discovery/search.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

namespace dravlinctl {

// ---- choosing recorders -------------------------------------------------------------------

namespace {

std::atomic<int> g_searches{0};

}  // namespace

int fleet_searches_started() { return g_searches.load(); }

int choose_recorders(const char* command, const FleetOptions& o, FleetChoice& out)
{
    out = FleetChoice{};
    if (!o.targets.empty()) {
        // Direct addresses: nothing is broadcast and no search socket is opened.
        for (const auto& t : o.targets) {
            Recorder r;
            r.name = t.ip + ":" + std::to_string(t.port);
            r.address = t.ip;
            r.port = t.port;
            r.user = o.user;
            r.password = o.password;
            out.recorders.push_back(std::move(r));
        }
        return kExitOk;
    }

    ++g_searches;
    if (startsearchipc() != 1) {
        std::fprintf(stderr, "dravlinctl %s: the search could not be started\n", command);
        return kExitFailed;
    }
    std::set<std::string> pending(o.serials.begin(), o.serials.end());
    std::vector<IPCSearchInfo> found;
    auto rec = std::make_unique<IPCSearchInfo>();
    auto collect = [&] {
        found.clear();
        int count = getipccount();
        for (int i = 0; i < count; ++i)
            if (getipcinfo_copy(i, rec.get()) == 1)
                found.push_back(*rec);
    };
    auto search_end = std::chrono::steady_clock::now() + std::chrono::seconds(o.search_seconds);
    int send_errno = 0;
    while (std::chrono::steady_clock::now() < search_end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (int e = searchipc_send_errno())
            send_errno = e;
        if (!o.serials.empty()) {
            collect();
            for (const auto& r : found)
                pending.erase(std::string(fixed_view(r.devid.SerialNumber)));
            if (pending.empty())
                break;
        }
    }
    collect();
    if (int e = searchipc_send_errno())
        send_errno = e;
    stopsearchipc();
    if (send_errno && found.empty()) {
        std::fprintf(stderr, "dravlinctl %s: the search request could not be broadcast: %s\n", command,
                     std::strerror(send_errno));
        return kExitFailed;
    }

    std::set<std::string> seen;
    for (const auto& r : found) {
        std::string serial(fixed_view(r.devid.SerialNumber));
        bool want = o.serials.empty() || std::find(o.serials.begin(), o.serials.end(), serial) != o.serials.end();
        if (!want || !seen.insert(serial).second)
            continue;
        // As the console does: the answer's address, its control port and its first account.
        Recorder c;
        c.name = serial;
        c.serial = serial;
        c.address = std::string(fixed_view(r.lancfg.IPAddress));
        c.port = static_cast<uint16_t>(r.streamcfg.PTZPort);
        // The address is the recorder's own text: only a dotted IPv4 address is used, never a
        // name to look up.
        if (c.address.size() > 15 || !ipv4_parse(c.address.c_str(), nullptr)) {
            out.unusable.push_back({serial, "its search answer gives no IPv4 address"});
            continue;
        }
        if (r.usercfg.count > 0) {
            c.user = std::string(fixed_view(r.usercfg.accounts[0].Username)).substr(0, 31);
            c.password = std::string(fixed_view(r.usercfg.accounts[0].Password)).substr(0, 40);
        }
        out.recorders.push_back(std::move(c));
    }
    for (const auto& w : o.serials)
        if (!seen.count(w))
            out.missing.push_back(w);
    if (out.recorders.size() > static_cast<size_t>(kMaxFleetLinks)) {
        std::fprintf(stderr, "dravlinctl %s: %zu recorders found, at most %d links at once; choose with --serial\n",
                     command, out.recorders.size(), kMaxFleetLinks);
        return kExitFailed;
    }
    return kExitOk;
}

// ---- standard output ----------------------------------------------------------------------

ConsoleGuard::ConsoleGuard(bool verbose) { log_set_console_sink(verbose ? console_to_stderr : console_discard); }

void ConsoleGuard::restore() { log_set_console_sink(nullptr); }

}  // namespace dravlinctl

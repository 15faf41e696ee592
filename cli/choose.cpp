// Choosing the recorders of a command (a LAN search or --target addresses), and keeping the
// console lines off standard output while a command runs.
#include "cli/fleet.h"

#include "base/sock.h"
#include "cli/command.h"
#include "cli/interrupt.h"
#include "discovery/search.h"
#include "jobs/link_port.h"
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

bool recorder_from(const IPCSearchInfo& r, Recorder& c, std::string& why)
{
    // As the console does: the answer's address, its control port and its first account.
    const jobs::Target t = jobs::target_of(r);
    const std::string serial(fixed_view(r.devid.SerialNumber));
    c = Recorder{};
    c.name = serial;
    c.serial = serial;
    c.address = t.address;
    c.port = t.port;
    c.user = t.user;
    c.password = t.password;
    c.type = std::string(fixed_view(r.devid.DeviceType));
    c.mac = std::string(fixed_view(r.lancfg.MacAddress));
    // The address is the recorder's own text: only a dotted IPv4 address is used, never a name
    // to look up.
    if (c.address.size() > 15 || !ipv4_parse(c.address.c_str(), nullptr)) {
        why = "its search answer gives no IPv4 address";
        return false;
    }
    return true;
}

int choose_recorders(const char* command, const FleetOptions& o, FleetChoice& out, size_t max)
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
    // The search table holds every answer whole (some 6 KB each); the tool reads it through
    // one record's copy at a time and keeps only what a login needs.
    auto rec = std::make_unique<IPCSearchInfo>();
    std::set<std::string> pending(o.serials.begin(), o.serials.end());
    int scanned = 0;  // slots are only ever added, and a slot keeps its serial number
    auto search_end = std::chrono::steady_clock::now() + std::chrono::seconds(o.search_seconds);
    int send_errno = 0;
    // A signal ends the search early; what answered so far is chosen (and then not started).
    while (std::chrono::steady_clock::now() < search_end && !interrupt_signal()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (int e = searchipc_send_errno())
            send_errno = e;
        if (!o.serials.empty()) {
            for (int count = getipccount(); scanned < count; ++scanned)
                if (getipcinfo_copy(scanned, rec.get()) == 1)
                    pending.erase(std::string(fixed_view(rec->devid.SerialNumber)));
            if (pending.empty())
                break;
        }
    }
    const std::set<std::string> wanted(o.serials.begin(), o.serials.end());
    std::set<std::string> seen;
    const int count = getipccount();
    for (int i = 0; i < count; ++i) {
        if (getipcinfo_copy(i, rec.get()) != 1)
            continue;
        const IPCSearchInfo& r = *rec;
        std::string serial(fixed_view(r.devid.SerialNumber));
        if ((!wanted.empty() && !wanted.count(serial)) || !seen.insert(serial).second)
            continue;
        Recorder c;
        std::string why;
        if (!recorder_from(r, c, why)) {
            out.unusable.push_back({serial, why});
            continue;
        }
        out.recorders.push_back(std::move(c));
    }
    if (int e = searchipc_send_errno())
        send_errno = e;
    stopsearchipc();
    if (send_errno && count == 0) {
        std::fprintf(stderr, "dravlinctl %s: the search request could not be broadcast: %s\n", command,
                     log_error_text(send_errno));
        return kExitFailed;
    }
    for (const auto& w : o.serials)
        if (!seen.count(w))
            out.missing.push_back(w);
    if (out.recorders.size() > max) {
        std::fprintf(stderr, "dravlinctl %s: %zu recorders found, at most %zu links at once; choose with --serial\n",
                     command, out.recorders.size(), max);
        return kExitFailed;
    }
    return kExitOk;
}

int find_one_recorder(const std::string& serial, long seconds, IPCSearchInfo* out, std::string& error)
{
    ++g_searches;
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

// ---- standard output ----------------------------------------------------------------------

ConsoleGuard::ConsoleGuard(bool verbose) { log_set_console_sink(verbose ? console_to_stderr : console_discard); }

void ConsoleGuard::restore() { log_set_console_sink(nullptr); }

}  // namespace dravlinctl

// dravlinctl login: search, log in to the chosen recorders over the control link, print every
// link event per recorder as it arrives, then log out.
#include "cli/command.h"
#include "discovery/search.h"
#include "link/link.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Target {
    std::string serial;
    std::string address;
    int port = 0;
};

std::mutex g_out_mu;
Target g_targets[kIpcMaxLinks];
std::atomic<int> g_logged_in[kIpcMaxLinks];

// Events whose data is text; the others carry nothing or one 32-bit value.
bool text_event(int code)
{
    switch (code) {
    case IPC_EVENT_TALK_OK: case IPC_EVENT_TALK_FAIL: case IPC_EVENT_TALK_STOP_OK: case IPC_EVENT_TALK_STOP_FAIL:
    case IPC_EVENT_PTZ_OK: case IPC_EVENT_PTZ_FAIL: case IPC_EVENT_DOWNLOAD_OK: case IPC_EVENT_DOWNLOAD_FAIL:
    case IPC_EVENT_TALK_BUSY: case IPC_EVENT_TALK_PARAM: case IPC_EVENT_TALK_DISABLED:
        return true;
    default:
        return false;
    }
}

// Runs on the link threads: one whole line per event.
int on_event(int chanid, int code, const void* data, int len)
{
    if (chanid < 0 || chanid >= kIpcMaxLinks)
        return 0;
    if (code == IPC_EVENT_LOGIN_OK)
        g_logged_in[chanid].store(1);
    std::string line = g_targets[chanid].serial + " event " + std::to_string(code);
    if (data && len == 4 && !text_event(code)) {
        int32_t v;
        std::memcpy(&v, data, 4);
        line += " " + std::to_string(v);
    } else if (data && len > 0 && text_event(code)) {
        line += " " + std::string(static_cast<const char*>(data), static_cast<size_t>(len));
    }
    std::lock_guard<std::mutex> lk(g_out_mu);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
}

bool parse_seconds(const std::string& text, long& out)
{
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out >= 1 && out <= 86400;
}

int run_login(const std::vector<std::string>& args)
{
    long seconds = 15, search_seconds = 3;
    std::vector<std::string> wanted;
    bool verbose = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--serial") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return dravlinctl::usage_error("login", "--serial needs a serial number");
            wanted.push_back(args[++i]);
        } else if (a == "--seconds" || a == "--search-seconds") {
            long v;
            if (i + 1 >= args.size() || !parse_seconds(args[i + 1], v))
                return dravlinctl::usage_error("login", a + " needs a whole number from 1 to 86400");
            ++i;
            (a == "--seconds" ? seconds : search_seconds) = v;
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else {
            return dravlinctl::usage_error("login", "unknown option '" + a + "'");
        }
    }
    if (verbose)
        log_set_sink(log_sink_to_debug);

    // Search until every chosen recorder answered, or for the search time.
    if (startsearchipc() != 1) {
        std::fprintf(stderr, "dravlinctl login: the search could not be started\n");
        return dravlinctl::kExitFailed;
    }
    std::set<std::string> pending(wanted.begin(), wanted.end());
    std::vector<IPCSearchInfo> found;
    auto rec = std::make_unique<IPCSearchInfo>();
    auto collect = [&] {
        found.clear();
        int count = getipccount();
        for (int i = 0; i < count; ++i)
            if (getipcinfo_copy(i, rec.get()) == 1)
                found.push_back(*rec);
    };
    auto search_end = std::chrono::steady_clock::now() + std::chrono::seconds(search_seconds);
    while (std::chrono::steady_clock::now() < search_end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!wanted.empty()) {
            collect();
            for (const auto& r : found)
                pending.erase(std::string(fixed_view(r.devid.SerialNumber)));
            if (pending.empty())
                break;
        }
    }
    collect();
    stopsearchipc();

    std::vector<const IPCSearchInfo*> chosen;
    std::set<std::string> seen;
    for (const auto& r : found) {
        std::string serial(fixed_view(r.devid.SerialNumber));
        bool want = wanted.empty() || std::find(wanted.begin(), wanted.end(), serial) != wanted.end();
        if (want && seen.insert(serial).second)
            chosen.push_back(&r);
    }
    int failures = 0;
    for (const auto& w : wanted) {
        if (!seen.count(w)) {
            std::printf("%s not found\n", w.c_str());
            ++failures;
        }
    }
    if (chosen.size() > static_cast<size_t>(kIpcMaxLinks)) {
        std::fprintf(stderr, "dravlinctl login: %zu recorders found, at most %d links at once; choose with --serial\n",
                     chosen.size(), kIpcMaxLinks);
        return dravlinctl::kExitFailed;
    }
    if (chosen.empty() && wanted.empty()) {
        std::fprintf(stderr, "dravlinctl login: no recorder found\n");
        return dravlinctl::kExitFailed;
    }

    if (ipc_init() != 1) {
        std::fprintf(stderr, "dravlinctl login: the link table could not be allocated\n");
        return dravlinctl::kExitFailed;
    }
    int started = 0;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const IPCSearchInfo& r = *chosen[i];
        int chanid = static_cast<int>(i);
        g_targets[chanid].serial = std::string(fixed_view(r.devid.SerialNumber));
        g_targets[chanid].address = std::string(fixed_view(r.lancfg.IPAddress));
        g_targets[chanid].port = r.streamcfg.PTZPort;
        g_logged_in[chanid].store(0);

        // As the console does: address, the control port of the answer, its first account.
        IpcLoginParam p{};
        p.chanid = chanid;
        fixed_copy(p.address, sizeof p.address - 1, fixed_view(r.lancfg.IPAddress));
        p.port = static_cast<uint16_t>(r.streamcfg.PTZPort);
        p.autoreconnect = 1;
        p.evcb = on_event;
        if (r.usercfg.count > 0) {
            fixed_copy(p.username, sizeof p.username - 1, fixed_view(r.usercfg.accounts[0].Username));
            fixed_copy(p.password, sizeof p.password - 1, fixed_view(r.usercfg.accounts[0].Password));
        }
        {
            std::lock_guard<std::mutex> lk(g_out_mu);
            std::printf("%s login %s:%d\n", g_targets[chanid].serial.c_str(), g_targets[chanid].address.c_str(),
                        g_targets[chanid].port);
            std::fflush(stdout);
        }
        if (ipc_login_delay(&p) == 1)
            ++started;
        else
            ++failures;
    }

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ipc_logout_all();

    int ok = 0;
    for (size_t i = 0; i < chosen.size(); ++i)
        ok += g_logged_in[i].load();
    failures += static_cast<int>(chosen.size()) - ok;
    std::fprintf(stderr, "%d of %zu recorder(s) logged in\n", ok, chosen.size());
    (void)started;
    return failures == 0 ? dravlinctl::kExitOk : dravlinctl::kExitFailed;
}

}  // namespace

DRAVLIN_COMMAND("login", "log in to recorders over the control link and show the link events",
                "Usage: dravlinctl login [--serial S ...] [--seconds N] [--search-seconds N] [--verbose]\n"
                "\n"
                "Searches the LAN (up to --search-seconds, default 3, or until every --serial answered),\n"
                "then logs in to the chosen recorders (default: all found, at most 64) with the first\n"
                "account and the control port of their search answers. Every link event is printed as\n"
                "'<serial> event <code>' when it arrives; after N seconds (default 15) all links are\n"
                "logged out. Exit status 0 when every chosen recorder reported event 4 (logged in).\n",
                run_login);

// The console's maintenance sequence on a fleet of simulated recorders on 127.0.0.1: log in,
// boot picture (~200 KB), channel picture and shutdown picture (~60 KB each), reboot. Each
// round times the sequence on 1 recorder and on 64 at once; the figures are the medians, with
// the parallel speed-up (64 x the single time over the parallel time) as the figure that
// survives a noisy shared machine. The simulator runs in this process, so the CPU figure
// counts both ends of every link.
#include "link/link.h"
#include "link/requests.h"
#include "link/transfer.h"
#include "sim/fleet.h"
#include "util/log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFleet = 64;
constexpr int kRounds = 9;
constexpr auto kRoundLimit = std::chrono::seconds(30);   // one sequence on the whole fleet
constexpr auto kBenchLimit = std::chrono::seconds(150);  // everything, rounds included
constexpr int kRebootMs = 50;                            // how long a rebooted recorder stays away

struct Event {
    int chanid, code, value;
};

// Link threads only queue their events; the driver reacts on its own thread, as the console's
// pages do.
std::mutex g_mu;
std::condition_variable g_cv;
std::deque<Event> g_events;

int on_event(int chanid, int code, const void* data, int len)
{
    int v = -1;
    if (data && len == 4)
        std::memcpy(&v, data, 4);
    if (code == IPC_EVENT_UPLOAD_PROGRESS)
        return 0;  // progress has no part in the sequence
    std::lock_guard<std::mutex> lk(g_mu);
    g_events.push_back({chanid, code, v});
    g_cv.notify_one();
    return 0;
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double cpu_seconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string make_file(const std::string& path, size_t size, uint32_t seed)
{
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return path;
}

struct Pictures {
    std::string boot, channel, shutdown;
};

struct Timing {
    double seconds = 0;
    double cpu = 0;
    double logins_started = 0;  // every ipc_login_delay call returned
    double logged_in = 0;       // every login answered
};

// Where one recorder is in the sequence.
enum class Step { Login, Boot, Channel, Shutdown, Reboot, Done };

class Fixture {
public:
    sim::Fleet* fleet;
    const Pictures* pics;
    Clock::time_point deadline;  // of the whole benchmark
    std::string error;
    bool login_late = false;  // the last round ended on a login answer later than the link waits

    // The sequence on recorders 0..n-1 (link entry i to recorder i); false with error set when
    // a recorder fails or the round runs past its limit. Links are logged out either way.
    bool round(int n, Timing* t)
    {
        {
            std::lock_guard<std::mutex> lk(g_mu);
            g_events.clear();
        }
        std::vector<uint16_t> ports(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            ports[static_cast<size_t>(i)] = static_cast<uint16_t>(fleet->device_copy(i).ptz_port);
        std::vector<Step> step(static_cast<size_t>(n), Step::Login);
        int done = 0, logged_in = 0;
        bool ok = true;
        login_late = false;

        double c0 = cpu_seconds();
        auto t0 = Clock::now();
        auto limit = std::min(t0 + kRoundLimit, deadline);
        for (int i = 0; i < n && ok; ++i) {
            IpcLoginParam p{};
            p.chanid = i;
            std::strcpy(p.address, "127.0.0.1");
            p.port = ports[static_cast<size_t>(i)];
            p.autoreconnect = 0;  // the recorder drops the link when it reboots; no coming back
            p.evcb = on_event;
            std::strcpy(p.username, "admin");
            std::strcpy(p.password, "admin123");
            if (ipc_login_delay(&p) != 1)
                ok = fail("recorder " + std::to_string(i) + ": login not started");
        }
        t->logins_started = since(t0);
        while (ok && done < n) {
            Event e{};
            {
                std::unique_lock<std::mutex> lk(g_mu);
                if (!g_cv.wait_until(lk, limit, [] { return !g_events.empty(); })) {
                    ok = fail(std::to_string(n - done) + " of " + std::to_string(n) + " recorder(s) not done in time");
                    break;
                }
                e = g_events.front();
                g_events.pop_front();
            }
            if (e.chanid < 0 || e.chanid >= n)
                continue;
            Step& s = step[static_cast<size_t>(e.chanid)];
            std::string who = "recorder " + std::to_string(e.chanid);
            if (s == Step::Done)
                continue;  // the link ending after the reboot
            if (e.code == IPC_EVENT_LOGIN_FAIL && s == Step::Login) {
                // The link waits about 200 ms for the login answer; one simulator thread serving
                // 64 recorders on a loaded machine can be later than that. Real recorders each
                // answer for themselves, so the round is repeated rather than counted.
                login_late = true;
                ok = false;
            } else if (e.code == IPC_EVENT_LOGIN_FAIL || e.code == IPC_EVENT_DISCONNECTED) {
                ok = fail(who + ": event " + std::to_string(e.code) + " before the reboot answer");
            } else if (e.code == IPC_EVENT_LOGIN_OK && s == Step::Login) {
                s = Step::Boot;
                if (++logged_in == n)
                    t->logged_in = since(t0);
                ok = upload(e.chanid, IPC_FILE_BOOT_PICTURE, pics->boot);
            } else if (e.code == IPC_EVENT_UPLOAD_RESULT) {
                if (e.value != 0) {
                    ok = fail(who + ": upload verdict " + std::to_string(e.value));
                } else if (s == Step::Boot) {
                    s = Step::Channel;
                    ok = upload(e.chanid, IPC_FILE_CHANNEL_PICTURE, pics->channel);
                } else if (s == Step::Channel) {
                    s = Step::Shutdown;
                    ok = upload(e.chanid, IPC_FILE_SHUTDOWN_PICTURE, pics->shutdown);
                } else if (s == Step::Shutdown) {
                    s = Step::Reboot;
                    if (ipc_sys_Reboot(e.chanid) != 0)
                        ok = fail(who + ": reboot request not sent");
                }
            } else if (e.code == IPC_EVENT_REBOOT && s == Step::Reboot) {
                if (e.value != 0)
                    ok = fail(who + ": reboot refused with " + std::to_string(e.value));
                s = Step::Done;
                ++done;
            }
        }
        t->seconds = since(t0);
        t->cpu = cpu_seconds() - c0;
        ipc_logout_all();
        bool back = wait_back(n);
        return ok && back;
    }

private:
    bool fail(const std::string& why)
    {
        if (error.empty())
            error = why;
        return false;
    }

    bool upload(int chanid, int filetype, const std::string& path)
    {
        if (ipc_file_upload(chanid, filetype, path.c_str()) > 0)
            return true;
        return fail("recorder " + std::to_string(chanid) + ": upload of type " + std::to_string(filetype) +
                    " not announced");
    }

    // Every rebooted recorder listening again, so the next round finds its port open.
    bool wait_back(int n)
    {
        auto end = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            bool back = true;
            for (int i = 0; i < n && back; ++i) {
                sim::Device d = fleet->device_copy(i);
                back = !d.link.rebooting;
            }
            if (back)
                return true;
            if (Clock::now() > end)
                return fail("rebooted recorders did not come back");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

int main()
{
    char tmpl[] = "/tmp/bench_refresh_XXXXXX";
    if (!::mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;
    Pictures pics;
    pics.boot = make_file(dir + "/boot.jpg", 200 * 1024, 1);
    pics.channel = make_file(dir + "/channel.png", 60 * 1024, 2);
    pics.shutdown = make_file(dir + "/shutdown.png", 60 * 1024, 3);

    // The link prints every request it sends to standard output; keep the figures readable.
    std::fflush(stdout);
    int saved_stdout = ::dup(1);
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devnull, 1);

    // BENCH_REFRESH_LOG=1: the link's diagnostic lines on standard error, to see why a round failed.
    if (std::getenv("BENCH_REFRESH_LOG"))
        log_set_sink(log_sink_to_debug);
    sim::FleetOptions opt;
    opt.devices = kFleet;
    opt.base_ip = 0x7F000001;
    opt.bind_addr = 0x7F000001;
    opt.port = 0;
    opt.source_addr = false;
    opt.control_bind = 0x7F000001;
    opt.ptz_port = 0;
    opt.reboot_ms = kRebootMs;
    auto fleet = std::make_unique<sim::Fleet>(opt);
    std::atomic<bool> stop{false};
    std::thread loop;
    std::string error;
    std::vector<double> single_s, fleet_s, speedup, cpu_ms, started_s, logged_s;
    int rounds = 0, late_rounds = 0;

    if (fleet->open() != 0) {
        error = "fleet: " + fleet->error();
    } else {
        loop = std::thread([&] { fleet->run(stop); });
        auto bench_end = Clock::now() + kBenchLimit;
        Fixture fx{fleet.get(), &pics, bench_end, {}};
        // Rounds alternate the two measurements so that load from elsewhere hits them alike.
        for (; rounds < kRounds && late_rounds <= kRounds && Clock::now() < bench_end; ++rounds) {
            Timing one, all;
            ipc_init();
            if (!fx.round(1, &one) || !fx.round(kFleet, &all)) {
                if (!fx.login_late || !fx.error.empty())
                    break;
                ++late_rounds;
                --rounds;
                continue;
            }
            single_s.push_back(one.seconds);
            fleet_s.push_back(all.seconds);
            speedup.push_back(kFleet * one.seconds / all.seconds);
            cpu_ms.push_back(1000 * all.cpu / kFleet);
            started_s.push_back(all.logins_started);
            logged_s.push_back(all.logged_in);
        }
        error = fx.error;
        ipc_logout_all();
        ipc_deinit();
        stop = true;
        loop.join();
    }
    fleet.reset();

    std::fflush(stdout);
    ::dup2(saved_stdout, 1);
    ::close(devnull);
    ::close(saved_stdout);
    std::filesystem::remove_all(dir);

    if (!error.empty()) {
        std::fprintf(stderr, "bench_refresh: %s (round %d)\n", error.c_str(), rounds + 1);
        return 1;
    }
    if (single_s.size() < static_cast<size_t>(kRounds))
        std::fprintf(stderr,
                     "bench_refresh: %d of %d rounds finished (time limit %lld s, %d repeated after a late login)\n",
                     rounds, kRounds, static_cast<long long>(kBenchLimit.count()), late_rounds);
    if (single_s.empty())
        return 1;
    std::printf("refresh of 3 pictures (200 KB + 60 KB + 60 KB) and reboot, medians of %zu rounds:\n", single_s.size());
    std::printf("1 recorder: %.1f ms\n", 1000 * median(single_s));
    std::printf("%d recorders in parallel: %.1f ms\n", kFleet, 1000 * median(fleet_s));
    // Logins are started one after another from one thread; how much of the parallel time
    // passes before the last one is even asked for shows where the fleet waits.
    std::printf("  of which: last login started after %.1f ms (%.0f%%), last login answered after %.1f ms (%.0f%%)\n",
                1000 * median(started_s), 100 * median(started_s) / median(fleet_s), 1000 * median(logged_s),
                100 * median(logged_s) / median(fleet_s));
    std::printf("parallel speed-up (%d x single / parallel): %.1f\n", kFleet, median(speedup));
    std::printf("process CPU per recorder in the parallel run: %.2f ms (simulator included)\n", median(cpu_ms));
    std::printf("rounds repeated because a login answer came after the link's 200 ms: %d\n", late_rounds);
    return 0;
}

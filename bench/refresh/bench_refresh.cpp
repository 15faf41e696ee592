// The maintenance sequence as every front runs it, on the one runner (jobs/runner.h), on a fleet
// of simulated recorders on 127.0.0.1: log in, boot picture (~200 KB), channel picture and
// shutdown picture (~60 KB each), reboot. Each round times the sequence on 1 recorder and on 64
// at once; the figures are the medians, with the parallel speed-up (64 x the single time over
// the parallel time) as the figure that survives a noisy shared machine. The simulator runs in
// this process, so the CPU figure counts both ends of every link.
#include "history/history.h"
#include "jobs/journal.h"
#include "jobs/runner.h"
#include "link/link.h"
#include "sim/fleet.h"
#include "util/log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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

class Fixture {
public:
    sim::Fleet* fleet;
    const Pictures* pics;
    jobs::RunnerLinkPort* port;
    Clock::time_point deadline;  // of the whole benchmark
    std::string error;
    int login_retries = 0;  // login attempts the jobs tried again (an answer later than the link waits)

    // The sequence on recorders 0..n-1, all handed to a runner at once; false with error set
    // when a recorder fails. The runner logs every link out as its job ends. With a journal, each
    // job's history record is written as it ends.
    bool round(int n, Timing* t, jobs::Journal* journal = nullptr)
    {
        jobs::Runner runner(*port, *port);
        if (journal)
            runner.set_ended_hook(journal->hook());
        const auto t0 = Clock::now();
        const double c0 = cpu_seconds();
        int started = 0, logged_in = 0;
        std::vector<jobs::JobId> ids;
        const int64_t limit_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::min<Clock::duration>(kRoundLimit, deadline - t0))
                .count();
        for (int i = 0; i < n; ++i) {
            jobs::JobOrder order;
            order.target = {"127.0.0.1", static_cast<uint16_t>(fleet->device_copy(i).ptz_port), "admin", "admin123"};
            order.steps = {jobs::Step::picture_file(jobs::kStepBootPicture, pics->boot),
                           jobs::Step::picture_file(jobs::kStepChannelPicture, pics->channel),
                           jobs::Step::picture_file(jobs::kStepShutdownPicture, pics->shutdown), jobs::Step::reboot()};
            order.policy = jobs::JobPolicy::tool(std::max<int64_t>(limit_ms, 1));
            order.before_start = [&, n](jobs::Job&) {
                if (++started == n)
                    t->logins_started = since(t0);
            };
            order.news = [&, n](const jobs::Job&, const jobs::JobNews& news) {
                if (news.kind == jobs::kNewsLoggedIn && ++logged_in == n)
                    t->logged_in = since(t0);
                else if (news.kind == jobs::kNewsLoginRetry)
                    ++login_retries;
            };
            ids.push_back(runner.submit(std::move(order)));
        }
        runner.run();
        if (journal)
            journal->drain();  // the command ends once every record is written
        t->seconds = since(t0);
        t->cpu = cpu_seconds() - c0;
        bool ok = true;
        for (int i = 0; i < n && ok; ++i) {
            const jobs::Job* job = runner.job(ids[static_cast<size_t>(i)]);
            if (job->result() != jobs::kJobOk)
                ok = fail("recorder " + std::to_string(i) + ": " + jobs::job_result_text(job->result()));
        }
        port->wait_logouts();
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
    std::vector<double> single_s, fleet_s, speedup, cpu_ms, started_s, logged_s, history_ratio;
    history::Store store;
    std::string history_why;
    if (store.open(dir + "/history.sqlite", &history_why) < 0)
        std::fprintf(stderr, "bench_refresh: no history: %s\n", history_why.c_str());
    jobs::Journal journal(&store, "bench", "bench");
    int rounds = 0, retries = 0;

    if (fleet->open() != 0) {
        error = "fleet: " + fleet->error();
    } else {
        loop = std::thread([&] { fleet->run(stop); });
        auto bench_end = Clock::now() + kBenchLimit;
        jobs::RunnerLinkPort port;
        port.init();
        Fixture fx{fleet.get(), &pics, &port, bench_end, {}};
        // Rounds alternate the two measurements so that load from elsewhere hits them alike.
        for (; rounds < kRounds && Clock::now() < bench_end; ++rounds) {
            Timing one, all, recorded;
            if (!fx.round(1, &one) || !fx.round(kFleet, &all) || !fx.round(kFleet, &recorded, &journal))
                break;
            history_ratio.push_back(recorded.seconds / all.seconds);
            single_s.push_back(one.seconds);
            fleet_s.push_back(all.seconds);
            speedup.push_back(kFleet * one.seconds / all.seconds);
            cpu_ms.push_back(1000 * all.cpu / kFleet);
            started_s.push_back(all.logins_started);
            logged_s.push_back(all.logged_in);
        }
        error = fx.error;
        retries = fx.login_retries;
        port.logout_all();
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
        std::fprintf(stderr, "bench_refresh: %d of %d rounds finished (time limit %lld s)\n", rounds, kRounds,
                     static_cast<long long>(kBenchLimit.count()));
    if (single_s.empty())
        return 1;
    std::printf("refresh of 3 pictures (200 KB + 60 KB + 60 KB) and reboot, medians of %zu rounds:\n", single_s.size());
    std::printf("1 recorder: %.1f ms\n", 1000 * median(single_s));
    std::printf("%d recorders in parallel: %.1f ms\n", kFleet, 1000 * median(fleet_s));
    // The runner starts the jobs one after another on its thread; how much of the parallel time
    // passes before the last one is even asked for shows where the fleet waits.
    std::printf("  of which: last login started after %.1f ms (%.0f%%), last login answered after %.1f ms (%.0f%%)\n",
                1000 * median(started_s), 100 * median(started_s) / median(fleet_s), 1000 * median(logged_s),
                100 * median(logged_s) / median(fleet_s));
    std::printf("parallel speed-up (%d x single / parallel): %.1f\n", kFleet, median(speedup));
    std::printf("%d recorders with every job recorded in the history (SQLite) / without: %.3f (%d records)\n", kFleet,
                median(history_ratio), journal.written());
    std::printf("process CPU per recorder in the parallel run: %.2f ms (simulator included)\n", median(cpu_ms));
    std::printf("login attempts tried again (an answer after the link's 200 ms): %d\n", retries);
    return 0;
}

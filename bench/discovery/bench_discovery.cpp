// Search with 1000 simulated recorders, over loopback only: the search's broadcasts are
// redirected to an in-process fleet on 127.0.0.1. Prints figures, asserts nothing.
//
//   listed:   time from startsearchipc until all 1000 are in the table, against a bare UDP
//             receiver that sends the same request and only counts the answers (same fleet,
//             same answer spread), so the ratio is the cost of reading answers into the table.
//   idle CPU: process CPU time per second while a search runs with nobody answering, against
//             the same process at rest.
//   answers:  answers read into the table per second (header and the four device readers),
//             against a bare TinyXML parse of the same texts.
//
// With --burst N [ROUNDS] it measures only this: N recorders answering the same instant (a rack
// powered on together), ROUNDS searches (default 10), how many of them each lists from the
// first request's answers, and when the last one is listed, against a bare receiver that only
// counts the same burst (when the answers have arrived).
#include "base/sock.h"
#include "discovery/search.h"
#include "discovery/search_table.h"
#include "sim/answer.h"
#include "sim/fleet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <tinyxml.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kDevices = 1000;
constexpr uint16_t kNowherePort = 9;  // 127.0.0.1's discard port: broadcasts never reach the network
constexpr int kRuns = 3;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double cpu_ms()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

struct LoopbackFleet {
    std::unique_ptr<sim::Fleet> fleet;
    std::atomic<bool> stop{false};
    std::thread thread;
    explicit LoopbackFleet(int devices = kDevices, int spread_ms = -1)
    {
        sim::FleetOptions opt;
        opt.devices = devices;
        opt.spread_ms = spread_ms;
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.source_addr = false;
        fleet = std::make_unique<sim::Fleet>(opt);
        if (fleet->open() != 0) {
            std::fprintf(stderr, "bench_discovery: %s\n", fleet->error().c_str());
            std::exit(1);
        }
        thread = std::thread([this] { fleet->run(stop); });
    }
    ~LoopbackFleet()
    {
        stop = true;
        thread.join();
    }
};

double time_search(uint16_t fleet_port)
{
    broadcast_set_destination_for_test(0x7F000001, fleet_port);
    auto t0 = Clock::now();
    startsearchipc();
    while (getipccount() < kDevices && ms_since(t0) < 30000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double ms = ms_since(t0);
    stopsearchipc();
    broadcast_set_destination_for_test(0x7F000001, kNowherePort);
    return ms;
}

double time_raw_receiver(uint16_t fleet_port)
{
    char request[kSearchRequestMax + 1];
    format_search_request(request, sizeof request, nullptr, 1);
    int sock = udp_bind(0, 0, false);
    sock_setrcvbuf(sock, kBroadcastRcvBuf);
    std::set<std::string> serials;
    std::vector<char> buf(kSearchAnswerMax + 1);
    auto t0 = Clock::now();
    auto last_request = t0 - std::chrono::seconds(2);
    while (static_cast<int>(serials.size()) < kDevices && ms_since(t0) < 30000) {
        if (Clock::now() - last_request > std::chrono::milliseconds(1000)) {
            udp_sendto(sock, request, static_cast<int>(std::strlen(request)), 0x7F000001, fleet_port);
            last_request = Clock::now();
        }
        int n = udprecv(sock, buf.data(), kSearchAnswerMax);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        // Only find the serial number: no XML reading.
        const char* p = std::strstr(buf.data(), "SerialNumber=\"");
        if (p) {
            p += 14;
            const char* e = std::strchr(p, '"');
            if (e)
                serials.insert(std::string(p, e));
        }
    }
    double ms = ms_since(t0);
    sock_close(sock);
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Serial numbers a bare receiver (as much room as the search's socket, nothing but counting)
// gets from one request, and when the last of them arrived (ms after the request).
std::pair<int, double> bare_burst(uint16_t fleet_port, int devices)
{
    char request[kSearchRequestMax + 1];
    format_search_request(request, sizeof request, nullptr, 1);
    int sock = udp_bind(0, 0, false);
    sock_setrcvbuf(sock, 4 << 20);
    std::set<std::string> serials;
    std::vector<char> buf(kSearchAnswerMax + 1);
    auto t0 = Clock::now();
    udp_sendto(sock, request, static_cast<int>(std::strlen(request)), 0x7F000001, fleet_port);
    double last = 0;
    while (static_cast<int>(serials.size()) < devices && ms_since(t0) < 900) {
        int n = udprecv(sock, buf.data(), kSearchAnswerMax);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        const char* p = std::strstr(buf.data(), "SerialNumber=\"");
        const char* e = p ? std::strchr(p + 14, '"') : nullptr;
        if (e && serials.insert(std::string(p + 14, e)).second)
            last = ms_since(t0);
    }
    sock_close(sock);
    return {static_cast<int>(serials.size()), last};
}

int burst(int devices, int rounds)
{
    broadcast_set_destination_for_test(0x7F000001, kNowherePort);
    LoopbackFleet fleet(devices, 0);
    const uint16_t port = fleet.fleet->port();
    int complete = 0;
    std::vector<double> listed_ms, arrived_ms;
    std::string counts;
    for (int r = 0; r < rounds; ++r) {
        auto [got, last] = bare_burst(port, devices);
        arrived_ms.push_back(last);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the bare round's last answers
        broadcast_set_destination_for_test(0x7F000001, port);
        auto t0 = Clock::now();
        startsearchipc();
        // The second request goes out after 1000 ms: what is listed before it came from the first.
        double done = -1;
        while (ms_since(t0) < 990) {
            if (getipccount() >= devices) {
                done = ms_since(t0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const int n = getipccount();
        stopsearchipc();
        broadcast_set_destination_for_test(0x7F000001, kNowherePort);
        complete += n == devices;
        if (done >= 0)
            listed_ms.push_back(done);
        counts += (counts.empty() ? "" : " ") + std::to_string(n);
        std::printf("search-burst: round %d: %d of %d listed%s; bare receiver %d of %d, last at %.1f ms\n", r + 1, n,
                    devices,
                    done >= 0 ? (", all by " + std::to_string(static_cast<int>(done + 0.5)) + " ms").c_str() : "", got,
                    devices, last);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::printf("search-burst: %d recorders answering at once: all listed in %d of %d searches (counts %s)\n", devices,
                complete, rounds, counts.c_str());
    if (!listed_ms.empty()) {
        const double l = median(listed_ms), a = median(arrived_ms);
        std::printf("search-burst: medians: last listed %.1f ms after the request, last arrival at a bare receiver "
                    "%.1f ms: listed %.1f ms after arriving (target <= 100)\n",
                    l, a, l - a);
    }
    return complete == rounds ? 0 : 1;
}

// Answers of 1000 recorders handled into a table (new devices, then refreshes), against a
// bare parse of each text. Medians of alternating rounds.
void answers_per_second()
{
    sim::FleetOptions opt;
    opt.devices = kDevices;
    std::vector<sim::Device> devices;
    std::string error;
    if (sim::generate_fleet(opt, &devices, &error) != 0) {
        std::fprintf(stderr, "bench_discovery: %s\n", error.c_str());
        return;
    }
    std::vector<std::string> answers;
    for (const sim::Device& d : devices)
        answers.push_back(sim::build_answer(d));
    std::vector<double> ours, bare;
    size_t handled = 0;
    for (int round = 0; round < 7; ++round) {
        auto table = std::make_unique<SearchTable>();
        auto t0 = Clock::now();
        for (int pass = 0; pass < 3; ++pass)
            for (const std::string& a : answers)
                handled += table->handle_datagram(a.c_str()) > 0;
        ours.push_back(ms_since(t0));
        t0 = Clock::now();
        for (int pass = 0; pass < 3; ++pass) {
            for (const std::string& a : answers) {
                TiXmlDocument doc;
                doc.Parse(a.c_str(), nullptr, TIXML_ENCODING_LEGACY);
                handled += doc.Error() ? 0 : 1;
            }
        }
        bare.push_back(ms_since(t0));
    }
    double o = median(ours), b = median(bare);
    double n = 3.0 * static_cast<double>(answers.size());
    std::printf("discovery: %.0f answers/s read into the table, %.2fx a bare TinyXML parse (%.0f/s) [%zu]\n",
                n * 1000.0 / o, b / o, n * 1000.0 / b, handled);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--burst") == 0) {
        const int devices = std::clamp(std::atoi(argv[2]), 1, kMaxSearchDevices);
        const int rounds = argc >= 4 ? std::clamp(std::atoi(argv[3]), 1, 100) : 10;
        return burst(devices, rounds);
    }
    answers_per_second();
    broadcast_set_destination_for_test(0x7F000001, kNowherePort);
    {
        LoopbackFleet fleet;
        std::vector<double> search, raw;
        for (int i = 0; i < kRuns; ++i) {
            raw.push_back(time_raw_receiver(fleet.fleet->port()));
            search.push_back(time_search(fleet.fleet->port()));
        }
        double s = median(search), r = median(raw);
        std::printf("discovery: %d recorders listed in %.0f ms (bare UDP receiver of the same answers: %.0f ms, "
                    "ratio %.2f)\n",
                    kDevices, s, r, r > 0 ? s / r : 0.0);
    }

    // Idle: a search that nobody answers (its requests go to a loopback port nobody reads).
    int sink = udp_bind(0x7F000001, 0, false);
    const int seconds = 3;
    double rest0 = cpu_ms();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double rest = (cpu_ms() - rest0) / seconds;

    broadcast_set_destination_for_test(0x7F000001, sock_local_port(sink));
    startsearchipc();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double idle0 = cpu_ms();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double idle = (cpu_ms() - idle0) / seconds;
    stopsearchipc();
    sock_close(sink);
    std::printf("discovery: search thread CPU %.3f ms per idle second (process at rest: %.3f ms)\n", idle, rest);
    return 0;
}

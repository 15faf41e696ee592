// The simulated fleet: many virtual recorders in one process behind one UDP socket on port
// 3001. Each device answers a search request from its own address (when that address exists
// on this host), applies network changes addressed to its serial number, and notes clock
// datagrams. Everything that happened is written as JSON to a status file that tests read.
//
// One thread runs the fleet (run() or step()). Later the same loop serves the devices' control
// links; the device records and the status file are shared by both.
#pragma once

#include "sim/device.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct FleetOptions {
    int devices = 1;
    uint32_t base_ip = 0x0A4D0101;   // 10.77.1.1
    uint32_t netmask = 0xFFFF0000;   // 255.255.0.0
    uint32_t gateway = 0x0A4D0001;   // 10.77.0.1
    std::string serial_prefix = "DRVSIM";
    std::string type = "NVR-SIM16";
    int ptz_port = 8091;
    int web_port = 80;
    int video_port = 554;
    std::string fleet_file;                         // per-device lines, replaces the generated fleet
    std::vector<std::pair<AnswerFault, int>> faults;  // fault for device index
    std::string status_file;
    uint32_t bind_addr = 0;        // host order, 0 = any
    uint16_t port = 3001;          // 0 = ephemeral (in-process tests)
    int spread_ms = -1;            // answers spread over this many ms; -1 = by fleet size
    bool source_addr = true;       // send each answer from the device's own address
    bool verbose = false;          // events to standard error
};

// A datagram that reached the fleet.
struct Datagram {
    int64_t wall_ms = 0;
    uint32_t from_addr = 0;
    uint16_t from_port = 0;
    int code = -1;  // -1 not a request
    std::string text;
};

class Fleet {
public:
    explicit Fleet(FleetOptions opt);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Builds the devices (fleet file or generated) and binds the socket. 0, or -1 with a
    // message in error().
    int open();
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }

    // Serves until stop becomes true.
    void run(const std::atomic<bool>& stop);
    // One pass: waits up to timeout_ms for a datagram or a due answer, handles what is there.
    void step(int timeout_ms);

    void write_status();
    const std::vector<Device>& devices() const { return devices_; }

private:
    struct Pending {
        int64_t due_ms;
        int device;
        uint32_t addr;
        uint16_t port;
    };

    int build_generated();
    int load_fleet_file();
    void handle(const char* data, int len, uint32_t from_addr, uint16_t from_port);
    void send_due(int64_t now_ms);
    void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    FleetOptions opt_;
    std::string error_;
    std::vector<Device> devices_;
    int sock_ = -1;
    uint16_t port_ = 0;
    std::deque<Pending> pending_;  // ordered by due time
    std::deque<Datagram> log_;     // the latest datagrams, oldest first
    std::map<int, uint64_t> per_code_;
    uint64_t datagrams_total_ = 0;
    uint64_t answers_total_ = 0;
    uint64_t send_failures_ = 0;
    bool source_ok_ = true;
    bool dirty_ = true;
    int64_t last_status_ms_ = 0;
    uint32_t rng_ = 0x2545F491;
};

// Parses a dotted quad (host order). false when it is not one.
bool parse_ip(const std::string& text, uint32_t* out);
std::string format_ip(uint32_t addr);

}  // namespace sim

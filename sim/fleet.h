// The simulated fleet: many virtual recorders in one process behind one UDP socket on port
// 3001. Each device answers a search request from its own address (when that address exists
// on this host), applies network changes addressed to its serial number, and notes clock
// datagrams. Each device also listens on its control port (its PTZPort, 8091 by default) at
// its own address and serves the control link: logins, heartbeats, uploads, downloads and
// requests (sim/session.h). Everything that happened is written as JSON to a status file.
//
// One thread runs the fleet (run() or step()) with one epoll loop over the UDP socket, every
// listening socket and every connection. The control ports and the connections that have not
// logged in yet form a set of their own (the door), served before and between the other
// connections' input: a login is answered at once even while other recorders stream uploads,
// as recorders of their own would. command(), status_json() and device_copy() may be called
// from other threads (in-process tests); they take the fleet's lock.
#pragma once

#include "sim/device.h"
#include "sim/session.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

struct Request;

struct FleetOptions {
    int devices = 1;
    uint32_t base_ip = 0x0A4D0101;  // 10.77.1.1
    uint32_t netmask = 0xFFFF0000;  // 255.255.0.0
    uint32_t gateway = 0x0A4D0001;  // 10.77.0.1
    std::string serial_prefix = "DRVSIM";
    std::string type = "NVR-SIM16";
    int ptz_port = 8091;
    int web_port = 80;
    int video_port = 554;
    std::string fleet_file;                           // per-device lines, replaces the generated fleet
    std::vector<std::pair<AnswerFault, int>> faults;  // fault for device index
    std::string status_file;
    uint32_t bind_addr = 0;   // host order, 0 = any
    uint16_t port = 3001;     // 0 = ephemeral (in-process tests)
    int spread_ms = -1;       // answers spread over this many ms; -1 = by fleet size
    bool source_addr = true;  // send each answer from the device's own address
    bool verbose = false;     // events to standard error

    // Control link.
    bool control = true;                                         // listen on the devices' control ports
    uint32_t control_bind = 0;                                   // host order; 0 = each device's own address
    std::vector<std::pair<LinkFault, std::string>> link_faults;  // fault for device index or serial
    int reboot_ms = 5000;                                        // how long a rebooted device stays away
    int slow_read_bps = 256 * 1024;                              // reading speed of a slow-read device
    int slow_read_pause_ms = 0;   // a slow-read device stops reading this long once per upload
    int slow_read_pause_at = 50;  // ... when this per cent of the upload has arrived
    // The generated recorders come online one after another: recorder i this many ms * i / devices
    // after the fleet opens (a fleet file's online_after= overrides it per line).
    int64_t online_spread_ms = 0;
    LinkOptions link;
    std::string command_socket;  // Unix socket path of the control interface, or empty
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
    // Only from the thread that runs the fleet (or before it runs).
    const std::vector<Device>& devices() const { return devices_; }

    // Thread-safe views and the control interface.
    std::string status_json();
    Device device_copy(int index);
    int open_connections();
    // One command line of the control interface; returns the reply line ("ok ..." or "error: ...").
    std::string command(const std::string& line);

private:
    enum Kind : uint32_t { kUdp = 1, kListen, kConn, kWake, kCmdListen, kCmdClient, kDoor };

    struct Conn {
        int fd = -1;
        int device = 0;
        std::unique_ptr<Session> session;
        bool at_door = true;    // not logged in yet: served with the control ports
        bool closing = false;   // close once the output is out
        bool want_out = false;  // EPOLLOUT armed
        bool paused = false;    // slow read: reading resumes at resume_ms
        int64_t resume_ms = 0;
        int64_t read_budget = 0;
        uint64_t long_pause_upload = 0;  // the upload (by count announced) whose long pause was taken
    };
    struct CmdClient {
        int fd = -1;
        std::string in, out;
        bool eof = false;       // the client sent all it will: close once the replies are out
        bool want_out = false;  // EPOLLOUT armed
    };
    struct Return {
        int64_t due_ms;
        int device;
        bool arrival = false;  // its online_after has passed (else: back from a reboot)
    };
    struct Pending {
        int64_t due_ms;
        int device;
        uint32_t addr;
        uint16_t port;
    };

    // fleet_file.cpp
    int load_fleet_file();

    // fleet.cpp: the event loop, the search protocol and the devices' reboots
    void handle(const char* data, int len, uint32_t from_addr, uint16_t from_port);
    void schedule_answers(uint32_t to_addr, uint16_t to_port);
    void change_network(const Request& req, const Datagram& dg);
    void restore_network(const Request& req, const Datagram& dg);
    void send_due(int64_t now_ms);
    void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void reboot_device(int device, int64_t now);
    void come_back(int64_t now);
    // A recorder plugged in or out (command, or its online_after passing); either ends a pending arrival.
    void plug_in(int device);
    void plug_out(int device);
    int64_t next_due(int64_t now, int timeout_ms);

    // control.cpp: the devices' control ports and their connections
    int open_control();
    bool listen_device(Device& d);
    int listen_socket(const Device& d, uint32_t addr);
    void move_control(Device& d);
    void close_listener(int device);  // its control port closes (refuses from now on)
    // tag: what the event carries besides the kind (default: the socket itself). ep: the epoll
    // set, the main one (ep_) unless given.
    void arm(int fd, Kind kind, uint32_t events, bool add, int tag = -1, int ep = -1);
    // A connection's events in its set (the door or the main one).
    void arm_conn(Conn& c, uint32_t events, bool add);
    // Accepts and serves what is ready at the door now, without waiting.
    void serve_door(int64_t now);
    // Output, then input, of one ready connection; a login that succeeded leaves the door.
    void serve_conn(int fd, uint32_t events, int64_t now);
    void accept_all(int device);
    void read_conn(Conn& c, int64_t now);
    bool long_pause_due(Conn& c);
    void flush_conn(Conn& c);
    void after_input(Conn& c, int64_t now);
    void close_conn(int fd, bool graceful);
    void resume_reads(int64_t now);
    std::vector<Conn*> conns_of(int device);

    // command.cpp: the control interface and its Unix socket
    int open_command_socket();
    bool find_devices(const std::string& who, std::vector<int>* out, std::string* err);
    std::string run_command(const std::string& line);
    // alarm, heartbeat, unknown or bad (sending `bad`) on one logged-in link.
    void command_on_link(Conn& c, const std::string& verb, const std::string& arg, BadFrame bad);
    void accept_cmd_clients();
    void serve_cmd_client(int fd, uint32_t events);
    void flush_cmd_client(CmdClient& cl);

    // status_json.cpp
    std::string build_status();

    FleetOptions opt_;
    std::string error_;
    std::vector<Device> devices_;
    int sock_ = -1;
    uint16_t port_ = 0;
    std::deque<Pending> pending_;  // ordered by due time
    std::deque<Datagram> log_;     // the latest datagrams, oldest first
    std::map<int, uint64_t> per_code_;
    uint64_t other_codes_ = 0;  // datagrams whose code did not fit in per_code_
    uint64_t datagrams_total_ = 0;
    uint64_t answers_total_ = 0;
    uint64_t send_failures_ = 0;
    bool source_ok_ = true;
    bool dirty_ = true;
    int64_t last_status_ms_ = 0;
    uint32_t rng_ = 0x2545F491;

    std::mutex mu_;
    int ep_ = -1;
    int door_ = -1;  // epoll set of the control ports and the connections not logged in yet
    int wake_ = -1;
    int cmd_listen_ = -1;
    std::vector<int> listen_fd_;  // per device, -1 when not listening
    std::unordered_map<int, Conn> conns_;
    std::unordered_map<int, CmdClient> cmd_clients_;
    std::vector<Return> returns_;
    uint64_t sessions_ = 0;
    int listen_failures_ = 0;
    size_t peak_connections_ = 0;  // the most control connections open at one time
};

// The generated fleet of opt.devices recorders. 0, or -1 with a message in *error.
int generate_fleet(const FleetOptions& opt, std::vector<Device>* out, std::string* error);
// A fleet file's text: one device per line, "key=value" words, '#' starts a comment. 0, or -1
// with a message in *error (the file comes from the user: any text is refused cleanly).
int parse_fleet_text(const std::string& text, const FleetOptions& opt, std::vector<Device>* out, std::string* error);

// Steady milliseconds, the clock the fleet times its answers, reboots and reads by.
int64_t mono_now_ms();

// Seconds with an optional decimal part ("2", "0.5"), from 0 to 1000000, as whole milliseconds.
// false for anything else.
bool parse_seconds(const std::string& text, int64_t* ms);

// Parses a dotted quad (host order). false when it is not one.
bool parse_ip(const std::string& text, uint32_t* out);
std::string format_ip(uint32_t addr);

}  // namespace sim

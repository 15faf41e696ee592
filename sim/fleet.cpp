#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/answer.h"
#include "sim/config_docs.h"
#include "sim/nvr.h"
#include "sim/request.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t kLogKeep = 400;       // datagrams kept in the status file
constexpr int64_t kStatusEveryMs = 100;  // status file rewritten at most this often
constexpr int kMaxDatagram = 65536;
constexpr int kMaxDevices = 60000;
constexpr size_t kReceivedKeep = 32;    // network datagrams kept per device
constexpr size_t kCodesKeep = 64;       // distinct message codes counted one by one
constexpr int kSlowReadBuffer = 16 * 1024;  // receive buffer of a slow reader
constexpr size_t kCmdOutMax = 64u << 20;  // replies a command client has not read yet

int64_t mono_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// JSON string: quotes, backslashes and control characters escaped; bytes of 0x80 and above
// become \u0080..\u00ff so that the file stays valid UTF-8 and a reader gets the bytes back.
std::string json_str(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string mac_for(int index)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "02:77:00:%02X:%02X:%02X", (index >> 16) & 0xFF, (index >> 8) & 0xFF, index & 0xFF);
    return buf;
}

bool parse_int(const std::string& s, int* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < -1000000 || v > 1000000)
        return false;
    *out = static_cast<int>(v);
    return true;
}

void keep_received(Device& d, Received r)
{
    // A flood of network datagrams must not grow the record without end: the latest are kept.
    if (d.received.size() >= kReceivedKeep)
        d.received.erase(d.received.begin(), d.received.begin() + static_cast<long>(d.received.size() - kReceivedKeep + 1));
    d.received.push_back(std::move(r));
}

}  // namespace

bool parse_ip(const std::string& text, uint32_t* out) { return ipv4_parse(text.c_str(), out); }

std::string format_ip(uint32_t addr)
{
    char buf[16];
    ipv4_format(addr, buf, sizeof buf);
    return buf;
}

Fleet::Fleet(FleetOptions opt) : opt_(std::move(opt)) {}

Fleet::~Fleet()
{
    for (auto& [fd, c] : conns_)
        ::close(fd);
    for (auto& [fd, c] : cmd_clients_)
        ::close(fd);
    for (int fd : listen_fd_)
        if (fd >= 0)
            ::close(fd);
    if (cmd_listen_ >= 0) {
        ::close(cmd_listen_);
        ::unlink(opt_.command_socket.c_str());
    }
    if (wake_ >= 0)
        ::close(wake_);
    if (ep_ >= 0)
        ::close(ep_);
    sock_close(sock_);
}

void Fleet::note(const char* fmt, ...)
{
    if (!opt_.verbose)
        return;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "dravlin-sim: %s\n", buf);
}

int generate_fleet(const FleetOptions& opt, std::vector<Device>* out, std::string* error)
{
    if (opt.devices < 0 || opt.devices > kMaxDevices) {
        *error = "--devices must be between 0 and 60000";
        return -1;
    }
    std::vector<Device>& devices = *out;
    devices.clear();
    devices.reserve(static_cast<size_t>(opt.devices));
    for (int i = 0; i < opt.devices; ++i) {
        Device d;
        d.index = i;
        char serial[64];
        std::snprintf(serial, sizeof serial, "%.40s%06d", opt.serial_prefix.c_str(), i + 1);
        d.serial = serial;
        d.type = opt.type;
        d.addr = opt.base_ip + static_cast<uint32_t>(i);
        d.lan.mac = mac_for(i + 1);
        d.lan.ip = format_ip(d.addr);
        d.lan.netmask = format_ip(opt.netmask);
        d.lan.gateway = format_ip(opt.gateway);
        d.lan.dns1 = format_ip(opt.gateway);
        d.lan.dns2 = "0.0.0.0";
        d.ptz_port = opt.ptz_port;
        d.web_port = opt.web_port;
        d.video_port = opt.video_port;
        d.accounts = {{"admin", "admin123", "Administrators", "Enable"}, {"guest", "guest", "Users", "Enable"}};
        setup_nvr(d);
        devices.push_back(std::move(d));
    }
    return 0;
}

// Keys: serial type ip mac netmask gateway dns1 dns2 dhcp ptz web video auth fault link-fault,
// account=user:password:group:status (repeatable; the first replaces the default accounts),
// channels=N (the channel table's size; by type otherwise) and
// camera=PROTO:IP:PORT[:USER[:PASSWORD[:SN[:OSD]]]] (repeatable; the first replaces the default
// cameras; camera=none leaves none), vendor=TEXT and resolution=NAME (configuration documents) and
// config.CODE=PATH (that configuration get answered with the file's text). Unnamed keys keep the
// generated values.
int parse_fleet_text(const std::string& text, const FleetOptions& opt, std::vector<Device>* out, std::string* error)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (lines.size() >= static_cast<size_t>(kMaxDevices)) {
            *error = "fleet file: more than 60000 devices";
            return -1;
        }
        lines.push_back(line);
    }
    FleetOptions gen = opt;
    gen.devices = static_cast<int>(lines.size());
    if (generate_fleet(gen, out, error) != 0)
        return -1;
    for (size_t n = 0; n < lines.size(); ++n) {
        Device& d = (*out)[n];
        bool own_accounts = false;
        int channels = -1;
        bool own_cameras = false;
        std::vector<Camera> cameras;
        std::istringstream words(lines[n]);
        std::string word;
        auto fail = [&](const std::string& what) {
            *error = "fleet file line " + std::to_string(n + 1) + ": " + what;
            return -1;
        };
        while (words >> word) {
            auto eq = word.find('=');
            if (eq == std::string::npos)
                return fail("'" + word + "' is not key=value");
            std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            bool ok = true;
            if (key == "serial") d.serial = value;
            else if (key == "type") d.type = value;
            else if (key == "ip") { ok = parse_ip(value, &d.addr); d.lan.ip = value; }
            else if (key == "mac") d.lan.mac = value;
            else if (key == "netmask") d.lan.netmask = value;
            else if (key == "gateway") d.lan.gateway = value;
            else if (key == "dns1") d.lan.dns1 = value;
            else if (key == "dns2") d.lan.dns2 = value;
            else if (key == "dhcp") ok = parse_int(value, &d.lan.dhcp);
            else if (key == "ptz") ok = parse_int(value, &d.ptz_port);
            else if (key == "web") ok = parse_int(value, &d.web_port);
            else if (key == "video") ok = parse_int(value, &d.video_port);
            else if (key == "auth") ok = parse_int(value, &d.auth);
            else if (key == "fault") ok = fault_from_name(value, &d.fault);
            else if (key == "link-fault") {
                LinkFault lf;
                ok = link_fault_from_name(value, &lf);
                if (ok)
                    d.set(lf, true);
            }
            else if (key == "channels") ok = parse_int(value, &channels) && channels >= 0 && channels <= kMaxChannels;
            else if (key == "camera") {
                own_cameras = true;
                if (value != "none") {
                    if (cameras.size() >= kMaxCameras)
                        return fail("more than " + std::to_string(kMaxCameras) + " cameras");
                    Camera c;
                    ok = parse_camera(value, &c);
                    cameras.push_back(c);
                }
            }
            else if (key == "vendor") {
                ok = !value.empty() && value.size() <= 255;
                d.docs.vendor = value;
            }
            else if (key == "resolution") {
                int w = 0, h = 0;
                ok = resolution_size(value, &w, &h);
                d.docs.resolution = value;
            }
            else if (key.rfind("config.", 0) == 0) {
                int code = -1;
                if (!parse_int(key.substr(7), &code) || code < 0)
                    return fail("'" + key + "': config. takes a message code");
                if (code >= 3801 && code <= 3808)
                    return fail("'" + key + "': the channel table answers that code");
                // A relative path is taken from the fleet file's folder, so a fleet and its documents move together.
                std::string path = value;
                if (!path.empty() && path[0] != '/' && !opt.fleet_file.empty())
                    if (auto slash = opt.fleet_file.rfind('/'); slash != std::string::npos)
                        path = opt.fleet_file.substr(0, slash + 1) + path;
                std::string why;
                if (value.empty() || !read_config_body(path, &d.docs.bodies[code], &why))
                    return fail("bad value for '" + key + "': " + (value.empty() ? "no file named" : why));
            }
            else if (key == "account") {
                if (!own_accounts)
                    d.accounts.clear();
                own_accounts = true;
                if (d.accounts.size() >= 64)
                    return fail("more than 64 accounts");
                Account a;
                std::istringstream parts(value);
                std::getline(parts, a.user, ':');
                std::getline(parts, a.password, ':');
                std::getline(parts, a.group, ':');
                std::getline(parts, a.status, ':');
                d.accounts.push_back(a);
            } else {
                return fail("unknown key '" + key + "'");
            }
            if (!ok)
                return fail("bad value for '" + key + "'");
        }
        setup_nvr(d, channels, own_cameras ? &cameras : nullptr);
    }
    return 0;
}

int Fleet::load_fleet_file()
{
    std::ifstream in(opt_.fleet_file, std::ios::binary);
    if (!in) {
        error_ = "cannot read fleet file " + opt_.fleet_file;
        return -1;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse_fleet_text(text.str(), opt_, &devices_, &error_);
}

int Fleet::open()
{
    if ((opt_.fleet_file.empty() ? generate_fleet(opt_, &devices_, &error_) : load_fleet_file()) != 0)
        return -1;
    for (const auto& [fault, index] : opt_.faults) {
        if (index < 0 || index >= static_cast<int>(devices_.size())) {
            error_ = "fault for device " + std::to_string(index) + ", but the fleet has " +
                     std::to_string(devices_.size()) + " devices";
            return -1;
        }
        devices_[static_cast<size_t>(index)].fault = fault;
    }
    for (const auto& [fault, who] : opt_.link_faults) {
        std::vector<int> which;
        std::string err;
        if (!find_devices(who, &which, &err)) {
            error_ = "link fault " + std::string(link_fault_name(fault)) + ": " + err;
            return -1;
        }
        for (int i : which)
            devices_[static_cast<size_t>(i)].set(fault, true);
    }
    for (Device& d : devices_)
        d.lan_initial = d.lan;
    if (opt_.spread_ms < 0)
        opt_.spread_ms = std::min(500, static_cast<int>(devices_.size()) / 2);

    sock_ = udp_bind(opt_.bind_addr, opt_.port, true);
    if (sock_ < 0) {
        error_ = "cannot bind UDP " + format_ip(opt_.bind_addr) + ":" + std::to_string(opt_.port);
        return -1;
    }
    // Room for a burst of requests while answers are being sent.
    sock_setrcvbuf(sock_, 1 << 20);
    port_ = sock_local_port(sock_);
    source_ok_ = opt_.source_addr;
    if (open_control() != 0)
        return -1;
    dirty_ = true;
    write_status();
    return 0;
}

void Fleet::handle(const char* data, int len, uint32_t from_addr, uint16_t from_port)
{
    Request req = parse_request(data, static_cast<size_t>(len));
    Datagram dg;
    dg.wall_ms = wall_ms();
    dg.from_addr = from_addr;
    dg.from_port = from_port;
    dg.code = req.ok ? req.code : -1;
    dg.text.assign(data, static_cast<size_t>(len));
    ++datagrams_total_;
    // Codes come from anyone: past a few dozen distinct ones they are only counted together.
    if (per_code_.size() < kCodesKeep || per_code_.count(dg.code))
        ++per_code_[dg.code];
    else
        ++other_codes_;
    dirty_ = true;
    note("datagram code %d from %s:%u, %d bytes", dg.code, format_ip(from_addr).c_str(), from_port, len);

    if (req.ok && req.code == 1) {
        // Real devices answer independently; spreading the answers keeps a big fleet from
        // arriving as one burst that no receive buffer holds.
        int64_t now = mono_ms();
        std::vector<Pending> batch;
        for (const Device& d : devices_) {
            if (d.fault == AnswerFault::Silent || d.link.rebooting)
                continue;
            rng_ = rng_ * 1664525u + 1013904223u;
            int64_t delay = opt_.spread_ms > 0 ? static_cast<int64_t>((rng_ >> 8) % static_cast<uint32_t>(opt_.spread_ms + 1)) : 0;
            batch.push_back({now + delay, d.index, from_addr, from_port});
        }
        pending_.insert(pending_.end(), batch.begin(), batch.end());
        std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) { return a.due_ms < b.due_ms; });
    } else if (req.ok && req.code == 2) {
        for (Device& d : devices_) {
            if (d.serial != req.serial)
                continue;
            keep_received(d, {2, dg.wall_ms, dg.text});
            ++d.network_changes;
            auto set = [&](const char* key, std::string& field) {
                if (auto it = req.lan.find(key); it != req.lan.end())
                    field = it->second;
            };
            set("MacAddress", d.lan.mac);
            set("IPAddress", d.lan.ip);
            set("Netmask", d.lan.netmask);
            set("Gateway", d.lan.gateway);
            set("DNS1", d.lan.dns1);
            set("DNS2", d.lan.dns2);
            if (auto it = req.lan.find("DHCP"); it != req.lan.end())
                d.lan.dhcp = std::atoi(it->second.c_str());
            note("device %d (%s) takes ip %s", d.index, d.serial.c_str(), d.lan.ip.c_str());
            move_control(d);
        }
    } else if (req.ok && req.code == 5) {
        for (Device& d : devices_) {
            if (d.serial != req.serial)
                continue;
            keep_received(d, {5, dg.wall_ms, dg.text});
            ++d.restores;
            d.lan = d.lan_initial;
            note("device %d (%s) restores its configuration", d.index, d.serial.c_str());
            move_control(d);
        }
    } else if (req.ok && req.code == 101) {
        for (Device& d : devices_) {
            ++d.clock_datagrams;
            d.last_time = req.time;
        }
    }

    log_.push_back(std::move(dg));
    while (log_.size() > kLogKeep)
        log_.pop_front();
}

void Fleet::send_due(int64_t now)
{
    while (!pending_.empty() && pending_.front().due_ms <= now) {
        Pending p = pending_.front();
        pending_.pop_front();
        Device& d = devices_[static_cast<size_t>(p.device)];
        if (d.link.rebooting)
            continue;
        std::string answer = build_answer(d);
        if (answer.empty())
            continue;
        int n = udp_sendto(sock_, answer.data(), static_cast<int>(answer.size()), p.addr, p.port, source_ok_ ? d.addr : 0);
        if (n < 0 && source_ok_) {
            // The device's address is not on this host (e.g. outside the lab network): answer
            // from the host's own address from now on.
            note("cannot send from %s, answering from the host address", format_ip(d.addr).c_str());
            source_ok_ = false;
            n = udp_sendto(sock_, answer.data(), static_cast<int>(answer.size()), p.addr, p.port, 0);
        }
        if (n == static_cast<int>(answer.size())) {
            ++d.answers_sent;
            ++answers_total_;
        } else {
            ++send_failures_;
        }
        dirty_ = true;
    }
}

int64_t Fleet::next_due(int64_t now, int timeout_ms)
{
    int64_t due = now + timeout_ms;
    if (!pending_.empty())
        due = std::min(due, pending_.front().due_ms);
    for (const Return& r : returns_)
        due = std::min(due, r.due_ms);
    for (const auto& [fd, c] : conns_)
        if (c.paused)
            due = std::min(due, c.resume_ms);
    if (dirty_)
        due = std::min(due, last_status_ms_ + kStatusEveryMs);
    return due;
}

void Fleet::step(int timeout_ms)
{
    int wait;
    {
        std::lock_guard<std::mutex> lk(mu_);
        int64_t now = mono_ms();
        wait = static_cast<int>(std::clamp<int64_t>(next_due(now, timeout_ms) - now, 0, timeout_ms));
    }
    epoll_event events[256];
    int n = ::epoll_wait(ep_, events, 256, wait);
    std::lock_guard<std::mutex> lk(mu_);
    int64_t now = mono_ms();
    for (int i = 0; i < n; ++i) {
        uint32_t kind = static_cast<uint32_t>(events[i].data.u64 >> 32);
        int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        uint32_t ev = events[i].events;
        if (kind == kUdp) {
            static thread_local std::vector<char> buf(kMaxDatagram + 1);
            for (int k = 0; k < 256; ++k) {  // drain what is queued, bounded
                UdpPeer from;
                int len = udp_recvfrom(sock_, buf.data(), kMaxDatagram, &from);
                if (len < 0)
                    break;
                handle(buf.data(), std::min(len, kMaxDatagram), from.addr, from.port);
            }
        } else if (kind == kListen) {
            // Tagged with the device index rather than the socket.
            if (fd >= 0 && static_cast<size_t>(fd) < listen_fd_.size() && listen_fd_[static_cast<size_t>(fd)] >= 0)
                accept_all(fd);
        } else if (kind == kConn) {
            auto it = conns_.find(fd);
            if (it == conns_.end())
                continue;
            Conn& c = it->second;
            if (ev & EPOLLOUT)
                flush_conn(c);
            if (conns_.count(fd) && (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !c.paused)
                read_conn(c, now);
        } else if (kind == kWake) {
            uint64_t v;
            ssize_t r = ::read(wake_, &v, sizeof v);
            (void)r;
        } else if (kind == kCmdListen) {
            accept_cmd_clients();
        } else if (kind == kCmdClient) {
            serve_cmd_client(fd, ev);
        }
    }
    now = mono_ms();
    send_due(now);
    come_back(now);
    resume_reads(now);
    if (dirty_ && now - last_status_ms_ >= kStatusEveryMs)
        write_status();
}

void Fleet::run(const std::atomic<bool>& stop)
{
    while (!stop.load(std::memory_order_acquire))
        step(50);
    std::lock_guard<std::mutex> lk(mu_);
    write_status();
}

// ---- control link ------------------------------------------------------------------------------

void Fleet::arm(int fd, Kind kind, uint32_t events, bool add, int tag)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = (static_cast<uint64_t>(kind) << 32) | static_cast<uint32_t>(tag >= 0 ? tag : fd);
    ::epoll_ctl(ep_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
}

int Fleet::open_control()
{
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ep_ < 0 || wake_ < 0) {
        error_ = "cannot create the event loop";
        return -1;
    }
    arm(sock_, kUdp, EPOLLIN, true);
    arm(wake_, kWake, EPOLLIN, true);
    listen_fd_.assign(devices_.size(), -1);
    if (opt_.control) {
        // A listening socket per device plus its connections: more than the usual 1024 files.
        rlimit rl{};
        if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
            rl.rlim_cur = rl.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &rl);
        }
        std::string first_failure;
        for (Device& d : devices_) {
            if (!listen_device(d) && first_failure.empty())
                first_failure = d.serial;
        }
        if (listen_failures_ > 0)
            std::fprintf(stderr, "dravlin-sim: %d recorder(s) cannot listen on their control port (first: %s)\n",
                         listen_failures_, first_failure.c_str());
    }
    if (!opt_.command_socket.empty()) {
        ::unlink(opt_.command_socket.c_str());
        cmd_listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (cmd_listen_ < 0 || opt_.command_socket.size() >= sizeof sa.sun_path) {
            error_ = "cannot make the command socket " + opt_.command_socket;
            return -1;
        }
        std::memcpy(sa.sun_path, opt_.command_socket.c_str(), opt_.command_socket.size() + 1);
        if (::bind(cmd_listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(cmd_listen_, 16) != 0) {
            error_ = "cannot listen on the command socket " + opt_.command_socket + ": " + std::strerror(errno);
            return -1;
        }
        arm(cmd_listen_, kCmdListen, EPOLLIN, true);
    }
    return 0;
}

// A listening socket for the device's control port at addr; -errno on failure. A slow reader
// gets its small receive buffer before listening, so the window it offers is small from the
// first segment on.
int Fleet::listen_socket(const Device& d, uint32_t addr)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (d.has(LinkFault::SlowRead)) {
        int small = kSlowReadBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(static_cast<uint16_t>(d.ptz_port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 128) != 0) {
        int e = errno;
        ::close(fd);
        return -e;
    }
    return fd;
}

bool Fleet::listen_device(Device& d)
{
    uint32_t addr = opt_.control_bind ? opt_.control_bind : d.addr;
    if (d.ptz_port < 0 || d.ptz_port > 65535) {
        ++listen_failures_;
        d.link.errors.push_back("no control port: " + std::to_string(d.ptz_port));
        return false;
    }
    int fd = listen_socket(d, addr);
    if (fd < 0) {
        ++listen_failures_;
        note("device %d cannot listen on %s:%d: %s", d.index, format_ip(addr).c_str(), d.ptz_port, std::strerror(-fd));
        if (d.link.errors.size() < 100)
            d.link.errors.push_back("cannot listen on " + format_ip(addr) + ":" + std::to_string(d.ptz_port) + ": " +
                                    std::strerror(-fd));
        return false;
    }
    if (d.ptz_port == 0)
        d.ptz_port = sock_local_port(fd);  // an ephemeral port (in-process tests) is what it announces
    listen_fd_[static_cast<size_t>(d.index)] = fd;
    arm(fd, kListen, EPOLLIN, true, d.index);
    return true;
}

// A recorder that takes a new address (network change or restore) moves its control port
// there, as a real one does after its network restart: the new listener first, then the old one
// closes. An address this host does not have cannot be listened on; the recorder then stays
// where it was, and its answers still carry the address it was given.
void Fleet::move_control(Device& d)
{
    uint32_t addr = 0;
    if (!parse_ip(d.lan.ip, &addr) || addr == d.addr || addr == 0 || opt_.control_bind != 0)
        return;
    if (d.ptz_port <= 0 || d.ptz_port > 65535)
        return;
    int fd = listen_socket(d, addr);
    if (fd < 0) {
        note("device %d stays on %s: %s", d.index, format_ip(d.addr).c_str(), std::strerror(-fd));
        if (d.link.errors.size() < 100)
            d.link.errors.push_back("cannot move to " + d.lan.ip + ":" + std::to_string(d.ptz_port) + ": " +
                                    std::strerror(-fd));
        return;
    }
    d.addr = addr;
    int& lfd = listen_fd_[static_cast<size_t>(d.index)];
    if (lfd >= 0) {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, lfd, nullptr);
        ::close(lfd);
        lfd = -1;
    }
    if (!opt_.control || d.link.rebooting) {
        ::close(fd);  // only a probe: the port opens when the recorder comes back
        return;
    }
    lfd = fd;
    arm(fd, kListen, EPOLLIN, true, d.index);
    note("device %d now listens on %s:%d", d.index, format_ip(addr).c_str(), d.ptz_port);
    dirty_ = true;
}

void Fleet::accept_all(int device)
{
    int lfd = listen_fd_[static_cast<size_t>(device)];
    Device& d = devices_[static_cast<size_t>(device)];
    for (int k = 0; k < 64; ++k) {
        uint32_t peer = 0;
        uint16_t peer_port = 0;
        int fd = tcp_accept(lfd, &peer, &peer_port);
        if (fd < 0)
            return;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (d.has(LinkFault::SlowRead)) {
            int small = kSlowReadBuffer;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        Conn c;
        c.fd = fd;
        c.device = device;
        c.session = std::make_unique<Session>(d, opt_.link, ++sessions_);
        conns_.emplace(fd, std::move(c));
        arm(fd, kConn, EPOLLIN, true);
        dirty_ = true;
        note("device %d: connection from %s:%u", device, format_ip(peer).c_str(), peer_port);
    }
}

void Fleet::read_conn(Conn& c, int64_t now)
{
    const bool slow = devices_[static_cast<size_t>(c.device)].has(LinkFault::SlowRead);
    const int64_t tick_ms = 20;
    if (slow && c.read_budget <= 0)
        c.read_budget = std::max<int64_t>(1024, static_cast<int64_t>(opt_.slow_read_bps) * tick_ms / 1000);
    for (int k = 0; k < 16; ++k) {
        size_t room = 0;
        unsigned char* p = c.session->input_space(&room);
        if (slow)
            room = std::min<size_t>(room, static_cast<size_t>(c.read_budget));
        ssize_t n = ::recv(c.fd, p, room, MSG_DONTWAIT);
        if (n > 0) {
            c.session->commit(static_cast<size_t>(n));
            dirty_ = true;
            int fd = c.fd;
            after_input(c, now);
            if (!conns_.count(fd))
                return;
            if (slow) {
                c.read_budget -= n;
                int64_t pause = 0;
                if (c.read_budget <= 0)
                    pause = tick_ms;
                if (long_pause_due(c))
                    pause = opt_.slow_read_pause_ms;
                if (pause > 0) {
                    c.paused = true;
                    c.resume_ms = now + pause;
                    arm(c.fd, kConn, c.want_out ? uint32_t{EPOLLOUT} : 0u, false);
                    return;
                }
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        // Closed by the console, or broken.
        note("device %d: connection closed by the peer", c.device);
        c.session->closed();
        close_conn(c.fd, false);
        return;
    }
}

// A slow reader stops reading once per upload, when the set share of it has arrived.
bool Fleet::long_pause_due(Conn& c)
{
    const Session& s = *c.session;
    if (opt_.slow_read_pause_ms <= 0 || !s.upload_active() || s.upload_length() <= 0)
        return false;
    uint64_t upload = devices_[static_cast<size_t>(c.device)].link.uploads_announced;
    if (c.long_pause_upload == upload || s.upload_received() * 100 < s.upload_length() * opt_.slow_read_pause_at)
        return false;
    c.long_pause_upload = upload;
    note("device %d stops reading for %d ms", c.device, opt_.slow_read_pause_ms);
    return true;
}

void Fleet::after_input(Conn& c, int64_t now)
{
    Session& s = *c.session;
    if (s.close_now()) {
        s.closed();
        close_conn(c.fd, false);
        return;
    }
    if (s.close_after_flush())
        c.closing = true;
    bool reboot = s.reboot_requested();
    int device = c.device;
    flush_conn(c);
    if (reboot)
        reboot_device(device, now);
}

void Fleet::flush_conn(Conn& c)
{
    Session& s = *c.session;
    while (!s.output().empty()) {
        std::string_view out = s.output();
        ssize_t n = ::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s.consumed(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!c.want_out) {
                c.want_out = true;
                arm(c.fd, kConn, (c.paused ? 0u : uint32_t{EPOLLIN}) | EPOLLOUT, false);
            }
            return;
        }
        s.closed();
        close_conn(c.fd, false);
        return;
    }
    if (c.want_out) {
        c.want_out = false;
        arm(c.fd, kConn, c.paused ? 0u : uint32_t{EPOLLIN}, false);
    }
    if (c.closing || s.close_after_flush()) {
        s.closed();
        close_conn(c.fd, true);
    }
}

void Fleet::close_conn(int fd, bool graceful)
{
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    if (graceful) {
        // Everything sent goes out before the end; what the console still sends is read away
        // so that the close is a plain end of stream rather than a reset.
        ::shutdown(fd, SHUT_WR);
        char sink[4096];
        while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    ::close(fd);
    conns_.erase(it);
    dirty_ = true;
}

std::vector<Fleet::Conn*> Fleet::conns_of(int device)
{
    std::vector<Conn*> out;
    for (auto& [fd, c] : conns_)
        if (c.device == device)
            out.push_back(&c);
    return out;
}

void Fleet::reboot_device(int device, int64_t now)
{
    Device& d = devices_[static_cast<size_t>(device)];
    if (d.link.rebooting)
        return;
    note("device %d reboots for %d ms", device, opt_.reboot_ms);
    d.link.rebooting = true;
    for (Conn* c : conns_of(device)) {
        c->closing = true;
        flush_conn(*c);  // the answer goes out, then the link ends
    }
    int& lfd = listen_fd_[static_cast<size_t>(device)];
    if (lfd >= 0) {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, lfd, nullptr);
        ::close(lfd);
        lfd = -1;
    }
    returns_.push_back({now + opt_.reboot_ms, device});
    dirty_ = true;
}

void Fleet::come_back(int64_t now)
{
    for (size_t i = 0; i < returns_.size();) {
        if (returns_[i].due_ms > now) {
            ++i;
            continue;
        }
        Device& d = devices_[static_cast<size_t>(returns_[i].device)];
        returns_.erase(returns_.begin() + static_cast<long>(i));
        d.link.rebooting = false;
        if (opt_.control)
            listen_device(d);
        note("device %d is back", d.index);
        dirty_ = true;
    }
}

void Fleet::resume_reads(int64_t now)
{
    for (auto& [fd, c] : conns_) {
        if (c.paused && c.resume_ms <= now) {
            c.paused = false;
            c.read_budget = 0;
            arm(fd, kConn, EPOLLIN | (c.want_out ? uint32_t{EPOLLOUT} : 0u), false);
        }
    }
}

// ---- control interface -------------------------------------------------------------------------

bool Fleet::find_devices(const std::string& who, std::vector<int>* out, std::string* err)
{
    out->clear();
    if (who == "all") {
        for (const Device& d : devices_)
            out->push_back(d.index);
        return true;
    }
    char* end = nullptr;
    long v = std::strtol(who.c_str(), &end, 10);
    if (!who.empty() && *end == '\0') {
        if (v < 0 || v >= static_cast<long>(devices_.size())) {
            *err = "no device " + who + " (the fleet has " + std::to_string(devices_.size()) + ")";
            return false;
        }
        out->push_back(static_cast<int>(v));
        return true;
    }
    for (const Device& d : devices_)
        if (d.serial == who)
            out->push_back(d.index);
    if (out->empty()) {
        *err = "no device with serial number " + who;
        return false;
    }
    return true;
}

std::string Fleet::command(const std::string& line)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::string reply = run_command(line);
    uint64_t one = 1;
    ssize_t r = ::write(wake_, &one, sizeof one);  // the loop recomputes its timers
    (void)r;
    return reply;
}

std::string Fleet::run_command(const std::string& line)
{
    std::istringstream words(line);
    std::string verb, who, arg, arg2;
    words >> verb >> who >> arg >> arg2;
    if (verb == "status") {
        std::string j = build_status();
        for (char& ch : j)
            if (ch == '\n')
                ch = ' ';
        return j;
    }
    if (verb == "help" || verb.empty())
        return "ok commands: alarm DEV [N] | heartbeat DEV mvk|aux | unknown DEV | bad DEV magic|truncated|huge-length|bad-xml"
               " | fault DEV KIND on|off | drop DEV | reboot DEV | status   (DEV: index, serial or all)";
    std::vector<int> which;
    std::string err;
    if (!find_devices(who, &which, &err))
        return "error: " + err;
    int64_t now = mono_ms();
    int reached = 0;
    for (int i : which) {
        Device& d = devices_[static_cast<size_t>(i)];
        if (verb == "fault") {
            LinkFault f;
            if (!link_fault_from_name(arg, &f))
                return "error: unknown link fault '" + arg + "' (" + link_fault_names() + ")";
            d.set(f, arg2 != "off");
            ++reached;
            continue;
        }
        if (verb == "reboot") {
            ++d.link.reboots;
            reboot_device(i, now);
            ++reached;
            continue;
        }
        for (Conn* c : conns_of(i)) {
            Session& s = *c->session;
            if (verb == "drop") {
                s.closed();
                close_conn(c->fd, true);
                ++reached;
                continue;
            }
            if (!s.logged_in())
                continue;
            if (verb == "alarm") {
                int n = arg.empty() ? 1 : std::atoi(arg.c_str());
                s.send_alarm(std::clamp(n, 1, 100));
            } else if (verb == "heartbeat") {
                s.send_heartbeat(arg == "mvk");
            } else if (verb == "unknown") {
                s.send_unknown();
            } else if (verb == "bad") {
                BadFrame b;
                if (arg == "magic") b = BadFrame::Magic;
                else if (arg == "truncated") b = BadFrame::Truncated;
                else if (arg == "huge-length") b = BadFrame::HugeLength;
                else if (arg == "bad-xml") b = BadFrame::Xml;
                else return "error: bad frame kinds are magic, truncated, huge-length, bad-xml";
                s.send_bad(b);
            } else {
                return "error: unknown command '" + verb + "'";
            }
            ++reached;
            if (s.close_after_flush())
                c->closing = true;
            flush_conn(*c);
        }
    }
    dirty_ = true;
    return "ok " + std::to_string(reached);
}

void Fleet::accept_cmd_clients()
{
    for (;;) {
        int fd = ::accept4(cmd_listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        cmd_clients_[fd].fd = fd;
        arm(fd, kCmdClient, EPOLLIN, true);
    }
}

void Fleet::serve_cmd_client(int fd, uint32_t events)
{
    auto it = cmd_clients_.find(fd);
    if (it == cmd_clients_.end())
        return;
    CmdClient& cl = it->second;
    char buf[4096];
    bool gone = (events & EPOLLERR) != 0;
    while (!gone && !cl.eof && (events & (EPOLLIN | EPOLLHUP))) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            cl.in.append(buf, static_cast<size_t>(n));
            if (cl.in.size() > 65536)
                gone = true;
            continue;
        }
        if (n == 0)
            cl.eof = true;  // e.g. `echo status | socat`: the replies still go out
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            gone = true;
        break;
    }
    if (cl.eof && !cl.in.empty() && cl.in.back() != '\n')
        cl.in += '\n';  // a last line without its newline still counts
    size_t nl;
    while (!gone && (nl = cl.in.find('\n')) != std::string::npos) {
        std::string line = cl.in.substr(0, nl);
        cl.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        cl.out += run_command(line) + "\n";
    }
    if (!gone) {
        flush_cmd_client(cl);
        // A client that reads nothing of a large reply loses it rather than the fleet's memory.
        gone = cl.fd < 0 || cl.out.size() > kCmdOutMax || (cl.eof && cl.out.empty());
    }
    if (gone) {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        cmd_clients_.erase(it);
        return;
    }
    bool want_out = !cl.out.empty();
    if (want_out != cl.want_out || cl.eof) {
        cl.want_out = want_out;
        arm(fd, kCmdClient, (cl.eof ? 0u : uint32_t{EPOLLIN}) | (want_out ? uint32_t{EPOLLOUT} : 0u), false);
    }
}

// Sends what the socket takes now; a reply larger than the socket buffer goes on when the
// client has read some (EPOLLOUT). cl.fd becomes -1 when the client is gone.
void Fleet::flush_cmd_client(CmdClient& cl)
{
    while (!cl.out.empty()) {
        ssize_t n = ::send(cl.fd, cl.out.data(), cl.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            cl.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        cl.fd = -1;
        return;
    }
}

std::string Fleet::status_json()
{
    std::lock_guard<std::mutex> lk(mu_);
    return build_status();
}

Device Fleet::device_copy(int index)
{
    std::lock_guard<std::mutex> lk(mu_);
    return devices_.at(static_cast<size_t>(index));
}

int Fleet::open_connections()
{
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(conns_.size());
}

namespace {

std::string json_list(const std::vector<std::string>& v)
{
    std::string j = "[";
    for (size_t i = 0; i < v.size(); ++i)
        j += (i ? ", " : "") + json_str(v[i]);
    return j + "]";
}

// The channel table (ChannelId 1-based, as the recorder reports it) and the camera search.
std::string nvr_json(const Device& d)
{
    const LinkStats& l = d.link;
    std::string j = "{\"channels\": [";
    for (size_t i = 0; i < d.channels.size(); ++i) {
        const Channel& c = d.channels[i];
        j += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i + 1) +
             ", \"used\": " + (c.used ? "true" : "false") + ", \"protocol\": " + json_str(c.protocol ? "ONVIF" : "MVK") +
             ", \"ip\": " + json_str(c.ip) + ", \"port\": " + std::to_string(c.port) + ", \"user\": " + json_str(c.user) +
             ", \"password\": " + json_str(c.password) + "}";
    }
    j += "], \"cameras\": [";
    for (size_t i = 0; i < d.cameras.size(); ++i) {
        const Camera& c = d.cameras[i];
        j += (i ? ", " : "") + std::string("{\"protocol\": ") + json_str(c.protocol ? "ONVIF" : "MVK") +
             ", \"ip\": " + json_str(c.ip) + ", \"port\": " + std::to_string(c.port) + ", \"sn\": " + json_str(c.sn) +
             ", \"osd\": " + json_str(c.osd) + "}";
    }
    j += "], \"searches\": " + std::to_string(l.nvr_searches) + ", \"search_stops\": " +
         std::to_string(l.nvr_search_stops) + ", \"searching\": " + (l.nvr_searching ? "true" : "false") +
         ", \"refused\": " + std::to_string(l.chan_refused) + ", \"picnum\": " + std::to_string(l.picnum) +
         ", \"page_turns\": [";
    for (size_t i = 0; i < l.page_turns.size(); ++i)
        j += (i ? ", " : "") + std::to_string(l.page_turns[i]);
    return j + "]}";
}

std::string link_json(const Device& d, bool listening, int open)
{
    const LinkStats& l = d.link;
    std::string j = "{\"listening\": ";
    j += listening ? "true" : "false";
    j += ", \"control_port\": " + std::to_string(d.ptz_port);
    j += ", \"open_connections\": " + std::to_string(open);
    std::vector<std::string> faults;
    for (int f = 0; f < static_cast<int>(LinkFault::Count); ++f)
        if (d.has(static_cast<LinkFault>(f)))
            faults.push_back(link_fault_name(static_cast<LinkFault>(f)));
    j += ", \"faults\": " + json_list(faults);
    auto num = [&](const char* key, uint64_t v) { j += std::string(", \"") + key + "\": " + std::to_string(v); };
    auto sint = [&](const char* key, int64_t v) { j += std::string(", \"") + key + "\": " + std::to_string(v); };
    num("connections", l.connections);
    num("logins_accepted", l.logins_accepted);
    num("logins_refused", l.logins_refused);
    j += ", \"last_user\": " + json_str(l.last_user);
    num("heartbeats", l.heartbeats);
    num("frames_in", l.frames_in);
    num("bad_frames", l.bad_frames);
    j += ", \"requests\": " + json_list(l.requests);
    j += ", \"texts\": " + json_list(std::vector<std::string>(l.texts.begin(), l.texts.end()));
    j += ", \"files\": {";
    bool first = true;
    for (const auto& [type, f] : l.files) {
        j += first ? "" : ", ";
        first = false;
        j += "\"" + std::to_string(type) + "\": {\"name\": " + json_str(f.name) + ", \"length\": " +
             std::to_string(f.length) + ", \"size\": " + std::to_string(f.size) + ", \"md5\": " + json_str(f.md5) +
             ", \"path\": " + json_str(f.path) + ", \"wall_ms\": " + std::to_string(f.wall_ms) + "}";
    }
    j += "}";
    num("uploads_announced", l.uploads_announced);
    num("uploads_refused", l.uploads_refused);
    num("uploads_completed", l.uploads_completed);
    num("uploads_failed", l.uploads_failed);
    num("upload_bytes", l.upload_bytes);
    num("reboots", l.reboots);
    j += std::string(", \"rebooting\": ") + (l.rebooting ? "true" : "false");
    j += ", \"picture_restores\": [";
    for (size_t i = 0; i < l.restores.size(); ++i)
        j += (i ? ", " : "") + std::to_string(l.restores[i]);
    j += "]";
    sint("buzzer", l.buzzer);
    sint("chn_ctrl", l.chn_ctrl);
    sint("chn_mode", l.chn_mode);
    j += ", \"userdata\": " + json_str(l.userdata);
    j += ", \"formats\": " + json_list(l.formats);
    num("iframes", l.iframes);
    j += ", \"ptz\": " + json_list(l.ptz);
    num("talk_starts", l.talk_starts);
    num("talk_stops", l.talk_stops);
    num("audio_frames", l.audio_frames);
    num("audio_bytes", l.audio_bytes);
    j += ", \"replays\": " + json_list(l.replays);
    j += ", \"removed\": " + json_list(l.removed);
    num("downloads", l.downloads);
    num("config_gets", l.config_gets);
    num("config_sets", l.config_sets);
    num("unsolicited", l.unsolicited);
    j += ", \"nvr\": " + nvr_json(d);
    j += ", \"errors\": " + json_list(l.errors);
    return j + "}";
}

}  // namespace

std::string Fleet::build_status()
{
    std::map<int, int> open;
    for (const auto& [fd, c] : conns_)
        ++open[c.device];
    std::string j;
    j.reserve(4096 + devices_.size() * 1024);
    j += "{\n\"pid\": " + std::to_string(::getpid());
    j += ",\n\"port\": " + std::to_string(port_);
    j += ",\n\"wall_ms\": " + std::to_string(wall_ms());
    j += ",\n\"datagrams_total\": " + std::to_string(datagrams_total_);
    j += ",\n\"answers_total\": " + std::to_string(answers_total_);
    j += ",\n\"send_failures\": " + std::to_string(send_failures_);
    j += ",\n\"open_connections\": " + std::to_string(conns_.size());
    j += ",\n\"listen_failures\": " + std::to_string(listen_failures_);
    j += ",\n\"codes_other\": " + std::to_string(other_codes_);
    j += ",\n\"source_addresses\": ";
    j += source_ok_ ? "true" : "false";
    j += ",\n\"codes\": {";
    bool first = true;
    for (const auto& [code, n] : per_code_) {
        j += first ? "" : ", ";
        j += "\"" + std::to_string(code) + "\": " + std::to_string(n);
        first = false;
    }
    j += "},\n\"datagrams\": [";
    first = true;
    for (const Datagram& dg : log_) {
        j += first ? "\n" : ",\n";
        first = false;
        j += "{\"wall_ms\": " + std::to_string(dg.wall_ms) + ", \"from\": " +
             json_str(format_ip(dg.from_addr) + ":" + std::to_string(dg.from_port)) +
             ", \"code\": " + std::to_string(dg.code) + ", \"text\": " + json_str(dg.text) + "}";
    }
    j += "],\n\"devices\": [";
    first = true;
    for (const Device& d : devices_) {
        j += first ? "\n" : ",\n";
        first = false;
        j += "{\"index\": " + std::to_string(d.index) + ", \"serial\": " + json_str(d.serial) +
             ", \"type\": " + json_str(d.type) + ", \"fault\": " + json_str(fault_name(d.fault)) +
             ", \"ip\": " + json_str(d.lan.ip) + ", \"mac\": " + json_str(d.lan.mac) +
             ", \"netmask\": " + json_str(d.lan.netmask) + ", \"gateway\": " + json_str(d.lan.gateway) +
             ", \"dhcp\": " + std::to_string(d.lan.dhcp) + ", \"ptz_port\": " + std::to_string(d.ptz_port) +
             ", \"answers_sent\": " + std::to_string(d.answers_sent) +
             ", \"clock_datagrams\": " + std::to_string(d.clock_datagrams) +
             ", \"last_time\": " + json_str(d.last_time) +
             ", \"network_changes\": " + std::to_string(d.network_changes) +
             ", \"restores\": " + std::to_string(d.restores) + ", \"received\": [";
        bool rfirst = true;
        for (const Received& r : d.received) {
            j += rfirst ? "" : ", ";
            rfirst = false;
            j += "{\"code\": " + std::to_string(r.code) + ", \"wall_ms\": " + std::to_string(r.wall_ms) +
                 ", \"text\": " + json_str(r.body) + "}";
        }
        size_t idx = static_cast<size_t>(d.index);
        bool listening = idx < listen_fd_.size() && listen_fd_[idx] >= 0;
        auto it = open.find(d.index);
        j += "], \"link\": " + link_json(d, listening, it == open.end() ? 0 : it->second) + "}";
    }
    j += "]\n}\n";
    return j;
}

void Fleet::write_status()
{
    dirty_ = false;
    last_status_ms_ = mono_ms();
    if (opt_.status_file.empty())
        return;
    std::string j = build_status();
    // Written beside the target and renamed over it, so a reader never sees half a file.
    std::string tmp = opt_.status_file + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
        bool ok = std::fwrite(j.data(), 1, j.size(), f) == j.size();
        ok = std::fclose(f) == 0 && ok;
        if (ok)
            std::rename(tmp.c_str(), opt_.status_file.c_str());
    }
}

}  // namespace sim

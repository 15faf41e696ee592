// The fleet's event loop and the life of its devices: opening the fleet, the one epoll loop
// over every socket, the search protocol on port 3001 (answers spread over time, network
// changes, restores, clock datagrams) and the reboots that take a device away for a while.
// The control connections, the command interface and the status JSON have files of their own.
#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/answer.h"
#include "sim/request.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t kLogKeep = 400;         // datagrams kept in the status file
constexpr int64_t kStatusEveryMs = 100;  // status file rewritten at most this often
constexpr int kMaxDatagram = 65536;
constexpr size_t kReceivedKeep = 32;  // network datagrams kept per device
constexpr size_t kCodesKeep = 64;     // distinct message codes counted one by one

void keep_received(Device& d, Received r)
{
    // A flood of network datagrams must not grow the record without end: the latest are kept.
    if (d.received.size() >= kReceivedKeep)
        d.received.erase(d.received.begin(),
                         d.received.begin() + static_cast<long>(d.received.size() - kReceivedKeep + 1));
    d.received.push_back(std::move(r));
}

}  // namespace

int64_t mono_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Fleet::Fleet(FleetOptions opt) : opt_(std::move(opt)) { }

Fleet::~Fleet()
{
    for (auto& [fd, c] : conns_)
        sock_close(fd);
    for (auto& [fd, c] : cmd_clients_)
        sock_close(fd);
    for (int fd : listen_fd_)
        sock_close(fd);
    if (cmd_listen_ >= 0) {
        sock_close(cmd_listen_);
        ::unlink(opt_.command_socket.c_str());
    }
    if (wake_ >= 0)
        ::close(wake_);
    if (door_ >= 0)
        ::close(door_);
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
    // Recorders that come online later are unplugged until then.
    const int64_t opened = mono_now_ms();
    for (Device& d : devices_) {
        if (d.online_after_ms > 0) {
            d.plugged = false;
            returns_.push_back({opened + d.online_after_ms, d.index, true});
        }
    }
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

    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    door_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ep_ < 0 || door_ < 0 || wake_ < 0) {
        error_ = "cannot create the event loop";
        return -1;
    }
    arm(sock_, kUdp, EPOLLIN, true);
    arm(wake_, kWake, EPOLLIN, true);
    arm(door_, kDoor, EPOLLIN, true);  // the loop wakes for the door too
    if (open_control() != 0 || open_command_socket() != 0)
        return -1;
    dirty_ = true;
    write_status();
    return 0;
}

void Fleet::arm(int fd, Kind kind, uint32_t events, bool add, int tag, int ep)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = (static_cast<uint64_t>(kind) << 32) | static_cast<uint32_t>(tag >= 0 ? tag : fd);
    ::epoll_ctl(ep >= 0 ? ep : ep_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
}

void Fleet::handle(const char* data, int len, uint32_t from_addr, uint16_t from_port)
{
    Request req = parse_request(data, static_cast<size_t>(len));
    Datagram dg;
    dg.wall_ms = wall_now_ms();
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
        schedule_answers(from_addr, from_port);
    } else if (req.ok && req.code == 2) {
        change_network(req, dg);
    } else if (req.ok && req.code == 5) {
        restore_network(req, dg);
    } else if (req.ok && req.code == 101) {
        for (Device& d : devices_) {
            if (!d.plugged)
                continue;
            ++d.clock_datagrams;
            d.last_time = req.time;
        }
    }

    log_.push_back(std::move(dg));
    while (log_.size() > kLogKeep)
        log_.pop_front();
}

// Real devices answer independently; spreading the answers keeps a big fleet from arriving as
// one burst that no receive buffer holds.
void Fleet::schedule_answers(uint32_t to_addr, uint16_t to_port)
{
    int64_t now = mono_now_ms();
    std::vector<Pending> batch;
    for (const Device& d : devices_) {
        if (d.fault == AnswerFault::Silent || !d.online())
            continue;
        rng_ = rng_ * 1664525u + 1013904223u;
        int64_t delay =
            opt_.spread_ms > 0 ? static_cast<int64_t>((rng_ >> 8) % static_cast<uint32_t>(opt_.spread_ms + 1)) : 0;
        batch.push_back({now + delay, d.index, to_addr, to_port});
    }
    pending_.insert(pending_.end(), batch.begin(), batch.end());
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due_ms < b.due_ms; });
}

void Fleet::change_network(const Request& req, const Datagram& dg)
{
    for (Device& d : devices_) {
        if (d.serial != req.serial || !d.plugged)
            continue;
        keep_received(d, {2, dg.wall_ms, dg.text});
        if (d.has(LinkFault::IgnoreNetwork)) {
            note("device %d (%s) ignores the network change", d.index, d.serial.c_str());
            continue;
        }
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
}

void Fleet::restore_network(const Request& req, const Datagram& dg)
{
    for (Device& d : devices_) {
        if (d.serial != req.serial || !d.plugged)
            continue;
        keep_received(d, {5, dg.wall_ms, dg.text});
        if (d.has(LinkFault::IgnoreNetwork))
            continue;
        ++d.restores;
        d.lan = d.lan_initial;
        note("device %d (%s) restores its configuration", d.index, d.serial.c_str());
        move_control(d);
    }
}

void Fleet::send_due(int64_t now)
{
    while (!pending_.empty() && pending_.front().due_ms <= now) {
        Pending p = pending_.front();
        pending_.pop_front();
        Device& d = devices_[static_cast<size_t>(p.device)];
        if (!d.online())
            continue;
        std::string answer = build_answer(d);
        if (answer.empty())
            continue;
        int n =
            udp_sendto(sock_, answer.data(), static_cast<int>(answer.size()), p.addr, p.port, source_ok_ ? d.addr : 0);
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
        int64_t now = mono_now_ms();
        wait = static_cast<int>(std::clamp<int64_t>(next_due(now, timeout_ms) - now, 0, timeout_ms));
    }
    epoll_event events[256];
    int n = ::epoll_wait(ep_, events, 256, wait);
    std::lock_guard<std::mutex> lk(mu_);
    int64_t now = mono_now_ms();
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
        } else if (kind == kDoor) {
            serve_door(now);
        } else if (kind == kConn) {
            // A login waiting at the door goes before this connection's input (an upload chunk
            // may take milliseconds to check).
            serve_door(now);
            serve_conn(fd, ev, now);
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
    now = mono_now_ms();
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
    close_listener(device);
    returns_.push_back({now + opt_.reboot_ms, device});
    dirty_ = true;
}

void Fleet::come_back(int64_t now)
{
    // Taken out first: an arrival ends other pending arrivals of its device.
    std::vector<Return> due;
    for (size_t i = 0; i < returns_.size();) {
        if (returns_[i].due_ms > now) {
            ++i;
            continue;
        }
        due.push_back(returns_[i]);
        returns_.erase(returns_.begin() + static_cast<long>(i));
    }
    for (const Return& r : due) {
        if (r.arrival) {
            plug_in(r.device);
            continue;
        }
        Device& d = devices_[static_cast<size_t>(r.device)];
        d.link.rebooting = false;
        // Unplugged while it rebooted: it comes up when it is plugged in again.
        if (opt_.control && d.plugged)
            listen_device(d);
        note("device %d is back", d.index);
        dirty_ = true;
    }
}

void Fleet::plug_in(int device)
{
    std::erase_if(returns_, [device](const Return& r) { return r.arrival && r.device == device; });
    Device& d = devices_[static_cast<size_t>(device)];
    if (d.plugged)
        return;
    d.plugged = true;
    // Still rebooting (unplugged meanwhile): the reboot's return opens the port.
    if (opt_.control && !d.link.rebooting)
        listen_device(d);
    note("device %d is plugged in", device);
    dirty_ = true;
}

// Unplugged: its links are reset rather than left to time out, so a console learns of it at
// once; its port refuses and nothing answers any more.
void Fleet::plug_out(int device)
{
    std::erase_if(returns_, [device](const Return& r) { return r.arrival && r.device == device; });
    Device& d = devices_[static_cast<size_t>(device)];
    if (!d.plugged)
        return;
    d.plugged = false;
    for (Conn* c : conns_of(device)) {
        c->session->closed();
        sock_nolinger(c->fd);
        close_conn(c->fd, false);
    }
    close_listener(device);
    note("device %d is plugged out", device);
    dirty_ = true;
}

}  // namespace sim

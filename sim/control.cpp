// The devices' control ports: one listening socket per device at its own address (moved when
// the device takes a new one), the connections accepted there, and the reading and writing
// that feed each connection's Session. A slow-read device reads through a budget and pauses,
// so the console meets a recorder whose window stays small. The control ports and the
// connections not logged in yet sit in the door's epoll set, served ahead of the rest.
#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/sockets.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace sim {

namespace {

constexpr int kSlowReadBuffer = 16 * 1024;  // receive buffer of a slow reader

}  // namespace

int Fleet::open_control()
{
    listen_fd_.assign(devices_.size(), -1);
    if (!opt_.control)
        return 0;
    // A listening socket per device plus its connections: more than the usual 1024 files.
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    std::string first_failure;
    for (Device& d : devices_) {
        if (d.plugged && !listen_device(d) && first_failure.empty())
            first_failure = d.serial;
    }
    if (listen_failures_ > 0)
        std::fprintf(stderr, "dravlin-sim: %d recorder(s) cannot listen on their control port (first: %s)\n",
                     listen_failures_, first_failure.c_str());
    return 0;
}

// A listening socket for the device's control port at addr; -errno on failure. A slow reader
// gets its small receive buffer before listening, so the window it offers is small from the
// first segment on.
int Fleet::listen_socket(const Device& d, uint32_t addr)
{
    return tcp_listen(addr, static_cast<uint16_t>(d.ptz_port), d.has(LinkFault::SlowRead) ? kSlowReadBuffer : 0);
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
    arm(fd, kListen, EPOLLIN, true, d.index, door_);
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
    close_listener(d.index);
    if (!opt_.control || d.link.rebooting) {
        sock_close(fd);  // only a probe: the port opens when the recorder comes back
        return;
    }
    listen_fd_[static_cast<size_t>(d.index)] = fd;
    arm(fd, kListen, EPOLLIN, true, d.index, door_);
    note("device %d now listens on %s:%d", d.index, format_ip(addr).c_str(), d.ptz_port);
    dirty_ = true;
}

void Fleet::close_listener(int device)
{
    int& lfd = listen_fd_[static_cast<size_t>(device)];
    if (lfd >= 0) {
        ::epoll_ctl(door_, EPOLL_CTL_DEL, lfd, nullptr);
        sock_close(lfd);
        lfd = -1;
    }
}

void Fleet::arm_conn(Conn& c, uint32_t events, bool add) { arm(c.fd, kConn, events, add, -1, c.at_door ? door_ : ep_); }

void Fleet::serve_door(int64_t now)
{
    epoll_event events[64];
    int n = ::epoll_wait(door_, events, 64, 0);
    for (int i = 0; i < n; ++i) {
        uint32_t kind = static_cast<uint32_t>(events[i].data.u64 >> 32);
        int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        if (kind == kListen) {
            // Tagged with the device index rather than the socket.
            if (fd >= 0 && static_cast<size_t>(fd) < listen_fd_.size() && listen_fd_[static_cast<size_t>(fd)] >= 0)
                accept_all(fd);
        } else if (kind == kConn) {
            serve_conn(fd, events[i].events, now);
        }
    }
}

void Fleet::serve_conn(int fd, uint32_t events, int64_t now)
{
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    Conn& c = it->second;
    if (events & EPOLLOUT)
        flush_conn(c);
    if (conns_.count(fd) && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !c.paused)
        read_conn(c, now);
    it = conns_.find(fd);
    if (it == conns_.end() || !it->second.at_door || !it->second.session->logged_in())
        return;
    // Logged in: from now on its input waits its turn with the other connections'.
    Conn& in = it->second;
    ::epoll_ctl(door_, EPOLL_CTL_DEL, fd, nullptr);
    in.at_door = false;
    arm_conn(in, (in.paused ? 0u : uint32_t{EPOLLIN}) | (in.want_out ? uint32_t{EPOLLOUT} : 0u), true);
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
        sock_nodelay(fd, 1);
        if (d.has(LinkFault::SlowRead))
            sock_setrcvbuf(fd, kSlowReadBuffer);
        Conn c;
        c.fd = fd;
        c.device = device;
        c.session = std::make_unique<Session>(d, opt_.link, ++sessions_);
        Conn& added = conns_.emplace(fd, std::move(c)).first->second;
        // Connections whose peer has already gone are not counted, though their end has not
        // been read yet: the peak is what the other side held at once. They are asked only while
        // a new peak is possible, and only until it is known: a storm of logins would otherwise
        // cost one system call per connection open for each one accepted.
        if (conns_.size() > peak_connections_) {
            size_t gone = 0;
            for (auto k = conns_.begin(); k != conns_.end() && conns_.size() - gone > peak_connections_; ++k)
                gone += peer_closed(k->first) ? 1 : 0;
            peak_connections_ = std::max(peak_connections_, conns_.size() - gone);
        }
        arm_conn(added, EPOLLIN, true);
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
                    arm_conn(c, c.want_out ? uint32_t{EPOLLOUT} : 0u, false);
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
                arm_conn(c, (c.paused ? 0u : uint32_t{EPOLLIN}) | EPOLLOUT, false);
            }
            return;
        }
        s.closed();
        close_conn(c.fd, false);
        return;
    }
    if (c.want_out) {
        c.want_out = false;
        arm_conn(c, c.paused ? 0u : uint32_t{EPOLLIN}, false);
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
    ::epoll_ctl(it->second.at_door ? door_ : ep_, EPOLL_CTL_DEL, fd, nullptr);
    if (graceful) {
        // Everything sent goes out before the end; what the console still sends is read away
        // so that the close is a plain end of stream rather than a reset.
        sock_shutdown_send(fd);
        char sink[4096];
        while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) { }
    }
    sock_close(fd);
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

void Fleet::resume_reads(int64_t now)
{
    for (auto& [fd, c] : conns_) {
        if (c.paused && c.resume_ms <= now) {
            c.paused = false;
            c.read_budget = 0;
            arm_conn(c, EPOLLIN | (c.want_out ? uint32_t{EPOLLOUT} : 0u), false);
        }
    }
}

}  // namespace sim

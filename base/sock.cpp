#include "base/sock.h"

#include "util/log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <initializer_list>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<uint64_t> g_broadcast_override{0};  // (addr << 16) | port, 0 = real destination

int set_int_opt(int sock, int level, int name, int value)
{
    return ::setsockopt(sock, level, name, &value, sizeof value) == 0 ? 0 : -1;
}

// A socket being set up: closed on every early return, handed on with release() once ready.
class SockGuard {
public:
    explicit SockGuard(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0))
    {
        if (fd_ < 0)
            LOG_LAST_ERROR("socket");
    }
    ~SockGuard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SockGuard(const SockGuard&) = delete;
    SockGuard& operator=(const SockGuard&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// One integer socket option and the line written when it cannot be set (null: none).
struct IntOpt {
    int level;
    int name;
    int value;
    const char* failure;
};

// Sets the options in order; the first that fails writes its line and ends with false.
bool set_int_opts(int sock, std::initializer_list<IntOpt> opts)
{
    for (const IntOpt& o : opts) {
        if (set_int_opt(sock, o.level, o.name, o.value) != 0) {
            if (o.failure)
                log_print("%s", o.failure);
            return false;
        }
    }
    return true;
}

bool bind_to(int sock, uint32_t addr_net, uint16_t port);

sockaddr_in make_addr(uint32_t addr_net, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_net;
    sa.sin_port = htons(port);
    return sa;
}

bool bind_to(int sock, uint32_t addr_net, uint16_t port)
{
    sockaddr_in sa = make_addr(addr_net, port);
    return ::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

// poll() on one socket for `events`; 1 ready, 0 not within timeout, -1 failed (errno kept).
int poll_one(int sock, short events, int timeout_ms)
{
    pollfd p{};
    p.fd = sock;
    p.events = events;
    for (;;) {
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            return 0;
        // An error or hang-up also counts as "ready": the next call reports it.
        return 1;
    }
}

int pending_error(int sock, int* err)
{
    socklen_t len = sizeof *err;
    *err = 0;
    return ::getsockopt(sock, SOL_SOCKET, SO_ERROR, err, &len);
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int format_addr(char* out, size_t size, const sockaddr_in& sa)
{
    if (size < 16)
        return -1;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&sa.sin_addr.s_addr);
    std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return 1;
}

}  // namespace

bool ipv4_parse(const char* text, uint32_t* addr)
{
    in_addr a{};
    if (!text || ::inet_pton(AF_INET, text, &a) != 1)
        return false;
    if (addr)
        *addr = ntohl(a.s_addr);
    return true;
}

void ipv4_format(uint32_t addr, char* out, size_t size)
{
    if (!out || size == 0)
        return;
    std::snprintf(out, size, "%u.%u.%u.%u", (addr >> 24) & 0xFF, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF, addr & 0xFF);
}

int gethostip(const char* name, uint32_t* addr)
{
    if (!name || !addr)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res)
        return -1;
    const auto* sa = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&sa->sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(res);
    in_addr a{};
    if (::inet_aton(text, &a) == 0)
        return -1;
    *addr = a.s_addr;
    return 1;
}

int tcpconnectserver(const char* host, uint16_t port)
{
    if (!host || port == 0)
        return -1;
    // The address comes from a recorder's search answer: it is taken only as a plain dotted
    // quad and never handed to a name lookup, whatever text the device put there.
    in_addr a{};
    if (::inet_pton(AF_INET, host, &a) != 1) {
        log_print("inet_aton ip[%s] fail\n", host);
        return -1;
    }

    SockGuard guard(SOCK_STREAM);
    int sock = guard.get();
    if (sock < 0)
        return -1;
    if (sock_setrcvbuf(sock, kTcpLinkRcvBuf) != 0 || sock_nonblocking(sock) != 0 ||
        sock_keepalive(sock, kConnectKeepaliveIdle) != 0)
        return -1;

    sockaddr_in sa = make_addr(a.s_addr, port);
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        log_print("Connect [%s:%d] ok\n", host, port);
        return guard.release();
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        log_print("Connect [%s:%d] fail, err:%d\n", host, port, errno);
        return -1;
    }

    for (;;) {
        int r = poll_one(sock, POLLOUT, kConnectWaitMs);
        int err = 0;
        if (r == 0) {
            // A LAN peer that does not answer within one wait is treated as absent.
            log_print("Connect [%s:%d] timeout\n", host, port);
            return -1;
        }
        if (pending_error(sock, &err) != 0 || err != 0) {
            log_print("Connect [%s:%d] fail, err:%d\n", host, port, err);
            return -1;
        }
        if (r > 0) {
            log_print("Connect [%s:%d] ok, fd:%d\n", host, port, sock);
            return guard.release();
        }
    }
}

int broadcastserver(uint16_t port, uint32_t local_addr)
{
    if (port == 0) {
        log_print("broadcastserver fail:paramerror, port:%d\n", port);
        return -1;
    }
    SockGuard sock(SOCK_DGRAM);
    if (sock.get() < 0)
        return -1;
    if (!set_int_opts(sock.get(), {{SOL_SOCKET, SO_REUSEADDR, 1, "udp set SO_REUSEADDR fail\n"},
                                   {SOL_SOCKET, SO_BROADCAST, 1, "udp set SO_BROADCAST fail\n"},
                                   {SOL_SOCKET, SO_RCVBUF, kBroadcastRcvBuf, "udp set SO_RCVBUF fail\n"}}))
        return -1;
    if (!bind_to(sock.get(), htonl(local_addr), port)) {
        log_print("udp bind local port(%u) ip(%#x) fail\n", static_cast<unsigned>(port), local_addr);
        return -2;
    }
    return sock.release();
}

int broadcastclient()
{
    SockGuard sock(SOCK_DGRAM);
    if (sock.get() < 0 || !set_int_opts(sock.get(), {{SOL_SOCKET, SO_BROADCAST, 1, "udp set SO_BROADCAST fail\n"}}))
        return -1;
    return sock.release();
}

void broadcast_set_destination_for_test(uint32_t addr, uint16_t port)
{
    g_broadcast_override.store(port == 0 ? 0 : (static_cast<uint64_t>(addr) << 16) | port);
}

int broadcastsendmsg(const char* text, int sock)
{
    uint32_t dest = kBroadcastAddr;
    uint16_t port = kBroadcastPort;
    uint64_t o = g_broadcast_override.load();
    if (o) {
        dest = static_cast<uint32_t>(o >> 16);
        port = static_cast<uint16_t>(o & 0xFFFF);
    }
    size_t len = text ? std::strlen(text) : 0;
    sockaddr_in sa = make_addr(htonl(dest), port);
    ssize_t n = ::sendto(sock, text ? text : "", len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        LOG_LAST_ERROR("sendto");
        char dotted[16];
        ipv4_format(dest, dotted, sizeof dotted);
        log_print("broadcastsendmsg to %s fail\n", dotted);
        return -1;
    }
    if (static_cast<size_t>(n) < len) {
        log_print("sendto send data not complete, err\n");
        return -2;
    }
    return 1;
}

int sock_writable(int sock)
{
    if (sock < 0)
        return -1;
    pollfd p{};
    p.fd = sock;
    p.events = POLLOUT;
    int r = ::poll(&p, 1, 0);
    if (r < 0)
        return -1;
    return (r > 0 && (p.revents & POLLOUT)) ? 1 : 0;
}

int sock_readable(int sock)
{
    if (sock < 0)
        return -1;
    pollfd p{};
    p.fd = sock;
    p.events = POLLIN;
    int r = ::poll(&p, 1, 0);
    if (r < 0)
        return -1;
    return (r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) ? 1 : 0;
}

int socksend(int sock, const void* data, int length)
{
    if (sock < 0)
        return -1;
    if (sock_writable(sock) != 1)
        return 0;
    if (length <= 0 || !data)
        return 0;

    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        ssize_t n = ::send(sock, p + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && would_block(errno)) {
            // Part of a frame may already be on the stream: stopping here would leave the peer
            // reading garbage from now on, so wait for room and finish the buffer. Only a real
            // error, or no progress for kSockSendStallMs, ends it.
            if (poll_one(sock, POLLOUT, kSockSendStallMs) == 1)
                continue;
            log_print("socksend send fail, pack lost:%d\n", length - sent);
            return -1;
        }
        log_print("socksend send fail, pack lost:%d\n", length - sent);
        return n < 0 ? static_cast<int>(n) : -1;
    }
    return sent;
}

int socksend_wait(int sock, const void* data, int length)
{
    for (;;) {
        int r = socksend(sock, data, length);
        if (r < 0) {
            log_print("socksend pack lost:%d\n", length);
            return r;
        }
        if (r > 0 || length <= 0)
            return r;
        sock_usleep(1000);
    }
}

int sock_wait_writable(int sock, int timeout_ms)
{
    if (sock < 0)
        return -1;
    return poll_one(sock, POLLOUT, timeout_ms);
}

namespace {

// Sends a then b back to back with gather writes; while the socket is full, waits for room
// with poll. Returns the bytes sent (fewer than alen + blen when nothing went for timeout_ms),
// or -1 on an error.
int send_pair_poll(int sock, const void* a, int alen, const void* b, int blen, int timeout_ms, int flags)
{
    if (sock < 0 || alen < 0 || blen < 0 || (!a && alen > 0) || (!b && blen > 0))
        return -1;
    const int total = alen + blen;
    int sent = 0;
    while (sent < total) {
        iovec iov[2];
        int count = 0;
        if (sent < alen)
            iov[count++] = iovec{const_cast<char*>(static_cast<const char*>(a)) + sent, static_cast<size_t>(alen - sent)};
        int boff = std::max(0, sent - alen);
        if (blen > boff)
            iov[count++] = iovec{const_cast<char*>(static_cast<const char*>(b)) + boff, static_cast<size_t>(blen - boff)};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = ::sendmsg(sock, &msg, flags | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && would_block(errno)) {
            int r = poll_one(sock, POLLOUT, timeout_ms);
            if (r == 1)
                continue;
            if (r == 0)
                return sent;
        }
        log_print("socksend send fail, pack lost:%d\n", total - sent);
        return -1;
    }
    return sent;
}

}  // namespace

int socksend_poll(int sock, const void* data, int length, int timeout_ms, bool more)
{
    return send_pair_poll(sock, data, length, nullptr, 0, timeout_ms, more ? MSG_MORE : 0);
}

int socksend2_poll(int sock, const void* a, int alen, const void* b, int blen, int timeout_ms)
{
    return send_pair_poll(sock, a, alen, b, blen, timeout_ms, 0);
}

int socksend_nowait(int sock, const void* a, int alen, const void* b, int blen)
{
    // No wait at all: what the socket cannot take now is left to the caller.
    return send_pair_poll(sock, a, alen, b, blen, 0, MSG_DONTWAIT);
}

int sock_outq(int sock)
{
    int value = 0;
    if (sock < 0 || ::ioctl(sock, SIOCOUTQ, &value) != 0)
        return -1;
    return value;
}

int sock_sndbuf(int sock)
{
    int value = 0;
    socklen_t len = sizeof value;
    if (sock < 0 || ::getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &value, &len) != 0)
        return -1;
    return value;
}

int socksend_retry(int sock, const void* data, int length)
{
    if (sock < 0 || !data || length <= 0)
        return length == 0 ? 0 : -1;
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    int retries = 0;
    while (sent < length) {
        ssize_t n = ::send(sock, p + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && would_block(errno)) {
            if (++retries > 500) {
                log_print("socksend send fail, pack lost:%d\n", length - sent);
                return sent;
            }
            sock_usleep(1000);
            continue;
        }
        return -1;
    }
    return sent;
}

int sockrecv(int sock, void* buffer, int size)
{
    if (sock < 0 || !buffer || size <= 0)
        return -1;
    int r = poll_one(sock, POLLIN, kSockRecvWaitMs);
    if (r == 0)
        return -2;
    if (r < 0)
        return -1;
    for (;;) {
        ssize_t n = ::recv(sock, buffer, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}

int udprecv(int sock, void* buffer, int size)
{
    if (sock < 0 || !buffer || size <= 0)
        return -1;
    int r = poll_one(sock, POLLIN, kUdpRecvWaitMs);
    if (r <= 0)
        return r;
    for (;;) {
        ssize_t n = ::recv(sock, buffer, static_cast<size_t>(std::min(size, kUdpRecvMax)), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}

int sock_nonblocking(int sock)
{
    int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        log_print("fcntl(%d, F_GETFL)", sock);
        return -1;
    }
    return 0;
}

int sock_blocking(int sock)
{
    int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        log_print("fcntl(%d, F_GETFL)", sock);
        return -1;
    }
    return 0;
}

int sock_keepalive(int sock, int idle)
{
    // The values are meant in milliseconds (idle time, probe interval 1). Linux counts whole
    // seconds, so each is rounded up to the next second, at least 1 s: idle 15 -> 1 s,
    // idle 30000 -> 30 s, interval 1 -> 1 s. The probe count is 10, as on the platforms that
    // take milliseconds, so a silent peer is dropped about idle + 10 s after its last byte.
    // TCP_USER_TIMEOUT stays unset: it would also cut uploads that are merely slow, and the
    // link watches its own heartbeat silence.
    constexpr int kProbeIntervalMs = 1;
    constexpr int kProbeCount = 10;
    auto ms_to_s = [](int ms) { return ms <= 1000 ? 1 : (ms + 999) / 1000; };
    if (set_int_opt(sock, SOL_SOCKET, SO_KEEPALIVE, 1) != 0 ||
        set_int_opt(sock, IPPROTO_TCP, TCP_KEEPIDLE, ms_to_s(idle)) != 0 ||
        set_int_opt(sock, IPPROTO_TCP, TCP_KEEPINTVL, ms_to_s(kProbeIntervalMs)) != 0 ||
        set_int_opt(sock, IPPROTO_TCP, TCP_KEEPCNT, kProbeCount) != 0) {
        log_print("WSAIoctl(SIO_KEEPALIVE_VALS) fail\n");
        return -1;
    }
    return 0;
}

int sock_nolinger(int sock)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int sock_linger_default(int sock)
{
    linger l{};
    return ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int sock_shutdown_send(int sock) { return ::shutdown(sock, SHUT_WR); }

int sock_nodelay(int sock, int on) { return set_int_opt(sock, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

int sock_reuseaddr(int sock) { return set_int_opt(sock, SOL_SOCKET, SO_REUSEADDR, 1); }

int sock_setrcvbuf(int sock, int size) { return set_int_opt(sock, SOL_SOCKET, SO_RCVBUF, size); }

int sock_setsndbuf(int sock, int size)
{
    log_print("to setfd(%d) send buffersize:%d\n", sock, size);
    if (set_int_opt(sock, SOL_SOCKET, SO_SNDBUF, size) != 0)
        return -1;
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &value, &len) != 0)
        return -1;
    log_print("send buffersize:%d\n", value);
    value = 0;
    len = sizeof value;
    if (::getsockopt(sock, SOL_SOCKET, SO_SNDLOWAT, &value, &len) != 0)
        return -1;
    log_print("send buffersize low:%d\n", value);
    return 0;
}

int udpclient(int rcvbuf, const char* host, uint16_t local_port, uint16_t remote_port)
{
    if (!host || local_port == 0 || remote_port == 0) {
        log_print("udpclient fail:paramerror:%d,%d,%d\n", host ? 1 : 0, local_port, remote_port);
        return -1;
    }
    in_addr remote{};
    if (::inet_aton(host, &remote) == 0) {
        uint32_t resolved = 0;
        if (gethostip(host, &resolved) != 1) {
            log_print("get host ip fail\n");
            return -1;
        }
        remote.s_addr = resolved;
    }
    SockGuard sock(SOCK_DGRAM);
    if (sock.get() < 0 || !set_int_opts(sock.get(), {{SOL_SOCKET, SO_REUSEADDR, 1, "udp set SO_REUSEADDR fail\n"}}))
        return -1;
    if (rcvbuf >= 1 && sock_setrcvbuf(sock.get(), rcvbuf) != 0)
        return -1;
    if (!bind_to(sock.get(), htonl(INADDR_ANY), local_port)) {
        log_print("udp bind loacal port(:%u) fail\n", static_cast<unsigned>(local_port));
        return -1;
    }
    sockaddr_in peer = make_addr(remote.s_addr, remote_port);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        LOG_LAST_ERROR("connect");
        return -1;
    }
    return sock.release();
}

int tcpserver(const char* host, uint16_t port)
{
    in_addr local{};
    local.s_addr = htonl(INADDR_ANY);
    if (host && ::inet_aton(host, &local) == 0) {
        uint32_t resolved = 0;
        if (gethostip(host, &resolved) != 1) {
            log_print("get host ip fail\n");
            return -1;
        }
        local.s_addr = resolved;
    }
    SockGuard guard(SOCK_STREAM);
    int sock = guard.get();
    if (sock < 0)
        return -1;
    if (sock_nonblocking(sock) != 0 || sock_nolinger(sock) != 0 ||
        !set_int_opts(sock, {{SOL_SOCKET, SO_REUSEADDR, 1, nullptr}, {SOL_SOCKET, SO_SNDBUF, 1048576, nullptr}}))
        return -1;
    int value = 0;
    socklen_t len = sizeof value;
    ::getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &value, &len);
    log_print("server sendbufbs:%d\n", value);
    if (!bind_to(sock, local.s_addr, port)) {
        log_print("tcp bind loacal port(:%u) fail\n", static_cast<unsigned>(port));
        return -1;
    }
    if (::listen(sock, 5) != 0) {
        log_print("tcp listen port(%u) fail\n", static_cast<unsigned>(port));
        return -1;
    }
    return guard.release();
}

int tcp_freeport(uint16_t port, int tries)
{
    unsigned p = port == 0 ? 1 : port;
    for (int i = 0; i < tries && p <= 65535; ++i, ++p) {
        SockGuard sock(SOCK_STREAM);
        if (sock.get() < 0)
            return 0;
        if (bind_to(sock.get(), htonl(INADDR_ANY), static_cast<uint16_t>(p)))
            return static_cast<int>(p);
        log_print("tcp bind port:%d fail, try next...\n", static_cast<int>(p));
    }
    return 0;
}

int udp_portsfree(uint16_t port, int count)
{
    if (port == 0 || count < 1)
        return 0;
    for (int i = 0; i < count; ++i) {
        unsigned p = static_cast<unsigned>(port) + static_cast<unsigned>(i);
        if (p > 65535)
            return 0;
        SockGuard sock(SOCK_DGRAM);
        if (sock.get() < 0 || !bind_to(sock.get(), htonl(INADDR_ANY), static_cast<uint16_t>(p)))
            return 0;
    }
    return 1;
}

int getlocalip(char* out, size_t size)
{
    if (!out || size < 16)
        return -1;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return -1;
    uint32_t addr = 0;
    if (gethostip(name, &addr) != 1)
        return -1;
    sockaddr_in sa = make_addr(addr, 0);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&sa.sin_addr.s_addr);
    std::snprintf(out, size, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    log_print("The Computer name is: %s, and ip is: %s\n", name, out);
    return 1;
}

int sockpair_win32(int pair[2])
{
    if (!pair) {
        log_print("sockpair_win32:param error\n");
        return -1;
    }
    pair[0] = pair[1] = -1;
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || client < 0) {
        log_print("socket fail\n");
        sock_close(listener);
        sock_close(client);
        return -1;
    }
    sockaddr_in sa = make_addr(htonl(INADDR_LOOPBACK), 0);
    socklen_t len = sizeof sa;
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        log_print("sockpair___ fail\n");
        ::close(listener);
        ::close(client);
        return -1;
    }
    if (::connect(client, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_print("sockpair__, connect fail\n");
        ::close(listener);
        ::close(client);
        return -1;
    }
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    int accepted = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
    ::close(listener);
    sockaddr_in mine{};
    socklen_t mine_len = sizeof mine;
    // Only our own client may end up as the other half, not a stranger that raced it.
    if (accepted < 0 || ::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &mine_len) != 0 ||
        mine.sin_addr.s_addr != peer.sin_addr.s_addr || mine.sin_port != peer.sin_port) {
        log_print("sockpair___ fail\n");
        sock_close(accepted);
        ::close(client);
        return -1;
    }
    pair[0] = client;
    pair[1] = accepted;
    return 0;
}

void sockpair_close(int pair[2])
{
    if (!pair || pair[0] < 0 || pair[1] < 0)
        return;
    ::close(pair[0]);
    ::close(pair[1]);
    pair[0] = pair[1] = -1;
}

int sock_peerip(char* out, size_t size, int sock)
{
    if (sock < 0 || !out || size < 16)
        return -1;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return -1;
    return format_addr(out, size, sa);
}

int sock_localip(char* out, size_t size, int sock)
{
    if (sock < 0 || !out || size < 16)
        return -1;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return -1;
    return format_addr(out, size, sa);
}

int sock_shutdown(int sock) { return ::shutdown(sock, SHUT_RDWR); }

void sock_close(int sock)
{
    if (sock >= 0)
        ::close(sock);
}

int wakeup_open(int fds[2])
{
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        LOG_LAST_ERROR("pipe2");
        fds[0] = fds[1] = -1;
        return -1;
    }
    return 0;
}

void wakeup_signal(int fd)
{
    if (fd < 0)
        return;
    char one = 1;
    // A full pipe already wakes the reader: nothing is lost when this write finds no room.
    while (::write(fd, &one, 1) < 0 && errno == EINTR) {
    }
}

void wakeup_clear(int fd)
{
    if (fd < 0)
        return;
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

void wakeup_close(int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0)
            ::close(fds[i]);
        fds[i] = -1;
    }
}

void sock_usleep(int64_t microseconds)
{
    int64_t ms = microseconds / 1000;
    if (ms < 1)
        ms = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- primitives for the simulator and the tests ---------------------------------------------

int udp_bind(uint32_t addr, uint16_t port, bool reuse)
{
    SockGuard sock(SOCK_DGRAM);
    if (sock.get() < 0)
        return -1;
    if ((reuse && sock_reuseaddr(sock.get()) != 0) ||
        !set_int_opts(sock.get(), {{IPPROTO_IP, IP_PKTINFO, 1, nullptr}, {SOL_SOCKET, SO_BROADCAST, 1, nullptr}})) {
        LOG_LAST_ERROR("setsockopt");
        return -1;
    }
    if (!bind_to(sock.get(), htonl(addr), port)) {
        log_print("udp bind local port(%u) ip(%#x) fail\n", static_cast<unsigned>(port), addr);
        return -2;
    }
    return sock.release();
}

uint16_t sock_local_port(int sock)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (sock < 0 || ::getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

int udp_recvfrom(int sock, void* buffer, int size, UdpPeer* from)
{
    if (sock < 0 || !buffer || size < 0)
        return -1;
    sockaddr_in src{};
    iovec iov{buffer, static_cast<size_t>(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        // MSG_TRUNC makes the result the datagram's real length, so the caller sees a cut.
        n = ::recvmsg(sock, &msg, MSG_DONTWAIT | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return would_block(errno) ? -2 : -1;
    if (from) {
        from->addr = ntohl(src.sin_addr.s_addr);
        from->port = ntohs(src.sin_port);
        from->dest = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                from->dest = ntohl(info.ipi_addr.s_addr);
            }
        }
    }
    return static_cast<int>(n);
}

int udp_sendto(int sock, const void* data, int length, uint32_t addr, uint16_t port, uint32_t src)
{
    if (sock < 0 || length < 0 || (!data && length > 0))
        return -1;
    sockaddr_in dst = make_addr(htonl(addr), port);
    iovec iov{const_cast<void*>(data), static_cast<size_t>(length)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &dst;
    msg.msg_namelen = sizeof dst;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (src != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(src);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    ssize_t n;
    do {
        n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int sock_poll_readable(const int* socks, int count, int timeout_ms, unsigned char* ready)
{
    if (!socks || count < 0)
        return -1;
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        fds[i].fd = socks[i];
        fds[i].events = POLLIN;
    }
    int r;
    do {
        r = ::poll(fds.data(), fds.size(), timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    if (ready) {
        for (int i = 0; i < count; ++i)
            ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    }
    return r;
}

int tcp_accept(int listen_sock, uint32_t* peer_addr, uint16_t* peer_port)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int sock;
    do {
        sock = ::accept4(listen_sock, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (sock < 0 && errno == EINTR);
    if (sock < 0)
        return -1;
    if (peer_addr)
        *peer_addr = ntohl(sa.sin_addr.s_addr);
    if (peer_port)
        *peer_port = ntohs(sa.sin_port);
    return sock;
}

int sock_recv_nowait(int sock, void* buffer, int size)
{
    if (sock < 0 || !buffer || size <= 0)
        return -1;
    ssize_t n;
    do {
        n = ::recv(sock, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return would_block(errno) ? -2 : -1;
    return static_cast<int>(n);
}

#include "base/sock.h"

#include "base/sock_os.h"
#include "base/sock_util.h"
#include "util/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <initializer_list>
#include <thread>

using namespace sock_util;

namespace {

std::atomic<uint64_t> g_broadcast_override{0};  // (addr << 16) | port, 0 = real destination

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
    uint32_t a = 0;
    if (!sock_os_aton(text, &a))
        return -1;
    *addr = a;
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
    if (int err = sock_os_error(); !sock_os_connect_pending(err)) {
        log_print("Connect [%s:%d] fail, err:%d\n", host, port, err);
        return -1;
    }

    for (;;) {
        int r = sock_os_wait(sock, true, kConnectWaitMs);
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
    if (!set_int_opts(sock.get(),
                      {{SOL_SOCKET, kSockReuseOpt, 1, "udp set SO_REUSEADDR fail\n"},
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
    ssize_t n = ::sendto(sock, text ? text : "", static_cast<int>(len), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        LOG_SOCK_ERROR("sendto");
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

int sock_nonblocking(int sock)
{
    if (sock_os_set_nonblocking(sock, true) != 0) {
        log_print("fcntl(%d, F_GETFL)", sock);
        return -1;
    }
    return 0;
}

int sock_blocking(int sock)
{
    if (sock_os_set_nonblocking(sock, false) != 0) {
        log_print("fcntl(%d, F_GETFL)", sock);
        return -1;
    }
    return 0;
}

int sock_nolinger(int sock)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return ::setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == 0 ? 0 : -1;
}

int sock_linger_default(int sock)
{
    linger l{};
    return ::setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == 0 ? 0 : -1;
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
    if (get_int_opt(sock, SOL_SOCKET, SO_SNDBUF, &value) != 0)
        return -1;
    log_print("send buffersize:%d\n", value);
    value = 0;
    if (sock_os_sndlowat(sock, &value) != 0)
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
    if (uint32_t parsed = 0; sock_os_aton(host, &parsed)) {
        remote.s_addr = parsed;
    } else {
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
        LOG_SOCK_ERROR("connect");
        return -1;
    }
    return sock.release();
}

int tcpserver(const char* host, uint16_t port)
{
    in_addr local{};
    local.s_addr = htonl(INADDR_ANY);
    uint32_t parsed = 0;
    if (host && sock_os_aton(host, &parsed)) {
        local.s_addr = parsed;
    } else if (host) {
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
    get_int_opt(sock, SOL_SOCKET, SO_SNDBUF, &value);
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
    int listener = static_cast<int>(::socket(AF_INET, SOCK_STREAM | kSockCloexec, 0));
    int client = static_cast<int>(::socket(AF_INET, SOCK_STREAM | kSockCloexec, 0));
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
        sock_os_close(listener);
        sock_os_close(client);
        return -1;
    }
    if (::connect(client, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_print("sockpair__, connect fail\n");
        sock_os_close(listener);
        sock_os_close(client);
        return -1;
    }
    sockaddr_in peer{};
    int accepted = sock_os_accept(listener, &peer, false);
    sock_os_close(listener);
    sockaddr_in mine{};
    socklen_t mine_len = sizeof mine;
    // Only our own client may end up as the other half, not a stranger that raced it.
    if (accepted < 0 || ::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &mine_len) != 0 ||
        mine.sin_addr.s_addr != peer.sin_addr.s_addr || mine.sin_port != peer.sin_port) {
        log_print("sockpair___ fail\n");
        sock_close(accepted);
        sock_os_close(client);
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
    sock_os_close(pair[0]);
    sock_os_close(pair[1]);
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
        sock_os_close(sock);
}

void sock_usleep(int64_t microseconds)
{
    int64_t ms = microseconds / 1000;
    if (ms < 1)
        ms = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- primitives for the simulator and the tests ---------------------------------------------

uint16_t sock_local_port(int sock)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (sock < 0 || ::getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

int sock_poll_readable(const int* socks, int count, int timeout_ms, unsigned char* ready)
{
    if (!socks || count < 0)
        return -1;
    return sock_os_wait_readable(socks, count, timeout_ms, ready);
}

int tcp_accept(int listen_sock, uint32_t* peer_addr, uint16_t* peer_port)
{
    sockaddr_in sa{};
    int sock;
    do {
        sock = sock_os_accept(listen_sock, &sa, true);
    } while (sock < 0 && sock_os_error() == EINTR);
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
    int n;
    int err = 0;
    do {
        n = sock_os_recv(sock, buffer, size, true);
        err = n < 0 ? sock_os_error() : 0;
    } while (n < 0 && err == EINTR);
    if (n < 0)
        return would_block(err) ? -2 : -1;
    return n;
}

// The Winsock side of the socket helpers: the layer is started (version 1.1) before main,
// select() stands for poll, ioctlsocket for fcntl, WSASend for the gather write, the per-socket
// keep-alive control, and a loopback socket pair as the wake-up handle. Winsock's error codes
// are turned into the POSIX errno values the rest of the program reads.
#include "base/sock.h"

#include "base/sock_os.h"
#include "util/log.h"

#include <mstcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Started before main, so that every program on the core (the tool, the tests) has a working
// socket layer; a layer that cannot give exactly version 1.1 ends the program.
struct SocketLayer {
    SocketLayer()
    {
        WSADATA data{};
        int r = ::WSAStartup(MAKEWORD(1, 1), &data);
        if (r != 0 || data.wVersion != MAKEWORD(1, 1)) {
            if (r == 0)
                ::WSACleanup();
            static const char kText[] = "Windows 套接字初始化失败。\n";
            console_to_stderr(kText, sizeof kText - 1);
            std::exit(1);
        }
    }
    ~SocketLayer() { ::WSACleanup(); }
};
const SocketLayer g_layer;

SOCKET handle(int sock) { return static_cast<SOCKET>(static_cast<unsigned>(sock)); }

int errno_of(int wsa)
{
    switch (wsa) {
    case 0: return 0;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAEINTR: return EINTR;
    case WSAEBADF: return EBADF;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEACCES: return EACCES;
    case WSAEFAULT: return EFAULT;
    case WSAEINVAL: return EINVAL;
    case WSAEMFILE: return EMFILE;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAENOPROTOOPT: return ENOPROTOOPT;
    case WSAEOPNOTSUPP: return EOPNOTSUPP;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAENETRESET: return ENETRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEISCONN: return EISCONN;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return EPIPE;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    default: return EIO;
    }
}

// select() on the sockets of `socks` (negative ones are left out, as poll does). `write`: room
// to send; otherwise input. Errors (a failed connect shows only there) count as ready.
int select_on(const int* socks, int count, bool write, int timeout_ms, unsigned char* ready)
{
    fd_set io, ex;
    FD_ZERO(&io);
    FD_ZERO(&ex);
    int valid = 0;
    for (int i = 0; i < count && valid < FD_SETSIZE; ++i) {
        if (socks[i] < 0)
            continue;
        FD_SET(handle(socks[i]), &io);
        FD_SET(handle(socks[i]), &ex);
        ++valid;
    }
    if (valid == 0) {
        // Winsock refuses a select on no socket at all; poll would just wait.
        if (ready)
            std::fill(ready, ready + count, 0);
        if (timeout_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int r = ::select(0, write ? nullptr : &io, write ? &io : nullptr, &ex, timeout_ms < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) {
        sock_os_error();
        return -1;
    }
    int n = 0;
    for (int i = 0; i < count; ++i) {
        bool on = socks[i] >= 0 && (FD_ISSET(handle(socks[i]), &io) || FD_ISSET(handle(socks[i]), &ex));
        if (ready)
            ready[i] = on ? 1 : 0;
        n += on ? 1 : 0;
    }
    return n;
}

bool ready_now(int sock, bool write)
{
    unsigned char ready = 0;
    return select_on(&sock, 1, write, 0, &ready) > 0 && ready;
}

}  // namespace

int sock_os_error()
{
    int e = errno_of(::WSAGetLastError());
    errno = e;
    return e;
}

void sock_os_close(int sock) { ::closesocket(handle(sock)); }

int sock_os_wait(int sock, bool write, int timeout_ms) { return select_on(&sock, 1, write, timeout_ms, nullptr); }

int sock_os_wait_readable(const int* socks, int count, int timeout_ms, unsigned char* ready)
{
    return select_on(socks, count, false, timeout_ms, ready);
}

int sock_os_set_nonblocking(int sock, bool on)
{
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(handle(sock), FIONBIO, &mode) == 0 ? 0 : -1;
}

bool sock_os_aton(const char* text, uint32_t* addr_net)
{
    if (!text || !*text)
        return false;
    unsigned long a = ::inet_addr(text);
    // inet_addr's failure value is also the broadcast address itself.
    if (a == INADDR_NONE && std::strcmp(text, "255.255.255.255") != 0)
        return false;
    *addr_net = static_cast<uint32_t>(a);
    return true;
}

int sock_os_sendv(int sock, const void* a, int alen, const void* b, int blen, bool /*more*/, bool nowait)
{
    if (nowait && !ready_now(sock, true)) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    WSABUF bufs[2];
    DWORD count = 0;
    if (alen > 0)
        bufs[count++] = WSABUF{static_cast<ULONG>(alen), const_cast<char*>(static_cast<const char*>(a))};
    if (blen > 0)
        bufs[count++] = WSABUF{static_cast<ULONG>(blen), const_cast<char*>(static_cast<const char*>(b))};
    DWORD sent = 0;
    if (::WSASend(handle(sock), bufs, count, &sent, 0, nullptr, nullptr) != 0)
        return -1;
    return static_cast<int>(sent);
}

int sock_os_recv(int sock, void* buffer, int size, bool nowait)
{
    if (nowait && !ready_now(sock, false)) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return ::recv(handle(sock), static_cast<char*>(buffer), size, 0);
}

int sock_os_accept(int listen_sock, sockaddr_in* peer, bool nonblocking)
{
    int len = sizeof *peer;
    SOCKET s = ::accept(handle(listen_sock), reinterpret_cast<sockaddr*>(peer), &len);
    if (s == INVALID_SOCKET)
        return -1;
    int sock = static_cast<int>(s);
    if (nonblocking && sock_os_set_nonblocking(sock, true) != 0) {
        ::closesocket(s);
        return -1;
    }
    return sock;
}

bool sock_os_connect_pending(int err) { return err == EWOULDBLOCK || err == EINPROGRESS || err == EINTR; }

int sock_os_sndlowat(int, int* value)
{
    *value = 0;
    return 0;
}

int sock_writable(int sock)
{
    if (sock < 0)
        return -1;
    fd_set w;
    FD_ZERO(&w);
    FD_SET(handle(sock), &w);
    timeval tv{};
    int r = ::select(0, nullptr, &w, nullptr, &tv);
    if (r == SOCKET_ERROR)
        return -1;
    return (r > 0 && FD_ISSET(handle(sock), &w)) ? 1 : 0;
}

int sock_readable(int sock)
{
    if (sock < 0)
        return -1;
    unsigned char ready = 0;
    int r = select_on(&sock, 1, false, 0, &ready);
    if (r < 0)
        return -1;
    return ready ? 1 : 0;
}

int sock_keepalive(int sock, int idle)
{
    // The control takes milliseconds. Like the Linux side, each value is at least 1 s and
    // rounded up to whole seconds, so both builds drop a silent peer after the same time
    // (Windows sends 10 probes): a 1 ms probe interval would cut a sound link whose peer is
    // only a few milliseconds late with an acknowledgement.
    auto whole_s = [](int ms) { return static_cast<ULONG>(ms <= 1000 ? 1000 : (ms + 999) / 1000 * 1000); };
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = whole_s(idle);
    values.keepaliveinterval = whole_s(1);
    DWORD returned = 0;
    if (::WSAIoctl(handle(sock), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) !=
        0) {
        log_print("WSAIoctl(SIO_KEEPALIVE_VALS) fail\n");
        return -1;
    }
    return 0;
}

int sock_outq(int sock)
{
    // Winsock has no count of the bytes still queued on a connection (Windows 10's TCP
    // information has only those in flight): unknown. The link then closes gracefully and
    // leaves the rest to the system.
    (void)sock;
    return -1;
}

int wakeup_open(int fds[2])
{
    // Only sockets can wait in select(): a connected loopback pair stands for the pipe.
    if (sockpair_win32(fds) != 0) {
        fds[0] = fds[1] = -1;
        return -1;
    }
    if (sock_os_set_nonblocking(fds[0], true) != 0 || sock_os_set_nonblocking(fds[1], true) != 0) {
        sockpair_close(fds);
        fds[0] = fds[1] = -1;
        return -1;
    }
    return 0;
}

void wakeup_signal(int fd)
{
    if (fd < 0)
        return;
    // A full socket already wakes the reader: nothing is lost when this send finds no room.
    char one = 1;
    ::send(handle(fd), &one, 1, 0);
}

void wakeup_clear(int fd)
{
    if (fd < 0)
        return;
    char buf[64];
    while (::recv(handle(fd), buf, sizeof buf, 0) > 0) { }
}

void wakeup_close(int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0)
            ::closesocket(handle(fds[i]));
        fds[i] = -1;
    }
}

int udp_bind(uint32_t addr, uint16_t port, bool reuse)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        sock_os_error();
        LOG_LAST_ERROR("socket");
        return -1;
    }
    int sock = static_cast<int>(s);
    BOOL on = TRUE;
    if ((reuse && sock_reuseaddr(sock) != 0) ||
        ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        sock_os_error();
        LOG_LAST_ERROR("setsockopt");
        ::closesocket(s);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_print("udp bind local port(%u) ip(%#x) fail\n", static_cast<unsigned>(port), addr);
        ::closesocket(s);
        return -2;
    }
    return sock;
}

int udp_recvfrom(int sock, void* buffer, int size, UdpPeer* from)
{
    if (sock < 0 || !buffer || size < 0)
        return -1;
    if (!ready_now(sock, false))
        return -2;
    sockaddr_in src{};
    int len = sizeof src;
    int n = ::recvfrom(handle(sock), static_cast<char*>(buffer), size, 0, reinterpret_cast<sockaddr*>(&src), &len);
    if (n == SOCKET_ERROR) {
        int err = ::WSAGetLastError();
        if (err == WSAEWOULDBLOCK)
            return -2;
        // The datagram did not fit: its real length is unknown here, one more than the
        // buffer tells the caller it was cut.
        if (err != WSAEMSGSIZE)
            return -1;
        n = size + 1;
    }
    if (from) {
        from->addr = ntohl(src.sin_addr.s_addr);
        from->port = ntohs(src.sin_port);
        from->dest = 0;  // Winsock reports it only through WSARecvMsg; nothing here needs it
    }
    return n;
}

int udp_sendto(int sock, const void* data, int length, uint32_t addr, uint16_t port, uint32_t src)
{
    // Choosing the source address per datagram is the simulator's need, which stays on Linux.
    if (sock < 0 || length < 0 || (!data && length > 0) || src != 0)
        return -1;
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr.s_addr = htonl(addr);
    dst.sin_port = htons(port);
    int n = ::sendto(handle(sock), static_cast<const char*>(data), length, 0, reinterpret_cast<const sockaddr*>(&dst),
                     sizeof dst);
    return n == SOCKET_ERROR ? -1 : n;
}

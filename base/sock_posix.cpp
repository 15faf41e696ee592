// The POSIX side of the socket helpers (Linux): poll, fcntl, sendmsg, the kernel's keep-alive
// options, the send queue ioctl, a pipe as the wake-up handle and IP_PKTINFO datagrams.
#include "base/sock.h"

#include "base/sock_os.h"
#include "util/log.h"

#include <cstring>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <vector>

namespace {

int set_int_opt(int sock, int level, int name, int value)
{
    return ::setsockopt(sock, level, name, &value, sizeof value) == 0 ? 0 : -1;
}

int poll_fds(pollfd* fds, size_t count, int timeout_ms)
{
    int r;
    do {
        r = ::poll(fds, count, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

int sock_os_error() { return errno; }

void sock_os_close(int sock) { ::close(sock); }

int sock_os_wait(int sock, bool write, int timeout_ms)
{
    pollfd p{};
    p.fd = sock;
    p.events = write ? POLLOUT : POLLIN;
    int r = poll_fds(&p, 1, timeout_ms);
    if (r < 0)
        return -1;
    // An error or hang-up also counts as "ready": the next call reports it.
    return r == 0 ? 0 : 1;
}

int sock_os_wait_readable(const int* socks, int count, int timeout_ms, unsigned char* ready)
{
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        fds[i].fd = socks[i];
        fds[i].events = POLLIN;
    }
    int r = poll_fds(fds.data(), fds.size(), timeout_ms);
    if (r < 0)
        return -1;
    if (ready) {
        for (int i = 0; i < count; ++i)
            ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    }
    return r;
}

int sock_os_set_nonblocking(int sock, bool on)
{
    int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags < 0 || ::fcntl(sock, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) < 0)
        return -1;
    return 0;
}

bool sock_os_aton(const char* text, uint32_t* addr_net)
{
    in_addr a{};
    if (!text || ::inet_aton(text, &a) == 0)
        return false;
    *addr_net = a.s_addr;
    return true;
}

int sock_os_sendv(int sock, const void* a, int alen, const void* b, int blen, bool more, bool nowait)
{
    iovec iov[2];
    int count = 0;
    if (alen > 0)
        iov[count++] = iovec{const_cast<void*>(a), static_cast<size_t>(alen)};
    if (blen > 0)
        iov[count++] = iovec{const_cast<void*>(b), static_cast<size_t>(blen)};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(sock, &msg, (more ? MSG_MORE : 0) | (nowait ? MSG_DONTWAIT : 0) | MSG_NOSIGNAL);
    return static_cast<int>(n);
}

int sock_os_recv(int sock, void* buffer, int size, bool nowait)
{
    return static_cast<int>(::recv(sock, buffer, static_cast<size_t>(size), nowait ? MSG_DONTWAIT : 0));
}

int sock_os_accept(int listen_sock, sockaddr_in* peer, bool nonblocking)
{
    socklen_t len = sizeof *peer;
    return ::accept4(listen_sock, reinterpret_cast<sockaddr*>(peer), &len,
                     SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
}

bool sock_os_connect_pending(int err) { return err == EINPROGRESS || err == EINTR; }

int sock_os_sndlowat(int sock, int* value)
{
    socklen_t len = sizeof *value;
    return ::getsockopt(sock, SOL_SOCKET, SO_SNDLOWAT, value, &len) == 0 ? 0 : -1;
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

int sock_outq(int sock)
{
    int value = 0;
    if (sock < 0 || ::ioctl(sock, SIOCOUTQ, &value) != 0)
        return -1;
    return value;
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
    while (::write(fd, &one, 1) < 0 && errno == EINTR) { }
}

void wakeup_clear(int fd)
{
    if (fd < 0)
        return;
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) { }
}

void wakeup_close(int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        if (fds[i] >= 0)
            ::close(fds[i]);
        fds[i] = -1;
    }
}

int udp_bind(uint32_t addr, uint16_t port, bool reuse)
{
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        LOG_LAST_ERROR("socket");
        return -1;
    }
    if ((reuse && sock_reuseaddr(sock) != 0) || set_int_opt(sock, IPPROTO_IP, IP_PKTINFO, 1) != 0 ||
        set_int_opt(sock, SOL_SOCKET, SO_BROADCAST, 1) != 0) {
        LOG_LAST_ERROR("setsockopt");
        ::close(sock);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        log_print("udp bind local port(%u) ip(%#x) fail\n", static_cast<unsigned>(port), addr);
        ::close(sock);
        return -2;
    }
    return sock;
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
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr.s_addr = htonl(addr);
    dst.sin_port = htons(port);
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

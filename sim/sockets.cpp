// Listening sockets base/ has no helper for (see sockets.h). Kept to these two functions so that
// the platform calls of the simulator stay in one small place.
#include "sim/sockets.h"

#include "base/sock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

int tcp_listen(uint32_t addr, uint16_t port, int rcvbuf)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    sock_reuseaddr(fd);
    if (rcvbuf > 0)
        sock_setrcvbuf(fd, rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 128) != 0) {
        int e = errno;
        sock_close(fd);
        return -e;
    }
    return fd;
}

int unix_listen(const std::string& path, bool* made)
{
    *made = false;
    ::unlink(path.c_str());
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    if (path.size() >= sizeof sa.sun_path) {
        sock_close(fd);
        return -ENAMETOOLONG;
    }
    *made = true;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (!bound || ::listen(fd, 16) != 0) {
        int e = errno;
        sock_close(fd);
        if (bound)
            ::unlink(path.c_str());
        return -e;
    }
    return fd;
}

bool peer_closed(int fd)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return true;
    return info.tcpi_state != TCP_ESTABLISHED;
}

}  // namespace sim

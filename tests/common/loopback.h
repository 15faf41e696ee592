// Pieces every loopback suite needs: polling for a condition with a deadline (never a fixed
// sleep), and TCP listeners on 127.0.0.1 on a port the kernel picks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace test_common {

// True as soon as pred() holds; pred() once more at the deadline.
template <class Pred>
bool wait_until(Pred pred, int timeout_ms, int step_ms = 2)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return pred();
}

// A listening TCP socket on 127.0.0.1 (close-on-exec), its port in *port; -1 on failure.
inline int loopback_listener(int backlog, uint16_t* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return fd;
}

}  // namespace test_common

// One plain TCP stream of a given number of bytes: the floor for moving the same bytes over
// the control link. The sender writes 40960-byte chunks (the link's upload chunk) with
// blocking sends, half-closes and waits until the receiver has read everything and closed.
//
//   plain_stream recv ADDR PORT          accepts connections one after another and reads each
//                                        to its end; runs until killed
//   plain_stream send ADDR PORT BYTES    one stream; prints the seconds from connect to the
//                                        receiver's close
// Only for use inside the private namespaces the benchmark script makes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool parse_addr(const char* addr, const char* port, sockaddr_in* sa)
{
    char* end = nullptr;
    long p = std::strtol(port, &end, 10);
    if (*end || p <= 0 || p > 65535)
        return false;
    *sa = {};
    sa->sin_family = AF_INET;
    sa->sin_port = htons(static_cast<uint16_t>(p));
    return ::inet_pton(AF_INET, addr, &sa->sin_addr) == 1;
}

int receive(const sockaddr_in& sa)
{
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(lfd, 4) != 0) {
        std::perror("plain_stream: listen");
        return 1;
    }
    std::vector<char> buf(4u << 20);
    for (;;) {
        int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            std::perror("plain_stream: accept");
            return 1;
        }
        long long got = 0;
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        ::close(fd);
        std::fprintf(stderr, "plain_stream: received %lld bytes\n", got);
    }
}

int send_stream(const sockaddr_in& sa, long long bytes)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto t0 = std::chrono::steady_clock::now();
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("plain_stream: connect");
        return 1;
    }
    std::vector<char> chunk(40960);
    uint32_t x = 2463534242u;
    for (char& c : chunk) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    long long left = bytes;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<long long>(left, static_cast<long long>(chunk.size())));
        size_t off = 0;
        while (off < want) {
            ssize_t n = ::send(fd, chunk.data() + off, want - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                std::perror("plain_stream: send");
                return 1;
            }
            off += static_cast<size_t>(n);
        }
        left -= static_cast<long long>(want);
    }
    ::shutdown(fd, SHUT_WR);
    // The receiver closes only after reading the last byte: its close ends the stream's time.
    char c;
    while (::recv(fd, &c, 1, 0) > 0) { }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    std::printf("%.6f\n", s);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    sockaddr_in sa{};
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "recv" && argc == 4 && parse_addr(argv[2], argv[3], &sa))
        return receive(sa);
    if (mode == "send" && argc == 5 && parse_addr(argv[2], argv[3], &sa)) {
        char* end = nullptr;
        long long bytes = std::strtoll(argv[4], &end, 10);
        if (!*end && bytes > 0)
            return send_stream(sa, bytes);
    }
    std::fprintf(stderr, "usage: plain_stream recv ADDR PORT | plain_stream send ADDR PORT BYTES\n");
    return 2;
}

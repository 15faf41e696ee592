// Helpers shared by the socket layer's own files (not for other libraries): integer options,
// addresses, the error line of a failed call, and a socket closed unless handed on.
#pragma once

#include "base/sock_os.h"
#include "util/log.h"

#include <cerrno>
#include <cstdio>
#include <initializer_list>

namespace sock_util {

inline int set_int_opt(int sock, int level, int name, int value)
{
    return ::setsockopt(sock, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0 ? 0 : -1;
}

inline int get_int_opt(int sock, int level, int name, int* value)
{
    socklen_t len = sizeof *value;
    return ::getsockopt(sock, level, name, reinterpret_cast<char*>(value), &len);
}

// The last socket error in errno, then the usual "[file-line]text, error(code): message" line.
#define LOG_SOCK_ERROR(text) (sock_os_error(), LOG_LAST_ERROR(text))

// A socket being set up: closed on every early return, handed on with release() once ready.
class SockGuard {
public:
    explicit SockGuard(int type) : fd_(static_cast<int>(::socket(AF_INET, type | kSockCloexec, 0)))
    {
        if (fd_ < 0)
            LOG_SOCK_ERROR("socket");
    }
    ~SockGuard()
    {
        if (fd_ >= 0)
            sock_os_close(fd_);
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
inline bool set_int_opts(int sock, std::initializer_list<IntOpt> opts)
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

inline sockaddr_in make_addr(uint32_t addr_net, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_net;
    sa.sin_port = htons(port);
    return sa;
}

inline bool bind_to(int sock, uint32_t addr_net, uint16_t port)
{
    sockaddr_in sa = make_addr(addr_net, port);
    return ::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

inline int pending_error(int sock, int* err)
{
    *err = 0;
    return get_int_opt(sock, SOL_SOCKET, SO_ERROR, err);
}

inline bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

inline int format_addr(char* out, size_t size, const sockaddr_in& sa)
{
    if (size < 16)
        return -1;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&sa.sin_addr.s_addr);
    std::snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return 1;
}

}  // namespace sock_util

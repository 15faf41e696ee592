// Sending and receiving on a connected socket: the blocking, waiting and no-wait send forms,
// the gather send of a frame's two parts, and the receive of whatever has arrived.
#include "base/sock.h"

#include "base/sock_os.h"
#include "base/sock_util.h"
#include "util/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

using namespace sock_util;

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
    return sock_os_wait(sock, true, timeout_ms);
}

namespace {

// Sends a then b back to back with gather writes; while the socket is full, waits for room
// with poll. Returns the bytes sent (fewer than alen + blen when nothing went for timeout_ms),
// or -1 on an error.
int send_pair_poll(int sock, const void* a, int alen, const void* b, int blen, int timeout_ms, bool more, bool nowait)
{
    if (sock < 0 || alen < 0 || blen < 0 || (!a && alen > 0) || (!b && blen > 0))
        return -1;
    const int total = alen + blen;
    int sent = 0;
    while (sent < total) {
        const char* pa = static_cast<const char*>(a) + std::min(sent, alen);
        int boff = std::max(0, sent - alen);
        int n = sock_os_sendv(sock, pa, std::max(0, alen - sent), static_cast<const char*>(b) + boff, blen - boff, more,
                              nowait);
        int err = n < 0 ? sock_os_error() : 0;
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && would_block(err)) {
            int r = sock_os_wait(sock, true, timeout_ms);
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

int socksend(int sock, const void* data, int length)
{
    if (sock < 0)
        return -1;
    if (sock_writable(sock) != 1)
        return 0;
    if (length <= 0 || !data)
        return 0;
    // Part of a frame may already be on the stream once the socket fills: stopping there would
    // leave the peer reading garbage from now on, so wait for room and finish the buffer. Only a
    // real error, or no progress for kSockSendStallMs, ends it.
    int sent = send_pair_poll(sock, data, length, nullptr, 0, kSockSendStallMs, false, false);
    if (sent >= 0 && sent < length) {
        log_print("socksend send fail, pack lost:%d\n", length - sent);
        return -1;
    }
    return sent;
}

int socksend_poll(int sock, const void* data, int length, int timeout_ms, bool more)
{
    return send_pair_poll(sock, data, length, nullptr, 0, timeout_ms, more, false);
}

int socksend2_poll(int sock, const void* a, int alen, const void* b, int blen, int timeout_ms)
{
    return send_pair_poll(sock, a, alen, b, blen, timeout_ms, false, false);
}

int socksend_nowait(int sock, const void* a, int alen, const void* b, int blen)
{
    // No wait at all: what the socket cannot take now is left to the caller.
    return send_pair_poll(sock, a, alen, b, blen, 0, false, true);
}

int sock_sndbuf(int sock)
{
    int value = 0;
    if (sock < 0 || get_int_opt(sock, SOL_SOCKET, SO_SNDBUF, &value) != 0)
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
        int n = sock_os_sendv(sock, p + sent, length - sent, nullptr, 0, false, false);
        int err = n < 0 ? sock_os_error() : 0;
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && would_block(err)) {
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
    int r = sock_os_wait(sock, false, kSockRecvWaitMs);
    if (r == 0)
        return -2;
    if (r < 0)
        return -1;
    for (;;) {
        int n = sock_os_recv(sock, buffer, size, false);
        if (n < 0 && sock_os_error() == EINTR)
            continue;
        return n;
    }
}

int udprecv(int sock, void* buffer, int size)
{
    if (sock < 0 || !buffer || size <= 0)
        return -1;
    int r = sock_os_wait(sock, false, kUdpRecvWaitMs);
    if (r <= 0)
        return r;
    for (;;) {
        int n = sock_os_recv(sock, buffer, std::min(size, kUdpRecvMax), false);
        if (n < 0 && sock_os_error() == EINTR)
            continue;
        return n;
    }
}

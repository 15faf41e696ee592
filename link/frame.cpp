// Reading frames from a link socket: the frame reader of the link thread and the login
// answer reader.
#include "link/context.h"
#include "link/frame_io.h"

#include "base/sock.h"
#include "util/clock.h"
#include "util/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

int frame_recv_exact(IpcLinkContext* ipc, int fd, void* buffer, int n, int max_silent_waits)
{
    char* p = static_cast<char*>(buffer);
    int got = 0;
    int silent = 0;
    uint64_t last_byte = get_tick_ms();
    while (got < n) {
        if (!ipc->running.load())
            return kRecvStopped;
        int r = sockrecv(fd, p + got, n - got);
        if (r > 0) {
            got += r;
            last_byte = get_tick_ms();
            continue;
        }
        if (r == -2 || (r == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
            if (max_silent_waits >= 0 && ++silent >= max_silent_waits)
                return kRecvTimedOut;
            // A peer that stops in the middle of a frame would otherwise hold the link thread
            // here for good: no heartbeat, no silence check, no reconnect.
            if (max_silent_waits < 0 && get_tick_ms() - last_byte > static_cast<uint64_t>(kSilenceLimitMs))
                return kRecvTimedOut;
            continue;
        }
        if (r < 0)
            LOG_LAST_ERROR("recv");
        return r;  // 0: the peer closed
    }
    return got;
}

int sockrecv_onemsg(IpcLinkContext* ipc)
{
    if (!ipc)
        return -1;
    int fd = ipc->sock.load();
    unsigned char hd[kFrameHeaderSize];
    int r = frame_recv_exact(ipc, fd, hd, kFrameHeaderSize, -1);
    if (r == kRecvStopped)
        return 0;
    if (r == kRecvTimedOut) {
        log_print("[%s] frame stalled for more than %d ms, dropped\n", "ipcdealsock", kSilenceLimitMs);
        return 0;
    }
    if (r <= 0) {
        log_print("sockrecv_onemsg ret:%d\n", r);
        return r;
    }
    uint32_t magic = frame_le32(hd);
    uint32_t len = frame_le32(hd + 4);
    if (magic != kFrameMagic) {
        log_print("[%s] hd magic %#x error.\n", "ipcdealsock", magic);
        return 0;
    }
    if (len > kMaxFrameLength) {
        // Never allocate from an unchecked network length.
        log_print("[%s] frame length %u above %u, refused\n", "ipcdealsock", len, kMaxFrameLength);
        return 0;
    }

    std::vector<char> big;
    char* buf = ipc->recvbuf;
    if (len >= static_cast<uint32_t>(kRecvBufferSize)) {
        try {
            big.resize(static_cast<size_t>(len) + 1);
        } catch (const std::bad_alloc&) {
            log_print("alloc mem fail, len(%d), ret:%d, offset:%d, sizeof(hd):%d, magic:0x%x\n", static_cast<int>(len),
                      r, 0, kFrameHeaderSize, magic);
            return 0;
        }
        buf = big.data();
    }
    if (len > 0) {
        r = frame_recv_exact(ipc, fd, buf, static_cast<int>(len), -1);
        if (r == kRecvStopped)
            return 0;
        if (r == kRecvTimedOut) {
            log_print("[%s] frame stalled for more than %d ms, dropped\n", "ipcdealsock", kSilenceLimitMs);
            return 0;
        }
        if (r <= 0) {
            log_print("sockrecv_onemsg ret:%d\n", r);
            return r;
        }
    }
    buf[len] = '\0';
    int ret = ipcdealmsg(buf, ipc, static_cast<int>(len));
    ipc->last_recv.store(get_tick_ms());
    return ret;
}

std::string format_text(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

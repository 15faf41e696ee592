// The send paths of a link entry: whole frames under the entry's lock, the rest of a frame the
// socket could not take kept for the link thread, the short request forms, and the socket's
// close on failure.
#include "link/context.h"
#include "link/frame_io.h"
#include "proto/envelope.h"

#include "base/sock.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>
#include <string>

namespace {

// Below this send buffer size the parts of a frame are sent one after the other.
constexpr int kGatherMinSndBuf = 4 * 41216;

}  // namespace

// The close of a logout: what is still queued (the rest of a frame and the socket's own
// queue, e.g. the end of an upload that a slow device is still taking in) reaches the device
// before the connection ends in order. A device that takes nothing for the silence window
// gets the reset instead. With nothing queued the close is immediate.
void ipc_close_draining(IpcLinkContext* ipc)
{
    int fd;
    std::string tail;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        fd = ipc->sock.exchange(-1);
        tail.swap(ipc->out_tail);
    }
    if (fd < 0)
        return;
    const int queued = tail.empty() ? sock_outq(fd) : 1;
    if (ipc->abort_close.load() || (tail.empty() && queued == 0)) {
        sock_close(fd);
        return;
    }
    if (queued < 0) {
        // The system cannot say what is still queued (Winsock): a graceful close sends it,
        // where the reset of a linger-0 close would drop it.
        sock_linger_default(fd);
        sock_close(fd);
        return;
    }
    log_print("[%s:%d] %d bytes still queued, draining before close\n", fixed_str(ipc->address).c_str(), ipc->port,
              static_cast<int>(tail.size()) + std::max(0, sock_outq(fd)));
    size_t off = 0;
    if (tail.empty())
        sock_shutdown_send(fd);
    uint64_t last_move = get_tick_ms();
    int last_outq = -1;
    bool delivered = false;
    char scratch[4096];
    for (;;) {
        if (off < tail.size()) {
            int n = socksend_nowait(fd, tail.data() + off, static_cast<int>(tail.size() - off), nullptr, 0);
            if (n < 0)
                break;
            if (n > 0) {
                off += static_cast<size_t>(n);
                last_move = get_tick_ms();
                if (off == tail.size())
                    sock_shutdown_send(fd);
            }
        } else {
            int q = sock_outq(fd);
            if (q <= 0) {
                // Unknown (< 0): the graceful close below still sends what is left.
                delivered = true;
                break;
            }
            if (q != last_outq) {
                last_outq = q;
                last_move = get_tick_ms();
            }
        }
        // Whatever the device still sends is read and dropped: unread input would make the
        // close a reset.
        int r = sock_recv_nowait(fd, scratch, sizeof scratch);
        if (r == 0 || r == -1)
            break;
        if (ipc->abort_close.load())
            break;  // given up on meanwhile
        if (get_tick_ms() - last_move > static_cast<uint64_t>(kSilenceLimitMs)) {
            log_print("[%s:%d] device took nothing for %d ms, connection reset\n", fixed_str(ipc->address).c_str(),
                      ipc->port, kSilenceLimitMs);
            break;
        }
        if (off < tail.size()) {
            sock_wait_writable(fd, kPollWaitMs);
        } else {
            unsigned char ready = 0;
            sock_poll_readable(&fd, 1, kPollWaitMs, &ready);
        }
    }
    if (delivered)
        sock_linger_default(fd);
    sock_close(fd);
}

void ipc_close_socket(IpcLinkContext* ipc)
{
    std::lock_guard<std::mutex> lk(ipc_lock(ipc));
    int fd = ipc->sock.exchange(-1);
    ipc->out_tail.clear();
    sock_close(fd);
}

void ipc_drop_link(IpcLinkContext* ipc)
{
    ipc_close_socket(ipc);
    if (!ipc->running.load())
        return;
    ipc_emit(ipc, IPC_EVENT_DISCONNECTED);
    if (ipc->autoreconnect.load())
        ipc->last_connect_try.store(wall_clock_now().sec);
}

int ipc_flush_tail_locked(IpcLinkContext* ipc, int fd)
{
    if (ipc->out_tail.empty())
        return 0;
    int n = socksend_nowait(fd, ipc->out_tail.data(), static_cast<int>(ipc->out_tail.size()), nullptr, 0);
    if (n > 0)
        ipc->out_tail.erase(0, static_cast<size_t>(n));
    return n;
}

int ipc_send_frame_locked(IpcLinkContext* ipc, int fd, const void* a, int alen, const void* b, int blen)
{
    int n;
    if (blen > 0 && sock_sndbuf(fd) < kGatherMinSndBuf) {
        // With a small send buffer a gather write keeps ending in a short segment at the
        // buffer's edge and the stream crawls; the two parts go one after the other there.
        n = socksend_nowait(fd, a, alen, nullptr, 0);
        if (n == alen) {
            int m = socksend_nowait(fd, b, blen, nullptr, 0);
            n = m < 0 ? -1 : n + m;
        }
    } else {
        n = socksend_nowait(fd, a, alen, b, blen);
    }
    if (n <= 0 || n == alen + blen)
        return n;
    const char* pa = static_cast<const char*>(a);
    const char* pb = static_cast<const char*>(b);
    if (n < alen) {
        ipc->out_tail.assign(pa + n, static_cast<size_t>(alen - n));
        if (blen > 0)
            ipc->out_tail.append(pb, static_cast<size_t>(blen));
    } else {
        ipc->out_tail.assign(pb + (n - alen), static_cast<size_t>(blen - (n - alen)));
    }
    // The link thread moves the rest on: it must not sleep through it.
    ipc_wake(ipc);
    return n;
}

int ipc_write_locked(IpcLinkContext* ipc, const void* data, int len, int wait_ms)
{
    if (len <= 0 || !data)
        return 0;
    // Requests of other threads (the UI, a tool) get in between two upload chunks: the
    // stream steps aside while one waits.
    const bool foreign = !ipc_on_own_thread(ipc);
    if (foreign)
        ipc->writers_waiting.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    int result = 0;
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> lk(ipc_lock(ipc));
            fd = ipc->sock.load();
            if (fd < 0) {
                result = -1;
                break;
            }
            int r = ipc_flush_tail_locked(ipc, fd);
            int taken = 0;
            if (r >= 0 && ipc->out_tail.empty())
                taken = r = ipc_send_frame_locked(ipc, fd, data, len, nullptr, 0);
            if (r < 0) {
                // Part of a frame may be on the stream; the peer would misread everything
                // after it. Shutting the connection down lets the link thread see the loss.
                sock_shutdown(fd);
                result = -1;
                break;
            }
            if (taken > 0) {
                result = len;
                break;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (wait_ms > 0)
                log_print("<%s> chan[%d] socket full for %d ms, frame of %d bytes not sent\n", "ipc_write_locked",
                          ipc->chanid, wait_ms, len);
            break;
        }
        // Waiting for room without the lock: the link thread goes on meanwhile.
        sock_wait_writable(fd, static_cast<int>(left.count()));
    }
    if (foreign)
        ipc->writers_waiting.fetch_sub(1);
    return result;
}

int ipcsendmsgbyfd(const char* body, int sock)
{
    std::string text;
    BuildLongMessage(text, "USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", body);
    std::string frame(kFrameHeaderSize, '\0');
    frame_put_le32(reinterpret_cast<unsigned char*>(frame.data()), kFrameMagic);
    frame_put_le32(reinterpret_cast<unsigned char*>(frame.data()) + 4, static_cast<uint32_t>(text.size()));
    frame += text;
    return socksend(sock, frame.data(), static_cast<int>(frame.size()));
}

int ipcsendmsg_(IpcLinkContext* ipc, const char* type, const char* code, const char* flag, const char* body)
{
    if (!ipc || !type || !code || !flag) {
        log_print("ipcsendmsg_ fail, param error\n");
        return -1;
    }
    if (ipc->sock.load() < 0) {
        log_print("ipcsendmsg_ fail, fd(%d)\n", ipc->sock.load());
        return -1;
    }
    if (!ipc->running.load()) {
        log_print("ipcsendmsg_ not send , ipc[%d] thread is exit...\n", ipc->chanid);
        return -1;
    }
    // Requests longer than the usual 14392 characters are sent whole from a larger buffer.
    std::string text;
    BuildLongMessage(text, type, code, flag, body);
    std::string frame(kFrameHeaderSize, '\0');
    frame_put_le32(reinterpret_cast<unsigned char*>(frame.data()), kFrameMagic);
    frame_put_le32(reinterpret_cast<unsigned char*>(frame.data()) + 4, static_cast<uint32_t>(text.size()));
    frame += text;
    console_text("to send msg:%s\n", ipc_log_text(text).c_str());
    return ipc_write_locked(ipc, frame.data(), static_cast<int>(frame.size()));
}

int ipcsendmsg(const char* body, int chanid, const char* type, int code)
{
    if (!ipc_check_chanid("ipcsendmsg", chanid))
        return -1;
    char codetext[16];
    std::snprintf(codetext, sizeof codetext, "%d", code);
    return ipcsendmsg_(ipc_entry(chanid), type, codetext, "0", body);
}

std::string ipc_log_text(std::string_view text)
{
    static constexpr std::string_view kKey = "Password=\"";
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(kKey); at != std::string_view::npos; at = text.find(kKey, from)) {
        size_t value = at + kKey.size();
        size_t end = text.find('"', value);
        out.append(text.substr(from, value - from));
        out += "***";
        if (end == std::string_view::npos)
            return out;  // an unterminated value hides the rest
        from = end;
    }
    out.append(text.substr(from));
    return out;
}

void ipc_event_int(IpcLinkContext* ipc, int code, int32_t value)
{
    if (ipc && ipc->evcb)
        ipc->evcb(ipc->chanid, code, &value, sizeof value);
}

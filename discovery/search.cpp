#include "discovery/search.h"

#include "base/sock.h"
#include "discovery/reconfig.h"
#include "discovery/search_table.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr uint64_t kResendMs = 1000;
constexpr int kReceiveWaitMs = 200;
// Room in the socket for about a thousand answers of a few kilobytes each (the system may
// grant less), and the answers held between reading and parsing.
constexpr int kSearchRcvBuf = 4 << 20;
constexpr size_t kMaxWaitingAnswers = kMaxSearchDevices;

struct SearchContext {
    SearchTable table;
    std::thread thread;
    std::atomic<bool> running{false};
    std::mutex sock_lock;  // held while a caller sends on the thread's socket and while it closes
    std::atomic<int> sock{-1};
    std::atomic<uint16_t> port{0};
    // Signalled by a stop, so the thread ends at once instead of after its receive wait (the
    // caller of a stop is often a UI thread). -1 when none could be opened: the wait then ends
    // the thread within 200 ms as before.
    int wake[2] = {-1, -1};

    SearchContext() { wakeup_open(wake); }
    ~SearchContext() { wakeup_close(wake); }
    SearchContext(const SearchContext&) = delete;
    SearchContext& operator=(const SearchContext&) = delete;
};

// Held through a whole start and a whole stop (the join included), so that two callers never
// interleave: a start never replaces a context whose thread still runs, and a stop never
// clears the flag of a search that another caller is just starting.
std::mutex g_life_lock;
std::mutex g_ctx_lock;  // guards the g_ctx pointer itself
std::unique_ptr<SearchContext> g_ctx;
bool g_searching = false;  // guarded by discovery_flag_lock()
std::atomic<uint16_t> g_first_port{kSearchFirstPort};
std::atomic<int> g_send_errno{0};  // why the last request could not go out, 0 when it went

int send_request(int sock)
{
    errno = 0;
    int r = sendsearchmsg(nullptr, 1, sock);
    g_send_errno.store(r < 0 ? (errno ? errno : EIO) : 0);
    return r;
}

void search_thread(SearchContext* ctx)
{
    int sock = -1;
    unsigned port = g_first_port.load();
    for (; port <= 65535; ++port) {
        sock = broadcastserver(static_cast<uint16_t>(port), 0);
        if (sock != -2)
            break;
    }
    if (sock < 0) {
        log_print("broadcastserver fail, port:%u\n", port > 65535 ? 65535u : port);
        return;
    }
    // A rack powered on together answers within milliseconds, faster than answers are parsed:
    // the socket keeps room for a thousand of them, and the thread takes in everything waiting
    // before each parse, so the kernel's queue never overflows behind a slow reader. Set
    // before the first request: its answers may all come at once.
    sock_setrcvbuf(sock, kSearchRcvBuf);
    {
        std::lock_guard<std::mutex> guard(ctx->sock_lock);
        ctx->sock.store(sock);
        ctx->port.store(static_cast<uint16_t>(port));
    }
    if (send_request(sock) < 0) {
        std::lock_guard<std::mutex> guard(ctx->sock_lock);
        ctx->sock.store(-1);
        ctx->port.store(0);
        sock_close(sock);
        return;
    }
    uint64_t last_request = get_tick_ms();

    // One byte more than the largest datagram accepted, so the text is always terminated right
    // behind the bytes of this datagram, whatever an earlier, longer one left in the buffer.
    static_assert(kSearchAnswerMax <= kUdpRecvMax, "udprecv cuts at kUdpRecvMax");
    auto buf = std::make_unique<char[]>(kSearchAnswerMax + 1);
    std::deque<std::string> waiting;
    auto drain = [&] {
        while (waiting.size() < kMaxWaitingAnswers) {
            int n = sock_recv_nowait(sock, buf.get(), kSearchAnswerMax);
            if (n < 0)
                break;
            if (n > 0)  // an empty datagram carries nothing to list
                waiting.emplace_back(buf.get(), static_cast<size_t>(n));
        }
    };
    while (ctx->running.load(std::memory_order_acquire)) {
        if (waiting.empty()) {
            if (ctx->wake[0] >= 0) {
                const int fds[2] = {sock, ctx->wake[0]};
                unsigned char ready[2] = {0, 0};
                sock_poll_readable(fds, 2, kReceiveWaitMs, ready);
                if (ready[1])
                    break;
                if (ready[0])
                    drain();
            } else {
                int n = udprecv(sock, buf.get(), kSearchAnswerMax);
                if (n > 0)
                    waiting.emplace_back(buf.get(), static_cast<size_t>(n));
            }
        } else {
            drain();
            ctx->table.handle_datagram(waiting.front().c_str());
            waiting.pop_front();
        }
        uint64_t now = get_tick_ms();
        if (now - last_request > kResendMs) {
            send_request(sock);
            last_request = now;
        }
    }
    std::lock_guard<std::mutex> guard(ctx->sock_lock);
    ctx->sock.store(-1);
    ctx->port.store(0);
    sock_close(sock);
}

}  // namespace

int format_search_request(char* out, int cap, const char* body, int code)
{
    if (!out || cap <= 0)
        return 0;
    int n;
    if (body)
        n = std::snprintf(out, static_cast<size_t>(cap),
                          "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                          "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"%d\"\nMsg_flag=\"0\"\n/>\n"
                          "<MESSAGE_BODY>\n%s\n</MESSAGE_BODY>\n</XML_MORVEK>",
                          code, body);
    else
        n = std::snprintf(out, static_cast<size_t>(cap),
                          "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                          "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"%d\"\nMsg_flag=\"0\"\n/>\n"
                          "<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>",
                          code);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return n < cap ? n : cap - 1;
}

int sendsearchmsg(const char* body, int code, int sock)
{
    char msg[kSearchRequestMax + 1];
    format_search_request(msg, sizeof msg, body, code);
    return broadcastsendmsg(msg, sock);
}

int startsearchipc()
{
    std::lock_guard<std::mutex> life(g_life_lock);
    {
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        if (g_searching) {
            log_print("ipc searching is working...\n");
            return 0;
        }
        // No search runs, so an earlier context (a callback registered while idle, a table
        // left by a thread that ended early) has nothing worth keeping.
        std::lock_guard<std::mutex> guard(g_ctx_lock);
        g_ctx.reset();
        g_searching = true;
    }
    g_send_errno.store(0);

    auto ctx = std::unique_ptr<SearchContext>(new (std::nothrow) SearchContext);
    if (!ctx) {
        log_print("ipc search alloc mem fail\n");
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        g_searching = false;
        return -1;
    }
    ctx->running.store(true);
    SearchContext* raw = ctx.get();
    try {
        ctx->thread = std::thread(search_thread, raw);
    } catch (const std::system_error&) {
        log_print("create search thread fail\n");
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        g_searching = false;
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    g_ctx = std::move(ctx);
    return 1;
}

int stopsearchipc()
{
    std::lock_guard<std::mutex> life(g_life_lock);
    // Take the context out first: a second caller then finds nothing to join.
    std::unique_ptr<SearchContext> old;
    {
        std::lock_guard<std::mutex> guard(g_ctx_lock);
        old = std::move(g_ctx);
    }
    if (old && old->thread.joinable()) {
        old->running.store(false, std::memory_order_release);
        if (old->wake[1] >= 0)
            wakeup_signal(old->wake[1]);
        old->thread.join();
        log_print("wait search thread ...out\n");
    }
    {
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        g_searching = false;
    }
    return 1;
}

int getipccount()
{
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    return g_ctx ? g_ctx->table.count() : 0;
}

IPCSearchInfo* getipcinfo(int index)
{
    if (index < 0 || index >= kMaxSearchDevices) {
        log_print("getipcinfo param fail\n");
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    return g_ctx ? g_ctx->table.slot(index) : nullptr;
}

int getipcinfo_copy(int index, IPCSearchInfo* out)
{
    if (index < 0 || index >= kMaxSearchDevices || !out) {
        log_print("getipcinfo param fail\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    return g_ctx ? g_ctx->table.copy(index, out) : 0;
}

int setSearchCB(SearchCB cb)
{
    log_print("setSearchCB\n");
    if (!cb)
        return 0;
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    if (!g_ctx) {
        g_ctx.reset(new (std::nothrow) SearchContext);
        if (!g_ctx) {
            log_print("ipc search alloc mem fail\n");
            return -1;
        }
    }
    g_ctx->table.set_callback(cb);
    return 1;
}

void searchipc_set_first_port_for_test(uint16_t port) { g_first_port.store(port ? port : kSearchFirstPort); }

int searchipc_send_errno() { return g_send_errno.load(); }

uint16_t searchipc_port()
{
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    return g_ctx ? g_ctx->port.load() : 0;
}

int searchipc_socket()
{
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    return g_ctx ? g_ctx->sock.load() : -1;
}

int modifyipc(int index, const IPCSearchInfo* rec)
{
    if (index < 0 || index >= kMaxSearchDevices || !rec) {
        log_print("modifyipc param fail\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_ctx_lock);
    if (!g_ctx || g_ctx->sock.load() < 0) {
        log_print("modifyipc fail, modify it when searching\n");
        return -2;
    }
    if (!g_ctx->table.overwrite(index, *rec))
        return -1;
    char body[kLanBodySize];
    std::string serial = fixed_str(rec->devid.SerialNumber);
    int r = MakeNetworkLANCfgXml(&rec->lancfg, serial.c_str(), body);
    if (r < 0)
        return r;
    std::lock_guard<std::mutex> sock_guard(g_ctx->sock_lock);
    int sock = g_ctx->sock.load();
    if (sock < 0) {
        log_print("modifyipc fail, modify it when searching\n");
        return -2;
    }
    r = sendsearchmsg(body, 2, sock);
    return r == 1 ? 1 : r;
}

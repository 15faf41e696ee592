#include "discovery/sendtime.h"

#include "base/sock.h"
#include "discovery/search.h"
#include "discovery/search_table.h"
#include "util/log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int kPassSleepUs = 50 * 1000;

bool g_sendtime_started = false;  // guarded by discovery_flag_lock()
std::atomic<bool> g_sendtime_running{false};
std::thread g_sendtime_thread;
// Held through a whole start and a whole stop (the join included): a start never assigns over
// a thread that still runs, and a stop never clears the flag of a start under way.
std::mutex g_thread_lock;
std::atomic<long> g_sent{0};       // datagrams that went out since the last start
std::atomic<long> g_limit{0};      // the thread stops sending after this many; 0: no limit
std::atomic<int> g_send_errno{0};  // why the last datagram could not go out, 0 when it went

int send_time_at(int sock, std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    char body[256];
    FormatTimeBody(local, body, sizeof body);
    log_print("%s\n", body);
    return sendsearchmsg(body, 101, sock);
}

int open_clock_socket()
{
    int sock = broadcastclient();
    return sock;
}

void sendtime_thread()
{
    errno = 0;
    int sock = open_clock_socket();
    if (sock < 0)
        g_send_errno.store(errno ? errno : EIO);
    std::time_t last = 0;
    while (g_sendtime_running.load(std::memory_order_acquire)) {
        std::time_t now = std::time(nullptr);
        if (now == last) {
            sock_usleep(kPassSleepUs);
            continue;
        }
        if (sock < 0) {
            log_print("broadcastclient fail\n");
            errno = 0;
            sock = open_clock_socket();  // logs "udp set SO_BROADCAST fail\n" itself
            if (sock < 0)
                g_send_errno.store(errno ? errno : EIO);
            sock_usleep(kPassSleepUs);
            continue;  // `last` stays: the time goes out as soon as a socket exists
        }
        errno = 0;
        if (send_time_at(sock, now) < 0) {
            g_send_errno.store(errno ? errno : EIO);
            log_print("SendTime(fd:%d) fail\n", sock);
        } else {
            g_send_errno.store(0);
            long sent = g_sent.fetch_add(1) + 1;
            long limit = g_limit.load();
            if (limit > 0 && sent >= limit)
                break;
        }
        last = now;
    }
    sock_close(sock);
}

}  // namespace

int FormatTimeBody(const std::tm& t, char* out, int cap)
{
    if (!out || cap <= 0)
        return 0;
    int n =
        std::snprintf(out, static_cast<size_t>(cap),
                      "<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\"%d-%d-%d %d:%d:%d\"> </TimeConfig>",
                      t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    if (n < 0)
        return 0;
    return n < cap ? n : cap - 1;
}

int SendTime(int sock) { return send_time_at(sock, std::time(nullptr)); }

int startSendtime() { return startSendtimeFor(0); }

int startSendtimeFor(long datagrams)
{
    std::lock_guard<std::mutex> guard(g_thread_lock);
    {
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        if (g_sendtime_started) {
            log_print("isSendtime is working...\n");
            return 0;
        }
        g_sendtime_started = true;
    }
    g_sent.store(0);
    g_send_errno.store(0);
    g_limit.store(datagrams > 0 ? datagrams : 0);
    g_sendtime_running.store(true, std::memory_order_release);
    try {
        g_sendtime_thread = std::thread(sendtime_thread);
    } catch (const std::system_error&) {
        g_sendtime_running.store(false);
        std::lock_guard<std::mutex> flag(discovery_flag_lock());
        g_sendtime_started = false;
        return -1;
    }
    return 1;
}

int stopSendtime()
{
    std::lock_guard<std::mutex> guard(g_thread_lock);
    if (g_sendtime_thread.joinable()) {
        g_sendtime_running.store(false, std::memory_order_release);
        g_sendtime_thread.join();
        log_print("wait SendtimeThread ...out\n");
    }
    std::lock_guard<std::mutex> flag(discovery_flag_lock());
    g_sendtime_started = false;
    return 0;
}

long sendtime_sent() { return g_sent.load(); }

int sendtime_send_errno() { return g_send_errno.load(); }

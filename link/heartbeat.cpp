// The heartbeat: the fixed frame, the check each link thread makes after every pass, and one
// clock thread that sends the heartbeats of every logged-in entry of the table. With it an
// idle link's thread wakes only when its recorder says something, and heartbeats that fall
// due within a second of each other go out together from then on: 64 idle links cost this
// thread one wake-up per 10 s, not 64.
#include "link/context.h"
#include "link/frame_io.h"

#include "util/clock.h"
#include "util/log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// The fixed heartbeat frame: magic, length 218, then the text byte for byte (its doubled end
// tags are what recorders have always received).
constexpr char kHeartbeatText[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\n"
    "Msg_type=\"AUXPTZ_HEARTBEAT_MESSAGE\"\nMsg_code=\"CMD_HEARTBEAT\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY>\n"
    "</MESSAGE_BODY>\n</XML_MORVEK><MESSAGE_BODY/>\n</XML_MORVEK>";
static_assert(sizeof kHeartbeatText - 1 == 218, "heartbeat text is 218 bytes");

struct HeartbeatFrame {
    unsigned char bytes[kFrameHeaderSize + sizeof kHeartbeatText - 1];
    HeartbeatFrame()
    {
        frame_put_le32(bytes, kFrameMagic);
        frame_put_le32(bytes + 4, sizeof kHeartbeatText - 1);
        std::memcpy(bytes + kFrameHeaderSize, kHeartbeatText, sizeof kHeartbeatText - 1);
    }
};
const HeartbeatFrame kHeartbeat;

// A heartbeat may wait this much past its due time for others due soon after it; they then
// share one time (never earlier than 10 s after the last one).
constexpr uint64_t kGatherMs = 1000;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

enum class Beat { sent, not_due, busy, no_room, failed };

uint64_t due_of(const IpcLinkContext* ipc) { return ipc->last_heartbeat.load() + kHeartbeatIntervalMs + 1; }

// Sends the entry's heartbeat when it is due. Claimed first, so that the clock thread and the
// link thread never both send one. Never waits: with the send buffer full (a device still
// taking in an upload) it goes whole on a later try.
Beat send_if_due(IpcLinkContext* ipc)
{
    if (ipc->beat_claimed.exchange(true))
        return Beat::busy;
    Beat b = Beat::not_due;
    if (ipc->sock.load() >= 0 && get_tick_ms() >= due_of(ipc)) {
        ipc_step(ipc, "ipchearbeat", 1);
        int r = ipc_write_locked(ipc, kHeartbeat.bytes, sizeof kHeartbeat.bytes, 0);
        if (r > 0) {
            ipc->last_heartbeat.store(get_tick_ms());
            b = Beat::sent;
        } else {
            b = r == 0 ? Beat::no_room : Beat::failed;
        }
    }
    ipc->beat_claimed.store(false);
    return b;
}

void heartbeat_lost(IpcLinkContext* ipc)
{
    if (ipc->sock.load() < 0)
        return;
    ipc_close_socket(ipc);
    ipc_emit(ipc, IPC_EVENT_DISCONNECTED);
    log_print("ipc->chanid[%d] ipchearbeat Send Fail!\n", ipc->chanid);
}

struct Clock {
    IpcLinkContext* table;
    int max;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool poked = false;
    // When the thread wakes next (ms of the monotonic clock), kNever when no entry is logged
    // in, 0 during a round (which may miss a login that comes meanwhile).
    uint64_t next_wake = 0;
    std::thread thread;

    // Sends every heartbeat that is due; the time to wake next (kNever: no entry logged in):
    // the last heartbeat due within the gathering window after the first one, or sooner for a
    // heartbeat that found no room.
    uint64_t round()
    {
        const uint64_t now = get_tick_ms();
        uint64_t retry = kNever;
        std::vector<uint64_t> dues;
        for (int i = 0; i < max; ++i) {
            IpcLinkContext* ipc = &table[i];
            if (ipc->sock.load() < 0 || !ipc->running.load())
                continue;
            if (due_of(ipc) <= now) {
                Beat b = send_if_due(ipc);
                if (b == Beat::no_room || b == Beat::busy)
                    retry = now + kPollWaitMs;
                if (b == Beat::failed) {
                    // The loss is the link thread's to report, on its own thread.
                    ipc->beat_failed.store(1);
                    ipc_wake(ipc);
                }
                if (b != Beat::sent)
                    continue;
            }
            dues.push_back(due_of(ipc));
        }
        if (dues.empty())
            return retry;
        const uint64_t first = *std::min_element(dues.begin(), dues.end());
        uint64_t wake = first;
        for (uint64_t due : dues)
            if (due <= first + kGatherMs)
                wake = std::max(wake, due);
        return std::min(wake, retry);
    }

    void run()
    {
        std::unique_lock<std::mutex> lk(mu);
        while (!stop) {
            poked = false;
            next_wake = 0;
            lk.unlock();
            uint64_t wake = round();
            lk.lock();
            next_wake = wake;
            if (stop || poked)
                continue;
            if (wake == kNever) {
                cv.wait(lk, [this] { return stop || poked; });
            } else {
                // Never a busy loop, whatever the clock did meanwhile.
                uint64_t now = get_tick_ms();
                uint64_t ms = wake > now ? wake - now : kPollWaitMs;
                cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop || poked; });
            }
        }
    }
};

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

void ipc_heartbeat_start(IpcLinkContext* table, int max)
{
    if (g_clock.load())
        return;
    auto* c = new Clock;
    c->table = table;
    c->max = max;
    c->thread = std::thread([c] { c->run(); });
    g_clock.store(c);
}

void ipc_heartbeat_stop()
{
    Clock* c = g_clock.exchange(nullptr);
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> lk(c->mu);
        c->stop = true;
    }
    c->cv.notify_one();
    c->thread.join();
    delete c;
}

void ipc_heartbeat_poke(bool logged_in)
{
    Clock* c = g_clock.load();
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> lk(c->mu);
        // A fresh login only matters when the clock sleeps past its first heartbeat.
        if (logged_in && c->next_wake != 0 && c->next_wake <= get_tick_ms() + kHeartbeatIntervalMs + 1)
            return;
        c->poked = true;
    }
    c->cv.notify_one();
}

bool ipc_heartbeat_by_clock(const IpcLinkContext* ipc)
{
    Clock* c = g_clock.load();
    return c && ipc >= c->table && ipc < c->table + c->max;
}

uint64_t ipc_heartbeat_due(const IpcLinkContext* ipc) { return due_of(ipc); }

void ipchearbeat(IpcLinkContext* ipc)
{
    if (ipc->beat_failed.exchange(0)) {
        heartbeat_lost(ipc);
        return;
    }
    if (send_if_due(ipc) == Beat::failed)
        heartbeat_lost(ipc);
}

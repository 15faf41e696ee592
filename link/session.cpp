// The link table, the link threads (login, frame polling, heartbeat, silence detection,
// reconnection) and logout. The send paths are in send.cpp.
#include "link/context.h"
#include "proto/envelope.h"
#include "link/frame_io.h"

#include "base/sock.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

namespace {

std::atomic<IpcLinkContext*> g_ipc{nullptr};
std::atomic<int> g_ipc_max{0};
std::mutex g_locks[kIpcMaxLinks];
// Guards starting, joining and clearing an entry's thread (never held while waiting for one).
std::mutex g_ctl[kIpcMaxLinks];
std::mutex g_init_mu;

// A moved test clock can make a check due at once: every link thread looks again.
void wake_all_links()
{
    IpcLinkContext* table = g_ipc.load();
    for (int i = 0, max = g_ipc_max.load(); table && i < max; ++i)
        wakeup_signal(table[i].wake[1]);
    ipc_heartbeat_poke(false);
}

// The entry whose link thread this is, so that a callback's logout never waits for itself.
thread_local IpcLinkContext* t_own_entry = nullptr;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int64_t wall_seconds() { return wall_clock_now().sec; }

unsigned long thread_number()
{
    return static_cast<unsigned long>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

// Clears everything but the thread object (joined by the caller) and the locks.
void reset_entry(IpcLinkContext* ipc)
{
    std::lock_guard<std::mutex> lk(ipc_lock(ipc));
    ipc->sock.store(-1);
    ipc->abort_close.store(0);
    ipc->last_heartbeat.store(0);
    ipc->beat_failed.store(0);
    ipc->state.store(0);
    ipc->login_problem.store(IPC_LOGIN_PROBLEM_NONE);
    ipc->chanid = 0;
    std::memset(ipc->address, 0, sizeof ipc->address);
    ipc->port = 0;
    ipc->autoreconnect.store(0);
    std::memset(ipc->username, 0, sizeof ipc->username);
    std::memset(ipc->password, 0, sizeof ipc->password);
    ipc->evcb = nullptr;
    ipc->auxcb = nullptr;
    ipc->userdata.store(nullptr);
    std::memset(ipc->recvbuf, 0, sizeof ipc->recvbuf);
    std::memset(ipc->localfile, 0, sizeof ipc->localfile);
    std::memset(ipc->remotefile, 0, sizeof ipc->remotefile);
    std::memset(ipc->dlpath, 0, sizeof ipc->dlpath);
    if (ipc->file) {
        std::fclose(ipc->file);
        ipc->file = nullptr;
    }
    if (ipc->dlfile) {
        std::fclose(ipc->dlfile);
        ipc->dlfile = nullptr;
    }
    ipc->resource = nullptr;
    ipc->translen = ipc->bytesdone = ipc->lastprogress = ipc->bytessent = ipc->filetype = 0;
    ipc->downloading.store(0);
    ipc->last_recv.store(0);
    std::memset(ipc->sessionid, 0, sizeof ipc->sessionid);
    ipc->last_connect_try.store(0);
    ipc->running.store(0);
    ipc->showtime.store(0);
    ipc->out_tail.clear();
}

// The entry's thread is done with it: whoever waits in wait_and_join goes on at once.
void mark_ended(IpcLinkContext* ipc)
{
    {
        std::lock_guard<std::mutex> lk(ipc->end_mu);
        ipc->alive.store(0);
    }
    ipc->end_cv.notify_all();
}

// Waits (without holding the entry's control lock) until the entry's thread has finished, then
// joins it.
void wait_and_join(IpcLinkContext* ipc, int chanid)
{
    {
        std::unique_lock<std::mutex> lk(ipc->end_mu);
        ipc->end_cv.wait(lk, [ipc] { return ipc->alive.load() == 0; });
    }
    std::lock_guard<std::mutex> ctl(g_ctl[chanid]);
    if (ipc->thread.joinable())
        ipc->thread.join();
}

IpcLoginParam login_param_of(const IpcLinkContext* ipc)
{
    IpcLoginParam p{};
    p.chanid = ipc->chanid;
    fixed_copy(p.address, fixed_view(ipc->address));
    p.port = ipc->port;
    p.autoreconnect = ipc->autoreconnect.load();
    p.evcb = ipc->evcb;
    p.auxcb = ipc->auxcb;
    p.userdata = ipc->userdata.load();
    fixed_copy(p.username, fixed_view(ipc->username));
    std::memcpy(p.password, ipc->password, sizeof p.password);
    return p;
}

// Waits up to 40 ms for input and reads one frame. -2 time-out, -1 poll failure, -3 no
// socket, 0 otherwise (a failed frame has closed the connection with event 2).
int ipcdealsocks(IpcLinkContext* ipc, int wait_ms)
{
    int fd = ipc->sock.load();
    if (fd < 0)
        return -3;
    const int fds[2] = {fd, ipc->wake[0]};
    unsigned char ready[2] = {0, 0};
    int r = sock_poll_readable(fds, 2, wait_ms, ready);
    if (r < 0) {
        log_print("ipcdealsocks select Error ");
        return -1;
    }
    if (ready[1])
        wakeup_clear(ipc->wake[0]);
    if (r == 0 || !ready[0])
        return -2;
    if (sockrecv_onemsg(ipc) <= 0) {
        // A logout that came while a frame was being read is no loss: the thread just ends.
        if (!ipc->running.load())
            return 0;
        ipc_emit(ipc, IPC_EVENT_DISCONNECTED);
        log_print("[%s:%d]close by remote?\n", fixed_str(ipc->address).c_str(), ipc->port);
        ipc_close_socket(ipc);
        if (ipc->autoreconnect.load())
            ipc->last_connect_try.store(wall_seconds());
    }
    return 0;
}

// How long the thread may wait for input before one of its checks falls due: the heartbeat,
// the silence rule, a running download's time-out, or a frame rest to move on.
int next_wait_ms(IpcLinkContext* ipc)
{
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (!ipc->out_tail.empty())
            return kPollWaitMs;
    }
    const uint64_t now = get_tick_ms();
    auto until = [now](uint64_t due) { return due > now ? due - now : 0; };
    // The clock thread sends the heartbeats of table entries: an idle link wakes only for
    // what its recorder sends and for the silence rule.
    uint64_t wait = until(ipc->last_recv.load() + kSilenceLimitMs + 1);
    if (!ipc_heartbeat_by_clock(ipc))
        wait = std::min(wait, until(ipc_heartbeat_due(ipc)));
    if (ipc->downloading.load())
        wait = std::min(wait, until(ipc->last_recv.load() + kDownloadTimeoutMs + 1));
    // A check already due that could not finish (a heartbeat waiting for room) is tried
    // again after the usual short wait, not in a busy loop.
    if (wait == 0)
        return kPollWaitMs;
    return static_cast<int>(std::min<uint64_t>(wait, kSilenceLimitMs));
}

// Moves on the rest of a frame that the socket could not take at once (the last upload
// chunk, a request) while the link is idle.
void ipcflushpending(IpcLinkContext* ipc)
{
    int r = 0;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        int fd = ipc->sock.load();
        if (fd < 0 || ipc->out_tail.empty())
            return;
        r = ipc_flush_tail_locked(ipc, fd);
    }
    if (r < 0) {
        log_print("ipc->chanid[%d] pending frame Send Fail!\n", ipc->chanid);
        ipc_drop_link(ipc);
    }
}

void ipcreconnect(IpcLinkContext* ipc)
{
    if (ipc->sock.load() != -1 || ipc->autoreconnect.load() != 1)
        return;
    int64_t now = wall_seconds();
    if (now - ipc->last_connect_try.load() < kReconnectPauseSec)
        return;
    ipc->last_connect_try.store(now);
    ipc_step(ipc, "ipcreconnect", 1);
    log_print("chanid:%d, to login now:%u\n", ipc->chanid, static_cast<unsigned>(now));
    IpcLoginParam p = login_param_of(ipc);
    ipc_login(&p);
    if (ipc->running.load())
        sleep_ms(1);
}

void ipc_thread(IpcLinkContext* ipc)
{
    t_own_entry = ipc;
    log_print("ipc[%p][%d], thread\n", static_cast<void*>(ipc), ipc->chanid);
    IpcLoginParam p = login_param_of(ipc);
    int ret = ipc_login(&p);
    if (ret <= 0 && !ipc->autoreconnect.load()) {
        ipc->running.store(0);
        log_print("ipc_thread[%d][%d] to out\n", ipc->chanid, ipc->running.load());
        mark_ended(ipc);
        return;
    }
    log_print("%s:%d, running[%p]:%d\n", "ipc_thread", __LINE__, static_cast<void*>(ipc), ipc->running.load());

    while (ipc->running.load()) {
        if (ipc->showtime.load()) {
            log_print("ipc[%d]threadrunning:%d\n", ipc->chanid, ipc->running.load());
            ipc_step(ipc, "ipc_thread", 1);
        }
        // A heartbeat the clock thread could not send is this link's loss, told first.
        if (ipc->beat_failed.load())
            ipchearbeat(ipc);
        // The thread sleeps until input, a wake-up or its next due check: an idle link costs
        // a few wake-ups a minute, and every check still runs within moments of falling due.
        int r = ipcdealsocks(ipc, next_wait_ms(ipc));
        ipc_step(ipc, "ipc_thread", 2);
        if (r == -2) {
            uint64_t now = get_tick_ms();
            uint64_t last = ipc->last_recv.load();
            if (now > last && now - last > static_cast<uint64_t>(kSilenceLimitMs)) {
                log_print("ipc_thread 8091 long Time No Data!!\n");
                log_print("ipc_thread 8091 Disconned!!\n");
                // A job waiting on this link must learn that it is gone.
                ipc_drop_link(ipc);
            }
        } else {
            if (r == -1) {
                log_print("ipc_thread 8091 Revc Error!!\n");
                log_print("ipc_thread 8091 Disconned!!\n");
                ipc_drop_link(ipc);
            }
        }
        if (!ipc->running.load())
            break;
        ipcflushpending(ipc);
        ipchearbeat(ipc);
        ipc_step(ipc, "ipc_thread", 3);
        ipccheckdownloadtimeout(ipc);
        if (!ipc->running.load())
            break;
        ipcreconnect(ipc);
        ipc_step(ipc, "ipc_thread", 4);
        if (!ipc->running.load())
            break;
        if (ipc->sock.load() >= 0)
            continue;
        if (!ipc->autoreconnect.load()) {
            ipc->running.store(0);
            log_print("ipc_thread[%d][%d]\n", ipc->chanid, ipc->running.load());
            mark_ended(ipc);
            return;
        }
        // Reconnect pacing; a logout wakes the wait at once.
        unsigned char woken = 0;
        if (ipc->running.load() && sock_poll_readable(&ipc->wake[0], 1, 800, &woken) > 0 && woken)
            wakeup_clear(ipc->wake[0]);
    }
    ipc_close_draining(ipc);
    ipc_emit(ipc, IPC_EVENT_THREAD_END);
    log_print("ipc_thread[%d][%d] threadid:%lu to out\n", ipc->chanid, ipc->running.load(), thread_number());
    mark_ended(ipc);
}

}  // namespace

void ipc_step(IpcLinkContext* ipc, const char* name, int position)
{
    if (ipc->showtime.load())
        log_step(name, position, ipc->chanid);
}

bool ipc_on_own_thread(const IpcLinkContext* ipc) { return t_own_entry == ipc; }

void ipc_wake(IpcLinkContext* ipc)
{
    if (ipc)
        wakeup_signal(ipc->wake[1]);
}

IpcLinkContext* ipc_entry(int chanid)
{
    IpcLinkContext* table = g_ipc.load();
    if (!table || chanid < 0 || chanid >= g_ipc_max.load())
        return nullptr;
    return &table[chanid];
}

std::mutex& ipc_lock(const IpcLinkContext* ipc)
{
    IpcLinkContext* table = g_ipc.load();
    if (table && ipc >= table && ipc < table + kIpcMaxLinks)
        return g_locks[ipc - table];
    // An entry outside the table (the fuzz and unit harnesses build their own): one shared lock.
    static std::mutex loose;
    return loose;
}

bool ipc_check_chanid(const char* name, int chanid)
{
    int max = g_ipc_max.load();
    if (!g_ipc.load() || chanid < 0 || chanid >= max) {
        log_print("<%s> fail, chanid:%d, max:%d\n", name, chanid, max ? max : kIpcMaxLinks);
        return false;
    }
    return true;
}

int ipc_init()
{
    std::lock_guard<std::mutex> lk(g_init_mu);
    if (g_ipc.load())
        return 1;  // one table per process; a second caller shares it
    IpcLinkContext* table = new (std::nothrow) IpcLinkContext[kIpcMaxLinks];
    console_text("%s%d malloc(%d)\n", "ipc_init", __LINE__, static_cast<int>(sizeof(IpcLinkContext) * kIpcMaxLinks));
    if (!table) {
        log_print("alloc mem for ipc link context fail\n");
        return -1;
    }
    for (int i = 0; i < kIpcMaxLinks; ++i)
        wakeup_open(table[i].wake);
    g_ipc_max.store(kIpcMaxLinks);
    g_ipc.store(table);
    ipc_heartbeat_start(table, kIpcMaxLinks);
    clock_set_advance_hook(wake_all_links);
    return 1;
}

int ipc_deinit()
{
    std::lock_guard<std::mutex> lk(g_init_mu);
    if (!g_ipc.load())
        return 1;
    // Threads still running would use the table after it is gone.
    ipc_logout_all();
    clock_set_advance_hook(nullptr);
    ipc_heartbeat_stop();
    IpcLinkContext* table = g_ipc.exchange(nullptr);
    g_ipc_max.store(0);
    for (int i = 0; i < kIpcMaxLinks; ++i)
        wakeup_close(table[i].wake);
    delete[] table;
    return 1;
}

int ipc_login_delay(const IpcLoginParam* param)
{
    if (!param || !param->evcb) {
        log_print("ipc_login_delay param fail, param:0x%p, evcb:0x%p\n", static_cast<const void*>(param),
                  param ? reinterpret_cast<void*>(param->evcb) : nullptr);
        return -1;
    }
    if (!ipc_check_chanid("ipc_login_delay", param->chanid))
        return -1;
    IpcLinkContext* ipc = ipc_entry(param->chanid);
    if (ipc->sock.load() >= 0) {
        log_print("ipc_login_delay fail, channel(%d) is inuse fd(%d), logout it first and login again\n", param->chanid,
                  ipc->sock.load());
        return -1;
    }
    if (t_own_entry == ipc || ipc->alive.load()) {
        // One entry never gets a second thread.
        log_print("ipc_login_delay fail, channel(%d) thread still running, logout it first and login again\n",
                  param->chanid);
        return -1;
    }
    std::lock_guard<std::mutex> ctl(g_ctl[param->chanid]);
    if (ipc->alive.load())
        return -1;
    if (ipc->thread.joinable())
        ipc->thread.join();  // a thread that already ended by itself
    // Whatever that thread left behind (an announced upload's open file, a half-done
    // download, the old session) belongs to the old link.
    reset_entry(ipc);

    ipc->evcb = param->evcb;
    ipc->auxcb = param->auxcb;
    ipc->userdata.store(param->userdata);
    ipc->chanid = param->chanid;
    fixed_copy(ipc->address, sizeof ipc->address - 1, fixed_view(param->address, sizeof param->address - 1));
    ipc->address[sizeof ipc->address - 1] = '\0';
    ipc->port = param->port;
    ipc_store_credentials(ipc, param);
    ipc->last_connect_try.store(0);
    ipc->sock.store(-1);
    ipc->autoreconnect.store(param->autoreconnect);
    // Set before the thread starts, so that a logout right after this call is never undone.
    ipc->running.store(1);
    ipc->alive.store(1);
    try {
        ipc->thread = std::thread(ipc_thread, ipc);
    } catch (const std::system_error&) {
        ipc->running.store(0);
        mark_ended(ipc);
        log_print("ipc_login_delay create thread fail\n");
        return -1;
    }
    log_print("ipc_login_delay create thread :%u \n",
              static_cast<unsigned>(std::hash<std::thread::id>{}(ipc->thread.get_id())));
    return 1;
}

int ipc_logout(int chanid)
{
    IpcLinkContext* ipc = ipc_entry(chanid);
    if (!ipc) {
        log_print("ipclogout fail, chanid:%d, max:%d\n", chanid, g_ipc_max.load() ? g_ipc_max.load() : kIpcMaxLinks);
        return -1;
    }
    ipc->running.store(0);
    ipc_wake(ipc);
    if (t_own_entry == ipc)
        return 1;  // called from this entry's own callback: the thread ends after it returns
    const bool alive = ipc->alive.load();
    if (!ipc->autoreconnect.load() && alive)
        return 1;  // ends by itself; the entry is cleared when it is used again
    if (alive)
        log_print("ipc_logout ipc:%p, %d, join:%d ....\n", static_cast<void*>(ipc), chanid, ipc->alive.load());
    // A thread woken above may already be gone: it is joined and its entry cleared all the same.
    wait_and_join(ipc, chanid);
    {
        std::lock_guard<std::mutex> ctl(g_ctl[chanid]);
        if (!ipc->alive.load())
            reset_entry(ipc);
    }
    if (alive)
        log_print("ipc_logout, ipc[%d]threadrunning:%d, out\n", chanid, ipc->running.load());
    return 1;
}

int ipc_logout_abort(int chanid)
{
    IpcLinkContext* ipc = ipc_entry(chanid);
    if (ipc)
        ipc->abort_close.store(1);
    return ipc_logout(chanid);
}

int ipc_logout_all_abort()
{
    IpcLinkContext* table = g_ipc.load();
    if (table) {
        for (int i = 0, max = g_ipc_max.load(); i < max; ++i)
            table[i].abort_close.store(1);
    }
    return ipc_logout_all();
}

int ipc_logout_all()
{
    IpcLinkContext* table = g_ipc.load();
    if (!table)
        return 1;
    int max = g_ipc_max.load();
    // Ask every thread to end first so they wind down together, then wait for each of them
    // (also those without auto reconnect) before clearing its entry.
    for (int i = 0; i < max; ++i) {
        table[i].running.store(0);
        ipc_wake(&table[i]);
    }
    for (int i = 0; i < max; ++i) {
        IpcLinkContext* ipc = &table[i];
        if (ipc == t_own_entry)
            continue;  // our own thread: it ends once the callback returns
        wait_and_join(ipc, i);
        std::lock_guard<std::mutex> ctl(g_ctl[i]);
        if (!ipc->alive.load())
            reset_entry(ipc);
    }
    return 1;
}

int ipc_login_problem(int chanid)
{
    IpcLinkContext* ipc = ipc_entry(chanid);
    return ipc ? ipc->login_problem.load() : IPC_LOGIN_PROBLEM_NONE;
}

void* ipc_getuserdata(int chanid)
{
    if (!ipc_check_chanid("ipc_getuserdata", chanid))
        return nullptr;
    return ipc_entry(chanid)->userdata.load();
}

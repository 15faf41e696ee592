// The login on a connected socket: the connection, the login frame and its answer, and the
// entry's state and events that follow from it.
#include "link/context.h"
#include "link/frame_io.h"
#include "proto/envelope.h"

#include "base/sock.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>
#include <string>

void ipc_store_credentials(IpcLinkContext* ipc, const IpcLoginParam* param)
{
    fixed_copy(ipc->username, sizeof ipc->username - 1, fixed_view(param->username, sizeof param->username - 1));
    fixed_copy(ipc->password, sizeof ipc->password - 1, fixed_view(param->password, sizeof param->password - 1));
}

// Sends the login request and reads the answer as one whole frame: magic checked, the full
// length read. Two 100 ms waits without any byte arriving give up.
int ipcauth(IpcLinkContext* ipc, int fd)
{
    auto problem = [ipc](int p) {
        ipc->login_problem.store(p);
        return -1;
    };
    std::string user(fixed_view(ipc->username, sizeof ipc->username - 1));
    std::string pass(fixed_view(ipc->password, sizeof ipc->password - 1));
    std::string body = "<USER_AUTH_PARAM\nUsername=\"" + user + "\"\nPassword=\"" + pass + "\"/>";
    log_print("send xml:%s\n", ipc_log_text(body).c_str());
    int r = ipcsendmsgbyfd(body.c_str(), fd);
    if (r <= 0) {
        log_print("socksend error:%d", r);
        return problem(IPC_LOGIN_CLOSED);
    }

    unsigned char hd[kFrameHeaderSize];
    r = frame_recv_exact(ipc, fd, hd, kFrameHeaderSize, 2);
    if (r == kRecvTimedOut) {
        log_print("ipcauth long time wait, fail\n");
        return problem(IPC_LOGIN_NO_ANSWER);
    }
    if (r <= 0) {
        if (r < 0 && r != kRecvStopped)
            log_print("sockrecv");
        return problem(IPC_LOGIN_CLOSED);
    }
    uint32_t magic = frame_le32(hd);
    uint32_t len = frame_le32(hd + 4);
    if (magic != kFrameMagic) {
        log_print("[%s] hd magic %#x error.\n", "ipcauth", magic);
        return problem(IPC_LOGIN_BAD_ANSWER);
    }
    if (len > kMaxAuthFrameLength) {
        log_print("[%s] frame length %u above %u, refused\n", "ipcauth", len, kMaxAuthFrameLength);
        return problem(IPC_LOGIN_BAD_ANSWER);
    }
    std::string text(static_cast<size_t>(len), '\0');
    if (len > 0) {
        r = frame_recv_exact(ipc, fd, text.data(), static_cast<int>(len), 2);
        if (r == kRecvTimedOut) {
            log_print("ipcauth long time wait, fail\n");
            return problem(IPC_LOGIN_NO_ANSWER);
        }
        if (r <= 0)
            return problem(IPC_LOGIN_CLOSED);
    }
    // The handler tells a refusal apart (flag not 0); anything else it refuses is no answer
    // a login can take.
    ipc->login_problem.store(IPC_LOGIN_BAD_ANSWER);
    return ipcdealmsg(text.c_str(), ipc, static_cast<int>(len));
}

int ipc_login(const IpcLoginParam* param)
{
    if (!param || !param->evcb) {
        log_print("ipc_login param fail, param:0x%p, evcb:0x%p\n", static_cast<const void*>(param),
                  param ? reinterpret_cast<void*>(param->evcb) : nullptr);
        return -1;
    }
    if (!ipc_check_chanid("ipc_login", param->chanid))
        return -1;
    IpcLinkContext* ipc = ipc_entry(param->chanid);
    if (ipc->sock.load() >= 0) {
        log_print("ipclogin fail, channel(%d) is inuse fd(%d), logout it first and login again\n", param->chanid,
                  ipc->sock.load());
        return -1;
    }
    if (!ipc->running.load())
        return -1;
    ipc->evcb = param->evcb;
    ipc->auxcb = param->auxcb;
    ipc->userdata.store(param->userdata);
    ipc->chanid = param->chanid;
    fixed_copy(ipc->address, sizeof ipc->address - 1, fixed_view(param->address, sizeof param->address - 1));
    ipc->port = param->port;
    log_print("==============================ipc_login[%d][%p] =============== \n", param->chanid,
              static_cast<void*>(ipc));

    std::string address(fixed_view(ipc->address));
    ipc_step(ipc, "ipc_login", 1);
    int fd = tcpconnectserver(address.c_str(), ipc->port);
    ipc_step(ipc, "ipc_login", 2);
    if (fd < 0) {
        log_print("ipclogin[%s:%d] connect fail \n", address.c_str(), ipc->port);
        ipc->login_problem.store(IPC_LOGIN_CONNECT_FAILED);
        ipc->autoreconnect.store(param->autoreconnect);
        if (param->autoreconnect) {
            ipc->last_connect_try.store(wall_clock_now().sec);
            ipc_store_credentials(ipc, param);
        }
        ipc_emit(ipc, IPC_EVENT_DISCONNECTED);
        return -1;
    }
    sock_nolinger(fd);
    sock_keepalive(fd, kKeepaliveIdle);
    // Upload chunks end in a small frame; with Nagle's algorithm it could wait for a delayed
    // acknowledgement. Every frame is written whole, so nothing gains from the delay.
    sock_nodelay(fd, 1);
    if (!ipc->running.load()) {
        sock_close(fd);
        return -1;
    }
    ipc_store_credentials(ipc, param);

    int ret = ipcauth(ipc, fd);
    if (ret <= 0) {
        log_print("ipc_login[%s:%d] auth fail, ret:%d \n", address.c_str(), ipc->port, ret);
        sock_close(fd);
        {
            std::lock_guard<std::mutex> lk(ipc_lock(ipc));
            ipc->sock.store(-1);
        }
        ipc->state.store(IPC_STATE_AUTH_FAILED);
    } else {
        uint64_t now = get_tick_ms();
        // Silence is measured from the login, not from whatever happened on this entry before.
        ipc->last_heartbeat.store(now);
        ipc->last_recv.store(now);
        ipc->beat_failed.store(0);  // about the connection before this one
        {
            std::lock_guard<std::mutex> lk(ipc_lock(ipc));
            ipc->sock.store(fd);
        }
        ipc->state.store(IPC_STATE_LOGGED_IN);
        ipc->login_problem.store(IPC_LOGIN_PROBLEM_NONE);
        ipc_heartbeat_poke(true);
    }

    int state = ipc->state.load();
    if (ipc->running.load()) {
        ipc_emit(ipc, state == IPC_STATE_LOGGED_IN ? IPC_EVENT_LOGIN_OK : IPC_EVENT_LOGIN_FAIL);
    } else {
        if (state == IPC_STATE_AUTH_FAILED)
            ipc_emit(ipc, IPC_EVENT_LOGIN_FAIL);
        return ret;
    }
    ipc->autoreconnect.store(param->autoreconnect);
    return ret;
}

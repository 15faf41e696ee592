// Control requests the link itself needs: the talk stop that the handler sends when a device
// refuses a talk as busy, and the step-line switch. The other requests build on ipcsendmsg.
#include "link/context.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <string>

namespace {

// The single-talk channel, -1 when no talk runs.
std::atomic<int> g_talk_chan{-1};

}  // namespace

int ipc_talk_stop(int chanid)
{
    if (!ipc_check_chanid("ipc_talk_stop", chanid))
        return -1;
    g_talk_chan.store(-1);
    IpcLinkContext* ipc = ipc_entry(chanid);
    std::string body = "<RA_STOP_PARAM\nSessionid=\"" + fixed_str(ipc->sessionid) + "\"\n/>\n";
    return ipcsendmsg_(ipc, "REVERSE_AUDIO_MESSAGE", "CMD_RA_STOP", "0", body.c_str());
}

int ipc_set_showtime(int chanid, int flag)
{
    if (!ipc_check_chanid("ipc_set_showtime", chanid))
        return -1;
    ipc_entry(chanid)->showtime.store(flag);
    log_print("ipc_set_showtime(%d, %d)\n", chanid, flag);
    return 1;
}

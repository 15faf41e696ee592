#include "jobs/link_port.h"

#include "link/link.h"
#include "link/requests.h"
#include "link/transfer.h"
#include "util/fixedstr.h"

#include <cstring>

namespace jobs {

Target target_of(const IPCSearchInfo& info)
{
    Target t;
    t.address = std::string(fixed_view(info.lancfg.IPAddress));
    t.port = static_cast<uint16_t>(info.streamcfg.PTZPort & 0xFFFF);
    // As much as the login carries of them.
    if (info.usercfg.count > 0) {
        t.user = std::string(fixed_view(info.usercfg.accounts[0].Username)).substr(0, 31);
        t.password = std::string(fixed_view(info.usercfg.accounts[0].Password)).substr(0, 40);
    }
    return t;
}

namespace {

// Events whose data is text; the others carry nothing or one 32-bit value.
bool text_event(int code)
{
    switch (code) {
    case IPC_EVENT_TALK_OK:
    case IPC_EVENT_TALK_FAIL:
    case IPC_EVENT_TALK_STOP_OK:
    case IPC_EVENT_TALK_STOP_FAIL:
    case IPC_EVENT_PTZ_OK:
    case IPC_EVENT_PTZ_FAIL:
    case IPC_EVENT_DOWNLOAD_OK:
    case IPC_EVENT_DOWNLOAD_FAIL:
    case IPC_EVENT_TALK_BUSY:
    case IPC_EVENT_TALK_PARAM:
    case IPC_EVENT_TALK_DISABLED: return true;
    default: return false;
    }
}

}  // namespace

LinkEvent decode_event(int chanid, int code, const void* data, int len)
{
    LinkEvent ev;
    ev.chanid = chanid;
    ev.code = code;
    if (code == IPC_EVENT_DISCONNECTED || code == IPC_EVENT_LOGIN_FAIL)
        ev.login_problem = ipc_login_problem(chanid);
    if (text_event(code)) {
        if (data && len > 0)
            ev.text.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    } else if (data && len >= static_cast<int>(sizeof(int32_t))) {
        ev.has_value = true;
        std::memcpy(&ev.value, data, sizeof(int32_t));
    }
    return ev;
}

bool DirectLinkPort::login(int chanid, const Target& t)
{
    IpcLoginParam p{};
    p.chanid = chanid;
    fixed_copy(p.address, sizeof p.address - 1, t.address);
    p.port = t.port;
    p.autoreconnect = 1;
    p.evcb = evcb_;
    p.auxcb = auxcb_;
    p.userdata = userdata_;
    fixed_copy(p.username, sizeof p.username - 1, t.user);
    fixed_copy(p.password, sizeof p.password - 1, t.password);
    return ipc_login_delay(&p) == 1;
}

void DirectLinkPort::logout(int chanid, bool abort) { abort ? ipc_logout_abort(chanid) : ipc_logout(chanid); }

int DirectLinkPort::upload_file(int chanid, int filetype, const char* path)
{
    return ipc_file_upload(chanid, filetype, path);
}

int DirectLinkPort::upload_resource(int chanid, const void* data, int length)
{
    return ipc_file_upload_resource(chanid, data, length);
}

int DirectLinkPort::upload_firmware(int chanid, const char* path) { return ipc_upload_firmware(chanid, path); }

int DirectLinkPort::restore_picture(int chanid, int filetype) { return ipc_sys_RestorePicture(chanid, filetype); }

int DirectLinkPort::set_channel_add_mode(int chanid, int ctrl_enable, int mode)
{
    return ipc_sys_SetChnAddDefMode(chanid, ctrl_enable, mode);
}

int DirectLinkPort::set_buzzer(int chanid, int enable) { return ipc_sys_SetBuzzerEnable(chanid, enable); }

int DirectLinkPort::reboot(int chanid) { return ipc_sys_Reboot(chanid); }

int DirectLinkPort::format_disk(int chanid, int disk) { return ipc_sys_FormatDisk(chanid, disk); }

}  // namespace jobs

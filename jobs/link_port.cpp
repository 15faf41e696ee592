#include "jobs/link_port.h"

#include "link/link.h"
#include "link/requests.h"
#include "link/transfer.h"
#include "util/fixedstr.h"

namespace jobs {

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

}  // namespace jobs

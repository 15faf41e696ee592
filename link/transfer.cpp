// File transfer hooks of the message handler and the link thread. Streaming uploads and
// writing downloads come with the transfer requests; until then an upload answer reports a
// failed stream (event 56) and download chunks are dropped.
#include "link/context.h"

#include "util/fixedstr.h"
#include "util/log.h"

int uploadfile2ipc(IpcLinkContext* ipc, int /*filetype*/)
{
    if (!ipc)
        return -1;
    if (fixed_view(ipc->localfile).empty()) {
        log_print("<%s>file: local file no name, upload to ipc fail!", "uploadfile2ipc");
        return -2;
    }
    log_print("<%s>file: %s not found!", "uploadfile2ipc", fixed_str(ipc->localfile).c_str());
    return -1;
}

int uploadfilefromresource(IpcLinkContext* ipc)
{
    if (!ipc || !ipc->resource) {
        log_print("<%s> error ipc:%p, ipc->pdata:%p", "uploadfilefromresource", static_cast<void*>(ipc),
                  ipc ? static_cast<const void*>(ipc->resource) : nullptr);
        return -1;
    }
    return -1;
}

int ipcdownloadwrite(IpcLinkContext* ipc, const char* /*text*/, int /*len*/)
{
    if (!ipc || !ipc->downloading.load())
        return 1;
    return 1;
}

void ipccheckdownloadtimeout(IpcLinkContext* /*ipc*/) {}

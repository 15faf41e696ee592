// File transfer over the link, downloads and removals: the request on the caller's thread,
// the chunks written and the download time-out on the entry's link thread. The entry's
// transfer fields change under the entry's lock; callbacks are never called with it held.
#include "link/transfer.h"

#include "link/context.h"
#include "link/requests.h"
#include "link/frame_io.h"
#include "proto/envelope.h"
#include "proto/xml_util.h"

#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Event texts: the download result holds both paths.
constexpr int kResultTextSize = 2048;
constexpr char kDownloadResult[] =
    "<RESPONSE_PARAM\nRemoteFileName=\"%s\"\nLocalFileName=\"%s\"\nStartPos=\"%d\"\nErrorCode=\"%d\"\n/>";

// Download step failure: event 17 with the received StartPos, everything back to idle.
int fail_download(IpcLinkContext* ipc, int32_t start)
{
    char text[kResultTextSize];
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        std::string remote = fixed_str(ipc->remotefile);
        std::string local = fixed_str(ipc->dlpath);
        std::snprintf(text, sizeof text, kDownloadResult, remote.c_str(), local.c_str(), start, -1);
        log_print("download remote file(%s) to %s, deallen:%d, startpos:%d fail", remote.c_str(), local.c_str(),
                  ipc->bytesdone, start);
        if (ipc->dlfile) {
            std::fclose(ipc->dlfile);
            ipc->dlfile = nullptr;
        }
        ipc->bytesdone = 0;
        std::memset(ipc->remotefile, 0, sizeof ipc->remotefile);
        std::memset(ipc->dlpath, 0, sizeof ipc->dlpath);
        ipc->downloading.store(0);
    }
    ipc->evcb(ipc->chanid, IPC_EVENT_DOWNLOAD_FAIL, text, static_cast<int>(std::strlen(text)));
    return -1;
}

}  // namespace

int ipc_file_download(int chanid, const char* localpath)
{
    if (!localpath) {
        log_print("<%s> param fail\n", "ipc_file_download");
        return -1;
    }
    if (!ipc_check_chanid("ipc_file_download", chanid))
        return -1;
    IpcLinkContext* ipc = ipc_entry(chanid);
    // Without a link no request can go out; the local file (perhaps the last good copy) is
    // then left as it is rather than emptied below.
    if (ipc->sock.load() < 0 || !ipc->running.load()) {
        log_print("<%s>chan[%d] has not login, fail\n", "ipc_file_download", chanid);
        return -1;
    }
    // The device sends from offset 0: a stale file from an earlier download must not stay in
    // front of the new bytes.
    FILE* f = std::fopen(localpath, "wb");
    if (!f) {
        log_print("local file(%s) can't be open\n", localpath);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (ipc->dlfile)
            std::fclose(ipc->dlfile);
        ipc->dlfile = f;
        ipc->bytesdone = 0;
        fixed_copy(ipc->remotefile, kRemoteConfigPath);
        fixed_copy(ipc->dlpath, sizeof ipc->dlpath - 1, localpath);
        // The time-out counts from the request, not from whatever the link last received.
        ipc->last_recv.store(get_tick_ms());
        ipc->downloading.store(1);
    }
    std::string body = format_text("<REQUEST_PARAM\nFileName = \"%s\"\nStartPos=\"0\"\n/>", kRemoteConfigPath);
    int r = ipcsendmsg(body.c_str(), chanid, "SYSTEM_CONTROL_MESSAGE", IPC_CODE_DOWNLOAD);
    if (r <= 0) {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (ipc->dlfile == f) {
            std::fclose(f);
            ipc->dlfile = nullptr;
            ipc->downloading.store(0);
        }
    }
    return r;
}

int ipc_config_download(int chanid, const char* folder)
{
    if (!folder) {
        log_print("<%s> param fail\n", "ipc_config_download");
        return -1;
    }
    std::string path(folder);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += "config.xml";
    return ipc_file_download(chanid, path.c_str());
}

int ipc_file_remove(int chanid, const char* remotepath)
{
    if (!remotepath) {
        log_print("<%s> param fail\n", "ipc_file_remove");
        return -1;
    }
    if (!ipc_check_chanid("ipc_file_remove", chanid))
        return -1;
    std::string body = format_text("<REQUEST_PARAM\nFileName = \"%s\"\n/>", remotepath);
    return ipcsendmsg(body.c_str(), chanid, "SYSTEM_CONTROL_MESSAGE", IPC_CODE_FILE_REMOVE);
}

int ipcdownloadwrite(IpcLinkContext* ipc, const char* text, int len)
{
    if (!ipc || !ipc->evcb || !text)
        return -1;
    ipc->last_recv.store(get_tick_ms());
    if (!ipc->downloading.load()) {
        log_print("download data without a download, dropped\n");
        return 1;
    }
    int32_t start = -1;
    int32_t datalen = 0;
    bool has_pos = GetPosParam(text, start, datalen) == 0;
    // The data lies 4 bytes behind the text; the device's DataLen must fit in what arrived.
    int textlen = static_cast<int>(strnlen(text, len > 0 ? static_cast<size_t>(len) : 0));
    int available = len - textlen - 4;

    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (!ipc->dlfile) {
            std::string local = fixed_str(ipc->dlpath);
            ipc->dlfile = std::fopen(local.c_str(), "ab+");
            if (!ipc->dlfile) {
                log_print("local file(%s) can't be open\n", local.c_str());
                ipc->downloading.store(0);
                return -1;
            }
        }
    }
    if (!has_pos || datalen > available)
        return fail_download(ipc, start);

    // A DataLen of 0 or below is how devices mark the end of the file.
    if (datalen <= 0) {
        char result[kResultTextSize];
        {
            std::lock_guard<std::mutex> lk(ipc_lock(ipc));
            std::string remote = fixed_str(ipc->remotefile);
            std::string local = fixed_str(ipc->dlpath);
            std::snprintf(result, sizeof result, kDownloadResult, remote.c_str(), local.c_str(), 0, 0);
            log_print("download remote file(%s) to %s ok\n", remote.c_str(), local.c_str());
            std::fclose(ipc->dlfile);
            ipc->dlfile = nullptr;
            ipc->bytesdone = 0;
            ipc->downloading.store(0);
        }
        ipc->evcb(ipc->chanid, IPC_EVENT_DOWNLOAD_OK, result, static_cast<int>(std::strlen(result)));
        return 1;
    }

    bool written = false;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (start == ipc->bytesdone && ipc->bytesdone <= INT_MAX - datalen) {
            const char* bytes = text + textlen + 4;
            written = std::fwrite(bytes, 1, static_cast<size_t>(datalen), ipc->dlfile) == static_cast<size_t>(datalen);
            if (written)
                ipc->bytesdone += datalen;
            else
                log_print("local file(%s) write fail\n", fixed_str(ipc->dlpath).c_str());
        }
    }
    return written ? 1 : fail_download(ipc, start);
}

void ipccheckdownloadtimeout(IpcLinkContext* ipc)
{
    if (!ipc || ipc->sock.load() < 0 || !ipc->downloading.load())
        return;
    uint64_t now = get_tick_ms();
    uint64_t before = ipc->last_recv.load();
    if (now < before) {
        log_print("ipccheckdownloadtimeout, bug now:%ul, before:ul \n", static_cast<unsigned>(now));
        return;
    }
    if (now - before <= static_cast<uint64_t>(kDownloadTimeoutMs))
        return;
    std::lock_guard<std::mutex> lk(ipc_lock(ipc));
    // A download requested from another thread since the look above starts its own clock.
    if (!ipc->downloading.load() || ipc->last_recv.load() != before)
        return;
    log_print("ipccheckdownloadtimeout, timeout, now:%ul, before:ul\n", static_cast<unsigned>(now));
    ipc->downloading.store(0);
    ipc->last_recv.store(now);
    if (ipc->dlfile) {
        std::fclose(ipc->dlfile);
        ipc->dlfile = nullptr;
    }
    ipc->bytesdone = 0;
}

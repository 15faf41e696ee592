// File transfer over the link, uploads: announcing them on the caller's thread, streaming
// them on the entry's link thread, and the device's answers (downloads and removals are in
// download.cpp). The entry's transfer fields change under the entry's lock; callbacks are never
// called with it held (a callback may send a request, which takes the lock).
#include "link/transfer.h"

#include "link/context.h"
#include "link/requests.h"
#include "proto/envelope.h"
#include "link/frame_io.h"
#include "proto/xml_util.h"

#include "base/sock.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"
#include "util/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

namespace {

constexpr int kChunkSize = 40960;
// Frame buffer: 8 header bytes, a text area of 248 bytes (text of at most 244 characters and
// the 4 zero bytes behind it), then the chunk's data.
constexpr int kTextArea = 248;
constexpr int kDataOffset = kFrameHeaderSize + kTextArea;
constexpr int kFrameBufferSize = kDataOffset + kChunkSize;  // 41216
// While the socket cannot take data we wait in slices of this length, so a logout is noticed.
constexpr int kWritableSliceMs = 100;

constexpr char kChunkText[] =
    "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
    "Msg_type=\"MEDIA_DATA_MESSAGE\"\nMsg_code=\"1\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\n"
    "StartPos=\"%d\"\nDataLen=\"%d\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>";

// A file name as XML attribute text: the markup characters become entities, so the name
// reaches the device unchanged and cannot end the attribute. Other bytes (GB2312 names too)
// stay as they are.
std::string xml_text(const char* s)
{
    std::string out;
    for (; *s; ++s) {
        switch (*s) {
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += *s;
        }
    }
    return out;
}

// Logged-in check shared by the announcements.
IpcLinkContext* logged_in_entry(const char* name, int chanid)
{
    if (!ipc_check_chanid(name, chanid))
        return nullptr;
    IpcLinkContext* ipc = ipc_entry(chanid);
    if (ipc->sock.load() < 0) {
        log_print("<%s>chan[%d] has not login, fail\n", name, chanid);
        return nullptr;
    }
    return ipc;
}

// Drops an announced upload that never started streaming (caller holds the entry's lock).
void drop_pending_locked(IpcLinkContext* ipc)
{
    if (ipc->file) {
        log_print("<%s> pending upload of %s dropped\n", "ipc_file_upload", fixed_str(ipc->localfile).c_str());
        std::fclose(ipc->file);
        ipc->file = nullptr;
    }
    ipc->resource = nullptr;
    std::memset(ipc->localfile, 0, sizeof ipc->localfile);
}

// What a stream works from: taken out of the entry when streaming starts, so that a new
// announcement made meanwhile neither disturbs it nor gets cleared by its end.
struct PendingUpload {
    FILE* file = nullptr;
    const unsigned char* block = nullptr;
    int total = 0;
    int filetype = 0;
    std::string name;
};

PendingUpload take_pending(IpcLinkContext* ipc)
{
    PendingUpload p;
    std::lock_guard<std::mutex> lk(ipc_lock(ipc));
    p.file = ipc->file;
    p.block = ipc->resource;
    p.total = ipc->translen;
    p.filetype = ipc->filetype;
    p.name = fixed_str(ipc->localfile);
    ipc->file = nullptr;
    ipc->resource = nullptr;
    std::memset(ipc->localfile, 0, sizeof ipc->localfile);
    std::memset(ipc->remotefile, 0, sizeof ipc->remotefile);
    ipc->lastprogress = 0;
    ipc->bytessent = 0;
    return p;
}

// After a stream: the counters go back to idle unless another upload was announced meanwhile.
void finish_stream(IpcLinkContext* ipc)
{
    std::lock_guard<std::mutex> lk(ipc_lock(ipc));
    if (fixed_view(ipc->localfile).empty()) {
        ipc->lastprogress = 0;
        ipc->bytessent = 0;
        ipc->translen = 0;
    }
}

// Writes the frames of one upload from one reused buffer: header, text and 4 zero bytes,
// then the data, one frame at a time under the entry's lock, so no request of another thread
// lands inside a chunk. Nothing waits on the network with the lock held: the socket takes
// what it can, the rest of the frame is kept in the entry and goes first on the next turn,
// and the wait for room happens without the lock, so requests of other threads get in
// between two chunks. A device that takes nothing for the silence window, a send error or
// a logout ends the stream; the caller then drops the link.
struct ChunkWriter {
    IpcLinkContext* ipc;
    unsigned char* buf;
    uint64_t last_move = get_tick_ms();

    // Lets requests of other threads that wait for the socket go first (bounded: they give up
    // after their own short wait anyway).
    void step_aside() const
    {
        for (int i = 0; i < kSendWaitMs * 10 && ipc->writers_waiting.load() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }

    int write(int start, const unsigned char* data, int n)
    {
        char* text = reinterpret_cast<char*>(buf + kFrameHeaderSize);
        int textlen = std::snprintf(text, kTextArea - 3, kChunkText, start, n);
        log_print("_snprintf ret:%d,startpos(%d), len(%d)  ret + 4 + len:%d, strlen(buffer + 8):%d\n", textlen, start,
                  n, textlen + 4 + n, static_cast<int>(std::strlen(text)));
        frame_put_le32(buf + 4, static_cast<uint32_t>(textlen + 4 + n));
        std::memset(text + textlen, 0, 4);
        const int headlen = kFrameHeaderSize + textlen + 4;

        for (;;) {
            if (!ipc->running.load()) {
                log_print("<%s> link stopped, upload stopped at %d\n", "uploadfile2ipc", start);
                return -1;
            }
            step_aside();
            int fd;
            {
                std::lock_guard<std::mutex> lk(ipc_lock(ipc));
                fd = ipc->sock.load();
                if (fd < 0) {
                    log_print("<%s> link gone, upload stopped at %d\n", "uploadfile2ipc", start);
                    return -1;
                }
                int r = ipc_flush_tail_locked(ipc, fd);
                int taken = 0;
                if (r >= 0 && ipc->out_tail.empty())
                    taken = r = ipc_send_frame_locked(ipc, fd, buf, headlen, data, n);
                if (r < 0) {
                    log_print("<%s> chunk at %d (%d bytes) not written, upload stopped\n", "uploadfile2ipc", start, n);
                    return -1;
                }
                if (r > 0)
                    last_move = get_tick_ms();
                if (taken > 0) {
                    ipc->bytessent = start + n;
                    return 0;
                }
            }
            uint64_t still = get_tick_ms() - last_move;
            if (still > static_cast<uint64_t>(kSilenceLimitMs)) {
                log_print("<%s> socket took nothing for %d ms, upload stopped at %d\n", "uploadfile2ipc",
                          static_cast<int>(still), start);
                return -1;
            }
            sock_wait_writable(fd, kWritableSliceMs);
        }
    }
};

std::unique_ptr<unsigned char[]> frame_buffer(const char* name, int line)
{
    console_text("%s%d malloc(%d)\n", name, line, kFrameBufferSize);
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kFrameBufferSize]);
    if (buf)
        frame_put_le32(buf.get(), kFrameMagic);
    return buf;
}

}  // namespace

// ---- uploads ------------------------------------------------------------------------------

int ipc_file_upload(int chanid, int filetype, const char* path)
{
    if (!path) {
        log_print("<%s> param fail\n", "ipc_file_upload");
        return -1;
    }
    IpcLinkContext* ipc = logged_in_entry("ipc_file_upload", chanid);
    if (!ipc)
        return -1;
    // Opened once, here: the length announced is the length of this very file, and the stream
    // reads it from this handle. A FIFO or a device is never opened for reading.
    int64_t length = -1;
    int err = 0;
    FILE* f = open_regular_file(path, &length, &err);
    if (!f) {
        if (err == kNotRegularFile)
            log_print("<%s>file: %s is not a regular file\n", "ipc_file_upload", path);
        else
            log_print("<%s>file: %s not found!", "ipc_file_upload", path);
        return IPC_RESULT_FILE_NOT_FOUND;
    }
    if (length > INT_MAX) {
        // Offsets and lengths travel as 32-bit decimal values.
        log_print("<%s>file: %s too large (%lld bytes)\n", "ipc_file_upload", path, static_cast<long long>(length));
        std::fclose(f);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        drop_pending_locked(ipc);
        ipc->file = f;
        ipc->translen = static_cast<int>(length);
        ipc->lastprogress = 0;
        ipc->bytessent = 0;
        ipc->filetype = filetype;
        fixed_copy(ipc->localfile, sizeof ipc->localfile - 1, path);
    }
    std::string body =
        format_text("<REQUEST_PARAM\nFileType=\"%ld\"\nFilePath= \"%s\"\nStartPos= \"0\"\nFileLength=\"%d\"\n/>",
                    static_cast<long>(filetype), xml_text(path).c_str(), static_cast<int>(length));
    int r = ipcsendmsg(body.c_str(), chanid, "SYSTEM_CONTROL_MESSAGE", IPC_CODE_UPLOAD);
    if (r <= 0) {
        // No request went out, so no answer will come for this file.
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (ipc->file == f)
            drop_pending_locked(ipc);
    }
    return r;
}

int ipc_file_upload_resource(int chanid, const void* data, int length)
{
    IpcLinkContext* ipc = logged_in_entry("ipc_file_upload_resource", chanid);
    if (!ipc)
        return -1;
    if (!data) {
        log_print("pResource is NULL\n");
        return -1;
    }
    if (length < 0) {
        log_print("<%s> param fail\n", "ipc_file_upload_resource");
        return -1;
    }
    const unsigned char* block = static_cast<const unsigned char*>(data);
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        drop_pending_locked(ipc);
        ipc->resource = block;
        ipc->translen = length;
        ipc->lastprogress = 0;
        ipc->bytessent = 0;
        ipc->filetype = IPC_FILE_BOOT_PICTURE;
        fixed_copy(ipc->localfile, kResourceStartPic);
    }
    std::string body =
        format_text("<REQUEST_PARAM\nFileType=\"%ld\"\nFilePath= \"%s\"\nStartPos= \"0\"\nFileLength=\"%d\"\n/>",
                    static_cast<long>(IPC_FILE_BOOT_PICTURE), kResourceStartPic, length);
    int r = ipcsendmsg(body.c_str(), chanid, "SYSTEM_CONTROL_MESSAGE", IPC_CODE_UPLOAD);
    if (r <= 0) {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (ipc->resource == block)
            drop_pending_locked(ipc);
    }
    return r;
}

int ipc_upload_firmware(int chanid, const char* path)
{
    return ipc_file_upload(chanid, IPC_FILE_FIRMWARE, path) > 0 ? 0 : -4;
}

int ipc_config_upload(int chanid, const char* path)
{
    if (!path) {
        log_print("<%s> param fail\n", "ipc_config_upload");
        return -1;
    }
    TiXmlDocument doc;
    if (!doc.LoadFile(path, TIXML_ENCODING_LEGACY)) {
        log_print("<%s> load %s fail\n", "ipc_config_upload", path);
        return -1;
    }
    const TiXmlElement* root = doc.RootElement();
    if (!root) {
        log_print("<%s> %s has no root\n", "ipc_config_upload", path);
        return -2;
    }
    const TiXmlElement* net = root->FirstChildElement("NetworkConfig");
    if (!net || !net->FirstChildElement("LANConfig")) {
        log_print("<%s> %s has no NetworkConfig/LANConfig\n", "ipc_config_upload", path);
        return -3;
    }
    const TiXmlElement* media = root->FirstChildElement("MediaConfig");
    const TiXmlElement* video = media ? media->FirstChildElement("Video") : nullptr;
    if (!video || !video->FirstChildElement("Capture")) {
        log_print("<%s> %s has no MediaConfig/Video/Capture\n", "ipc_config_upload", path);
        return -4;
    }
    return ipc_file_upload(chanid, IPC_FILE_CONFIG, path);
}

void ReportLoadProgress(IpcLinkContext* ipc, int64_t done, int64_t total)
{
    if (!ipc) {
        log_print("<%s> input pointer is NULL!\n", "ReportLoadProgress");
        return;
    }
    // An empty source is complete once its only chunk is out.
    int64_t pct = total > 0 ? done * 100 / total : 100;
    if (pct > 100)
        pct = 100;  // the file grew after it was announced
    if (pct < 0)
        pct = 0;
    pct -= pct % 5;
    bool report = false;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        if (pct > ipc->lastprogress) {
            ipc->lastprogress = static_cast<int>(pct);
            report = true;
        }
    }
    if (report)
        ipc_event_int(ipc, IPC_EVENT_UPLOAD_PROGRESS, static_cast<int32_t>(pct));
}

IpcResult uploadfile2ipc(IpcLinkContext* ipc, int filetype)
{
    if (!ipc)
        return IPC_STREAM_FILE_NOT_FOUND;
    PendingUpload p = take_pending(ipc);
    FILE* f = p.file;
    if (!f) {
        // Announced by another path: open the named file now.
        if (p.name.empty()) {
            log_print("<%s>file: local file no name, upload to ipc fail!", "uploadfile2ipc");
            return IPC_STREAM_NO_FILE_NAME;
        }
        int64_t length = -1;
        int err = 0;
        f = open_regular_file(p.name.c_str(), &length, &err);
        if (!f || length > INT_MAX) {
            log_print("<%s>file: %s not found!", "uploadfile2ipc", p.name.c_str());
            if (f)
                std::fclose(f);
            return IPC_STREAM_FILE_NOT_FOUND;
        }
        p.total = static_cast<int>(length);
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        ipc->translen = p.total;
        ipc->filetype = filetype;
    }

    std::unique_ptr<unsigned char[]> buf = frame_buffer("uploadfile2ipc", __LINE__);
    if (!buf) {
        log_print("<%s> alloc memory fail, upload to ipc fail!", "uploadfile2ipc");
        std::fclose(f);
        return IPC_STREAM_NO_MEMORY;
    }
    unsigned char* data = buf.get() + kDataOffset;
    ChunkWriter out{ipc, buf.get()};
    // Exactly the announced length goes out. A file that ends before it, or still has bytes
    // behind it, changed while it was sent (an image still being copied): neither version
    // would arrive whole, so the stream stops before the frame that would close it.
    auto changed = [&](int at, const char* how) {
        log_print("<%s>file: %s %s at %d of %d bytes, upload stopped\n", "uploadfile2ipc", p.name.c_str(), how, at,
                  p.total);
        std::fclose(f);
        return IPC_STREAM_FILE_CHANGED;
    };
    int offset = 0;
    bool at_end = false;
    do {
        const int want = std::min(kChunkSize, p.total - offset);
        size_t n = want > 0 ? std::fread(data, 1, static_cast<size_t>(want), f) : 0;
        if (n < static_cast<size_t>(want)) {
            if (std::ferror(f)) {
                log_print("<%s>file: %s read error at %d\n", "uploadfile2ipc", p.name.c_str(), offset);
                std::fclose(f);
                return IPC_STREAM_READ_ERROR;
            }
            return changed(offset + static_cast<int>(n), "ended early");
        }
        if (n < static_cast<size_t>(kChunkSize)) {
            // The announced length is reached: the next byte must be the end of the file.
            unsigned char extra;
            if (std::fread(&extra, 1, 1, f) == 1)
                return changed(offset + static_cast<int>(n), "grew");
            if (std::ferror(f)) {
                log_print("<%s>file: %s read error at %d\n", "uploadfile2ipc", p.name.c_str(), offset);
                std::fclose(f);
                return IPC_STREAM_READ_ERROR;
            }
            at_end = true;
        }
        if (out.write(offset, data, static_cast<int>(n)) != 0) {
            std::fclose(f);
            return IPC_STREAM_LINK_FAILED;
        }
        offset += static_cast<int>(n);
        ReportLoadProgress(ipc, offset, p.total);
    } while (!at_end);
    std::fclose(f);
    if (out.write(p.total, nullptr, 0) != 0)
        return IPC_STREAM_LINK_FAILED;
    finish_stream(ipc);
    return IPC_RESULT_OK;
}

IpcResult uploadfilefromresource(IpcLinkContext* ipc)
{
    if (!ipc) {
        log_print("<%s> error ipc:%p, ipc->pdata:%p", "uploadfilefromresource", static_cast<void*>(ipc), nullptr);
        return IPC_STREAM_FILE_NOT_FOUND;
    }
    PendingUpload p = take_pending(ipc);
    if (p.file)
        std::fclose(p.file);  // only the block is streamed here
    if (!p.block) {
        log_print("<%s> error ipc:%p, ipc->pdata:%p", "uploadfilefromresource", static_cast<void*>(ipc), nullptr);
        return IPC_STREAM_FILE_NOT_FOUND;
    }
    std::unique_ptr<unsigned char[]> buf = frame_buffer("uploadfilefromresource", __LINE__);
    if (!buf) {
        log_print("<%s> alloc memory fail, upload to ipc fail!", "uploadfilefromresource");
        return IPC_STREAM_NO_MEMORY;
    }
    ChunkWriter out{ipc, buf.get()};
    int sent = 0;
    for (;;) {
        int remaining = p.total - sent;
        int n = remaining < kChunkSize ? remaining : kChunkSize;
        // Straight from the block: no copy into the frame buffer.
        if (out.write(sent, p.block + sent, n) != 0)
            return IPC_STREAM_LINK_FAILED;
        sent += n;
        ReportLoadProgress(ipc, sent, p.total);
        if (remaining <= kChunkSize)
            break;
    }
    if (out.write(p.total, nullptr, 0) != 0)
        return IPC_STREAM_LINK_FAILED;
    finish_stream(ipc);
    return IPC_RESULT_OK;
}

void ipc_upload_answer(IpcLinkContext* ipc, int flag)
{
    if (!ipc)
        return;
    if (flag != 0) {
        ipc_event_int(ipc, IPC_EVENT_UPLOAD_RESULT, IPC_UPLOAD_REFUSED);
        return;
    }
    std::string name;
    int filetype;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        name = fixed_str(ipc->localfile);
        filetype = ipc->filetype;
    }
    if (name.empty()) {
        ipc_event_int(ipc, IPC_EVENT_UPLOAD_RESULT, IPC_UPLOAD_OK);  // the device's verdict after the data
        return;
    }
    IpcResult r;
    if (name == kResourceStartPic) {
        log_print("to upload file from resource(%s)\n", name.c_str());
        r = uploadfilefromresource(ipc);
    } else {
        log_print("to upload file(%s)\n", name.c_str());
        r = uploadfile2ipc(ipc, filetype);
    }
    if (r != IPC_RESULT_OK)
        ipc_event_int(ipc, IPC_EVENT_UPLOAD_RESULT, ipc_upload_result_to_event(r));
    if (r == IPC_STREAM_LINK_FAILED || r == IPC_STREAM_FILE_CHANGED) {
        // The device holds part of a frame and would misread whatever follows, or part of a
        // file that no closing frame will ever complete.
        ipc_drop_link(ipc);
    }
}

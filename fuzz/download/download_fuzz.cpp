// The download writer over device-chosen chunks. The input is a sequence of payloads, each
// behind a 2-byte little-endian length; every payload is handed to the writer in a buffer of
// exactly its size plus the terminator, as the frame reader does, so a read past the frame
// shows up under the sanitizers. A failed or finished download is started again.
#include "link/context.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

volatile unsigned char g_sink;

int on_event(int, int, const void* data, int len)
{
    unsigned char sum = 0;
    for (int i = 0; data && i < len; ++i)
        sum = static_cast<unsigned char>(sum ^ static_cast<const unsigned char*>(data)[i]);
    g_sink = sum;
    return 0;
}

void arm(IpcLinkContext& ctx)
{
    std::lock_guard<std::mutex> lk(ipc_lock(&ctx));
    if (!ctx.dlfile)
        ctx.dlfile = std::fopen("/dev/null", "wb");
    ctx.bytesdone = 0;
    std::strcpy(ctx.remotefile, "/mnt/nand/config.xml");
    std::strcpy(ctx.dlpath, "/dev/null");
    ctx.downloading.store(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IpcLinkContext ctx;
    ctx.chanid = 5;
    ctx.evcb = on_event;
    ctx.running.store(1);
    arm(ctx);
    size_t off = 0;
    while (off + 2 <= size) {
        size_t len = data[off] | static_cast<size_t>(data[off + 1]) << 8;
        off += 2;
        if (len > size - off)
            len = size - off;
        std::unique_ptr<char[]> payload(new char[len + 1]);
        std::memcpy(payload.get(), data + off, len);
        payload[len] = '\0';
        off += len;
        int r = ipcdownloadwrite(&ctx, payload.get(), static_cast<int>(len));
        if (r < 0 || !ctx.downloading.load())
            arm(ctx);
    }
    std::lock_guard<std::mutex> lk(ipc_lock(&ctx));
    if (ctx.dlfile)
        std::fclose(ctx.dlfile);
    ctx.dlfile = nullptr;
    return 0;
}

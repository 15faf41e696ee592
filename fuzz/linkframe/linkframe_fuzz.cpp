// The link's frame reader and message handler over a byte stream from a device: the input is
// written into one end of a socketpair and read frame by frame from the other.
#include "link/context.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

volatile unsigned char g_sink;

int on_event(int, int, const void* data, int len)
{
    // Touch every byte handed out, so a bad length shows up under the sanitizers.
    unsigned char sum = 0;
    for (int i = 0; data && i < len; ++i)
        sum = static_cast<unsigned char>(sum ^ static_cast<const unsigned char*>(data)[i]);
    g_sink = sum;
    return 0;
}

int on_aux(int, int, const void* data, int len, const void*)
{
    unsigned char sum = 0;
    for (int i = 0; data && i < len; ++i)
        sum = static_cast<unsigned char>(sum ^ static_cast<const unsigned char*>(data)[i]);
    g_sink = sum;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 48 * 1024)
        return 0;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    int bufsize = 256 * 1024;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
    size_t off = 0;
    while (off < size) {
        ssize_t n = ::send(sv[1], data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(sv[1], SHUT_WR);

    IpcLinkContext ctx;
    ctx.chanid = 3;
    std::strcpy(ctx.address, "10.77.1.3");
    ctx.evcb = on_event;
    ctx.auxcb = on_aux;
    ctx.running.store(1);
    ctx.sock.store(sv[0]);
    for (int i = 0; i < 1000; ++i) {
        int r = sockrecv_onemsg(&ctx);
        if (r == 0 || r < -1)
            break;
    }
    ::close(sv[0]);
    ::close(sv[1]);
    return 0;
}

// The login answer as the link reads it: a recorder's payload handed to the message handler on
// an entry that is not logged in yet, as the login does once the frame is whole. Whatever the
// recorder sends, the handler accepts or refuses it, and a session identifier it keeps is
// terminated inside its field.
#include "link/context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int on_event(int, int, const void*, int) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The login refuses frames above kMaxAuthFrameLength before reading them.
    if (size > kMaxAuthFrameLength)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL behind the payload, as read

    static IpcLinkContext* ctx = [] {
        auto* c = new IpcLinkContext;
        c->chanid = 5;
        std::strcpy(c->address, "10.77.1.5");
        c->evcb = on_event;
        return c;
    }();
    std::memset(ctx->sessionid, 'x', sizeof ctx->sessionid);
    ctx->sessionid[0] = '\0';
    int r = ipcdealmsg(text.c_str(), ctx, static_cast<int>(size));
    if (r != 1 && r != -1)
        std::abort();
    if (std::memchr(ctx->sessionid, '\0', sizeof ctx->sessionid) == nullptr)
        std::abort();
    return 0;
}

// Bytes from a console reaching a simulated recorder's control port: the recorder's frame
// splitter, message parser and request handling. The first input byte picks how the stream is
// cut into reads and whether a valid login comes first; whatever arrives, every answer the
// recorder writes is a whole frame with the right magic and a length that matches.
#include "sim/session.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string framed(const std::string& text)
{
    std::string f = "\x58\x91\x58\x51";
    uint32_t n = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((n >> (8 * i)) & 0xFF);
    return f + text;
}

const std::string kLogin = framed(
    "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"USER_AUTH_MESSAGE\"\n"
    "Msg_code=\"CMD_USER_AUTH\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<USER_AUTH_PARAM\nUsername=\"admin\"\n"
    "Password=\"admin123\"/>\n</MESSAGE_BODY>\n</XML_MORVEK>");

void check_frames(std::string_view out)
{
    size_t pos = 0;
    while (pos < out.size()) {
        if (out.size() - pos < 8 || std::memcmp(out.data() + pos, "\x58\x91\x58\x51", 4) != 0)
            std::abort();
        const unsigned char* p = reinterpret_cast<const unsigned char*>(out.data() + pos + 4);
        size_t len = p[0] | p[1] << 8 | p[2] << 16 | static_cast<size_t>(p[3]) << 24;
        if (out.size() - pos - 8 < len)
            std::abort();
        pos += 8 + len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    sim::Device dev;
    dev.serial = "FUZZ0001";
    dev.type = "NVR-SIM16";
    dev.accounts = {{"admin", "admin123", "Administrators", "Enable"}};
    sim::LinkOptions opt;
    opt.download_chunk = 1 + (mode >> 4) * 64;
    sim::Session s(dev, opt, 1);
    std::string out;
    if (mode & 1) {
        s.feed(kLogin.data(), kLogin.size());
        out.append(s.output());
        s.consumed(s.output().size());
    }
    const size_t piece = (mode & 2) ? 1 + (mode >> 2) % 13 : size;
    for (size_t pos = 0; pos < size && !s.close_now(); pos += piece) {
        size_t n = size - pos < piece ? size - pos : piece;
        s.feed(data + pos, n);
        out.append(s.output());
        s.consumed(s.output().size());
    }
    s.send_alarm(2);
    s.send_heartbeat(mode & 4);
    s.send_unknown();
    out.append(s.output());
    s.closed();
    check_frames(out);
    if (dev.link.uploads_completed > dev.link.uploads_announced)
        std::abort();
    return 0;
}

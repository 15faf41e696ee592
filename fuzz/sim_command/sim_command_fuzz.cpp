// The simulator's control interface: any lines a test or script sends, one reply line each
// ("ok ..." or "error: ..." or the status JSON). One fleet of three recorders on 127.0.0.1
// serves every input, with a console logged in to recorder 0, so that the lines meant for
// logged-in links reach a real session; a link that a line dropped is logged in again, and a
// recorder that a line rebooted comes back at the next pass of the loop, and every recorder that a
// line plugged out is plugged in again after the input.
#include "sim/fleet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

sim::Fleet* g_fleet = nullptr;
int g_console = -1;

std::string login_frame()
{
    std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                       "Msg_type=\"USER_AUTH_MESSAGE\"\nMsg_code=\"CMD_USER_AUTH\"\nMsg_flag=\"0\"\n/>\n"
                       "<MESSAGE_BODY>\n<USER_AUTH_PARAM\nUsername=\"admin\"\nPassword=\"admin123\"/>\n"
                       "</MESSAGE_BODY>\n</XML_MORVEK>";
    std::string f = "\x58\x91\x58\x51";
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((text.size() >> (8 * i)) & 0xFF);
    return f + text;
}

// Reads away what the recorder sent; false when it closed the link.
bool drain()
{
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(g_console, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);  // a reset link is gone too
    }
}

void ensure_logged_in()
{
    if (g_console >= 0 && drain())
        return;
    if (g_console >= 0)
        ::close(g_console);
    g_console = -1;
    for (int tries = 0; tries < 20 && g_console < 0; ++tries) {
        g_fleet->step(0);  // a rebooted recorder comes back
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(0x7F000001);
        sa.sin_port = htons(static_cast<uint16_t>(g_fleet->device_copy(0).ptz_port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
            g_console = fd;
        else
            ::close(fd);
    }
    if (g_console < 0)
        std::abort();  // the recorder never came back
    uint64_t before = g_fleet->device_copy(0).link.logins_accepted;
    std::string login = login_frame();
    if (::send(g_console, login.data(), login.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(login.size()))
        std::abort();
    for (int i = 0; i < 200 && g_fleet->device_copy(0).link.logins_accepted == before; ++i)
        g_fleet->step(1);
    drain();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    if (!g_fleet) {
        sim::FleetOptions opt;
        opt.devices = 3;
        opt.base_ip = 0x7F000001;
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.source_addr = false;
        opt.control_bind = 0x7F000001;
        opt.ptz_port = 0;
        opt.reboot_ms = 0;
        g_fleet = new sim::Fleet(opt);
        if (g_fleet->open() != 0)
            std::abort();
    }
    ensure_logged_in();
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        std::string reply = g_fleet->command(line);
        if (reply.compare(0, 1, "{") != 0 && reply.compare(0, 3, "ok ") != 0 && reply.compare(0, 7, "error: ") != 0)
            std::abort();
        if (reply.find('\n') != std::string::npos)
            std::abort();
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    if (g_fleet->command("plug all in").compare(0, 3, "ok ") != 0)
        std::abort();
    g_fleet->step(0);
    return 0;
}

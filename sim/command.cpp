// The control interface of tests and scripts: one command a line ("alarm 3", "fault 0
// slow-read on", "status" ...), taken from command() in-process or from clients of the Unix
// command socket, and carried out on the devices and their logged-in links. A client that
// stops reading loses its replies rather than the fleet its memory.
#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/sockets.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t kCmdOutMax = 64u << 20;  // replies a command client has not read yet

// The commands a logged-in link carries out: alarm, heartbeat, unknown and bad (with the frame
// kind it sends). false with the reply for any other verb or an unknown frame kind.
bool link_command(const std::string& verb, const std::string& arg, BadFrame* bad, std::string* err)
{
    if (verb == "alarm" || verb == "heartbeat" || verb == "unknown")
        return true;
    if (verb != "bad") {
        *err = "error: unknown command '" + verb + "'";
        return false;
    }
    if (arg == "magic")
        *bad = BadFrame::Magic;
    else if (arg == "truncated")
        *bad = BadFrame::Truncated;
    else if (arg == "huge-length")
        *bad = BadFrame::HugeLength;
    else if (arg == "bad-xml")
        *bad = BadFrame::Xml;
    else {
        *err = "error: bad frame kinds are magic, truncated, huge-length, bad-xml";
        return false;
    }
    return true;
}

}  // namespace

int Fleet::open_command_socket()
{
    if (opt_.command_socket.empty())
        return 0;
    bool made = false;
    int fd = unix_listen(opt_.command_socket, &made);
    if (fd < 0) {
        error_ = made ? "cannot listen on the command socket " + opt_.command_socket + ": " + std::strerror(-fd)
                      : "cannot make the command socket " + opt_.command_socket;
        return -1;
    }
    cmd_listen_ = fd;
    arm(cmd_listen_, kCmdListen, EPOLLIN, true);
    return 0;
}

bool Fleet::find_devices(const std::string& who, std::vector<int>* out, std::string* err)
{
    out->clear();
    if (who == "all") {
        for (const Device& d : devices_)
            out->push_back(d.index);
        return true;
    }
    char* end = nullptr;
    long v = std::strtol(who.c_str(), &end, 10);
    if (!who.empty() && *end == '\0') {
        if (v < 0 || v >= static_cast<long>(devices_.size())) {
            *err = "no device " + who + " (the fleet has " + std::to_string(devices_.size()) + ")";
            return false;
        }
        out->push_back(static_cast<int>(v));
        return true;
    }
    for (const Device& d : devices_)
        if (d.serial == who)
            out->push_back(d.index);
    if (out->empty()) {
        *err = "no device with serial number " + who;
        return false;
    }
    return true;
}

std::string Fleet::command(const std::string& line)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::string reply = run_command(line);
    uint64_t one = 1;
    ssize_t r = ::write(wake_, &one, sizeof one);  // the loop recomputes its timers
    (void)r;
    return reply;
}

std::string Fleet::run_command(const std::string& line)
{
    std::istringstream words(line);
    std::string verb, who, arg, arg2;
    words >> verb >> who >> arg >> arg2;
    if (verb == "status") {
        std::string j = build_status();
        for (char& ch : j)
            if (ch == '\n')
                ch = ' ';
        return j;
    }
    if (verb == "help" || verb.empty())
        return "ok commands: alarm DEV [N] | heartbeat DEV mvk|aux | unknown DEV | bad DEV "
               "magic|truncated|huge-length|bad-xml"
               " | fault DEV KIND on|off | drop DEV | reboot DEV | plug DEV in|out | status"
               "   (DEV: index, serial or all)";
    std::vector<int> which;
    std::string err;
    if (!find_devices(who, &which, &err))
        return "error: " + err;
    // A misspelt command is refused even where no link is up to carry it, rather than "ok 0".
    BadFrame bad = BadFrame::Magic;
    if (verb != "fault" && verb != "reboot" && verb != "drop" && verb != "plug" && !link_command(verb, arg, &bad, &err))
        return err;
    if (verb == "plug" && arg != "in" && arg != "out")
        return "error: plug DEV in|out";
    int64_t now = mono_now_ms();
    int reached = 0;
    for (int i : which) {
        Device& d = devices_[static_cast<size_t>(i)];
        if (verb == "fault") {
            LinkFault f;
            if (!link_fault_from_name(arg, &f))
                return "error: unknown link fault '" + arg + "' (" + link_fault_names() + ")";
            d.set(f, arg2 != "off");
            ++reached;
            continue;
        }
        if (verb == "plug") {
            if (arg == "in")
                plug_in(i);
            else
                plug_out(i);
            ++reached;
            continue;
        }
        if (verb == "reboot") {
            if (!d.plugged)
                continue;  // nothing there to reboot
            ++d.link.reboots;
            reboot_device(i, now);
            ++reached;
            continue;
        }
        for (Conn* c : conns_of(i)) {
            if (verb == "drop") {
                c->session->closed();
                close_conn(c->fd, true);
                ++reached;
                continue;
            }
            if (!c->session->logged_in())
                continue;
            command_on_link(*c, verb, arg, bad);
            ++reached;
        }
    }
    dirty_ = true;
    return "ok " + std::to_string(reached);
}

void Fleet::command_on_link(Conn& c, const std::string& verb, const std::string& arg, BadFrame bad)
{
    Session& s = *c.session;
    if (verb == "alarm") {
        int n = arg.empty() ? 1 : std::atoi(arg.c_str());
        s.send_alarm(std::clamp(n, 1, 100));
    } else if (verb == "heartbeat") {
        s.send_heartbeat(arg == "mvk");
    } else if (verb == "unknown") {
        s.send_unknown();
    } else if (verb == "bad") {
        s.send_bad(bad);
    }
    if (s.close_after_flush())
        c.closing = true;
    flush_conn(c);
}

void Fleet::accept_cmd_clients()
{
    for (;;) {
        int fd = tcp_accept(cmd_listen_);  // any stream listener; the peer's address is not used
        if (fd < 0)
            return;
        cmd_clients_[fd].fd = fd;
        arm(fd, kCmdClient, EPOLLIN, true);
    }
}

void Fleet::serve_cmd_client(int fd, uint32_t events)
{
    auto it = cmd_clients_.find(fd);
    if (it == cmd_clients_.end())
        return;
    CmdClient& cl = it->second;
    char buf[4096];
    bool gone = (events & EPOLLERR) != 0;
    while (!gone && !cl.eof && (events & (EPOLLIN | EPOLLHUP))) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            cl.in.append(buf, static_cast<size_t>(n));
            if (cl.in.size() > 65536)
                gone = true;
            continue;
        }
        if (n == 0)
            cl.eof = true;  // e.g. `echo status | socat`: the replies still go out
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            gone = true;
        break;
    }
    if (cl.eof && !cl.in.empty() && cl.in.back() != '\n')
        cl.in += '\n';  // a last line without its newline still counts
    size_t nl;
    while (!gone && (nl = cl.in.find('\n')) != std::string::npos) {
        std::string line = cl.in.substr(0, nl);
        cl.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        cl.out += run_command(line) + "\n";
    }
    if (!gone) {
        flush_cmd_client(cl);
        // A client that reads nothing of a large reply loses it rather than the fleet's memory.
        gone = cl.fd < 0 || cl.out.size() > kCmdOutMax || (cl.eof && cl.out.empty());
    }
    if (gone) {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
        sock_close(fd);
        cmd_clients_.erase(it);
        return;
    }
    bool want_out = !cl.out.empty();
    if (want_out != cl.want_out || cl.eof) {
        cl.want_out = want_out;
        arm(fd, kCmdClient, (cl.eof ? 0u : uint32_t{EPOLLIN}) | (want_out ? uint32_t{EPOLLOUT} : 0u), false);
    }
}

// Sends what the socket takes now; a reply larger than the socket buffer goes on when the
// client has read some (EPOLLOUT). cl.fd becomes -1 when the client is gone.
void Fleet::flush_cmd_client(CmdClient& cl)
{
    while (!cl.out.empty()) {
        ssize_t n = ::send(cl.fd, cl.out.data(), cl.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            cl.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        cl.fd = -1;
        return;
    }
}

}  // namespace sim

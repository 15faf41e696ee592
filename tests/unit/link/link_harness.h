// Shared pieces of the link tests: an independent frame encoder, event and auxiliary-data
// recorders, polling with a deadline, and a fake recorder on 127.0.0.1.
#pragma once

#include "link/link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace link_test {

// Frame: magic 58 91 58 51, little-endian length, payload. Written out byte by byte so it
// shares nothing with the code under test.
inline std::string frame(const std::string& payload, uint32_t magic = 0x51589158u)
{
    std::string f;
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((magic >> (8 * i)) & 0xFF);
    uint32_t len = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((len >> (8 * i)) & 0xFF);
    return f + payload;
}

inline std::string raw_header(uint32_t magic, uint32_t len)
{
    std::string f;
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((magic >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((len >> (8 * i)) & 0xFF);
    return f;
}

// A device answer in the long form, written out literally.
inline std::string answer(const std::string& type, const std::string& code, const std::string& flag,
                          const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" + type +
           "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"" + flag + "\"\n/>\n<MESSAGE_BODY>\n" + body +
           "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 20000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

struct Event {
    int chanid;
    int code;
    std::string data;
    std::chrono::steady_clock::time_point when;
};

struct Aux {
    int chanid;
    int kind;
    std::string data;
    std::string msgtype;
    int code = 0;
    int flag = 0;
    void* userdata = nullptr;
    int32_t media_type = 0;
    double timestamp = 0;
};

// Process-wide recorder the callbacks write into; an optional hook runs inside the event
// callback (on the link thread).
struct Recorder {
    std::mutex mu;
    std::vector<Event> events;
    std::vector<Aux> aux;
    std::function<void(int chanid, int code)> hook;

    void clear()
    {
        std::lock_guard<std::mutex> lk(mu);
        events.clear();
        aux.clear();
        hook = nullptr;
    }
    std::vector<int> codes(int chanid)
    {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<int> out;
        for (const auto& e : events)
            if (e.chanid == chanid)
                out.push_back(e.code);
        return out;
    }
    int count(int chanid, int code)
    {
        std::lock_guard<std::mutex> lk(mu);
        int n = 0;
        for (const auto& e : events)
            n += (e.chanid == chanid && e.code == code);
        return n;
    }
    int count_any(int code)
    {
        std::lock_guard<std::mutex> lk(mu);
        int n = 0;
        for (const auto& e : events)
            n += (e.code == code);
        return n;
    }
    std::vector<Event> all()
    {
        std::lock_guard<std::mutex> lk(mu);
        return events;
    }
    std::vector<Aux> all_aux()
    {
        std::lock_guard<std::mutex> lk(mu);
        return aux;
    }
};

inline Recorder& rec()
{
    static Recorder r;
    return r;
}

inline int on_event(int chanid, int code, const void* data, int len)
{
    std::function<void(int, int)> hook;
    {
        std::lock_guard<std::mutex> lk(rec().mu);
        rec().events.push_back({chanid, code,
                                data && len > 0 ? std::string(static_cast<const char*>(data), static_cast<size_t>(len))
                                                : std::string(),
                                std::chrono::steady_clock::now()});
        hook = rec().hook;
    }
    if (hook)
        hook(chanid, code);
    return 0;
}

inline int on_aux(int chanid, int kind, const void* data, int len, const void* info)
{
    Aux a;
    a.chanid = chanid;
    a.kind = kind;
    if (data && len > 0)
        a.data.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    if (kind == IPC_AUX_AUDIO) {
        auto* m = static_cast<const IpcMediaInfo*>(info);
        a.media_type = m->type;
        a.timestamp = m->timestamp;
        a.userdata = m->userdata;
    } else {
        auto* i = static_cast<const AuxDataInfo*>(info);
        a.msgtype.assign(i->msgtype, strnlen(i->msgtype, sizeof i->msgtype));
        a.code = i->code;
        a.flag = i->flag;
        a.userdata = i->userdata;
    }
    std::lock_guard<std::mutex> lk(rec().mu);
    rec().aux.push_back(std::move(a));
    return 0;
}

inline bool send_all(int fd, const std::string& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

// A recorder's control port on 127.0.0.1: accepts connections, reads frames, answers logins
// according to its mode, and records everything it received.
class FakeRecorder {
public:
    enum Mode {
        kAccept,          // answers the login with flag 0 and a Sessionid
        kRefuse,          // answers the login with flag -1
        kSilent,          // never answers anything
        kWrongMagicAfterLogin,
        kOversizeAfterLogin,
    };

    struct Conn {
        int fd = -1;
        std::string inbuf;
        std::vector<std::string> frames;  // whole frames, header included
        bool closed = false;
        int logins = 0;
    };

    explicit FakeRecorder(Mode mode = kAccept) : mode_(mode)
    {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        ::listen(listen_fd_, 256);
        ::pipe(wake_);
        thread_ = std::thread([this] { run(); });
    }

    ~FakeRecorder()
    {
        stop_.store(true);
        char c = 1;
        (void)!::write(wake_[1], &c, 1);
        thread_.join();
        for (auto& c : conns_)
            if (c.fd >= 0)
                ::close(c.fd);
        ::close(listen_fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    uint16_t port() const { return port_; }
    void set_mode(Mode m) { mode_.store(m); }
    void set_answer_heartbeats(bool on) { answer_heartbeats_.store(on); }

    int connections()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return static_cast<int>(conns_.size());
    }
    int closed_connections()
    {
        std::lock_guard<std::mutex> lk(mu_);
        int n = 0;
        for (const auto& c : conns_)
            n += c.closed;
        return n;
    }
    int logins()
    {
        std::lock_guard<std::mutex> lk(mu_);
        int n = 0;
        for (const auto& c : conns_)
            n += c.logins;
        return n;
    }
    std::vector<std::string> frames(int conn)
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (conn < 0 || conn >= static_cast<int>(conns_.size()))
            return {};
        return conns_[conn].frames;
    }
    // Frames of every connection whose payload contains the text.
    int count_frames_containing(const std::string& needle)
    {
        std::lock_guard<std::mutex> lk(mu_);
        int n = 0;
        for (const auto& c : conns_)
            for (const auto& f : c.frames)
                n += f.find(needle) != std::string::npos;
        return n;
    }
    bool send_to(int conn, const std::string& bytes)
    {
        int fd;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (conn < 0 || conn >= static_cast<int>(conns_.size()) || conns_[conn].closed)
                return false;
            fd = conns_[conn].fd;
        }
        return send_all(fd, bytes);
    }

private:
    void run()
    {
        while (!stop_.load()) {
            std::vector<pollfd> fds;
            std::vector<int> idx;
            fds.push_back({listen_fd_, POLLIN, 0});
            idx.push_back(-1);
            fds.push_back({wake_[0], POLLIN, 0});
            idx.push_back(-2);
            {
                std::lock_guard<std::mutex> lk(mu_);
                for (size_t i = 0; i < conns_.size(); ++i) {
                    if (!conns_[i].closed) {
                        fds.push_back({conns_[i].fd, POLLIN, 0});
                        idx.push_back(static_cast<int>(i));
                    }
                }
            }
            if (::poll(fds.data(), fds.size(), 200) <= 0)
                continue;
            for (size_t k = 0; k < fds.size(); ++k) {
                if (!fds[k].revents)
                    continue;
                if (idx[k] == -1) {
                    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        std::lock_guard<std::mutex> lk(mu_);
                        Conn c;
                        c.fd = fd;
                        conns_.push_back(std::move(c));
                    }
                } else if (idx[k] >= 0) {
                    read_conn(idx[k]);
                }
            }
        }
    }

    void read_conn(int i)
    {
        char buf[65536];
        int fd;
        {
            std::lock_guard<std::mutex> lk(mu_);
            fd = conns_[i].fd;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        std::vector<std::string> replies;
        {
            std::lock_guard<std::mutex> lk(mu_);
            Conn& c = conns_[i];
            if (n <= 0) {
                c.closed = true;
                return;
            }
            c.inbuf.append(buf, static_cast<size_t>(n));
            while (c.inbuf.size() >= 8) {
                uint32_t len = 0;
                for (int b = 0; b < 4; ++b)
                    len |= static_cast<uint32_t>(static_cast<unsigned char>(c.inbuf[4 + b])) << (8 * b);
                if (c.inbuf.size() < 8 + static_cast<size_t>(len))
                    break;
                std::string f = c.inbuf.substr(0, 8 + len);
                c.inbuf.erase(0, 8 + len);
                c.frames.push_back(f);
                if (f.find("Msg_type=\"USER_AUTH_MESSAGE\"") != std::string::npos) {
                    ++c.logins;
                    Mode m = mode_.load();
                    if (m == kAccept || m == kWrongMagicAfterLogin || m == kOversizeAfterLogin)
                        replies.push_back(frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0",
                                                       "<USER_AUTH_RESPONSE Sessionid=\"abc123\"/>")));
                    else if (m == kRefuse)
                        replies.push_back(frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "-1", "")));
                    if (m == kWrongMagicAfterLogin)
                        replies.push_back(frame(answer("SYSTEM_CONTROL_MESSAGE", "1007", "0", ""), 0x51589159u));
                    if (m == kOversizeAfterLogin)
                        replies.push_back(raw_header(0x51589158u, 0xFFFFFFFFu) + "<?xml");
                } else if (f.find("CMD_HEARTBEAT") != std::string::npos && answer_heartbeats_.load()) {
                    replies.push_back(frame(answer("MVK_HEARTBEAT_MESSAGE", "CMD_HEARTBEAT", "0", "")));
                }
            }
        }
        for (const auto& r : replies)
            send_all(fd, r);
    }

    std::atomic<Mode> mode_;
    std::atomic<bool> answer_heartbeats_{true};
    std::atomic<bool> stop_{false};
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::mutex mu_;
    std::vector<Conn> conns_;
    std::thread thread_;
};

inline IpcLoginParam login_param(int chanid, uint16_t port, int autoreconnect = 1, void* user = nullptr)
{
    IpcLoginParam p{};
    p.chanid = chanid;
    std::strcpy(p.address, "127.0.0.1");
    p.port = port;
    p.autoreconnect = autoreconnect;
    p.evcb = on_event;
    p.auxcb = on_aux;
    p.userdata = user;
    std::strcpy(p.username, "admin");
    std::strcpy(p.password, "123456");
    return p;
}

}  // namespace link_test

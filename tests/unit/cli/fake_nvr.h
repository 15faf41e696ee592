// A recorder's control port on 127.0.0.1 for dravlinctl's tests: answers the login, takes
// uploads (announcement, chunks, closing frame, verdict), answers restore, reboot, buzzer and
// channel-mode requests, and records every request it received in order, with the bytes of
// every upload per file type. Written independently of the link library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace cli_test {

inline std::string frame(const std::string& payload)
{
    std::string f = "\x58\x91\x58\x51";
    uint32_t len = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((len >> (8 * i)) & 0xFF);
    return f + payload;
}

inline std::string answer(const std::string& type, const std::string& code, const std::string& flag,
                          const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" + type +
           "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"" + flag + "\"\n/>\n<MESSAGE_BODY>\n" + body +
           "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

// The value of attribute `name` ("name=\"v\"", blanks allowed before the quote), or "".
inline std::string attr(const std::string& text, const std::string& name)
{
    size_t p = text.find(name + "=");
    if (p == std::string::npos)
        return "";
    p = text.find('"', p);
    if (p == std::string::npos)
        return "";
    size_t e = text.find('"', p + 1);
    return e == std::string::npos ? "" : text.substr(p + 1, e - p - 1);
}

struct Request {
    std::string type;
    int code = 0;
    std::string body;  // the text between the body tags
};

// What the recorder answers; change before the tool connects.
struct FakeNvrConfig {
    bool refuse_login = false;
    std::set<int> refuse_upload;          // file types whose announcement is refused
    std::set<int> reject_verdict;         // file types whose data is rejected after the stream
    int restore_flag = 0;                 // answer to 1004
    int reboot_flag = 0;                  // answer to 1007
    int buzzer_flag = 1;                  // answer to 3026
    int chnmode_flag = 0;                 // answer to 1006
    bool hold_reboot = false;             // answer 1007 only after release_reboot()
};

class FakeNvr {
public:
    using Config = FakeNvrConfig;

    explicit FakeNvr(Config cfg = {}) : cfg_(cfg)
    {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        ::listen(listen_fd_, 64);
        if (::pipe(wake_) != 0)
            std::abort();
        thread_ = std::thread([this] { run(); });
    }

    ~FakeNvr()
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
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

    std::vector<Request> requests()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return requests_;
    }
    // "1022/3 1022/4 1004/5 1007": control requests in order, with the file type where one is given.
    std::string sequence()
    {
        std::string s;
        for (const auto& r : requests()) {
            if (r.type != "SYSTEM_CONTROL_MESSAGE")
                continue;
            std::string ft = attr(r.body, "FileType");
            s += (s.empty() ? "" : " ") + std::to_string(r.code) + (ft.empty() ? "" : "/" + ft);
        }
        return s;
    }
    // Bytes received per file type (the last upload of that type).
    std::string received(int filetype)
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = files_.find(filetype);
        return it == files_.end() ? std::string() : it->second;
    }
    int connections()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return static_cast<int>(conns_.size());
    }
    bool has_request(int code)
    {
        for (const auto& r : requests())
            if (r.code == code)
                return true;
        return false;
    }
    void release_reboot()
    {
        std::vector<std::pair<int, std::string>> out;
        {
            std::lock_guard<std::mutex> lk(mu_);
            cfg_.hold_reboot = false;
            out.swap(held_);
        }
        for (auto& [fd, bytes] : out)
            send_all(fd, bytes);
    }

private:
    struct Conn {
        int fd = -1;
        std::string inbuf;
        bool closed = false;
        // Upload in progress on this connection.
        int up_type = -1;
        long up_length = 0;
        std::string up_data;
    };

    void send_all(int fd, const std::string& bytes)
    {
        std::lock_guard<std::mutex> lk(send_mu_);
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
                return;
            }
            off += static_cast<size_t>(n);
        }
    }

    void run()
    {
        while (!stop_.load()) {
            std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            std::vector<int> idx{-1, -2};
            {
                std::lock_guard<std::mutex> lk(mu_);
                for (size_t i = 0; i < conns_.size(); ++i)
                    if (!conns_[i].closed) {
                        fds.push_back({conns_[i].fd, POLLIN, 0});
                        idx.push_back(static_cast<int>(i));
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
        static thread_local char buf[65536];
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
                std::string payload = c.inbuf.substr(8, len);
                c.inbuf.erase(0, 8 + len);
                handle(c, payload, replies);
            }
        }
        for (const auto& r : replies)
            send_all(fd, r);
    }

    // Runs under mu_.
    void handle(Conn& c, const std::string& payload, std::vector<std::string>& replies)
    {
        std::string type = attr(payload, "Msg_type");
        int code = std::atoi(attr(payload, "Msg_code").c_str());
        if (type == "USER_AUTH_MESSAGE") {
            replies.push_back(frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", cfg_.refuse_login ? "-1" : "0",
                                           "<USER_AUTH_RESPONSE Sessionid=\"s1\"/>")));
            return;
        }
        if (payload.find("CMD_HEARTBEAT") != std::string::npos)
            return;
        if (type == "MEDIA_DATA_MESSAGE") {
            // Text, 4 zero bytes, data.
            const std::string end = "</XML_MORVEK>";
            size_t e = payload.find(end);
            if (e == std::string::npos || c.up_type < 0)
                return;
            long start = std::atol(attr(payload, "StartPos").c_str());
            long datalen = std::atol(attr(payload, "DataLen").c_str());
            size_t data_at = e + end.size() + 4;
            if (datalen > 0) {
                if (start != static_cast<long>(c.up_data.size()) || data_at + static_cast<size_t>(datalen) != payload.size())
                    return;  // a broken chunk: no verdict, the tool's time-out shows it
                c.up_data.append(payload, data_at, static_cast<size_t>(datalen));
                return;
            }
            if (start != c.up_length || static_cast<long>(c.up_data.size()) != c.up_length)
                return;
            files_[c.up_type] = c.up_data;
            bool reject = cfg_.reject_verdict.count(c.up_type) > 0;
            c.up_type = -1;
            replies.push_back(frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", reject ? "1" : "0", "")));
            return;
        }
        size_t b = payload.find("<MESSAGE_BODY>\n");
        size_t be = payload.rfind("\n</MESSAGE_BODY>");
        Request r;
        r.type = type;
        r.code = code;
        if (b != std::string::npos && be != std::string::npos && be >= b + 15)
            r.body = payload.substr(b + 15, be - b - 15);
        requests_.push_back(r);
        if (type != "SYSTEM_CONTROL_MESSAGE")
            return;
        auto reply = [&](int flag) {
            replies.push_back(frame(answer(type, std::to_string(code), std::to_string(flag), "")));
        };
        switch (code) {
        case 1022: {
            int ft = std::atoi(attr(r.body, "FileType").c_str());
            if (cfg_.refuse_upload.count(ft)) {
                reply(-1);
                return;
            }
            c.up_type = ft;
            c.up_length = std::atol(attr(r.body, "FileLength").c_str());
            c.up_data.clear();
            reply(0);
            return;
        }
        case 1004: reply(cfg_.restore_flag); return;
        case 1006: reply(cfg_.chnmode_flag); return;
        case 3026: reply(cfg_.buzzer_flag); return;
        case 1007:
            if (cfg_.hold_reboot)
                held_.emplace_back(c.fd, frame(answer(type, "1007", std::to_string(cfg_.reboot_flag), "")));
            else
                reply(cfg_.reboot_flag);
            return;
        default:
            return;
        }
    }

    Config cfg_;
    std::atomic<bool> stop_{false};
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::mutex mu_;
    std::mutex send_mu_;
    std::vector<Conn> conns_;
    std::vector<Request> requests_;
    std::map<int, std::string> files_;
    std::vector<std::pair<int, std::string>> held_;
    std::thread thread_;
};

}  // namespace cli_test

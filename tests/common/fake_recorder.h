// The wire pieces of the fake recorders, written out independently of the link library so the
// tests share nothing with the code under test: frames (magic 58 91 58 51, little-endian
// length, payload), the long-form device answer, attribute look-up, and a control port on
// 127.0.0.1 that splits what each connection sends into frames and hands them to the fake's
// own handler. The fake recorder itself (what it answers, what it keeps) is common/fake_nvr.h.
#pragma once

#include "common/loopback.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_common {

constexpr uint32_t kFrameMagic = 0x51589158u;

inline std::string frame_header(uint32_t magic, uint32_t len)
{
    std::string f;
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((magic >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((len >> (8 * i)) & 0xFF);
    return f;
}

inline std::string frame(const std::string& payload, uint32_t magic = kFrameMagic)
{
    return frame_header(magic, static_cast<uint32_t>(payload.size())) + payload;
}

// A device answer in the long form, written out literally.
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
    p = text.find('"', p + name.size() + 1);
    if (p == std::string::npos)
        return "";
    size_t e = text.find('"', p + 1);
    return e == std::string::npos ? "" : text.substr(p + 1, e - p - 1);
}

// Sends everything, waiting out a full send buffer; false once the peer is gone.
inline bool send_all(int fd, const std::string& bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        long n = send_some(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0) {
            if (socket_busy()) {
                wait_socket(fd, true, 100);
                continue;
            }
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

// A control port on 127.0.0.1 served by a thread of its own, run ahead of the test's other
// threads where the system allows it (favour_this_thread). Connections are numbered in
// accept order from 0 and keep their number (and descriptor) after the peer closes, so a
// late send cannot reach a newer connection. Each whole frame (header included) goes to the
// handler, which runs on the port's thread with lock() held; the replies it appends are sent
// on that connection afterwards, in order, without the lock. A paused port reads nothing, so
// the kernel's buffers fill as behind a device that stopped reading.
//
// Declare a FramePort as the last member of its owner: it is then destroyed first, and its
// thread stops before the state the handler uses goes away.
class FramePort {
public:
    using Handler = std::function<void(int conn, const std::string& frame, std::vector<std::string>& replies)>;

    // rcvbuf: the receive buffer of the accepted sockets, 0 the system's.
    FramePort(int backlog, Handler handler, int rcvbuf = 0) : handler_(std::move(handler))
    {
        listen_fd_ = loopback_listener(backlog, &port_, rcvbuf);
        if (listen_fd_ < 0 || stream_pair(wake_) != 0)
            std::abort();
        thread_ = std::thread([this] { run(); });
    }

    ~FramePort()
    {
        stop_.store(true);
        char c = 1;
        (void)send_some(wake_[1], &c, 1);
        thread_.join();
        for (auto& c : conns_)
            if (c->fd >= 0)
                close_socket(c->fd);
        close_socket(listen_fd_);
        close_socket(wake_[0]);
        close_socket(wake_[1]);
    }

    FramePort(const FramePort&) = delete;
    FramePort& operator=(const FramePort&) = delete;

    uint16_t port() const { return port_; }

    // Guards the owner's state shared with the handler. The methods below take it
    // themselves: do not call them while holding it.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mu_); }

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
            n += c->ended != 0;
        return n;
    }
    // 0 open, 1 the peer closed in order, -1 the peer reset it, -2 reset() (or no such connection).
    int ended(int conn)
    {
        std::lock_guard<std::mutex> lk(mu_);
        return conn >= 0 && conn < static_cast<int>(conns_.size()) ? conns_[conn]->ended : -2;
    }
    void pause() { paused_.store(true); }
    void resume() { paused_.store(false); }
    bool paused() const { return paused_.load(); }
    // Resets the connection (linger 0); call it with lock() held, as the handler runs.
    void reset_locked(int conn)
    {
        Conn& c = *conns_[conn];
        std::lock_guard<std::mutex> lk(c.send_mu);
        reset_on_close(c.fd);
        close_socket(c.fd);
        c.fd = -1;
        c.ended = -2;
    }
    // False when there is no such connection or its peer has closed.
    bool send_to(int conn, const std::string& bytes)
    {
        std::shared_ptr<Conn> c;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (conn < 0 || conn >= static_cast<int>(conns_.size()) || conns_[conn]->ended != 0)
                return false;
            c = conns_[conn];
        }
        return c->send(bytes);
    }

private:
    struct Conn {
        int fd = -1;
        std::string inbuf;
        int ended = 0;
        std::mutex send_mu;  // replies and test sends never interleave on the wire

        bool send(const std::string& bytes)
        {
            std::lock_guard<std::mutex> lk(send_mu);
            return fd >= 0 && send_all(fd, bytes);
        }
    };

    void run()
    {
        favour_this_thread();  // a device of its own: its answers do not wait for the test's threads
        std::vector<char> buf(65536);
        while (!stop_.load()) {
            std::vector<PollFd> fds{{listen_fd_, false, false}, {wake_[0], false, false}};
            std::vector<int> idx{-1, -2};
            const bool paused = paused_.load();
            if (!paused) {
                std::lock_guard<std::mutex> lk(mu_);
                for (size_t i = 0; i < conns_.size(); ++i)
                    if (conns_[i]->ended == 0) {
                        fds.push_back({conns_[i]->fd, false, false});
                        idx.push_back(static_cast<int>(i));
                    }
            }
            if (poll_sockets(fds.data(), fds.size(), paused ? 2 : 200) <= 0)
                continue;
            for (size_t k = 0; k < fds.size(); ++k) {
                if (!fds[k].ready)
                    continue;
                if (idx[k] == -1) {
                    int fd = accept_socket(listen_fd_);
                    if (fd >= 0) {
                        auto c = std::make_shared<Conn>();
                        c->fd = fd;
                        std::lock_guard<std::mutex> lk(mu_);
                        conns_.push_back(std::move(c));
                    }
                } else if (idx[k] >= 0) {
                    read_conn(idx[k], buf);
                }
            }
        }
    }

    void read_conn(int i, std::vector<char>& buf)
    {
        std::shared_ptr<Conn> c;
        {
            std::lock_guard<std::mutex> lk(mu_);
            c = conns_[i];
        }
        long n = recv_nowait(c->fd, buf.data(), buf.size());
        if (n < 0 && socket_busy())
            return;
        std::vector<std::string> replies;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (n <= 0) {
                c->ended = n == 0 ? 1 : -1;
                return;
            }
            c->inbuf.append(buf.data(), static_cast<size_t>(n));
            while (c->ended == 0 && c->inbuf.size() >= 8) {
                uint32_t len = 0;
                for (int b = 0; b < 4; ++b)
                    len |= static_cast<uint32_t>(static_cast<unsigned char>(c->inbuf[4 + b])) << (8 * b);
                if (c->inbuf.size() < 8 + static_cast<size_t>(len))
                    break;
                std::string f = c->inbuf.substr(0, 8 + static_cast<size_t>(len));
                c->inbuf.erase(0, 8 + static_cast<size_t>(len));
                handler_(i, f, replies);
            }
        }
        for (const auto& r : replies)
            c->send(r);
    }

    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::mutex mu_;
    std::vector<std::shared_ptr<Conn>> conns_;
    std::thread thread_;
};

}  // namespace test_common

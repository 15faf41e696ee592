// Shared pieces of the link tests: event and auxiliary-data recorders, polling with a
// deadline, and a fake recorder on 127.0.0.1 (frames and answers from common/fake_recorder.h).
#pragma once

#include "link/link.h"

#include "common/fake_recorder.h"
#include "common/loopback.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace link_test {

using test_common::answer;
using test_common::frame;
using test_common::send_all;

// How the C library prints a null pointer with %p: "(nil)" with glibc, zeros with mingw.
inline std::string null_pointer_text()
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<void*>(nullptr));
    return buf;
}

inline std::string raw_header(uint32_t magic, uint32_t len) { return test_common::frame_header(magic, len); }

template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 20000)
{
    return test_common::wait_until(pred, timeout_ms);
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
        rec().events.push_back(
            {chanid, code,
             data && len > 0 ? std::string(static_cast<const char*>(data), static_cast<size_t>(len)) : std::string(),
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

// A recorder's control port on 127.0.0.1: answers logins according to its mode, and records
// every frame it received per connection.
class FakeRecorder {
public:
    enum Mode {
        kAccept,  // answers the login with flag 0 and a Sessionid
        kRefuse,  // answers the login with flag -1
        kSilent,  // never answers anything
        kWrongMagicAfterLogin,
        kOversizeAfterLogin,
    };

    explicit FakeRecorder(Mode mode = kAccept) : mode_(mode) { }

    uint16_t port() const { return port_.port(); }
    void set_mode(Mode m) { mode_.store(m); }
    void set_answer_heartbeats(bool on) { answer_heartbeats_.store(on); }

    int connections() { return port_.connections(); }
    int closed_connections() { return port_.closed_connections(); }
    int logins()
    {
        auto lk = port_.lock();
        int n = 0;
        for (const auto& c : conns_)
            n += c.logins;
        return n;
    }
    std::vector<std::string> frames(int conn)
    {
        auto lk = port_.lock();
        if (conn < 0 || conn >= static_cast<int>(conns_.size()))
            return {};
        return conns_[conn].frames;
    }
    // Frames of every connection whose payload contains the text.
    int count_frames_containing(const std::string& needle)
    {
        auto lk = port_.lock();
        int n = 0;
        for (const auto& c : conns_)
            for (const auto& f : c.frames)
                n += f.find(needle) != std::string::npos;
        return n;
    }
    bool send_to(int conn, const std::string& bytes) { return port_.send_to(conn, bytes); }

private:
    struct Conn {
        std::vector<std::string> frames;  // whole frames, header included
        int logins = 0;
    };

    // On the port's thread, under its lock.
    void on_frame(int conn, const std::string& f, std::vector<std::string>& replies)
    {
        if (conn >= static_cast<int>(conns_.size()))
            conns_.resize(static_cast<size_t>(conn) + 1);
        Conn& c = conns_[conn];
        c.frames.push_back(f);
        if (f.find("Msg_type=\"USER_AUTH_MESSAGE\"") != std::string::npos) {
            ++c.logins;
            Mode m = mode_.load();
            if (m == kAccept || m == kWrongMagicAfterLogin || m == kOversizeAfterLogin)
                replies.push_back(frame(
                    answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", "<USER_AUTH_RESPONSE Sessionid=\"abc123\"/>")));
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

    std::atomic<Mode> mode_;
    std::atomic<bool> answer_heartbeats_{true};
    std::vector<Conn> conns_;
    test_common::FramePort port_{
        256, [this](int conn, const std::string& f, std::vector<std::string>& replies) { on_frame(conn, f, replies); }};
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

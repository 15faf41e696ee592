// Shared pieces of the link tests: event and auxiliary-data recorders, polling with a
// deadline, the common fake recorder in scripted mode, a logged-in entry facing one with a
// cursor over the frames it received, and the expected request frames written out literally.
#pragma once

#include "link/context.h"
#include "link/link.h"

#include "common/fake_nvr.h"
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
using test_common::FakeNvr;
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

// The link tests answer requests themselves: the fake recorder only answers logins (as the
// mode says) and heartbeats, and keeps what it received.
inline FakeNvr::Config scripted(FakeNvr::Login login = FakeNvr::Login::kAccept)
{
    return {.login = login, .answer_requests = false};
}

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

// The long-form request text, written out so it shares nothing with the builders under test.
// A null body gives the body-less envelope; an empty one an empty line between the body tags.
inline std::string request_text(const std::string& type, const std::string& code, const char* body)
{
    std::string head = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" +
        type + "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n";
    if (!body)
        return head + "</MESSAGE_BODY>\n</XML_MORVEK>";
    return head + body + "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

inline std::string request_frame(const std::string& type, const std::string& code, const char* body)
{
    return frame(request_text(type, code, body));
}

// One recorder and the entry logged in to it. Frames are taken in arrival order; heartbeats
// are skipped.
class LinkedDevice {
public:
    explicit LinkedDevice(int chanid) : chanid_(chanid), dev_(scripted()) { }

    int chanid() const { return chanid_; }

    // Logs in (auto reconnect) and waits for event 4.
    bool login()
    {
        int before = rec().count(chanid_, IPC_EVENT_LOGIN_OK);
        IpcLoginParam p = login_param(chanid_, dev_.port());
        if (ipc_login_delay(&p) != 1)
            return false;
        if (!wait_until([&] { return rec().count(chanid_, IPC_EVENT_LOGIN_OK) > before; }))
            return false;
        // Skip what came before, the login request of this connection included.
        conn_ = dev_.connections() - 1;
        seen_ = dev_.frames(conn_).size();
        return true;
    }

    // The next frame that is not a heartbeat, or "" when none arrives in time.
    std::string next_frame()
    {
        std::string out;
        wait_until([&] {
            auto frames = dev_.frames(conn_);
            while (seen_ < frames.size()) {
                const std::string& f = frames[seen_++];
                if (f.find("CMD_HEARTBEAT") == std::string::npos) {
                    out = f;
                    return true;
                }
            }
            return false;
        });
        return out;
    }

    // Sends a device answer on the current connection.
    bool answer_with(const std::string& text) { return dev_.send_to(conn_, frame(text)); }

private:
    int chanid_;
    FakeNvr dev_;
    int conn_ = 0;
    size_t seen_ = 0;
};

}  // namespace link_test

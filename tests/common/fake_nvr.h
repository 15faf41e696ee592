// The fake recorder of the link, tool and page suites: a recorder's control port on 127.0.0.1,
// written independently of the link library (only the wire pieces of common/fake_recorder.h).
//
// What it plays, by default: it accepts every login with Sessionid "abc123", answers
// heartbeats, and answers the control requests the pages and the tool send: an upload
// announcement (1022) is accepted, the chunks that follow are taken strictly (in order, each
// whole, then a closing frame at the announced length) and earn the verdict 0, and only then;
// factory-picture restore (1004), channel-add mode (1006) and reboot (1007) are answered with
// 0, the buzzer setting (3026) with 1.
//
// How to parametrise it: a Config given at construction (C++20 designated initializers read
// well: `FakeNvr nvr({.login = FakeNvr::Login::kRefuse})`), and setters for what a test
// changes while the fake runs. Login: refuse, stay silent, answer with a wrong magic, or
// accept and then send a frame with a wrong magic or an oversized length. answer_requests
// false is the scripted mode of the link suite (and a recorder gone mute): logins and
// heartbeats are still answered, everything else is left to the test (send_to). Per file
// type, refused announcements (flag -1) and rejected verdicts (flag 1); held verdicts and
// held reboot answers go out on release_verdict() / release_reboot(); a device that stops
// reading or resets the link after so many bytes.
//
// What it keeps: every frame per connection (header included), the requests in order (type,
// code, body; logins, heartbeats and data frames are not requests), every announced upload
// with the bytes it received, logins, and the port's connections.
//
// The handler runs on the port's thread under the port's lock, and every reader below takes
// that lock, so the tests read a consistent state from their own thread.
#pragma once

#include "common/fake_recorder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace test_common {

enum class FakeLogin {
    kAccept,
    kRefuse,                // flag -1
    kSilent,                // no answer at all
    kWrongMagic,            // the acceptance, in a frame with a wrong magic
    kWrongMagicAfterLogin,  // the acceptance, then a frame with a wrong magic
    kOversizeAfterLogin,    // the acceptance, then a header announcing 4294967295 bytes
};

struct FakeNvrConfig {
    FakeLogin login = FakeLogin::kAccept;
    std::string session_id = "abc123";
    bool answer_requests = true;
    bool answer_heartbeats = true;
    std::set<int> refuse_upload{};   // file types whose announcement is refused
    std::set<int> reject_verdict{};  // file types whose data is rejected after the stream
    bool hold_verdict = false;       // keep verdicts until release_verdict()
    bool hold_reboot = false;        // keep reboot answers until release_reboot()
    int restore_flag = 0;            // answer to 1004
    int reboot_flag = 0;             // answer to 1007
    int buzzer_flag = 1;             // answer to 3026
    int chnmode_flag = 0;            // answer to 1006
    // A device that stops reading (its buffers fill) or resets the link once a connection has
    // brought it this many bytes, or stops reading right after accepting an upload; resume()
    // reads on.
    int rcvbuf = 0;  // receive buffer of its sockets, 0 the system's
    size_t pause_after = SIZE_MAX;
    size_t reset_after = SIZE_MAX;
    bool pause_on_announce = false;
};

class FakeNvr {
public:
    using Config = FakeNvrConfig;
    using Login = FakeLogin;

    struct Request {
        std::string type;
        int code = 0;
        std::string body;  // the text between the body tags
    };

    struct Upload {
        int file_type = -1;
        std::string path;
        long announced = 0;
        std::string data;       // the bytes received, in order
        bool complete = false;  // closed at the announced length, every chunk in order
    };

    explicit FakeNvr(Config cfg = {}) : cfg_(std::move(cfg)) { }

    FakeNvr(const FakeNvr&) = delete;
    FakeNvr& operator=(const FakeNvr&) = delete;

    uint16_t port() const { return port_.port(); }
    std::string target() const { return "127.0.0.1:" + std::to_string(port()); }

    // ---- behaviour while running ----
    void set_login(Login login)
    {
        with_lock([&] { cfg_.login = login; });
    }
    void set_answer_requests(bool on)
    {
        with_lock([&] { cfg_.answer_requests = on; });
    }
    void set_answer_heartbeats(bool on)
    {
        with_lock([&] { cfg_.answer_heartbeats = on; });
    }
    void set_refuse_upload(std::set<int> types)
    {
        with_lock([&] { cfg_.refuse_upload = std::move(types); });
    }
    void set_hold_verdict(bool on)
    {
        with_lock([&] { cfg_.hold_verdict = on; });
    }
    void set_reset_after(size_t bytes)
    {
        with_lock([&] { cfg_.reset_after = bytes; });
    }

    // Sends the oldest held verdict with this flag; false when none is held or its link is gone.
    bool release_verdict(int flag)
    {
        int conn;
        {
            auto lk = port_.lock();
            if (held_verdicts_.empty())
                return false;
            conn = held_verdicts_.front();
            held_verdicts_.erase(held_verdicts_.begin());
        }
        return port_.send_to(conn, frame(answer("SYSTEM_CONTROL_MESSAGE", "1022", std::to_string(flag), "")));
    }
    // Sends the held reboot answers and answers later reboots at once.
    void release_reboot()
    {
        std::vector<std::pair<int, std::string>> out;
        {
            auto lk = port_.lock();
            cfg_.hold_reboot = false;
            out.swap(held_reboots_);
        }
        for (auto& [conn, bytes] : out)
            port_.send_to(conn, bytes);
    }
    // Bytes to one connection (numbered from 0 in accept order), e.g. a scripted answer.
    bool send_to(int conn, const std::string& bytes) { return port_.send_to(conn, bytes); }

    // ---- what it received ----
    std::vector<Request> requests()
    {
        auto lk = port_.lock();
        return requests_;
    }
    bool has_request(int code)
    {
        for (const auto& r : requests())
            if (r.code == code)
                return true;
        return false;
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
    std::vector<Upload> uploads()
    {
        auto lk = port_.lock();
        return uploads_;
    }
    // The bytes of the last complete upload of this file type, or "".
    std::string received(int file_type)
    {
        auto lk = port_.lock();
        for (auto it = uploads_.rbegin(); it != uploads_.rend(); ++it)
            if (it->file_type == file_type && it->complete)
                return it->data;
        return "";
    }
    std::vector<std::string> frames(int conn)
    {
        auto lk = port_.lock();
        if (conn < 0 || conn >= static_cast<int>(conns_.size()))
            return {};
        return conns_[conn].frames;
    }
    // Frames of every connection that contain the text.
    int count_frames_containing(const std::string& needle)
    {
        auto lk = port_.lock();
        int n = 0;
        for (const auto& c : conns_)
            for (const auto& f : c.frames)
                n += f.find(needle) != std::string::npos;
        return n;
    }
    int logins()
    {
        auto lk = port_.lock();
        int n = 0;
        for (const auto& c : conns_)
            n += c.logins;
        return n;
    }
    // Frames whose magic is wrong.
    int bad_frames()
    {
        auto lk = port_.lock();
        return bad_frames_;
    }
    bool paused() const { return port_.paused(); }
    void resume() { port_.resume(); }
    // 0 open, 1 the link closed it in order, -1 the link reset it, -2 we reset it.
    int ended(int conn) { return port_.ended(conn); }
    int connections() { return port_.connections(); }
    int closed_connections() { return port_.closed_connections(); }
    int open_connections() { return port_.connections() - port_.closed_connections(); }

private:
    static constexpr uint32_t kWrongMagic = 0x51589159u;

    struct Conn {
        std::vector<std::string> frames;
        int logins = 0;
        size_t bytes = 0;
        int upload = -1;       // index into uploads_ of the upload in progress
        bool refused = false;  // its announcement was refused: no verdict
        bool spoiled = false;  // a chunk came out of order or not whole: no verdict
    };

    template <class F>
    void with_lock(F f)
    {
        auto lk = port_.lock();
        f();
    }

    // On the port's thread, under its lock.
    void on_frame(int conn, const std::string& f, std::vector<std::string>& replies)
    {
        if (conn >= static_cast<int>(conns_.size()))
            conns_.resize(static_cast<size_t>(conn) + 1);
        Conn& c = conns_[conn];
        c.frames.push_back(f);
        bad_frames_ += f.compare(0, 4, frame_header(kFrameMagic, 0), 0, 4) != 0;
        c.bytes += f.size();
        if (c.bytes >= cfg_.reset_after) {
            port_.reset_locked(conn);
            return;
        }
        if (c.bytes >= cfg_.pause_after) {
            cfg_.pause_after = SIZE_MAX;
            port_.pause();
        }
        const std::string payload = f.substr(8);
        const std::string type = attr(payload, "Msg_type");
        if (type == "USER_AUTH_MESSAGE") {
            ++c.logins;
            on_login(replies);
            return;
        }
        if (type == "MEDIA_DATA_MESSAGE") {
            on_chunk(conn, c, payload, replies);
            return;
        }
        if (payload.find("CMD_HEARTBEAT") != std::string::npos) {
            if (cfg_.answer_heartbeats)
                replies.push_back(frame(answer("MVK_HEARTBEAT_MESSAGE", "CMD_HEARTBEAT", "0", "")));
            return;
        }
        Request r;
        r.type = type;
        r.code = std::atoi(attr(payload, "Msg_code").c_str());
        size_t b = payload.find("<MESSAGE_BODY>\n");
        size_t be = payload.rfind("\n</MESSAGE_BODY>");
        if (b != std::string::npos && be != std::string::npos && be >= b + 15)
            r.body = payload.substr(b + 15, be - b - 15);
        requests_.push_back(r);
        if (type == "SYSTEM_CONTROL_MESSAGE")
            on_control(conn, c, r, replies);
    }

    void on_login(std::vector<std::string>& replies)
    {
        const std::string accept = answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0",
                                          "<USER_AUTH_RESPONSE Sessionid=\"" + cfg_.session_id + "\"/>");
        switch (cfg_.login) {
        case Login::kAccept: replies.push_back(frame(accept)); return;
        case Login::kRefuse: replies.push_back(frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "-1", ""))); return;
        case Login::kSilent: return;
        case Login::kWrongMagic: replies.push_back(frame(accept, kWrongMagic)); return;
        case Login::kWrongMagicAfterLogin:
            replies.push_back(frame(accept));
            replies.push_back(frame(answer("SYSTEM_CONTROL_MESSAGE", "1007", "0", ""), kWrongMagic));
            return;
        case Login::kOversizeAfterLogin:
            replies.push_back(frame(accept));
            replies.push_back(frame_header(kFrameMagic, 0xFFFFFFFFu) + "<?xml");
            return;
        }
    }

    void on_control(int conn, Conn& c, const Request& r, std::vector<std::string>& replies)
    {
        if (r.code == 1022) {
            Upload up;
            up.file_type = std::atoi(attr(r.body, "FileType").c_str());
            up.path = attr(r.body, "FilePath");
            up.announced = std::atol(attr(r.body, "FileLength").c_str());
            uploads_.push_back(up);
            // A refused upload stays current without a verdict, so data sent after the
            // refusal still shows.
            c.upload = static_cast<int>(uploads_.size()) - 1;
            c.refused = cfg_.refuse_upload.count(up.file_type) > 0;
            c.spoiled = false;
        }
        if (!cfg_.answer_requests)
            return;
        auto reply = [&](int flag) {
            replies.push_back(frame(answer(r.type, std::to_string(r.code), std::to_string(flag), "")));
        };
        switch (r.code) {
        case 1022:
            reply(c.refused ? -1 : 0);
            if (cfg_.pause_on_announce)
                port_.pause();
            return;
        case 1004: reply(cfg_.restore_flag); return;
        case 1006: reply(cfg_.chnmode_flag); return;
        case 3026: reply(cfg_.buzzer_flag); return;
        case 1007:
            if (cfg_.hold_reboot)
                held_reboots_.emplace_back(conn, frame(answer(r.type, "1007", std::to_string(cfg_.reboot_flag), "")));
            else
                reply(cfg_.reboot_flag);
            return;
        default: return;
        }
    }

    // Text, 4 zero bytes, data. A chunk out of order or not whole spoils the upload: the
    // closing frame then earns no verdict, and the sender's time-out shows it.
    void on_chunk(int conn, Conn& c, const std::string& payload, std::vector<std::string>& replies)
    {
        if (c.upload < 0)
            return;
        Upload& up = uploads_[c.upload];
        const std::string end = "</XML_MORVEK>";
        size_t e = payload.find(end);
        if (e == std::string::npos) {
            c.spoiled = true;
            return;
        }
        const std::string text = payload.substr(0, e);
        long start = std::atol(attr(text, "StartPos").c_str());
        long datalen = std::atol(attr(text, "DataLen").c_str());
        size_t data_at = e + end.size() + 4;
        if (datalen > 0) {
            if (start != static_cast<long>(up.data.size()) || data_at + static_cast<size_t>(datalen) != payload.size())
                c.spoiled = true;
            else
                up.data.append(payload, data_at, static_cast<size_t>(datalen));
            return;
        }
        c.upload = -1;
        if (c.refused || c.spoiled || start != up.announced || static_cast<long>(up.data.size()) != up.announced)
            return;
        up.complete = true;
        if (!cfg_.answer_requests)
            return;
        if (cfg_.hold_verdict)
            held_verdicts_.push_back(conn);
        else
            replies.push_back(frame(
                answer("SYSTEM_CONTROL_MESSAGE", "1022", cfg_.reject_verdict.count(up.file_type) ? "1" : "0", "")));
    }

    Config cfg_;
    std::vector<Conn> conns_;
    std::vector<Request> requests_;
    std::vector<Upload> uploads_;
    std::vector<int> held_verdicts_;
    std::vector<std::pair<int, std::string>> held_reboots_;  // connection, answer
    int bad_frames_ = 0;
    FramePort port_{256, [this](int conn, const std::string& f, std::vector<std::string>& r) { on_frame(conn, f, r); },
                    cfg_.rcvbuf};
};

}  // namespace test_common

// A recorder's control port on 127.0.0.1 for dravlinctl's tests: answers the login, takes
// uploads (announcement, chunks, closing frame, verdict), answers restore, reboot, buzzer and
// channel-mode requests, and records every request it received in order, with the bytes of
// every upload per file type. Written independently of the link library.
#pragma once

#include "common/fake_recorder.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace cli_test {

using test_common::answer;
using test_common::attr;
using test_common::frame;

struct Request {
    std::string type;
    int code = 0;
    std::string body;  // the text between the body tags
};

// What the recorder answers; change before the tool connects.
struct FakeNvrConfig {
    bool refuse_login = false;
    enum LoginAnswer { kAnswer, kSilent, kWrongMagic } login_answer = kAnswer;
    std::set<int> refuse_upload;   // file types whose announcement is refused
    std::set<int> reject_verdict;  // file types whose data is rejected after the stream
    int restore_flag = 0;          // answer to 1004
    int reboot_flag = 0;           // answer to 1007
    int buzzer_flag = 1;           // answer to 3026
    int chnmode_flag = 0;          // answer to 1006
    bool hold_reboot = false;      // answer 1007 only after release_reboot()
};

class FakeNvr {
public:
    using Config = FakeNvrConfig;

    explicit FakeNvr(Config cfg = {}) : cfg_(cfg) { }

    uint16_t port() const { return port_.port(); }
    std::string target() const { return "127.0.0.1:" + std::to_string(port()); }

    std::vector<Request> requests()
    {
        auto lk = port_.lock();
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
        auto lk = port_.lock();
        auto it = files_.find(filetype);
        return it == files_.end() ? std::string() : it->second;
    }
    int connections() { return port_.connections(); }
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
            auto lk = port_.lock();
            cfg_.hold_reboot = false;
            out.swap(held_);
        }
        for (auto& [conn, bytes] : out)
            port_.send_to(conn, bytes);
    }

private:
    // Upload in progress on a connection.
    struct Upload {
        int type = -1;
        long length = 0;
        std::string data;
    };

    // On the port's thread, under its lock.
    void handle(int conn, const std::string& f, std::vector<std::string>& replies)
    {
        const std::string payload = f.substr(8);
        Upload& up = uploads_[conn];
        std::string type = attr(payload, "Msg_type");
        int code = std::atoi(attr(payload, "Msg_code").c_str());
        if (type == "USER_AUTH_MESSAGE") {
            if (cfg_.login_answer == Config::kSilent)
                return;
            if (cfg_.login_answer == Config::kWrongMagic) {
                std::string bad = frame(answer("USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", ""));
                bad[0] = static_cast<char>(bad[0] ^ 0x5A);
                replies.push_back(bad);
                return;
            }
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
            if (e == std::string::npos || up.type < 0)
                return;
            long start = std::atol(attr(payload, "StartPos").c_str());
            long datalen = std::atol(attr(payload, "DataLen").c_str());
            size_t data_at = e + end.size() + 4;
            if (datalen > 0) {
                if (start != static_cast<long>(up.data.size()) ||
                    data_at + static_cast<size_t>(datalen) != payload.size())
                    return;  // a broken chunk: no verdict, the tool's time-out shows it
                up.data.append(payload, data_at, static_cast<size_t>(datalen));
                return;
            }
            if (start != up.length || static_cast<long>(up.data.size()) != up.length)
                return;
            files_[up.type] = up.data;
            bool reject = cfg_.reject_verdict.count(up.type) > 0;
            up.type = -1;
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
            up.type = ft;
            up.length = std::atol(attr(r.body, "FileLength").c_str());
            up.data.clear();
            reply(0);
            return;
        }
        case 1004: reply(cfg_.restore_flag); return;
        case 1006: reply(cfg_.chnmode_flag); return;
        case 3026: reply(cfg_.buzzer_flag); return;
        case 1007:
            if (cfg_.hold_reboot)
                held_.emplace_back(conn, frame(answer(type, "1007", std::to_string(cfg_.reboot_flag), "")));
            else
                reply(cfg_.reboot_flag);
            return;
        default: return;
        }
    }

    Config cfg_;
    std::map<int, Upload> uploads_;  // by connection
    std::vector<Request> requests_;
    std::map<int, std::string> files_;
    std::vector<std::pair<int, std::string>> held_;  // connection, answer
    test_common::FramePort port_{
        64, [this](int conn, const std::string& f, std::vector<std::string>& replies) { handle(conn, f, replies); }};
};

}  // namespace cli_test

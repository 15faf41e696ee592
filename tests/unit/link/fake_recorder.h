// A logged-in link entry facing a fake recorder on 127.0.0.1, with a cursor over the frames the
// recorder received, and the expected request frames written out literally.
#pragma once

#include "link/context.h"
#include "link/link.h"

#include "link_harness.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace link_test {

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
    explicit LinkedDevice(int chanid) : chanid_(chanid), dev_(std::make_unique<FakeRecorder>()) { }

    int chanid() const { return chanid_; }
    FakeRecorder& recorder() { return *dev_; }

    // Logs in (auto reconnect) and waits for event 4.
    bool login()
    {
        int before = rec().count(chanid_, IPC_EVENT_LOGIN_OK);
        IpcLoginParam p = login_param(chanid_, dev_->port());
        if (ipc_login_delay(&p) != 1)
            return false;
        if (!wait_until([&] { return rec().count(chanid_, IPC_EVENT_LOGIN_OK) > before; }))
            return false;
        // Skip what came before, the login request of this connection included.
        conn_ = dev_->connections() - 1;
        seen_ = dev_->frames(conn_).size();
        return true;
    }

    // The next frame that is not a heartbeat, or "" when none arrives in time.
    std::string next_frame()
    {
        std::string out;
        wait_until([&] {
            auto frames = dev_->frames(conn_);
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
    bool answer_with(const std::string& text) { return dev_->send_to(conn_, frame(text)); }

private:
    int chanid_;
    std::unique_ptr<FakeRecorder> dev_;
    int conn_ = 0;
    size_t seen_ = 0;
};

}  // namespace link_test

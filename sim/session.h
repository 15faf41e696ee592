// One control-link connection of a simulated recorder, without sockets: bytes from the console
// go in, the recorder's answers come out, and what happened is noted in the device's record.
// The fleet's event loop owns the socket; tests and the fuzz target feed bytes directly.
#pragma once

#include "sim/device.h"
#include "sim/wire.h"
#include "util/digest.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct LinkOptions {
    std::string store_dir;               // uploads are written to DIR/<serial>/type<N>.bin when set
    int download_chunk = 1024;           // data bytes per download chunk
    int talk_port = 9000;                // RTPRecvPort of a talk start answer
    bool reboot_after_firmware = false;  // a firmware image taken whole and accepted reboots the recorder
};

// Kinds of broken frames the control interface can have a device send.
enum class BadFrame { Magic, Truncated, HugeLength, Xml };

class Session {
public:
    Session(Device& dev, const LinkOptions& opt, uint64_t serial_number);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Room to receive into (at least 64 KiB), then commit(n) handles what arrived.
    unsigned char* input_space(size_t* room);
    void commit(size_t n);
    // Copies bytes in and handles them (tests, fuzzing).
    void feed(const void* data, size_t n);

    // Bytes waiting to go out; consumed(n) drops the first n of them.
    std::string_view output() const { return std::string_view(out_).substr(out_off_); }
    void consumed(size_t n);

    // The peer went away (or the fleet drops the link): an unfinished upload counts as failed.
    void closed();

    bool logged_in() const { return logged_in_; }
    const std::string& session_id() const { return session_id_; }
    bool close_now() const { return close_now_; }                  // drop without flushing
    bool close_after_flush() const { return close_after_flush_; }  // drop once output is out
    bool reboot_requested() const { return reboot_; }
    bool upload_active() const { return up_.active; }
    int64_t upload_received() const { return up_.received; }
    int64_t upload_length() const { return up_.length; }

    // Unsolicited messages (control interface). Not sent before the login.
    void send_alarm(int items);
    void send_heartbeat(bool mvk);
    void send_unknown();
    void send_bad(BadFrame kind);
    void send_text(const std::string& text);  // a whole envelope of the caller's

private:
    struct Upload {
        bool active = false;
        bool draining = false;  // failed: the rest of its chunks are skipped silently
        int type = 0;
        std::string name;
        int64_t length = 0;
        int64_t received = 0;
        Md5Context md5{};
        FILE* file = nullptr;
        std::string path;
        bool keep = false;  // configuration files are kept for later downloads
        std::string bytes;
    };

    // Requests a session notes at most (per device), and the same for page turns.
    static constexpr size_t kKeepRequests = 2000;

    // session.cpp: frames, the login, what goes out
    void handle(const unsigned char* payload, size_t len);
    void handle_login(const Message& m);
    void after_login_faults();
    void answer(std::string_view type, std::string_view code, int flag, std::string_view body);
    void emit(std::string bytes);
    void error(const std::string& what);
    void note_text(std::string_view text);
    // session_requests.cpp
    void handle_request(const Message& m, bool numeric, long code);
    void handle_talk(const Message& m);
    void handle_control(const Message& m, long code);
    void handle_nvr(const Message& m, long code);
    // session_transfer.cpp
    void handle_media(const Message& m);
    void handle_chunk(const Message& m);
    void handle_download(const Message& m);
    void start_upload(const Message& m);
    void end_upload(bool ok, const std::string& why);
    std::string config_xml() const;

    Device& dev_;
    const LinkOptions& opt_;
    std::vector<unsigned char> in_;
    size_t in_start_ = 0, in_end_ = 0;
    std::string out_;
    size_t out_off_ = 0;
    bool logged_in_ = false;
    bool dead_ = false;  // a fatal input error: the rest is ignored
    bool close_now_ = false;
    bool close_after_flush_ = false;
    bool reboot_ = false;
    std::string session_id_;
    Upload up_;
    int64_t last_total_ = -1;  // length of the latest finished upload (its closing frames repeat)
};

int64_t wall_now_ms();

}  // namespace sim

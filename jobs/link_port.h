// What a job needs of the device link, as one small interface: start and end a recorder's
// link, and the requests of the maintenance sequences. The fleet's port calls the link library;
// tests substitute a fake that records the calls. Only code in jobs/ calls the upload, restore,
// reboot, buzzer, channel-mode and
// disk-format requests.
#pragma once

#include "discovery/search.h"
#include "proto/frame.h"

#include <cstdint>
#include <string>

namespace jobs {

// One recorder to log in to.
struct Target {
    std::string address;  // dotted IPv4 address
    uint16_t port = kDefaultControlPort;
    std::string user, password;
};

// What a login needs of a search answer: its address, its control port (the stream access'
// PTZ port) and its first account. Every front turns a found recorder into a target here.
Target target_of(const IPCSearchInfo& info);

// Not link events: what the runner's own port queues beside them.
// The entry can take a new login (its link thread has ended and its events are dropped).
constexpr int kEventChannelFree = -100;
// Auxiliary data of a link whose job asked for it (aux_kind, aux_code, aux_flag, text).
constexpr int kEventAuxData = -101;
// Nothing happened on a link: the owner is woken to look at its own state (a stop asked for).
constexpr int kEventWake = -102;

// One link event as a job sees it.
struct LinkEvent {
    int chanid = -1;
    int code = 0;
    bool has_value = false;  // a 32-bit value (progress, verdicts, answers' flags)
    int32_t value = 0;
    std::string text;  // text events (talk, PTZ, download results); the body of aux data
    // Events 2 and 5: why the login failed (IpcLoginProblem), read from the link while the
    // event was being reported; IPC_LOGIN_PROBLEM_NONE for a loss after a login.
    int login_problem = 0;
    int aux_kind = -1;     // kEventAuxData: the callback's kind, the message type, the answer's code
    std::string aux_type;  // and flag
    int aux_code = 0;
    int aux_flag = 0;
};

// The one reading of an event callback's arguments: value events carry a 32-bit value, text
// events their text, events 2 and 5 the entry's login problem. Call it inside the callback
// (the login problem is the entry's of that moment).
LinkEvent decode_event(int chanid, int code, const void* data, int len);

class LinkPort {
public:
    virtual ~LinkPort() = default;
    // Starts the recorder's link on chanid (auto reconnect); true when its thread runs.
    virtual bool login(int chanid, const Target& target) = 0;
    // Ends the link of chanid; may return before the link thread has ended. abort: the work
    // was given up on, so the connection is reset at once instead of letting queued bytes
    // reach a device that may have stopped reading.
    virtual void logout(int chanid, bool abort = false) = 0;

    // The link library's requests, with its results (link/transfer.h, link/requests.h).
    virtual int upload_file(int chanid, int filetype, const char* path) = 0;
    virtual int upload_resource(int chanid, const void* data, int length) = 0;
    virtual int upload_firmware(int chanid, const char* path) = 0;
    virtual int restore_picture(int chanid, int filetype) = 0;
    virtual int set_channel_add_mode(int chanid, int ctrl_enable, int mode) = 0;
    virtual int set_buzzer(int chanid, int enable) = 0;
    virtual int reboot(int chanid) = 0;
    // disk: 0 sd1, 1 sd2, 2 usb. Everything on that disk is lost.
    virtual int format_disk(int chanid, int disk) = 0;
};

// The port straight onto the link library; the owner's callbacks receive the link events.
class DirectLinkPort : public LinkPort {
public:
    using EventCallback = int (*)(int chanid, int code, const void* data, int len);
    using AuxCallback = int (*)(int chanid, int kind, const void* data, int len, const void* info);
    // Every login of this port registers these callbacks and this user pointer.
    DirectLinkPort(EventCallback evcb, AuxCallback auxcb, void* userdata)
        : evcb_(evcb), auxcb_(auxcb), userdata_(userdata)
    { }

    bool login(int chanid, const Target& target) override;
    void logout(int chanid, bool abort = false) override;
    int upload_file(int chanid, int filetype, const char* path) override;
    int upload_resource(int chanid, const void* data, int length) override;
    int upload_firmware(int chanid, const char* path) override;
    int restore_picture(int chanid, int filetype) override;
    int set_channel_add_mode(int chanid, int ctrl_enable, int mode) override;
    int set_buzzer(int chanid, int enable) override;
    int reboot(int chanid) override;
    int format_disk(int chanid, int disk) override;

private:
    EventCallback evcb_;
    AuxCallback auxcb_;
    void* userdata_;
};

}  // namespace jobs

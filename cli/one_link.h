// One recorder on link slot 0, for the commands that hold a conversation with it (channels,
// config): choosing it (one --serial after a LAN search, or one --target), the login within the
// 15 s window, the link's callbacks handed on to the command, and the logout. Also the device
// text conversion these commands print with.
#pragma once

#include "cli/fleet.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace dravlinctl {

// "" when o names exactly one recorder (one --serial, or one --target with its account).
std::string check_one_recorder(FleetOptions& o);

// Device texts are GB2312/GBK bytes; shown as UTF-8, a byte that does not convert as U+FFFD.
std::string device_text(std::string_view gbk);

class OneLink {
public:
    // Both run on the link thread, for slot 0 only; the aux handler gets the link's arguments.
    using EventHandler = std::function<void(int code)>;
    using AuxHandler = std::function<void(int kind, const void* data, int len, const void* info)>;

    OneLink(EventHandler on_event, AuxHandler on_aux);
    ~OneLink();  // close()
    OneLink(const OneLink&) = delete;
    OneLink& operator=(const OneLink&) = delete;

    // Chooses the recorder and logs in. kExitOk once it accepted the login; kExitFailed after
    // a line on standard error (not found, refused, not logged in within 15 s).
    int open(const char* command, const FleetOptions& o);
    // True once the link dropped after the login (the work under way is lost).
    bool lost() const;
    const Recorder& recorder() const { return rec_; }
    // Logs out, letting queued requests go out first. No callback runs afterwards.
    void close();

    static int event_cb(int chanid, int code, const void* data, int len);
    static int aux_cb(int chanid, int kind, const void* data, int len, const void* info);

private:
    EventHandler on_event_;
    AuxHandler on_aux_;
    Recorder rec_;
    bool started_ = false;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool logged_in_ = false, refused_ = false, lost_ = false;
    int last_problem_ = 0;  // the IpcLoginProblem of the last failed attempt
};

}  // namespace dravlinctl

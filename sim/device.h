// One virtual recorder of the simulated fleet: what it says about itself in a search answer,
// which faults it shows, and what it has received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Ways a device's search answer can be wrong (for the search's drop paths).
enum class AnswerFault {
    None,
    Silent,         // never answers
    MissingSerial,  // no IPC_SERIALNUMBER element
    EmptySerial,    // SerialNumber=""
    MissingType,    // no DEVICE_TYPE element
    NoTypeAttr,     // DEVICE_TYPE without DeviceType
    MissingLan,     // no LANConfig
    MissingStream,  // no MediaStreamConfig
    MissingUser,    // no UserConfig
    WrongCode,      // Msg_code 4 instead of 3
    Nvs,            // device type of a video server (NVS)
    Dvs,            // device type of a video server (DVS)
    Oversized,      // padded beyond 8192 bytes
    Truncated,      // only the first part of the datagram
    NoBody,         // elements directly under the root (valid)
    LongFields,     // every text longer than its field on the console (valid, cut there)
    Garbage,        // not XML at all
};

const char* fault_name(AnswerFault f);
// false for an unknown name.
bool fault_from_name(const std::string& name, AnswerFault* out);
std::string fault_names();  // "silent, missing-serial, ..." for help texts

struct Account {
    std::string user;
    std::string password;
    std::string group;
    std::string status;
};

struct LanConfig {
    std::string mac;
    int dhcp = 0;
    std::string ip;
    std::string netmask;
    std::string gateway;
    std::string dns1;
    std::string dns2;
};

// A datagram addressed to this device (by serial number) or taken by it.
struct Received {
    int code = 0;
    int64_t wall_ms = 0;
    std::string body;  // the raw datagram text
};

struct Device {
    int index = 0;
    std::string serial;
    std::string type;
    LanConfig lan;
    LanConfig lan_initial;  // what a restore (code 5) goes back to
    int auth = 0;
    int video_port = 554;
    int rtp_over_rtsp = 0;
    int ptz_port = 8091;
    int web_port = 80;
    std::vector<Account> accounts;
    AnswerFault fault = AnswerFault::None;
    uint32_t addr = 0;  // the device's own address (host order), source of its answers

    // What happened to it.
    uint64_t answers_sent = 0;
    uint64_t clock_datagrams = 0;
    std::string last_time;  // Time value of the last clock datagram
    uint64_t network_changes = 0;
    uint64_t restores = 0;
    std::vector<Received> received;  // codes 2 and 5 meant for this device
};

}  // namespace sim

// One virtual recorder of the simulated fleet: what it says about itself in a search answer,
// which faults it shows, and what it has received.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
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

// Ways a device misbehaves on its control link (port 8091), and two ways it treats requests
// badly. A device may have several.
enum class LinkFault : int {
    RefuseLogin,       // login answered with Msg_flag -1
    NoAnswer,          // accepts the connection, reads, never answers anything
    BadMagic,          // right after the login answer a frame with a wrong magic
    Truncated,         // right after the login answer half a frame, then the connection closes
    HugeLength,        // right after the login answer a header announcing 0xFFFFFFFF bytes
    BadXml,            // right after the login answer a frame whose XML does not parse
    CloseAfterLogin,   // closes the connection right after the login answer
    SilentAfterLogin,  // answers the login, then nothing more
    CloseMidUpload,    // closes the connection once half of an upload has arrived
    SlowRead,          // reads at about 256 KiB/s
    RefuseUpload,      // answers an upload announcement with Msg_flag -1
    RejectVerdict,     // takes the data, then answers the upload with Msg_flag -1
    BadDownloadPos,    // a download chunk carries a wrong StartPos
    TalkBusy,          // talk start answered with Msg_flag -1
    TalkParam,         // ... -2
    TalkDisabled,      // ... -3
    RefuseControl,     // every other request answered with Msg_flag -1
    // Not on the link, but switched the same way:
    IgnoreNetwork,  // takes no network change or restore addressed to it: answers the search as before
    RefuseFormat,   // answers a disk format with Msg_flag -1 (no such disk, or it is busy)
    Count
};

const char* link_fault_name(LinkFault f);
bool link_fault_from_name(const std::string& name, LinkFault* out);
std::string link_fault_names();

// A file the device received over its control link.
struct StoredFile {
    std::string name;     // FilePath of the announcement
    int64_t length = 0;   // FileLength announced
    int64_t size = 0;     // bytes received
    std::string md5;      // lower-case hex of the received bytes
    std::string path;     // where the bytes were written (--store), or empty
    int64_t wall_ms = 0;  // when it was complete
};

// What happened on a device's control link.
struct LinkStats {
    uint64_t connections = 0;
    uint64_t logins_accepted = 0;
    uint64_t logins_refused = 0;
    std::string last_user;
    uint64_t heartbeats = 0;  // heartbeats received
    uint64_t frames_in = 0;
    uint64_t bad_frames = 0;            // unparsable or refused frames from the console
    std::vector<std::string> requests;  // "TYPE CODE" of every message after the login, in order (bounded)
    std::deque<std::string> texts;      // the latest message texts received, oldest first
    std::map<int, StoredFile> files;    // by FileType, the latest complete upload of each
    uint64_t uploads_announced = 0;
    uint64_t uploads_refused = 0;
    uint64_t uploads_completed = 0;
    uint64_t uploads_failed = 0;
    uint64_t upload_bytes = 0;
    uint64_t reboots = 0;  // reboot requests answered
    bool rebooting = false;
    std::vector<int> restores;         // FileType of every factory-picture restore (1004)
    int buzzer = -1;                   // last CtrlBuzzerEnable (3026)
    int chn_ctrl = -1, chn_mode = -1;  // last CrtlEnable / ChnAddCfg (1006)
    std::string userdata;              // last UserDevData (1033), hex as received
    std::vector<std::string> formats;  // DevName of every format request (1017)
    uint64_t iframes = 0;              // 1032
    std::vector<std::string> ptz;      // cmd of every PTZ request
    uint64_t talk_starts = 0, talk_stops = 0, audio_frames = 0, audio_bytes = 0;
    std::vector<std::string> replays;  // FileName of every replay request
    std::vector<std::string> removed;  // FileName of every remove request (1024)
    uint64_t downloads = 0;            // downloads served
    uint64_t config_gets = 0, config_sets = 0;
    uint64_t unsolicited = 0;                         // messages sent on request of the control interface
    uint64_t nvr_searches = 0, nvr_search_stops = 0;  // 3801 / 3802
    bool nvr_searching = false;
    uint64_t chan_refused = 0;        // channel requests answered with flag 1
    int picnum = -1;                  // last PicNum (3807)
    std::vector<int> page_turns;      // PrevOrNext of every page turn (3808)
    std::vector<std::string> errors;  // protocol errors the device noticed (bounded)
};

// One channel of a recorder's IP-camera table (free when not used).
struct Channel {
    bool used = false;
    int protocol = 0;  // 0 MVK, 1 ONVIF
    std::string ip;
    int port = 0;
    std::string user;
    std::string password;
};

// A camera on the recorder's own network, as the recorder's camera search reports it.
struct Camera {
    int protocol = 0;  // 0 MVK, 1 ONVIF
    std::string ip;
    int port = 0;
    std::string user;
    std::string password;
    std::string sn;
    std::string osd;
};

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

// What a recorder answers to configuration gets besides its network settings (sim/config_docs.h):
// its defaults, changed per recorder by a fleet file.
struct ConfigDocs {
    std::string vendor = "DRAVLIN-SIM";
    std::string resolution = "1080P";   // the main stream's
    std::map<int, std::string> bodies;  // by code: a whole body of the user's, answered as it is
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
    uint32_t link_faults = 0;  // bit (1 << LinkFault) per fault
    uint32_t addr = 0;         // the device's own address (host order), source of its answers
    // Plugged in. A recorder that is not (before its online_after, after "plug DEV out") answers
    // no search, listens on no port and ignores every datagram, as one without power would.
    bool plugged = true;
    int64_t online_after_ms = 0;  // plugged in this long after the fleet opened

    bool has(LinkFault f) const { return (link_faults >> static_cast<int>(f)) & 1u; }
    void set(LinkFault f, bool on)
    {
        uint32_t bit = 1u << static_cast<int>(f);
        link_faults = on ? (link_faults | bit) : (link_faults & ~bit);
    }
    // Reachable now: plugged in and not away for a reboot.
    bool online() const { return plugged && !link.rebooting; }

    // What happened to it.
    uint64_t answers_sent = 0;
    uint64_t clock_datagrams = 0;
    std::string last_time;  // Time value of the last clock datagram
    uint64_t network_changes = 0;
    uint64_t restores = 0;
    std::vector<Received> received;  // codes 2 and 5 meant for this device
    LinkStats link;
    std::vector<Channel> channels;  // a recorder's channel table; empty for a camera
    bool channel_table = false;     // it answers the channel requests (an NVR, maybe of 0 channels)
    std::vector<Camera> cameras;    // what its camera search finds
    ConfigDocs docs;
    std::string config_xml;  // what a download of /mnt/nand/config.xml returns (empty: generated)
};

}  // namespace sim

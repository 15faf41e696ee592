// NVR channel-table records and the two parsers for the NVR's replies: its channel table
// (ChannelInfo elements) and the cameras its own search found (IPCINFO elements).
//
// Text fields are NUL-padded and may fill their whole width without a terminator; read them
// with fixed_view (util/fixedstr.h).
#pragma once

#include <cstdint>

// Protocol codes of a channel or camera, written "MVK" and "ONVIF" in XML.
constexpr int32_t kNvrProtocolMVK = 0;
constexpr int32_t kNvrProtocolONVIF = 1;

// Both lists hold at most this many entries; further elements of a reply are ignored.
constexpr int kNvrMaxListEntries = 96;

// "ONVIF" for a nonzero code, else "MVK".
const char* nvr_protocol_text(int32_t protocol);
// 0 for exactly "MVK", 1 for exactly "ONVIF", -1 for anything else.
int nvr_protocol_code(const char* text);

// One channel to set (input of nvr_chan_add).
struct ChannelParam {
    int32_t ChannelId;  // 0-based channel index on the NVR
    int32_t Protocol;
    int32_t CtrlPort;
    char IpAddr[16];
    char Username[32];
    char Password[128];
};

// One row of the NVR's channel table as replied.
struct ChannelEntry {
    int32_t ChannelId;
    int32_t Protocol;
    int32_t Status;
    char IpAddr[16];
    char ChannnelName[256];  // the device spells the attribute with three n's
};

struct ChannelList {
    ChannelEntry entries[kNvrMaxListEntries];
    int32_t nChanCnt;
};

// One camera that the NVR found on its network.
struct IpcRecord {
    int32_t Protocol;
    char IpAddr[16];
    char Username[32];
    char Password[32];
    int32_t CtrlPort;
    char SN[64];
    char OsdName[256];
};

struct IpcList {
    IpcRecord entries[kNvrMaxListEntries];
    int32_t nIpcCnt;
};

// Both parsers clear the list, then read the reply body element (from "<MESSAGE_BODY>" to
// "</MESSAGE_BODY>"; the root's name is not compared) and fill one entry per wanted child
// element of the root, in order. 0; -4 unparsable (or no text); -2 no root or no wanted element.
int GetChannellist(const char* text, ChannelList& list);
int GetSearchIpc(const char* text, IpcList& list);

// Requests that change a found device's network settings or restore its configuration. They
// travel as search-protocol broadcasts (code 2 and 5); the serial number in the body says
// which device is meant. No answer comes back.
#pragma once

#include "discovery/search.h"

constexpr int kLanBodySize = 1500;  // MakeNetworkLANCfgXml's buffer
constexpr int kRestoreBodySize = 1024;
constexpr int kStreamBodyMin = 1500;
constexpr int kUserBodyMin = 5000;

// Bodies: each piece is bounded by the room left (one byte kept for the terminator), so an
// overlong value cuts the body short instead of overrunning the buffer. Fixed-width fields
// are read only up to their width.

// LAN body into buf (at least kLanBodySize bytes, zero-filled first). 1, or -1 for a null buf.
int MakeNetworkLANCfgXml(const LanCfg* cfg, const char* serial, char* buf);
// Stream-access body. 1, or -1 for a null buffer or size below 1500.
int MakeMediaStreamCfgXml(char* buf, int size, const MediaStreamCfg* cfg);
// Accounts body. 1, or -1 for a null buffer or size below 5000.
int MakeUserCfgXml(int size, char* buf, const UserCfg* cfg);
// The restore body for a serial number into buf (cut to cap - 1 characters). Returns length.
int MakeRestoreXml(const char* serial, char* buf, int cap);

// Overwrites table slot index with rec and broadcasts its LAN body (code 2) from the search
// socket. 1 sent; -1 bad argument or empty slot; -2 no search running; else the send's result.
int modifyipc(int index, const IPCSearchInfo* rec);
// Broadcasts a code 2 request for serial with cfg from a socket of its own. The send's result.
int modify_ipcnetwork(const char* serial, const LanCfg* cfg);
// Broadcasts a code 5 restore request for serial. The send's result.
int restore_ipcconfig(const char* serial);

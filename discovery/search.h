// LAN device search: a worker thread broadcasts the search request once a second, listens for
// the recorders' answers on its own UDP port (3002 or the next free one) and keeps a
// process-wide table of up to 1000 found devices keyed by serial number.
//
// Pages poll the table: getipccount() first, then the slots below it. A listed device that
// answers again has its record overwritten in place, so a reader that wants a consistent record
// copies it with getipcinfo_copy() (under the table lock) rather than reading through the
// pointer getipcinfo() returns.
#pragma once

#include "proto/envelope.h"

#include <cstdint>

// One found device, filled from its latest answer.
struct IPCSearchInfo {
    DeviceId devid;            // serial number, device type
    UserCfg usercfg;           // accounts
    MediaStreamCfg streamcfg;  // stream access; PTZPort is the control port
    LanCfg lancfg;             // MAC, DHCP, addresses
};

constexpr int kMaxSearchDevices = 1000;
constexpr uint16_t kSearchFirstPort = 3002;
constexpr int kSearchRequestMax = 1499;  // characters of one request datagram
constexpr int kSearchAnswerMax = 8192;   // bytes of one answer that are read

// Called on the search thread once per newly listed serial number, after the record is in the
// table and counted. The record is a copy of that answer (the slot itself may be changed by
// modifyipc meanwhile), valid during the call only. Must return quickly.
using SearchCB = void (*)(const IPCSearchInfo* info);

// Start and stop may be called from any threads at once: they take turns, one start wins and
// the others get 0.
// 1 started; 0 a search already runs ("ipc searching is working...\n"); -1 no memory or no
// thread (the searching flag is cleared again).
int startsearchipc();
// Stops the thread (if any), clears the searching flag, releases the table. Always 1.
int stopsearchipc();
// Number of listed devices, 0 without a table.
int getipccount();
// The record of slot index (owned by the table), or null. Index outside 0..999 logs
// "getipcinfo param fail\n".
IPCSearchInfo* getipcinfo(int index);
// Copies slot index under the table lock, so the copy is never half of an old answer and half
// of a new one. 1 copied; 0 empty slot or no table; -1 bad index or null out.
int getipcinfo_copy(int index, IPCSearchInfo* out);
// Registers the new-device callback ("setSearchCB\n"). 1; 0 for null; -1 no memory.
int setSearchCB(SearchCB cb);
// Builds the search-protocol request (body may be null) and broadcasts it on sock.
// The result of broadcastsendmsg: 1, -1 or -2.
int sendsearchmsg(const char* body, int code, int sock);
// Formats the request datagram into out (capacity cap, at most cap - 1 characters; the text is
// always terminated). Returns the length.
int format_search_request(char* out, int cap, const char* body, int code);

// The UDP port the running search is bound to, 0 when none (tests and diagnostics).
uint16_t searchipc_port();
// The search thread's socket, -1 when none.
int searchipc_socket();
// The OS error (errno) of the search thread's last request that could not be sent, 0 when the
// last one went out or none was tried yet. A thread whose first request fails ends, so this
// is how a caller learns why a search lists nothing (e.g. ENETUNREACH).
int searchipc_send_errno();
// Test seam: the next searches bind from this port up instead of 3002, so that test processes
// running side by side do not share a port. 0 restores 3002.
void searchipc_set_first_port_for_test(uint16_t port);

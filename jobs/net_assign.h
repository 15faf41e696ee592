// Network assignment: found recorders are given new LAN settings by the reconfiguration that
// travels as a search-protocol broadcast addressed by serial number (so it reaches a recorder
// on another subnet than the PC), and each one counts as done only once its own search answers
// show the new settings. The request itself has no answer; a recorder that ignores it, or
// loses it, is told apart only by what it answers afterwards.
//
// The job does not search: its owner (the tool, a page) runs the search, polls the found table
// and hands every record it sees to observe(), and ticks the job on its clock. It knows no screen
// text. Not thread-safe: one owner thread.
#pragma once

#include "discovery/search.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace jobs {

// A recorder that has not answered with its new settings this long after the first request is
// not confirmed.
constexpr int64_t kNetConfirmMs = 30000;
// The request goes out again this often while unconfirmed: a broadcast can be lost, and taking
// the same settings twice changes nothing.
constexpr int64_t kNetResendMs = 10000;

enum NetAssignState : int {
    kNetWaiting,       // not sent yet
    kNetSent,          // sent, the answers do not show the settings yet
    kNetConfirmed,     // the recorder answered with the new settings
    kNetNotConfirmed,  // no such answer within the confirmation time
    kNetUnsent,        // the request could not be broadcast
};

// What sends the request: modify_ipcnetwork by default; tests record instead.
using NetSendFn = std::function<int(const std::string& serial, const LanCfg& cfg)>;

// One recorder and the settings it is to take (every LAN field; the job sends them whole).
struct NetAssignment {
    std::string serial;
    LanCfg want{};
    LanCfg before{};  // what it answered before (shown, never sent)
    int state = kNetWaiting;
    int send_result = 0;  // the last send's result
    int sends = 0;
    int64_t sent_at = -1;  // the first send, on the owner's clock
    int64_t done_at = -1;  // confirmed or given up
};

// Whether an answer shows the settings asked for: with DHCP asked for, DHCP on; otherwise
// DHCP off and the same address, netmask and gateway.
bool lan_confirms(const LanCfg& want, const LanCfg& answered);

// Planning and checking the new settings, for both fronts (each words the problems itself).
enum NetPlanProblem : int {
    kPlanOk,
    kPlanBadAddress,      // not the dotted address of one device
    kPlanBadNetmask,      // not ones then zeros
    kPlanGatewayOutside,  // the gateway is not in the address's subnet
    kPlanAddressTwice,    // two recorders would share an address
    kPlanAddressTaken,    // another found recorder has the address now
    kPlanNoAddressLeft,   // the subnet ends before every recorder has one
};

struct NetPlanCheck {
    int problem = kPlanOk;
    std::string serial;  // the recorder at fault, when there is one
    std::string value;   // the value at fault
};

// A found recorder, as far as planning cares.
struct FoundAddress {
    std::string serial;
    std::string ip;
};

bool ipv4_netmask_ok(uint32_t mask);
// One device's address: not 0.0.0.0, the limited broadcast or multicast.
bool ipv4_unicast_ok(uint32_t addr);

// `count` addresses from `first` upwards, within its subnet under `mask`, leaving out the
// subnet's own and broadcast addresses and each address in `taken` (what found recorders use:
// a recorder never lands on an address in use, its own included). kPlanOk, or the problem
// (kPlanBadAddress, kPlanBadNetmask, kPlanNoAddressLeft) with nothing in out.
NetPlanCheck plan_addresses(const std::string& first, const std::string& mask, size_t count,
                            const std::vector<std::string>& taken, std::vector<std::string>& out);

// Checks a whole plan against itself and the found recorders: each static address a unicast
// address, its netmask valid, its gateway (when given) in its subnet, no address twice, none
// that a found recorder other than the one it is meant for has now. The first problem.
NetPlanCheck check_net_plan(const std::vector<NetAssignment>& plan, const std::vector<FoundAddress>& found);

class NetAssignJob {
public:
    using News = std::function<void(const NetAssignment& a)>;  // a recorder's state changed

    explicit NetAssignJob(std::vector<NetAssignment> items, NetSendFn send = nullptr, News news = nullptr,
                          int64_t confirm_ms = kNetConfirmMs, int64_t resend_ms = kNetResendMs);

    // Sends every request.
    void start(int64_t now);
    // A search answer (the found table's record of a serial number); records of serial numbers
    // not in the job are ignored.
    void observe(const IPCSearchInfo& rec, int64_t now);
    // Resends what is due and gives up on what is past its time.
    void on_tick(int64_t now);
    // The earliest moment on_tick has something to do, or -1.
    int64_t next_deadline() const;
    bool finished() const;
    // Every recorder confirmed.
    bool all_confirmed() const;
    const std::vector<NetAssignment>& items() const { return items_; }

private:
    void send(NetAssignment& a, int64_t now);
    void set_state(NetAssignment& a, int state, int64_t now);

    std::vector<NetAssignment> items_;
    NetSendFn send_;
    News news_;
    int64_t confirm_ms_, resend_ms_;
    bool started_ = false;
};

}  // namespace jobs

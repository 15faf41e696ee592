#include "jobs/net_assign.h"

#include "base/sock.h"
#include "discovery/reconfig.h"
#include "util/fixedstr.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace jobs {

namespace {

bool same_field(const char* a, const char* b, size_t width) { return fixed_view(a, width) == fixed_view(b, width); }

bool parse(const std::string& text, uint32_t* out) { return ipv4_parse(text.c_str(), out); }

std::string dotted(uint32_t a)
{
    char buf[16];
    ipv4_format(a, buf, sizeof buf);
    return buf;
}

}  // namespace

bool ipv4_netmask_ok(uint32_t mask)
{
    // Ones, then zeros: the complement plus one is a power of two.
    const uint32_t host = ~mask;
    return mask != 0 && (host & (host + 1)) == 0;
}

bool ipv4_unicast_ok(uint32_t a) { return a != 0 && a != 0xFFFFFFFFu && (a >> 28) != 0xE; }

NetPlanCheck plan_addresses(const std::string& first, const std::string& mask_text, size_t count,
                            const std::vector<std::string>& taken, std::vector<std::string>& out)
{
    out.clear();
    uint32_t a = 0, mask = 0;
    if (!parse(first, &a) || !ipv4_unicast_ok(a))
        return {kPlanBadAddress, "", first};
    if (!parse(mask_text, &mask) || !ipv4_netmask_ok(mask))
        return {kPlanBadNetmask, "", mask_text};
    std::set<uint32_t> used;
    for (const std::string& t : taken) {
        uint32_t u = 0;
        if (parse(t, &u))
            used.insert(u);
    }
    const uint32_t net = a & mask, broadcast = net | ~mask;
    std::vector<std::string> plan;
    // A /31 or /32 has no subnet and broadcast addresses of its own.
    const bool ends_reserved = ~mask > 1;
    for (uint64_t x = a; plan.size() < count; ++x) {
        if (x > broadcast)
            return {kPlanNoAddressLeft, "", dotted(broadcast)};
        const uint32_t c = static_cast<uint32_t>(x);
        if ((ends_reserved && (c == net || c == broadcast)) || used.count(c) || !ipv4_unicast_ok(c))
            continue;
        plan.push_back(dotted(c));
    }
    out = std::move(plan);
    return {};
}

NetPlanCheck check_net_plan(const std::vector<NetAssignment>& plan, const std::vector<FoundAddress>& found)
{
    std::map<uint32_t, std::string> owner;  // address -> the found recorder using it
    for (const FoundAddress& f : found) {
        uint32_t u = 0;
        if (parse(f.ip, &u))
            owner.emplace(u, f.serial);
    }
    std::set<uint32_t> planned;
    for (const NetAssignment& a : plan) {
        if (a.want.DHCP != 0)
            continue;
        const std::string ip(fixed_view(a.want.IPAddress)), mask_text(fixed_view(a.want.Netmask)),
            gw_text(fixed_view(a.want.Gateway));
        uint32_t addr = 0, mask = 0, gw = 0;
        if (!parse(ip, &addr) || !ipv4_unicast_ok(addr))
            return {kPlanBadAddress, a.serial, ip};
        if (!parse(mask_text, &mask) || !ipv4_netmask_ok(mask))
            return {kPlanBadNetmask, a.serial, mask_text};
        if (!gw_text.empty() && (!parse(gw_text, &gw) || !ipv4_unicast_ok(gw)))
            return {kPlanBadAddress, a.serial, gw_text};
        if (!gw_text.empty() && (gw & mask) != (addr & mask))
            return {kPlanGatewayOutside, a.serial, gw_text};
        if (!planned.insert(addr).second)
            return {kPlanAddressTwice, a.serial, ip};
        if (auto it = owner.find(addr); it != owner.end() && it->second != a.serial)
            return {kPlanAddressTaken, a.serial, ip};
    }
    return {};
}

bool lan_confirms(const LanCfg& want, const LanCfg& got)
{
    if (want.DHCP != 0)
        return got.DHCP != 0;
    return got.DHCP == 0 && same_field(want.IPAddress, got.IPAddress, sizeof want.IPAddress) &&
        same_field(want.Netmask, got.Netmask, sizeof want.Netmask) &&
        same_field(want.Gateway, got.Gateway, sizeof want.Gateway);
}

NetAssignJob::NetAssignJob(std::vector<NetAssignment> items, NetSendFn send, News news, int64_t confirm_ms,
                           int64_t resend_ms)
    : items_(std::move(items)),
      send_(std::move(send)),
      news_(std::move(news)),
      confirm_ms_(confirm_ms),
      resend_ms_(resend_ms)
{
    if (!send_)
        send_ = [](const std::string& serial, const LanCfg& cfg) { return modify_ipcnetwork(serial.c_str(), &cfg); };
}

void NetAssignJob::set_state(NetAssignment& a, int state, int64_t now)
{
    if (a.state == state)
        return;
    a.state = state;
    if (state == kNetConfirmed || state == kNetNotConfirmed || state == kNetUnsent)
        a.done_at = now;
    if (news_)
        news_(a);
}

void NetAssignJob::send(NetAssignment& a, int64_t now)
{
    a.send_result = send_(a.serial, a.want);
    ++a.sends;
    if (a.sent_at < 0)
        a.sent_at = now;
    // modify_ipcnetwork gives 1 for a datagram that went out.
    if (a.send_result == 1)
        set_state(a, kNetSent, now);
    else if (a.state == kNetWaiting)
        set_state(a, kNetUnsent, now);
    // A resend that fails leaves the first one standing: it may still be taken.
}

void NetAssignJob::start(int64_t now)
{
    if (started_)
        return;
    started_ = true;
    for (NetAssignment& a : items_)
        send(a, now);
}

void NetAssignJob::observe(const IPCSearchInfo& rec, int64_t now)
{
    const std::string_view serial = fixed_view(rec.devid.SerialNumber, sizeof rec.devid.SerialNumber);
    for (NetAssignment& a : items_) {
        if (a.state == kNetSent && a.serial == serial && lan_confirms(a.want, rec.lancfg))
            set_state(a, kNetConfirmed, now);
    }
}

void NetAssignJob::on_tick(int64_t now)
{
    for (NetAssignment& a : items_) {
        if (a.state != kNetSent)
            continue;
        if (now - a.sent_at >= confirm_ms_)
            set_state(a, kNetNotConfirmed, now);
        else if (resend_ms_ > 0 && now >= a.sent_at + a.sends * resend_ms_)
            send(a, now);
    }
}

int64_t NetAssignJob::next_deadline() const
{
    int64_t next = -1;
    for (const NetAssignment& a : items_) {
        if (a.state != kNetSent)
            continue;
        int64_t due = a.sent_at + confirm_ms_;
        if (resend_ms_ > 0)
            due = std::min(due, a.sent_at + a.sends * resend_ms_);
        next = next < 0 ? due : std::min(next, due);
    }
    return next;
}

bool NetAssignJob::finished() const
{
    return started_ && std::none_of(items_.begin(), items_.end(), [](const NetAssignment& a) {
               return a.state == kNetWaiting || a.state == kNetSent;
           });
}

bool NetAssignJob::all_confirmed() const
{
    return started_ &&
        std::all_of(items_.begin(), items_.end(), [](const NetAssignment& a) { return a.state == kNetConfirmed; });
}

}  // namespace jobs

// Network assignment without a network: address planning and the plan's checks as tables, and
// the job on a recorded sender and a clock the test moves (confirmed by an answer, resent,
// given up after its time, DHCP).
#include "jobs/net_assign.h"

#include "util/fixedstr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace jobs;

std::string joined(const std::vector<std::string>& v)
{
    std::string t;
    for (const std::string& s : v)
        t += (t.empty() ? "" : " ") + s;
    return t;
}

TEST(NetPlan, AddressesCountUpSkippingThoseInUseAndTheSubnetsEnds)
{
    struct Case {
        const char* name;
        const char* first;
        const char* mask;
        size_t count;
        std::vector<std::string> taken;
        int problem;
        const char* plan;
    } const cases[] = {
        {"straight on", "10.77.50.10", "255.255.0.0", 3, {}, kPlanOk, "10.77.50.10 10.77.50.11 10.77.50.12"},
        {"an address in use is left out",
         "10.77.50.10",
         "255.255.0.0",
         3,
         {"10.77.50.11", "10.77.1.1"},
         kPlanOk,
         "10.77.50.10 10.77.50.12 10.77.50.13"},
        {"over a /24's broadcast and subnet address",
         "192.168.1.254",
         "255.255.0.0",
         3,
         {},
         kPlanOk,
         "192.168.1.254 192.168.1.255 192.168.2.0"},
        {"a /24 ends at .254", "192.168.1.253", "255.255.255.0", 2, {}, kPlanOk, "192.168.1.253 192.168.1.254"},
        {"no room left in the subnet", "192.168.1.253", "255.255.255.0", 3, {}, kPlanNoAddressLeft, ""},
        {"the subnet address itself is skipped", "192.168.1.0", "255.255.255.0", 1, {}, kPlanOk, "192.168.1.1"},
        {"a bad first address", "10.77.50", "255.255.0.0", 1, {}, kPlanBadAddress, ""},
        {"a multicast first address", "224.0.0.1", "255.255.0.0", 1, {}, kPlanBadAddress, ""},
        {"a bad netmask", "10.77.50.10", "255.0.255.0", 1, {}, kPlanBadNetmask, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> out;
        NetPlanCheck r = plan_addresses(c.first, c.mask, c.count, c.taken, out);
        EXPECT_EQ(r.problem, c.problem) << c.name;
        EXPECT_EQ(joined(out), c.plan) << c.name;
    }
}

NetAssignment assignment(const std::string& serial, const char* ip, const char* mask = "255.255.0.0",
                         const char* gw = "10.77.0.1", int dhcp = 0)
{
    NetAssignment a;
    a.serial = serial;
    fixed_copy(a.want.IPAddress, ip);
    fixed_copy(a.want.Netmask, mask);
    fixed_copy(a.want.Gateway, gw);
    a.want.DHCP = dhcp;
    return a;
}

TEST(NetPlan, PlansAreCheckedAgainstThemselvesAndTheFoundRecorders)
{
    const std::vector<FoundAddress> found = {{"A", "10.77.1.1"}, {"B", "10.77.1.2"}, {"C", "10.77.1.3"}};
    struct Case {
        const char* name;
        std::vector<NetAssignment> plan;
        int problem;
        const char* serial;
    } const cases[] = {
        {"fine", {assignment("A", "10.77.50.1"), assignment("B", "10.77.50.2")}, kPlanOk, ""},
        {"a recorder keeps its own address", {assignment("A", "10.77.1.1")}, kPlanOk, ""},
        {"the gateway outside the subnet",
         {assignment("A", "10.77.50.1", "255.255.255.0", "10.77.0.1")},
         kPlanGatewayOutside,
         "A"},
        {"no gateway is no problem", {assignment("A", "10.77.50.1", "255.255.255.0", "")}, kPlanOk, ""},
        {"an address twice", {assignment("A", "10.77.50.1"), assignment("B", "10.77.50.1")}, kPlanAddressTwice, "B"},
        {"another recorder's address", {assignment("A", "10.77.1.3")}, kPlanAddressTaken, "A"},
        {"a bad netmask", {assignment("A", "10.77.50.1", "255.255.0.255")}, kPlanBadNetmask, "A"},
        {"a bad address", {assignment("A", "10.77.50.256")}, kPlanBadAddress, "A"},
        {"DHCP needs no address", {assignment("A", "", "", "", 1), assignment("B", "", "", "", 1)}, kPlanOk, ""},
    };
    for (const Case& c : cases) {
        NetPlanCheck r = check_net_plan(c.plan, found);
        EXPECT_EQ(r.problem, c.problem) << c.name;
        EXPECT_EQ(r.serial, c.serial) << c.name;
    }
}

IPCSearchInfo answer(const std::string& serial, const char* ip, const char* mask = "255.255.0.0",
                     const char* gw = "10.77.0.1", int dhcp = 0)
{
    IPCSearchInfo r{};
    fixed_copy(r.devid.SerialNumber, serial);
    fixed_copy(r.lancfg.IPAddress, ip);
    fixed_copy(r.lancfg.Netmask, mask);
    fixed_copy(r.lancfg.Gateway, gw);
    r.lancfg.DHCP = dhcp;
    return r;
}

TEST(NetAssign, ConfirmedOnlyByAnAnswerWithTheNewSettingsWithinItsTime)
{
    std::string sent;
    int refuse_serial_c = 1;  // the send result for C
    NetSendFn send = [&](const std::string& serial, const LanCfg& cfg) {
        sent += (sent.empty() ? "" : " ") + serial + "@" + std::string(fixed_view(cfg.IPAddress));
        return serial == "C" ? refuse_serial_c : 1;
    };
    std::string news;
    NetAssignJob job({assignment("A", "10.77.50.1"), assignment("B", "10.77.50.2"), assignment("C", "10.77.50.3"),
                      assignment("D", "", "", "", 1)},
                     send, [&](const NetAssignment& a) { news += a.serial + std::to_string(a.state) + " "; });
    refuse_serial_c = -1;
    job.start(0);
    EXPECT_EQ(sent, "A@10.77.50.1 B@10.77.50.2 C@10.77.50.3 D@");
    EXPECT_EQ(news, "A1 B1 C4 D1 ");
    EXPECT_EQ(job.next_deadline(), kNetResendMs);

    // The old settings, the wrong gateway and another recorder's answer confirm nothing.
    job.observe(answer("A", "10.77.1.1"), 100);
    job.observe(answer("A", "10.77.50.1", "255.255.0.0", "10.77.0.2"), 200);
    job.observe(answer("B", "10.77.50.1"), 300);
    job.observe(answer("D", "10.77.1.4"), 300);
    EXPECT_EQ(job.items()[0].state, kNetSent);
    job.observe(answer("A", "10.77.50.1"), 1000);
    job.observe(answer("D", "192.168.7.7", "255.255.255.0", "192.168.7.1", 1), 1000);
    EXPECT_EQ(job.items()[0].state, kNetConfirmed);
    EXPECT_EQ(job.items()[3].state, kNetConfirmed);

    // B is asked again every 10 s and given up on at 30 s.
    sent.clear();
    job.on_tick(kNetResendMs - 1);
    EXPECT_EQ(sent, "");
    job.on_tick(kNetResendMs);
    job.on_tick(2 * kNetResendMs);
    EXPECT_EQ(sent, "B@10.77.50.2 B@10.77.50.2");
    EXPECT_FALSE(job.finished());
    job.on_tick(kNetConfirmMs - 1);
    EXPECT_EQ(job.items()[1].state, kNetSent);
    job.on_tick(kNetConfirmMs);
    EXPECT_EQ(job.items()[1].state, kNetNotConfirmed);
    EXPECT_EQ(job.items()[1].sends, 3);
    EXPECT_TRUE(job.finished());
    EXPECT_FALSE(job.all_confirmed());
    EXPECT_EQ(job.next_deadline(), -1);
    // An answer after the time changes nothing.
    job.observe(answer("B", "10.77.50.2"), kNetConfirmMs + 1);
    EXPECT_EQ(job.items()[1].state, kNetNotConfirmed);
}

}  // namespace

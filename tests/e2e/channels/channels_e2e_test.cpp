// dravlinctl channels against a simulated NVR in a private namespace: the channel table the
// tool prints must be the one the NVR holds after every step, and a text that would break the
// request never leaves the tool.
#include "link_e2e.h"

#include <fstream>
#include <functional>
#include <regex>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

const std::string kNvr = "10.77.1.1";

// 16 channels and five cameras, 192.168.1.103 reported first as ONVIF, then as MVK.
std::string fleet_file(const std::string& dir, const std::string& extra = "")
{
    std::string path = dir + "/fleet.txt";
    std::ofstream f(path);
    f << "type=NVR-SIM16 channels=16 " << extra <<
         " camera=MVK:192.168.1.101:8091:admin:470213:MVKIPC000101:Gate"
         " camera=ONVIF:192.168.1.103:80:admin:470213:ONV000103:Hall"
         " camera=ONVIF:192.168.1.102:80:admin:470213:ONV000102:Yard"
         " camera=MVK:192.168.1.104:8091:admin:470213:MVKIPC000104:Stairs"
         " camera=MVK:192.168.1.103:8091:admin:470213:MVKIPC000103:Hall"
         " camera=ONVIF:192.168.1.105:80:admin:470213:ONV000105:Garage\n";
    return path;
}

std::vector<std::string> ctl(std::vector<std::string> args)
{
    std::vector<std::string> argv = {kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* a : {"--target", "10.77.1.1", "--user", "admin", "--password", "admin123"})
        argv.push_back(a);
    return argv;
}

// The tool's --json table equals the NVR's own, channel by channel.
void expect_table_is_the_nvrs(const std::string& out, const Json& nvr)
{
    Json printed;
    ASSERT_TRUE(e2e::parse_json(out, &printed)) << out;
    const Json& held = nvr["channels"];
    ASSERT_EQ(printed.size(), held.size()) << out;
    for (size_t i = 0; i < held.size(); ++i) {
        SCOPED_TRACE("channel " + std::to_string(i + 1));
        EXPECT_EQ(printed[i]["channel"].integer(), held[i]["id"].integer());
        EXPECT_EQ(printed[i]["ip"].str, held[i]["used"].b ? held[i]["ip"].str : "");
        if (held[i]["used"].b) {
            EXPECT_EQ(printed[i]["protocol"].str, held[i]["protocol"].str);
        }
    }
}

std::vector<std::string> used_ips(const Json& nvr)
{
    std::vector<std::string> ips;
    for (const Json& c : nvr["channels"].arr)
        ips.push_back(c["used"].b ? c["ip"].str : "");
    return ips;
}

std::vector<std::string> table_of(const std::vector<std::string>& first)
{
    std::vector<std::string> t = first;
    t.resize(16);
    return t;
}

}  // namespace

class ChannelsE2E : public NetnsTest {};

TEST_F(ChannelsE2E, SearchFillSwapDeleteClearLeaveTheTableAsTheNvrReportsIt)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--fleet", fleet_file(lab.dir())});
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string serial = sim.read()["devices"][0]["serial"].str;
    auto nvr = [&] { return sim.link(0)["nvr"]; };
    // The status file follows the recorder within 100 ms.
    auto holds = [&](const std::vector<std::string>& table) {
        return e2e::wait_until([&] { return used_ips(nvr()) == table; });
    };

    // The camera list: one row per address, the MVK answer for 192.168.1.103 kept.
    e2e::RunResult r = lab.run(ctl({"channels", "search", "--seconds", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    Json cams;
    ASSERT_TRUE(e2e::parse_json(r.out, &cams)) << r.out;
    ASSERT_EQ(cams.size(), 5u) << r.out;
    const std::vector<std::string> order = {"192.168.1.101", "192.168.1.103", "192.168.1.102", "192.168.1.104",
                                            "192.168.1.105"};
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(cams[i]["ip"].str, order[i]);
    EXPECT_EQ(cams[1]["protocol"].str, "MVK");
    EXPECT_EQ(cams[1]["port"].integer(), 8091);
    EXPECT_EQ(cams[1]["serial"].str, "MVKIPC000103");

    r = lab.run(ctl({"channels", "fill", "--all", "--seconds", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of(order))) << r.out;
    EXPECT_EQ(nvr()["channels"][1]["protocol"].str, "MVK");
    expect_table_is_the_nvrs(r.out, nvr());

    // Found by serial number this time (a LAN search inside the namespace).
    r = lab.run({kCtl, "channels", "--serial", serial, "list", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "swap", "1", "2", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({"192.168.1.103", "192.168.1.101", "192.168.1.102", "192.168.1.104",
                                         "192.168.1.105"}))) << r.out;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "delete", "3", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({"192.168.1.103", "192.168.1.101", "", "192.168.1.104", "192.168.1.105"}))) << r.out;
    expect_table_is_the_nvrs(r.out, nvr());

    r = lab.run(ctl({"channels", "clear", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(holds(table_of({}))) << r.out;
    expect_table_is_the_nvrs(r.out, nvr());
    EXPECT_TRUE(sim.link(0)["errors"].arr.empty());
}

TEST_F(ChannelsE2E, APasswordThatWouldBreakTheRequestIsRefusedBeforeAnythingIsSent)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--fleet", fleet_file(lab.dir())});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run(ctl({"channels", "add", "--ip", "192.168.1.120", "--password", "pa\"ss"}));
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("--password"), std::string::npos) << r.err;
    Json link = sim.link(0);
    EXPECT_EQ(link["connections"].integer(), 0);
    for (const Json& req : link["requests"].arr)
        EXPECT_EQ(req.str.find("3804"), std::string::npos) << req.str;
}

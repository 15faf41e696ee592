// LAN discovery end to end: dravlin-sim and dravlinctl inside a private network namespace.
#include "base/sock.h"
#include "netns_lab.h"
#include "sim_process.h"

#include <ctime>
#include <set>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

namespace {

const std::string kCtl = DRAVLINCTL_PATH;

const std::string kHead = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                          "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"";

std::string serial(int n) { return e2e::sim_serial(n); }

using e2e::Sim;

std::set<std::string> serials_of(const Json& rows)
{
    std::set<std::string> s;
    for (const Json& r : rows.arr)
        s.insert(r["serial"].str);
    return s;
}

}  // namespace

class DiscoveryE2E : public NetnsTest { };

TEST_F(DiscoveryE2E, SearchListsAllFiftyRecordersWithAddressesTypesAndSerials)
{
    NetnsLab lab(50);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "50"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "search", "--seconds", "3", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Json rows;
    ASSERT_TRUE(e2e::parse_json(r.out, &rows)) << r.out;
    ASSERT_EQ(rows.size(), 50u);
    std::set<std::string> seen;
    for (const Json& row : rows.arr) {
        const std::string& sn = row["serial"].str;
        ASSERT_EQ(sn.rfind("DRVSIM", 0), 0u) << sn;
        int n = std::atoi(sn.c_str() + 6);
        EXPECT_EQ(row["ip"].str, "10.77.1." + std::to_string(n)) << sn;
        EXPECT_EQ(row["type"].str, "NVR-SIM16");
        EXPECT_EQ(row["gateway"].str, "10.77.0.1");
        EXPECT_EQ(row["netmask"].str, "255.255.0.0");
        EXPECT_EQ(row["ptz_port"].integer(), 8091);
        EXPECT_EQ(row["user"].str, "admin");
        seen.insert(sn);
    }
    EXPECT_EQ(seen.size(), 50u) << "a serial number was listed twice";

    // The request on the wire: the exact datagram, from the search port to 3001, repeated.
    std::vector<Json> requests = sim.datagrams(1);
    ASSERT_GE(requests.size(), 2u);
    EXPECT_LE(requests.size(), 5u);
    for (const Json& d : requests) {
        EXPECT_EQ(d["text"].str, kHead + "1\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>");
        EXPECT_EQ(d["from"].str, "10.77.0.1:3002");
    }
}

TEST_F(DiscoveryE2E, ForeignAndMalformedAnswersAreLeftOutWithTheirLogLines)
{
    NetnsLab lab(14);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Recorders 0 and 1 are fine, 2 answers without a body element (still fine); the others
    // are video servers or broken.
    Sim sim(lab, {"--devices", "14",
                  "--fault",   "no-body:2",
                  "--fault",   "nvs:3",
                  "--fault",   "dvs:4",
                  "--fault",   "missing-user:5",
                  "--fault",   "missing-lan:6",
                  "--fault",   "missing-stream:7",
                  "--fault",   "wrong-code:8",
                  "--fault",   "truncated:9",
                  "--fault",   "oversized:10",
                  "--fault",   "garbage:11",
                  "--fault",   "no-type-attr:12",
                  "--fault",   "long-fields:13"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "search", "--seconds", "2", "--json", "--verbose"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Json rows;
    ASSERT_TRUE(e2e::parse_json(r.out, &rows)) << r.out;
    std::set<std::string> expected = {serial(1), serial(2), serial(3)};
    std::set<std::string> got = serials_of(rows);
    // The long-fields recorder is listed with its texts cut to the fields' widths.
    std::string long_serial;
    for (const std::string& s : got)
        if (s.size() == 32)
            long_serial = s;
    EXPECT_FALSE(long_serial.empty()) << "the recorder with overlong texts was not listed";
    got.erase(long_serial);
    EXPECT_EQ(got, expected);

    for (const char* line : {"user config not found.\n", "lan config not found.\n", "stream config not found.\n",
                             "GetMessageHeader fail\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << "missing log line: " << line;
}

TEST_F(DiscoveryE2E, TakenSearchPortMovesToTheNextOne)
{
    NetnsLab lab(3);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    int holder = -1;
    ASSERT_TRUE(lab.inside([&] { holder = udp_bind(0, 3002, false); }));
    ASSERT_GE(holder, 0);
    Sim sim(lab, {"--devices", "3"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "search", "--seconds", "2", "--json"});
    sock_close(holder);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Json rows;
    ASSERT_TRUE(e2e::parse_json(r.out, &rows)) << r.out;
    EXPECT_EQ(rows.size(), 3u);
    std::vector<Json> requests = sim.datagrams(1);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0]["from"].str, "10.77.0.1:3003");
}

TEST_F(DiscoveryE2E, NetworkChangeAndRestoreCarryExactBodiesAndTheRowFollows)
{
    NetnsLab lab(4);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "4"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    // A search runs while recorder 2 is told to move; it keeps one row, with the new values.
    pid_t search = lab.spawn({kCtl, "search", "--seconds", "4", "--json"}, "search");
    ASSERT_TRUE(e2e::wait_until([&] { return sim.read()["answers_total"].integer() >= 4; }));
    // Values not given (netmask, DHCP, DNS 2) keep the recorder's current ones.
    e2e::RunResult set = lab.run({kCtl, "set-network", "--serial", serial(2), "--ip=10.77.9.2", "--gateway",
                                  "10.77.0.254", "--mac", "02:77:99:00:00:02", "--dns1", "10.77.0.53"});
    ASSERT_EQ(set.exit_code, 0) << set.err;
    ASSERT_EQ(lab.wait_exit(search, 30000), 0);
    Json rows;
    std::string out = e2e::read_file(lab.dir() + "/search.out");
    ASSERT_TRUE(e2e::parse_json(out, &rows)) << out;
    EXPECT_EQ(rows.size(), 4u);
    int found = 0;
    for (const Json& row : rows.arr) {
        if (row["serial"].str != serial(2))
            continue;
        ++found;
        EXPECT_EQ(row["ip"].str, "10.77.9.2");
        EXPECT_EQ(row["gateway"].str, "10.77.0.254");
        EXPECT_EQ(row["mac"].str, "02:77:99:00:00:02");
    }
    EXPECT_EQ(found, 1);

    const std::string change = kHead +
        "2\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
        "<IPC_SERIALNUMBER\r\nSerialNumber=\"DRVSIM000002\"\r\n/>\r\n<LANConfig\r\n"
        "MacAddress=\"02:77:99:00:00:02\"\r\nDHCP=\"0\"\r\nIPAddress=\"10.77.9.2\"\r\n"
        "Netmask=\"255.255.0.0\"\r\nGateway=\"10.77.0.254\"\r\nDNS1=\"10.77.0.53\"\r\nDNS2=\"0.0.0.0\"\r\n/>\r\n"
        "\n</MESSAGE_BODY>\n</XML_MORVEK>";
    Json status = sim.read();
    const Json& dev = status["devices"][1];
    ASSERT_EQ(dev["serial"].str, serial(2));
    ASSERT_EQ(dev["received"].size(), 1u);
    EXPECT_EQ(dev["received"][0]["text"].str, change);
    EXPECT_EQ(status["devices"][0]["received"].size(), 0u) << "another recorder took the change";

    e2e::RunResult restore = lab.run({kCtl, "restore-config", "--serial", serial(2)});
    ASSERT_EQ(restore.exit_code, 0) << restore.err;
    ASSERT_TRUE(e2e::wait_until([&] { return sim.read()["devices"][1]["restores"].integer() == 1; }));
    status = sim.read();
    EXPECT_EQ(status["devices"][1]["received"][1]["text"].str,
              kHead +
                  "5\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<IPC_SERIALNUMBER\nSerialNumber=\"DRVSIM000002\"\n/>\n"
                  "\n</MESSAGE_BODY>\n</XML_MORVEK>");
    EXPECT_EQ(status["devices"][1]["ip"].str, "10.77.1.2");
}

TEST_F(DiscoveryE2E, ClockGoesOutOncePerWallClockSecond)
{
    NetnsLab lab(2);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "2"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    // The old test hook in the environment no longer turns the product's broadcasts aside.
    e2e::RunResult r = lab.run({"env", "DRAVLIN_TEST_BROADCAST_TO=127.0.0.1:9", kCtl, "clock", "--seconds", "3"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(e2e::wait_until([&] { return sim.datagrams(101).size() >= 3; }));
    std::vector<Json> clocks = sim.datagrams(101);
    ASSERT_EQ(clocks.size(), 3u) << "--seconds N sends N datagrams";
    const std::string head = kHead +
        "101\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
        "<TimeConfig  Enable=\"0\" Timezone=\"0\" Format=\"0\" Time=\"";
    const std::string tail = "\"> </TimeConfig>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    long previous = 0;
    for (const Json& d : clocks) {
        const std::string& text = d["text"].str;
        ASSERT_GT(text.size(), head.size() + tail.size()) << text;
        ASSERT_EQ(text.substr(0, head.size()), head) << text;
        ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
        std::string stamp = text.substr(head.size(), text.size() - head.size() - tail.size());
        std::tm t{};
        ASSERT_EQ(std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                              &t.tm_min, &t.tm_sec),
                  6)
            << stamp;
        char again[64];
        std::snprintf(again, sizeof again, "%d-%d-%d %d:%d:%d", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                      t.tm_sec);
        EXPECT_EQ(stamp, again) << "zero padding or stray characters";
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        t.tm_isdst = -1;
        long sec = static_cast<long>(std::mktime(&t));
        // The time carried is the local time at which the datagram arrived.
        long arrived = static_cast<long>(d["wall_ms"].integer() / 1000);
        EXPECT_LE(std::labs(arrived - sec), 1) << text;
        if (previous) {
            EXPECT_EQ(sec, previous + 1) << "not one datagram per second";
        }
        previous = sec;
    }
    EXPECT_EQ(sim.read()["devices"][0]["clock_datagrams"].integer(), static_cast<long long>(clocks.size()));
}

TEST_F(DiscoveryE2E, ThousandAndOneRecordersFillTheTableOnly)
{
    NetnsLab lab(1001);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "1001"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    // A thousand answers a second can overrun the receive buffer on a loaded (or sanitized)
    // run; the next rounds of requests fill in what a round lost, so allow several rounds.
    e2e::RunResult r = lab.run({kCtl, "search", "--seconds", "12", "--csv", "--verbose"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    size_t lines = 0;
    for (char c : r.out)
        lines += c == '\n';
    EXPECT_EQ(lines, 1001u) << "header plus 1000 rows";
    EXPECT_EQ(r.out.rfind("serial,type,ip,gateway,netmask,mac,dhcp,ptz_port,web_port,video_port,user\n", 0), 0u);
    EXPECT_NE(r.err.find("], but ipc count exceed 1000\n"), std::string::npos);
}

TEST_F(DiscoveryE2E, FleetFileRecordersAreListedWithTextsInUtf8)
{
    NetnsLab lab(3);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Device texts travel as GB2312 bytes: a type "录像机-8" and a user "管理员".
    const std::string fleet = lab.dir() + "/fleet.txt";
    {
        std::ofstream f(fleet, std::ios::binary);
        f << "# serial and addresses of each recorder\n"
          << "serial=LINE-A-01 type=\xC2\xBC\xCF\xF1\xBB\xFA-8 ip=10.77.1.1 mac=AA:BB:CC:00:00:01 ptz=9100 "
             "account=\xB9\xDC\xC0\xED\xD4\xB1:pw:Administrators:Enable\n"
          << "serial=LINE-A-02 ip=10.77.1.2 dhcp=1 web=8080 video=8554 account=op:x:Users:Enable "
             "account=b:y:Users:Enable\n"
          << "serial=LINE-A-03 ip=10.77.1.3 fault=missing-user\n";
    }
    Sim sim(lab, {"--fleet", fleet});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "search", "--seconds", "2", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Json rows;
    ASSERT_TRUE(e2e::parse_json(r.out, &rows)) << r.out;
    ASSERT_EQ(rows.size(), 2u) << r.out;
    for (const Json& row : rows.arr) {
        if (row["serial"].str == "LINE-A-01") {
            EXPECT_EQ(row["type"].str, "\xE5\xBD\x95\xE5\x83\x8F\xE6\x9C\xBA-8");  // UTF-8
            EXPECT_EQ(row["user"].str, "\xE7\xAE\xA1\xE7\x90\x86\xE5\x91\x98");
            EXPECT_EQ(row["mac"].str, "AA:BB:CC:00:00:01");
            EXPECT_EQ(row["ptz_port"].integer(), 9100);
        } else {
            EXPECT_EQ(row["serial"].str, "LINE-A-02");
            EXPECT_EQ(row["dhcp"].integer(), 1);
            EXPECT_EQ(row["web_port"].integer(), 8080);
            EXPECT_EQ(row["video_port"].integer(), 8554);
            EXPECT_EQ(row["user"].str, "op");
        }
    }
}

TEST_F(DiscoveryE2E, BadArgumentsAreRefusedBeforeAnythingIsSent)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "1"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"search", "--seconds", "x"}, "--seconds needs a whole number"},
        {{"search", "--json", "--csv"}, "choose one of --json and --csv"},
        {{"search", "--bogus"}, "unknown option '--bogus'"},
        {{"clock"}, "--seconds is required"},
        {{"clock", "--seconds=x"}, "--seconds needs a whole number"},
        {{"set-network", "--serial", "S"}, "give at least one of"},
        {{"set-network", "--ip", "10.0.0.1"}, "--serial is required"},
        {{"set-network", "--serial", "S", "--mac", "02:00\"/><x"}, "--mac needs six hexadecimal pairs"},
        {{"set-network", "--serial=S&1", "--ip", "10.0.0.1"}, "--serial: it holds '&'"},
        {{"set-network", "--serial", "S", "--mac", "a\nb"}, "not 'a\\x0ab'"},
        {{"restore-config", "--serial", "S<1"}, "--serial: it holds '<'"},
        {{"search", "--seconds=0"}, "--seconds needs a whole number"},
        {{"set-network", "--serial", "S", "--ip", "10.0.0.300", "--netmask", "255.0.0.0", "--gateway", "10.0.0.1"},
         "--ip needs a dotted IPv4 address"},
        {{"set-network", "--serial", "S", "--ip", "10.0.0.3", "--netmask", "255.0.0.0", "--gateway", "10.0.0.1",
          "--dhcp", "2"},
         "--dhcp needs 0 or 1"},
        {{"restore-config"}, "--serial is required"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCtl};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        e2e::RunResult r = lab.run(argv);
        EXPECT_EQ(r.exit_code, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    for (const char* cmd : {"search", "clock", "set-network", "restore-config"}) {
        e2e::RunResult r = lab.run({kCtl, cmd, "--help"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.out.find("Usage: dravlinctl"), std::string::npos) << cmd;
    }
    Json status = sim.read();
    EXPECT_EQ(status["datagrams_total"].integer(), 0) << "a refused command still sent something";
}

TEST_F(DiscoveryE2E, BroadcastThatCannotGoOutIsToldWithItsReason)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // No route at all: the limited broadcast has nowhere to go.
    ASSERT_EQ(std::system(("ip -n " + lab.name() + " route flush table main").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"search", "--seconds", "1", "--json"},
         "dravlinctl search: the search request could not be broadcast: Network is unreachable"},
        {{"clock", "--seconds", "1"}, "dravlinctl clock: 0 of 1 clock datagram(s) went out: Network is unreachable"},
        {{"set-network", "--serial", serial(1), "--gateway", "10.77.0.9", "--seconds", "1"},
         "the search request could not be broadcast: Network is unreachable; nothing was sent"},
        {{"reboot", "--seconds", "1"},
         "dravlinctl reboot: the search request could not be broadcast: Network is unreachable"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCtl};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        e2e::RunResult r = lab.run(argv);
        EXPECT_EQ(r.exit_code, 1) << c.args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

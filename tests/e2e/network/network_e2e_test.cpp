// Installer's tools end to end: dravlinctl set-network moving a fleet of simulated recorders
// and confirming each by its search answers, a plan file, a recorder that ignores the request,
// the plan's checks; format-disk with and without --yes and a recorder that refuses.
#include "netns_lab.h"
#include "sim_process.h"

#include <fstream>
#include <sstream>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;
using e2e::Sim;

namespace {

const std::string kCtl = DRAVLINCTL_PATH;

std::string serial(int n) { return e2e::sim_serial(n); }

// Datagrams with code 2 the fleet has seen.
int64_t changes_sent(Sim& sim) { return static_cast<int64_t>(sim.datagrams(2).size()); }

}  // namespace

class NetworkE2E : public NetnsTest { };

// 30 recorders moved from one address, 6 more by a plan of which one ignores the request, and
// the last one left alone: one namespace, the 30 s of the unconfirmed recorder spent once.
TEST_F(NetworkE2E, FleetMovesByAddressRangeAndPlanEachConfirmedByItsAnswers)
{
    constexpr int kMoved = 30, kPlanned = 5, kIgnoring = 36, kUntouched = 37;
    NetnsLab lab(kUntouched);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(
        lab,
        {"--devices", std::to_string(kUntouched), "--link-fault", "ignore-network:" + std::to_string(kIgnoring - 1)});
    ASSERT_TRUE(sim.ready()) << sim.err();

    std::vector<std::string> move = {kCtl, "set-network", "--ip-from", "10.77.50.10"};
    // Given out of order: the addresses follow the serial order all the same.
    for (int n = kMoved; n >= 1; --n)
        move.insert(move.end(), {"--serial", serial(n)});

    // A dry run prints the plan and sends nothing.
    std::vector<std::string> dry = move;
    dry.push_back("--dry-run");
    e2e::RunResult r = lab.run(dry);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // One line a recorder after the heading, in serial order: serial, address now, the new settings.
    std::vector<std::vector<std::string>> lines;
    {
        std::istringstream in(r.out);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string x; words >> x;)
                w.push_back(x);
            lines.push_back(w);
        }
    }
    ASSERT_EQ(lines.size(), static_cast<size_t>(kMoved)) << r.out;
    for (int n = 1; n <= kMoved; ++n) {
        const std::vector<std::string> want = {serial(n), "10.77.1." + std::to_string(n),
                                               "10.77.50." + std::to_string(9 + n), "255.255.0.0", "10.77.0.1"};
        EXPECT_EQ(lines[static_cast<size_t>(n - 1)], want) << r.out;
    }
    EXPECT_EQ(changes_sent(sim), 0);

    move.push_back("--json");
    r = lab.run(move);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Json out;
    ASSERT_TRUE(e2e::parse_json(r.out, &out)) << r.out;
    EXPECT_TRUE(out["ok"].b);
    ASSERT_EQ(out["recorders"].size(), static_cast<size_t>(kMoved));
    for (int n = 1; n <= kMoved; ++n) {
        const Json& row = out["recorders"][static_cast<size_t>(n - 1)];
        EXPECT_EQ(row["serial"].str, serial(n));
        EXPECT_EQ(row["result"].str, "confirmed");
        EXPECT_EQ(row["address"].str, "10.77.50." + std::to_string(9 + n));
    }
    Json status;
    e2e::wait_until([&] {
        status = sim.read();
        return status["devices"][static_cast<size_t>(kMoved - 1)]["ip"].str == "10.77.50." + std::to_string(9 + kMoved);
    });
    for (int n = 1; n <= kMoved; ++n)
        EXPECT_EQ(status["devices"][static_cast<size_t>(n - 1)]["ip"].str, "10.77.50." + std::to_string(9 + n)) << n;

    // The plan names its own columns; a missing one (netmask) and an empty cell (gateway of the
    // second row) keep the recorder's value.
    const std::string plan = lab.dir() + "/plan.csv";
    {
        std::ofstream f(plan);
        f << "serial,ip,gateway,dns1\n";
        for (int i = 0; i < kPlanned; ++i)
            f << serial(kMoved + 1 + i) << ",10.77.60." << (i + 1) << "," << (i == 1 ? "" : "10.77.0.254")
              << ",10.77.0.53\n";
        f << serial(kIgnoring) << ",10.77.60.9,10.77.0.254,\n";
    }
    const std::string report = lab.dir() + "/plan-report.json";
    r = lab.run({kCtl, "set-network", "--plan", plan, "--report", report}, 90000);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find(serial(kIgnoring) + " not confirmed"), std::string::npos) << r.err;
    Json rep;
    ASSERT_TRUE(e2e::parse_json(e2e::read_file(report), &rep));
    ASSERT_EQ(rep["recorders"].size(), static_cast<size_t>(kPlanned + 1));
    for (size_t i = 0; i < rep["recorders"].size(); ++i) {
        const Json& row = rep["recorders"][i];
        const bool ignoring = row["serial"].str == serial(kIgnoring);
        EXPECT_EQ(row["ok"].b, !ignoring) << row["serial"].str;
        EXPECT_EQ(row["result"].str, ignoring ? "not confirmed" : "confirmed");
    }
    status = sim.read();
    for (int i = 0; i < kPlanned; ++i) {
        const Json& d = status["devices"][static_cast<size_t>(kMoved + i)];
        EXPECT_EQ(d["ip"].str, "10.77.60." + std::to_string(i + 1));
        EXPECT_EQ(d["netmask"].str, "255.255.0.0");
        EXPECT_EQ(d["gateway"].str, i == 1 ? "10.77.0.1" : "10.77.0.254");
        // The plan's DNS server went out with the settings.
        ASSERT_GE(d["received"].size(), 1u);
        EXPECT_NE(d["received"][0]["text"].str.find("DNS1=\"10.77.0.53\"\r\n"), std::string::npos);
    }
    const Json& ignoring = status["devices"][static_cast<size_t>(kIgnoring - 1)];
    EXPECT_EQ(ignoring["ip"].str, "10.77.1." + std::to_string(kIgnoring));
    EXPECT_GE(ignoring["received"].size(), 1u) << "the request reached it";
    const Json& untouched = status["devices"][static_cast<size_t>(kUntouched - 1)];
    EXPECT_EQ(untouched["received"].size(), 0u);
    for (int n = 1; n <= kMoved; ++n)
        EXPECT_EQ(status["devices"][static_cast<size_t>(n - 1)]["received"].size(), 1u) << "moved again: " << n;

    // The plan's checks: nothing goes out for a plan that would clash or strand a recorder.
    const int64_t before = changes_sent(sim);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const cases[] = {
        {{"--serial", serial(kUntouched), "--ip", "10.77.50.10"}, "another found recorder has the address 10.77.50.10"},
        {{"--serial", serial(kUntouched), "--ip", "10.77.70.1", "--netmask", "255.255.255.0"},
         "the gateway 10.77.0.1 is outside the subnet"},
        {{"--serial", "NOSUCH", "--gateway", "10.77.0.2", "--seconds", "1"},
         "no recorder with serial number NOSUCH answered the search within 1 s; nothing was sent"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCtl, "set-network"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        r = lab.run(argv);
        EXPECT_NE(r.exit_code, 0) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(changes_sent(sim), before);
}

TEST_F(NetworkE2E, FormatDiskNeedsYesSendsTheExactRequestAndARefusalFails)
{
    NetnsLab lab(3);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "3", "--link-fault", "refuse-format:2"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "format-disk", "--disk", "sd2"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("formatting erases the recordings on the disk; add --yes"), std::string::npos) << r.err;
    EXPECT_EQ(sim.read()["datagrams_total"].integer(), 0) << "searched without --yes";

    r = lab.run({kCtl, "format-disk", "--disk", "sd2", "--yes", "--json", "--history", "off"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    Json out;
    ASSERT_TRUE(e2e::parse_json(r.out, &out)) << r.out;
    ASSERT_EQ(out["recorders"].size(), 3u);
    for (const Json& row : out["recorders"].arr) {
        const bool refusing = row["serial"].str == serial(3);
        EXPECT_EQ(row["ok"].b, !refusing) << row["serial"].str;
        if (refusing) {
            EXPECT_EQ(row["message"].str, "the recorder refused to format the disk (-1)");
        }
    }
    // The status file follows within a moment.
    ASSERT_TRUE(e2e::wait_until([&] {
        Json j = sim.read();
        for (size_t i = 0; i < 3; ++i)
            if (j["devices"][i]["link"]["formats"].size() != 1)
                return false;
        return true;
    }));
    for (int i = 0; i < 3; ++i) {
        Json link = sim.link(i);
        ASSERT_EQ(link["formats"].size(), 1u) << i;
        EXPECT_EQ(link["formats"][0].str, "sd2");
        bool exact = false;
        for (const Json& t : link["texts"].arr)
            exact = exact ||
                t.str.find(
                    "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1017\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
                    "<REQUEST_PARAM\nDevName=\"sd2\" \n/>\n</MESSAGE_BODY>") != std::string::npos;
        EXPECT_TRUE(exact) << i;
    }
}

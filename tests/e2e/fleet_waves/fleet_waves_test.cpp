// 300 simulated recorders, five of which refuse the login, in one private namespace: one
// refresh takes them all in waves over the links and writes its report; --retry-failed on
// that report logs in to exactly the five; search --expect with one serial more than the fleet
// names the missing one and exits 1. And 200 recorders upgraded in waves over all 64 links,
// every one of them ok with the image's exact bytes.
#include "link_e2e.h"
#include "util/digest.h"

#include <fstream>
#include <set>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

constexpr int kFleet = 300;
const std::vector<int> kRefusing = {7, 70, 150, 222, 299};  // device indexes

// Logins each recorder accepted and refused.
std::vector<std::pair<int64_t, int64_t>> logins(Sim& sim)
{
    std::vector<std::pair<int64_t, int64_t>> out;
    Json status = sim.read();
    for (size_t i = 0; i < status["devices"].size(); ++i)
        out.push_back({status["devices"][i]["link"]["logins_accepted"].integer(),
                       status["devices"][i]["link"]["logins_refused"].integer()});
    return out;
}

}  // namespace

class FleetWaves : public NetnsTest { };

TEST_F(FleetWaves, RefreshOfThreeHundredReportRetryAndExpect)
{
    NetnsLab lab(kFleet);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Rebooted recorders are back within a second, so the search at the end finds all of them.
    std::vector<std::string> args = {"--devices", std::to_string(kFleet), "--reboot-ms", "1000"};
    std::set<std::string> refusing;
    for (int i : kRefusing) {
        args.insert(args.end(), {"--link-fault", "refuse-login:" + std::to_string(i)});
        refusing.insert(serial(i + 1));
    }
    Sim sim(lab, args, /*status_file=*/false);  // 300 recorders: status on the command socket only
    ASSERT_TRUE(e2e::wait_until([&] { return sim.read()["devices"].size() == static_cast<size_t>(kFleet); }))
        << sim.err();

    // One command for the whole fleet, in waves over the links. One simulator process answers
    // every login, where each real recorder answers its own: 16 at once keep its answers within
    // the link's 200 ms login window on a loaded machine, and give each link some 19 recorders.
    const std::string report = lab.dir() + "/refresh.json";
    e2e::RunResult r = lab.run({kCtl, "refresh", "--factory-channel", "--parallel", "16", "--report", report}, 180000);
    EXPECT_EQ(r.exit_code, 1) << r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
    EXPECT_NE(r.err.find("295 of 300 recorder(s) succeeded"), std::string::npos);
    Json rep;
    ASSERT_TRUE(e2e::read_json_file(report, &rep)) << "no report";
    EXPECT_EQ(rep["command"].str, "refresh");
    EXPECT_FALSE(rep["ok"].b);
    ASSERT_EQ(rep["recorders"].size(), static_cast<size_t>(kFleet));
    std::set<std::string> serials, failed;
    for (size_t i = 0; i < rep["recorders"].size(); ++i) {
        const Json& rec = rep["recorders"][i];
        serials.insert(rec["serial"].str);
        if (!rec["ok"].b) {
            failed.insert(rec["serial"].str);
            EXPECT_EQ(rec["result"].str, "login refused") << rec["serial"].str;
            EXPECT_EQ(rec["message"].str, "the recorder refused the account");
            EXPECT_EQ(rec["login_ms"].type, Json::Null);
            continue;
        }
        SCOPED_TRACE(rec["serial"].str);
        EXPECT_EQ(rec["result"].str, "ok");
        EXPECT_EQ(rec["address"].str.rfind("10.77.", 0), 0u);
        EXPECT_EQ(rec["port"].integer(), 8091);
        EXPECT_EQ(rec["login_ms"].type, Json::Number);
        EXPECT_GE(rec["total_ms"].integer(), rec["login_ms"].integer());
        ASSERT_EQ(rec["steps"].size(), 2u);
        EXPECT_EQ(rec["steps"][0]["step"].str, "channel picture");
        EXPECT_EQ(rec["steps"][1]["step"].str, "reboot");
    }
    EXPECT_EQ(serials.size(), static_cast<size_t>(kFleet)) << "every recorder once";
    EXPECT_EQ(failed, refusing);
    // Every sound recorder was logged in to once and rebooted.
    std::vector<std::pair<int64_t, int64_t>> before;
    ASSERT_TRUE(e2e::wait_until([&] {
        before = logins(sim);
        int64_t accepted = 0;
        for (const auto& l : before)
            accepted += l.first;
        return accepted == kFleet - static_cast<int64_t>(kRefusing.size());
    }));

    // The five accept the account now; the retry touches them and no other.
    for (int i : kRefusing)
        ASSERT_EQ(sim.command("fault " + std::to_string(i) + " refuse-login off"), "ok 1");
    const std::string retry_report = lab.dir() + "/retry.json";
    r = lab.run({kCtl, "refresh", "--factory-channel", "--retry-failed", report, "--report", retry_report}, 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    Json retry;
    ASSERT_TRUE(e2e::read_json_file(retry_report, &retry));
    std::set<std::string> retried;
    for (size_t i = 0; i < retry["recorders"].size(); ++i) {
        retried.insert(retry["recorders"][i]["serial"].str);
        EXPECT_TRUE(retry["recorders"][i]["ok"].b);
    }
    EXPECT_EQ(retried, refusing);
    std::vector<std::pair<int64_t, int64_t>> after;
    EXPECT_TRUE(e2e::wait_until([&] {
        after = logins(sim);
        for (int i : kRefusing)
            if (after.size() <= static_cast<size_t>(i) || after[static_cast<size_t>(i)].first != 1)
                return false;
        return true;
    }));
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        if (!refusing.count(serial(static_cast<int>(i) + 1))) {
            EXPECT_EQ(after[i], before[i]) << serial(static_cast<int>(i) + 1) << " was logged in to again";
        }
    }

    // One serial more than the fleet holds.
    const std::string expect = lab.dir() + "/expect.txt";
    {
        std::ofstream f(expect);
        f << "# the shop floor's list\n";
        for (int n = 1; n <= kFleet + 1; ++n)
            f << serial(n) << "\n";
    }
    r = lab.run({kCtl, "search", "--seconds", "5", "--expect", expect}, 60000);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.out.find("expected 301: 300 found, 1 missing, 0 unexpected\nmissing " + serial(kFleet + 1) + "\n"),
              std::string::npos)
        << r.out.substr(r.out.size() > 500 ? r.out.size() - 500 : 0);
}

TEST_F(FleetWaves, UpgradeOfTwoHundredInWavesOverEveryLink)
{
    constexpr int kRecorders = 200;
    NetnsLab lab(kRecorders);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string fw = lab.dir() + "/fw.bin";
    {
        std::ofstream f(fw, std::ios::binary);
        uint32_t x = 0x2468aceu;
        for (int i = 0; i < (1 << 20); ++i) {
            x = x * 1664525u + 1013904223u;
            f.put(static_cast<char>(x >> 24));
        }
    }
    char hex[33];
    ASSERT_TRUE(md5_file_hex(fw.c_str(), hex));
    const std::string md5 = hex;
    Sim sim(lab, {"--devices", std::to_string(kRecorders)}, /*status_file=*/false);
    ASSERT_TRUE(e2e::wait_until([&] { return sim.read()["devices"].size() == static_cast<size_t>(kRecorders); }))
        << sim.err();

    // The default: 64 recorders at once, each of the others taking a link as one is given back,
    // so logins start while other links are uploading. A login that misses its answer is
    // retried within the login window, never the end of a recorder.
    std::vector<std::string> argv = {kCtl,    "upgrade",    "--firmware", fw,          "--user",
                                     "admin", "--password", "admin123",   "--history", "off"};
    for (int i = 0; i < kRecorders; ++i)
        argv.insert(argv.end(), {"--target", "10.77.1." + std::to_string(i + 1)});
    e2e::RunResult r = lab.run(argv, 300000);
    EXPECT_EQ(r.exit_code, 0) << r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
    EXPECT_NE(r.err.find("200 of 200 recorder(s) succeeded"), std::string::npos);
    Json status = sim.read();
    ASSERT_EQ(status["devices"].size(), static_cast<size_t>(kRecorders));
    for (size_t i = 0; i < status["devices"].size(); ++i) {
        const Json& link = status["devices"][i]["link"];
        EXPECT_EQ(link["files"]["1"]["md5"].str, md5) << serial(static_cast<int>(i) + 1);
        EXPECT_EQ(link["uploads_completed"].integer(), 1) << serial(static_cast<int>(i) + 1);
    }
}

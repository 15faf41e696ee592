// The history the tool keeps, against dravlin-sim recorders in a private namespace: a run killed
// with SIGKILL leaves a sound file holding every recorder it had said was done; two tools write
// to one PostgreSQL server at once and lose nothing; records written while the server is away
// reach it once it is back; --watch works on recorders as they come online, once each.
#include "common/pg_cluster.h"
#include "history/history.h"
#include "link_e2e.h"
#include "util/digest.h"

#include <sqlite3.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

class HistoryE2E : public NetnsTest { };

std::vector<std::string> ctl(std::vector<std::string> args)
{
    args.insert(args.begin(), kCtl);
    return args;
}

// The serials the tool's progress lines say are done.
std::set<std::string> done_in(const std::string& err)
{
    std::set<std::string> done;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        const size_t sp = line.find(' ');
        if (sp != std::string::npos && line.substr(sp + 1) == "done")
            done.insert(line.substr(0, sp));
    }
    return done;
}

std::vector<history::JobRecord> records(const std::string& location)
{
    history::Store store;
    std::vector<history::JobRecord> rows;
    std::string why;
    EXPECT_GE(store.open(location, &why), 0) << why;
    store.flush(&why);
    EXPECT_EQ(store.query({}, &rows, &why), history::kHistoryOk) << why;
    return rows;
}

}  // namespace

TEST_F(HistoryE2E, AKilledRunLeavesASoundFileWithEveryRecorderItSaidWasDone)
{
    NetnsLab lab(6);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Recorders 3 to 5 stop reading for ten minutes once a tenth of the image has arrived.
    Sim sim(lab, {"--devices", "6", "--link-fault", "slow-read:3,4,5", "--slow-read", "100:600000:10"}, false);
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string d = lab.dir(), fw = d + "/fw.bin", db = d + "/line.sqlite";
    std::ofstream(fw, std::ios::binary) << std::string(1000000, 'f');
    pid_t pid = lab.spawn(ctl({"upgrade", "--firmware", fw, "--history", db, "--seconds", "2"}), "up");
    ASSERT_TRUE(e2e::wait_until([&] { return done_in(e2e::read_file(d + "/up.err")).size() == 3; }, 60000))
        << e2e::read_file(d + "/up.err");
    const std::set<std::string> done = done_in(e2e::read_file(d + "/up.err"));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    lab.wait_exit(pid, 60000);

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string check;
    sqlite3_exec(
        raw, "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] ? values[0] : "";
            return 0;
        },
        &check, nullptr);
    sqlite3_close(raw);
    EXPECT_EQ(check, "ok");
    std::set<std::string> recorded;
    for (const history::JobRecord& r : records(db)) {
        EXPECT_EQ(r.result, "ok");
        EXPECT_EQ(r.files.size(), 1u);
        recorded.insert(r.serial);
    }
    for (const std::string& s : done)
        EXPECT_TRUE(recorded.count(s)) << s << " was said to be done but is not in the history";
}

TEST_F(HistoryE2E, TwoToolsShareOnePostgresServerAndRecordsWaitWhileItIsAway)
{
    test_common::Cluster pg;
    const std::string skip = pg.start();
    if (!skip.empty())
        GTEST_SKIP() << "PostgreSQL: " << skip;
    ASSERT_TRUE(pg.create_db("line"));
    const std::string location = pg.location("line");
    NetnsLab lab(10);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Recorder 9 stops reading for a few seconds at a tenth of its picture: the third run is
    // still going when the server goes away.
    Sim sim(lab, {"--devices", "10", "--link-fault", "slow-read:8", "--slow-read", "100:6000:10"}, false);
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string d = lab.dir();
    auto serials = [](int from, int to) {
        std::vector<std::string> a;
        for (int n = from; n <= to; ++n) {
            a.push_back("--serial");
            a.push_back(serial(n));
        }
        return a;
    };
    const std::string picture = d + "/channel.png";
    std::ofstream(picture, std::ios::binary) << std::string(50000, 'c');
    auto run_args = [&](const char* station, std::vector<std::string> chosen) {
        std::vector<std::string> a = {"refresh", "--channel", picture, "--history", location, "--station", station};
        a.insert(a.end(), chosen.begin(), chosen.end());
        return ctl(a);
    };
    const pid_t a = lab.spawn(run_args("station-a", serials(1, 4)), "a");
    const pid_t b = lab.spawn(run_args("station-b", serials(5, 8)), "b");
    EXPECT_EQ(lab.wait_exit(a, 120000), 0) << e2e::read_file(d + "/a.err");
    EXPECT_EQ(lab.wait_exit(b, 120000), 0) << e2e::read_file(d + "/b.err");
    std::vector<history::JobRecord> rows = records(location);
    EXPECT_EQ(rows.size(), 8u);
    std::set<std::string> stations;
    for (const auto& r : rows)
        stations.insert(r.station);
    EXPECT_EQ(stations, (std::set<std::string>{"station-a", "station-b"}));

    // The server stops while a run goes on: the run succeeds, says the history could not be
    // written there, and its records wait on the station until the server is back.
    const pid_t c = lab.spawn(run_args("station-c", serials(9, 10)), "c");
    ASSERT_TRUE(e2e::wait_until([&] { return !done_in(e2e::read_file(d + "/c.err")).empty(); }, 60000))
        << e2e::read_file(d + "/c.err");
    ASSERT_TRUE(pg.down());
    EXPECT_EQ(lab.wait_exit(c, 120000), 0) << e2e::read_file(d + "/c.err");
    EXPECT_NE(e2e::read_file(d + "/c.err").find("history"), std::string::npos) << e2e::read_file(d + "/c.err");
    ASSERT_TRUE(pg.up());
    e2e::RunResult listed = lab.run(ctl({"history", "--history", location, "--json"}));
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    Json j;
    ASSERT_TRUE(e2e::parse_json(listed.out, &j)) << listed.out;
    EXPECT_EQ(j.size(), 10u) << listed.out;
    int from_c = 0;
    for (const Json& r : j.arr)
        from_c += r["station"].str == "station-c" ? 1 : 0;
    EXPECT_EQ(from_c, 2);
}

// A production line: recorders come online one after another while the tool watches; each is
// upgraded once, although it reboots to install the image and answers the search again; the
// history lists them all with the image's MD5, and a second watch over the same recorders
// sends nothing.
TEST_F(HistoryE2E, WatchUpgradesEveryRecorderOnceAsItComesOnline)
{
    constexpr int kRecorders = 20;
    NetnsLab lab(kRecorders);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab,
            {"--devices", std::to_string(kRecorders), "--online-spread", "10", "--reboot-after-firmware", "--reboot-ms",
             "1500"},
            false);
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string d = lab.dir(), fw = d + "/fw.bin", db = d + "/line.sqlite";
    std::ofstream(fw, std::ios::binary) << std::string(200000, 'f');
    char md5[33] = {};
    ASSERT_TRUE(md5_file_hex(fw.c_str(), md5));

    e2e::RunResult first = lab.run(
        ctl({"upgrade", "--firmware", fw, "--watch", "--count", std::to_string(kRecorders), "--history", db}), 120000);
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_NE(first.err.find("watch: 20 done, 0 failed, 0 in progress"), std::string::npos) << first.err;
    for (int i = 0; i < kRecorders; ++i) {
        Json link = sim.link(i);
        EXPECT_EQ(link["uploads_completed"].integer(), 1) << i;
        EXPECT_GE(link["reboots"].integer(), 1) << i;
    }

    e2e::RunResult listed = lab.run(ctl({"history", "--history", db, "--json"}));
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    Json j;
    ASSERT_TRUE(e2e::parse_json(listed.out, &j)) << listed.out;
    ASSERT_EQ(j.size(), static_cast<size_t>(kRecorders));
    std::set<std::string> serials;
    for (const Json& r : j.arr) {
        EXPECT_TRUE(r["ok"].b);
        EXPECT_EQ(r["command"].str, "upgrade");
        ASSERT_EQ(r["files"].size(), 1u);
        EXPECT_EQ(r["files"][0]["md5"].str, md5);
        serials.insert(r["serial"].str);
    }
    EXPECT_EQ(serials.size(), static_cast<size_t>(kRecorders));

    e2e::RunResult again = lab.run(ctl({"upgrade", "--firmware", fw, "--watch", "--for", "4", "--history", db}), 60000);
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_NE(again.err.find("20 done before (history)"), std::string::npos) << again.err;
    for (int i = 0; i < kRecorders; ++i)
        EXPECT_EQ(sim.link(i)["uploads_completed"].integer(), 1) << i;
}

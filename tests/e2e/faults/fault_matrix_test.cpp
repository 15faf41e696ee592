// The fault matrix: dravlinctl upgrade against simulated recorders that each misbehave in one
// way, all in one private network namespace. Every row says what the tool must answer (exit
// status, the recorder's `ok` and `result` in --json) and by when; none may hang or crash, and
// every link is closed again afterwards.
#include "link_e2e.h"
#include "util/digest.h"

#include <fstream>
#include <functional>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

struct Row {
    const char* name;
    const char* fault;   // the recorder's link fault, or nullptr
    int exit_code;       // dravlinctl's exit status
    bool ok;             // the recorder's "ok"
    const char* result;  // the recorder's "result"
    // What the recorder noted, checked once the run has ended (optional).
    std::function<void(const Json& link, const std::string& md5)> check = nullptr;
    // A second way the same fault may end, decided by which the link notices first: the send
    // that fails on the closed connection, or the read that finds it closed.
    const char* send_failed_message = nullptr;
};

// Each row's recorder is device i of the fleet, at 10.77.1.(i + 1).
const std::vector<Row>& rows()
{
    static const std::vector<Row> r = {
        {"sound recorder", nullptr, 0, true, "ok",
         [](const Json& l, const std::string& md5) { EXPECT_EQ(l["files"]["1"]["md5"].str, md5); }},
        {"refuse login", "refuse-login", 1, false, "login refused",
         [](const Json& l, const std::string&) { EXPECT_GE(l["logins_refused"].integer(), 1); }},
        {"never answer", "no-answer", 1, false, "no login answer", nullptr},
        {"silent after login", "silent-after-login", 1, false, "timed out", nullptr},
        {"wrong magic", "bad-magic", 1, false, "link lost", nullptr},
        {"truncated frame", "truncated", 1, false, "link lost", nullptr},
        {"0xFFFFFFFF length", "huge-length", 1, false, "link lost", nullptr},
        {"bad XML", "bad-xml", 1, false, "link lost", nullptr},
        {"close mid-upload", "close-mid-upload", 1, false, "link lost",
         [](const Json& l, const std::string&) {
             EXPECT_EQ(l["uploads_failed"].integer(), 1);
             EXPECT_EQ(l["files"].size(), 0u);
         },
         "the link failed while sending"},
        {"refuse upload", "refuse-upload", 1, false, "failed",
         [](const Json& l, const std::string&) { EXPECT_EQ(l["uploads_refused"].integer(), 1); }},
        {"reject verdict", "reject-verdict", 1, false, "failed",
         [](const Json& l, const std::string& md5) {
             EXPECT_EQ(l["uploads_completed"].integer(), 1) << "the data arrived whole before the rejection";
             EXPECT_EQ(l["files"]["1"]["md5"].str, md5);
         }},
        // Reads slowly, so the upload is still running when the test has it reboot.
        {"reboot mid-sequence", "slow-read", 1, false, "link lost",
         [](const Json& l, const std::string&) { EXPECT_EQ(l["uploads_completed"].integer(), 0); }},
        // Rebooted before the run and away for longer than the run.
        {"device that never comes back", nullptr, 1, false, "timed out", nullptr},
    };
    return r;
}

constexpr int kRebootMidRow = 11;
constexpr int kAwayRow = 12;
constexpr int kTimeoutSeconds = 8;  // --timeout: bounds the login window as well

std::string address(size_t row) { return "10.77.1." + std::to_string(row + 1); }

std::string make_firmware(const std::string& path, size_t size)
{
    {
        std::ofstream f(path, std::ios::binary);
        uint32_t x = 0x1234567u;
        for (size_t i = 0; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            f.put(static_cast<char>(x >> 24));
        }
    }
    char hex[33];
    return md5_file_hex(path.c_str(), hex) ? hex : "";
}

std::vector<std::string> upgrade(const std::string& fw, const std::string& addr, int timeout_s)
{
    return {kCtl,     "upgrade", "--firmware", fw,         "--target",  addr,
            "--user", "admin",   "--password", "admin123", "--timeout", std::to_string(timeout_s),
            "--json"};
}

// The one recorder of a --json summary; its exit status is checked by the caller.
const Json& recorder_of(const Json& summary) { return summary["recorders"][0]; }

}  // namespace

class FaultMatrix : public NetnsTest { };

TEST_F(FaultMatrix, EveryFaultEndsInItsOwnResultInTime)
{
    const auto& table = rows();
    NetnsLab lab(static_cast<int>(table.size()));
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string fw = lab.dir() + "/fw.bin";
    const std::string md5 = make_firmware(fw, 256 * 1024);
    ASSERT_FALSE(md5.empty());

    std::vector<std::string> args = {"--devices",  std::to_string(table.size()), "--reboot-ms", "600000", "--slow-read",
                                     "100:3000:50"};
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].fault) {
            args.push_back("--link-fault");
            args.push_back(std::string(table[i].fault) + ":" + std::to_string(i));
        }
    }
    Sim sim(lab, args);
    ASSERT_TRUE(sim.ready()) << sim.err();
    ASSERT_EQ(sim.command("reboot " + std::to_string(kAwayRow)), "ok 1");
    ASSERT_TRUE(e2e::wait_until([&] { return !sim.link(kAwayRow)["listening"].b; }));

    // All rows at once: each is its own dravlinctl with its own deadline.
    std::vector<pid_t> pids;
    for (size_t i = 0; i < table.size(); ++i)
        pids.push_back(lab.spawn(upgrade(fw, address(i), kTimeoutSeconds), "row" + std::to_string(i)));
    // The recorder of the reboot row goes away once its upload has begun.
    EXPECT_TRUE(e2e::wait_until([&] { return sim.link(kRebootMidRow)["upload_bytes"].integer() > 0; }, 30000));
    EXPECT_EQ(sim.command("reboot " + std::to_string(kRebootMidRow)), "ok 1");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds + 40);
    for (size_t i = 0; i < table.size(); ++i) {
        const Row& row = table[i];
        SCOPED_TRACE(row.name);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int code = lab.wait_exit(pids[i], static_cast<int>(std::max<int64_t>(left.count(), 1)));
        std::string out = e2e::read_file(lab.dir() + "/row" + std::to_string(i) + ".out");
        std::string err = e2e::read_file(lab.dir() + "/row" + std::to_string(i) + ".err");
        EXPECT_EQ(code, row.exit_code) << "(-1: hung or crashed)\n" << out << err;
        Json summary;
        ASSERT_TRUE(e2e::parse_json(out, &summary)) << out << err;
        const Json& rec = recorder_of(summary);
        EXPECT_EQ(rec["ok"].type == Json::Bool && rec["ok"].b, row.ok) << out;
        if (row.send_failed_message && rec["result"].str == "failed")
            EXPECT_EQ(rec["message"].str, row.send_failed_message) << out << err;
        else
            EXPECT_EQ(rec["result"].str, row.result) << out << err;
        EXPECT_EQ(summary["ok"].type == Json::Bool && summary["ok"].b, row.ok);
    }
    // Nothing is left connected once the tools have ended.
    EXPECT_TRUE(e2e::wait_until([&] { return sim.read()["open_connections"].integer() == 0; }))
        << "open connections: " << sim.read()["open_connections"].integer();
    Json status = sim.read();
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].name);
        if (table[i].check)
            table[i].check(status["devices"][i]["link"], md5);
    }
}

// A slow reader with a long pause: 8 MB to a recorder that reads 400 KB/s through a 16 KiB
// receive buffer and stops reading for 12 s half way. The link waits for it, so the recorder
// holds the whole image, the closing frame and the verdict arrive, and the run succeeds.
TEST_F(FaultMatrix, SlowReaderWithALongPauseGetsTheWholeFirmware)
{
    NetnsLab lab(1);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string fw = lab.dir() + "/fw.bin";
    const std::string md5 = make_firmware(fw, 8 * 1000 * 1000);
    ASSERT_FALSE(md5.empty());
    Sim sim(lab,
            {"--devices", "1", "--link-fault", "slow-read:0", "--slow-read", "400:12000:50", "--store",
             lab.dir() + "/store"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run(upgrade(fw, address(0), 240), 200000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    Json summary;
    ASSERT_TRUE(e2e::parse_json(r.out, &summary)) << r.out << r.err;
    EXPECT_EQ(recorder_of(summary)["result"].str, "ok") << r.out;
    ASSERT_TRUE(e2e::wait_until([&] { return sim.link(0)["uploads_completed"].integer() == 1; }));
    Json link = sim.link(0);
    EXPECT_EQ(link["files"]["1"]["size"].integer(), 8 * 1000 * 1000);
    EXPECT_EQ(link["files"]["1"]["md5"].str, md5);
    char hex[33];
    EXPECT_STREQ(md5_file_hex(link["files"]["1"]["path"].str.c_str(), hex), md5.c_str()) << "the stored bytes";
    EXPECT_EQ(link["uploads_failed"].integer(), 0);
    EXPECT_TRUE(link["errors"].arr.empty());
}

// The tool's promises under hostile paths, files that change while they are sent, signals and
// odd recorders: dravlinctl against dravlin-sim recorders in a private network namespace. Each
// row says what the tool must answer (exit status, the recorder's result, a message) and what
// the simulator saw: nothing at all where nothing may be sent.
#include "link_e2e.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

namespace {

// The recorders of the promise table, at 10.77.1.(index + 1).
enum Device : int {
    kPlain,     // a sound NVR; its configuration get 304 answers a file of the test
    kEmptyNvr,  // no channels at all
    kBigNvr,    // 100 channels
    kOddTexts,  // a device type with terminal control sequences in it
    kChannels,  // channel adds
    kDevices
};

std::string address(int device) { return "10.77.1." + std::to_string(device + 1); }

std::vector<std::string> account(int device)
{
    return {"--target", address(device), "--user", "admin", "--password", "admin123"};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> ctl(const std::vector<std::string>& args) { return std::vector<std::string>{kCtl} + args; }

void write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

mode_t kind_of(const std::string& path)
{
    struct stat st { };
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

long long count(const Json& status, const std::string& code)
{
    const Json& c = status["codes"][code];
    return c.type == Json::Number ? c.integer() : 0;
}

// Nothing reached the recorder's link, and nothing went out as a broadcast.
void nothing_sent(const Json& before, const Json& after, int device)
{
    EXPECT_EQ(after["devices"][static_cast<size_t>(device)]["link"]["connections"].integer(),
              before["devices"][static_cast<size_t>(device)]["link"]["connections"].integer());
    EXPECT_EQ(after["datagrams_total"].integer(), before["datagrams_total"].integer());
}

struct Row {
    const char* name;
    int device;  // the recorder the row is about
    std::vector<std::string> argv;
    int exit_code;
    const char* result;   // the recorder's "result" in the --json summary; "" when there is none
    const char* message;  // in standard output or standard error
    // What the simulator saw (its status before and after the run); null: no more than the
    // command's own work, which the exit status and result already tell.
    std::function<void(const Json& before, const Json& after)> saw = nullptr;
    // What must hold of the files afterwards (the paths the tool was given, untouched).
    std::function<void()> files = nullptr;
    const char* never = nullptr;                        // text that must not appear in the output (a password)
    std::vector<std::vector<std::string>> before = {};  // commands run first
};

class ToolPromises : public NetnsTest { };

}  // namespace

TEST_F(ToolPromises, EveryPromiseHoldsWithItsExitResultAndWhatTheRecorderSaw)
{
    NetnsLab lab(kDevices);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string d = lab.dir();
    ASSERT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((d + "/folder").c_str(), 0700), 0);
    // A stand-in for a device node: the null device's numbers, in the test's own folder.
    ASSERT_EQ(::mknod((d + "/device").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    write_text(d + "/target.json", "keep");
    ASSERT_EQ(::symlink((d + "/target.json").c_str(), (d + "/link.json").c_str()), 0);
    write_text(d + "/report.json.part", "mine");
    write_text(d + "/vendor.xml", "<VENDOR_PARAM VendorId=\"ACME\"/>");
    write_text(d + "/pw", "admin123\n");
    write_text(d + "/expect.txt", serial(1) + "  # shelf 3\n" + serial(2) + "#\n");
    write_text(d + "/fleet.txt",
               "config.304=vendor.xml\n"
               "channels=0\n"
               "channels=100\n"
               "type=NVR\x1b]0;owned\x07\n"
               "channels=16 camera=MVK:192.168.1.101:8091 camera=MVK:192.168.1.103:8091 "
               "camera=MVK:192.168.1.104:8091\n");
    // The status is asked for on the command socket: what it shows is what the simulator holds
    // right now, so "nothing arrived" needs no wait for a status file.
    Sim sim(lab, {"--fleet", d + "/fleet.txt"}, false);
    ASSERT_TRUE(sim.ready()) << sim.err();

    auto nothing = [](int device) {
        return [device](const Json& before, const Json& after) { nothing_sent(before, after, device); };
    };
    auto stays = [&](const std::string& name, mode_t kind) {
        return [path = d + "/" + name, kind] { EXPECT_EQ(kind_of(path), kind) << path; };
    };
    const std::vector<std::string> mode = {"channel-mode", "--mode", "2", "--json"};
    // clang-format off
    const std::vector<Row> rows = {
        // --report: what is at the path is never replaced unless it is a report.
        {"report on a folder", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/folder"}),
         2, "", "it is a folder", nothing(kPlain), stays("folder", S_IFDIR)},
        {"report on a FIFO", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/fifo"}),
         2, "", "not a regular file", nothing(kPlain), stays("fifo", S_IFIFO)},
        {"report on a device node", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/device"}),
         2, "", "not a regular file", nothing(kPlain), stays("device", S_IFCHR)},
        {"report on a symbolic link", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/link.json"}),
         2, "", "symbolic link", nothing(kPlain),
         [&] {
             EXPECT_EQ(kind_of(d + "/link.json"), static_cast<mode_t>(S_IFLNK));
             EXPECT_EQ(e2e::read_file(d + "/target.json"), "keep");
         }},
        {"report in a missing folder", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/none/r.json"}),
         2, "", "does not exist", nothing(kPlain)},
        {"report beside an unrelated PATH.part", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--report", d + "/report.json"}),
         0, "ok", "", nullptr,
         [&] {
             EXPECT_EQ(e2e::read_file(d + "/report.json.part"), "mine");
             Json r;
             ASSERT_TRUE(e2e::read_json_file(d + "/report.json", &r));
             EXPECT_TRUE(r["ok"].b);
             for (const auto& e : std::filesystem::directory_iterator(d))
                 EXPECT_EQ(e.path().filename().string().rfind(".dravlinctl-", 0), std::string::npos) << e.path();
         }},
        // A reader that closes standard output does not cost the report.
        {"summary into a closed pipe", kPlain,
         {"bash", "-c", kCtl + " channel-mode --mode 2 --json --target " + address(kPlain) +
                            " --user admin --password admin123 --report " + d + "/piped.json | true; exit ${PIPESTATUS[0]}"},
         0, "", "", nullptr,
         [&] {
             Json r;
             ASSERT_TRUE(e2e::read_json_file(d + "/piped.json", &r));
             EXPECT_TRUE(r["ok"].b);
         }},
        // Input files that are no regular files: refused before anything is sent.
        {"firmware from a FIFO", kPlain, ctl(std::vector<std::string>{"upgrade", "--firmware", d + "/fifo"} + account(kPlain)),
         2, "", "not a regular file", nothing(kPlain), stays("fifo", S_IFIFO)},
        {"boot picture from a FIFO", kPlain, ctl(std::vector<std::string>{"refresh", "--boot", d + "/fifo"} + account(kPlain)),
         2, "", "not a regular file", nothing(kPlain)},
        {"expect list from a FIFO", kPlain, ctl({"search", "--expect", d + "/fifo"}), 2, "", "not a regular file",
         nothing(kPlain)},
        {"retry list from a FIFO", kPlain, ctl({"reboot", "--retry-failed", d + "/fifo"}), 2, "", "not a regular file",
         nothing(kPlain)},
        {"picture check of a FIFO", kPlain, ctl({"check-picture", d + "/fifo"}), 2, "", "not a regular file", nothing(kPlain)},
        // Values a recorder must not be sent.
        {"MAC that is no MAC", kPlain, ctl({"set-network", "--serial", serial(1), "--mac", "zz"}), 2, "",
         "--mac needs six hexadecimal pairs", nothing(kPlain)},
        {"MAC of seven octets", kPlain, ctl({"set-network", "--serial", serial(1), "--mac", "00:11:22:33:44:55:66"}), 2, "",
         "--mac needs six hexadecimal pairs", nothing(kPlain)},
        {"address 0.0.0.0", kPlain, ctl({"set-network", "--serial", serial(1), "--ip", "0.0.0.0"}), 2, "",
         "--ip 0.0.0.0 is no address of one device", nothing(kPlain)},
        {"broadcast address", kPlain, ctl({"set-network", "--serial", serial(1), "--gateway", "255.255.255.255"}), 2, "",
         "--gateway 255.255.255.255 is no address of one device", nothing(kPlain)},
        {"netmask with a hole", kPlain, ctl({"set-network", "--serial", serial(1), "--netmask", "255.0.255.0"}), 2, "",
         "--netmask 255.0.255.0 is not a netmask", nothing(kPlain)},
        {"an option given twice", kPlain, ctl(mode + account(kPlain) + std::vector<std::string>{"--timeout", "3", "--timeout", "4"}),
         2, "", "--timeout is given twice", nothing(kPlain)},
        {"restore for a serial nobody answers", kPlain, ctl({"restore-config", "--serial", "NOSUCH", "--seconds", "1"}), 1, "",
         "no recorder with serial number NOSUCH answered the search",
         [](const Json& before, const Json& after) { EXPECT_EQ(count(after, "5"), count(before, "5")); }},
        // Credentials: from a file or the environment, and never in the diagnostic lines.
        {"password from a file, verbose", kPlain,
         ctl(mode + std::vector<std::string>{"--verbose", "--target", address(kPlain), "--user", "admin", "--password-file", d + "/pw"}),
         0, "ok", "Password=\"***\"", nullptr, nullptr, "admin123"},
        {"password from the environment", kPlain,
         std::vector<std::string>{"env", "DRAVLIN_PASSWORD=admin123"} + ctl(mode + std::vector<std::string>{"--target", address(kPlain), "--user", "admin"}),
         0, "ok", ""},
        // Readers take the body as recorders send it.
        {"vendor reader on a device-shaped body", kPlain,
         ctl(std::vector<std::string>{"config", "get", "--code", "304", "--as", "vendor"} + account(kPlain)), 0, "",
         "{\"VendorId\": \"ACME\"}"},
        // NVRs whose tables are out of the ordinary.
        {"NVR without channels", kEmptyNvr, ctl(std::vector<std::string>{"channels"} + account(kEmptyNvr) + std::vector<std::string>{"list"}),
         1, "", "the NVR reports no channels"},
        {"NVR with 100 channels", kBigNvr, ctl(std::vector<std::string>{"channels"} + account(kBigNvr) + std::vector<std::string>{"list"}),
         0, "", "the NVR reports 100 channels; the first 96 are shown"},
        {"camera already in another channel", kChannels,
         ctl(std::vector<std::string>{"channels"} + account(kChannels) + std::vector<std::string>{"add", "--ip", "192.168.1.103"}),
         1, "", "192.168.1.103 is in channel 2 already",
         [](const Json&, const Json& after) {
             int holding = 0;
             for (const Json& c : after["devices"][static_cast<size_t>(kChannels)]["link"]["nvr"]["channels"].arr)
                 holding += c["ip"].str == "192.168.1.103";
             EXPECT_EQ(holding, 1);
         },
         nullptr, nullptr,
         {ctl(std::vector<std::string>{"channels"} + account(kChannels) + std::vector<std::string>{"add", "--ip", "192.168.1.103", "--channel", "2"})}},
        {"camera over an occupied channel", kChannels,
         ctl(std::vector<std::string>{"channels"} + account(kChannels) + std::vector<std::string>{"add", "--ip", "192.168.1.104", "--channel", "1"}),
         0, "", "channel 1 held 192.168.1.101; it now holds 192.168.1.104", nullptr, nullptr, nullptr,
         {ctl(std::vector<std::string>{"channels"} + account(kChannels) + std::vector<std::string>{"add", "--ip", "192.168.1.101", "--channel", "1"})}},
        // What a recorder says is shown, never obeyed by the terminal.
        {"control characters in a device text", kOddTexts, ctl({"search", "--seconds", "2"}), 0, "",
         "NVR\\x1b]0;owned\\x07", nullptr, nullptr, "\x1b]0;"},
        {"comment behind an expected serial", kPlain, ctl({"search", "--seconds", "3", "--expect", d + "/expect.txt"}), 0, "",
         "expected 2: 2 found, 0 missing"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& cmd : row.before) {
            e2e::RunResult pre = lab.run(cmd);
            ASSERT_EQ(pre.exit_code, 0) << pre.out << pre.err;
        }
        const Json before = sim.read();
        e2e::RunResult r = lab.run(row.argv, 90000);
        const Json after = sim.read();
        const std::string all = r.out + r.err;
        EXPECT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
        if (*row.result) {
            Json summary;
            ASSERT_TRUE(e2e::parse_json(r.out, &summary)) << r.out << r.err;
            EXPECT_EQ(summary["recorders"][0]["result"].str, row.result) << r.out;
        }
        EXPECT_NE(all.find(row.message), std::string::npos) << all;
        if (row.never) {
            EXPECT_EQ(all.find(row.never), std::string::npos) << all;
        }
        if (row.saw)
            row.saw(before, after);
        if (row.files)
            row.files();
    }
}

// An image that grows or is cut short while it is being sent: that recorder fails with the
// changed-file message, and the recorder never receives more bytes than were announced, nor a
// complete file.
TEST_F(ToolPromises, AFirmwareThatChangesWhileItIsSentFailsWithNoMoreThanItsAnnouncedLength)
{
    NetnsLab lab(2);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // Both recorders stop reading for 15 s once half the image has arrived: the tool, held up
    // by them, has read well short of the end when the files change (its socket takes a few
    // megabytes at most).
    Sim sim(lab,
            {"--devices", "2", "--link-fault", "slow-read:0", "--link-fault", "slow-read:1", "--slow-read",
             "50000:15000:50"},
            false);
    ASSERT_TRUE(sim.ready()) << sim.err();
    const size_t kSize = 20000000;
    std::string bytes(kSize, '\0');
    for (size_t i = 0; i < kSize; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string grown = lab.dir() + "/grown.bin", cut = lab.dir() + "/cut.bin";
    write_text(grown, bytes);
    write_text(cut, bytes);
    const std::string files[] = {grown, cut};
    std::vector<pid_t> pids;
    for (int i = 0; i < 2; ++i)
        pids.push_back(lab.spawn(
            ctl(std::vector<std::string>{"upgrade", "--json", "--timeout", "120", "--firmware", files[i]} + account(i)),
            "up" + std::to_string(i)));
    const long long half = static_cast<long long>(kSize / 2);
    ASSERT_TRUE(e2e::wait_until(
        [&] { return sim.link(0)["upload_bytes"].integer() >= half && sim.link(1)["upload_bytes"].integer() >= half; },
        60000));
    {
        std::ofstream more(grown, std::ios::binary | std::ios::app);
        more << std::string(1000, 'x');
    }
    ASSERT_EQ(::truncate(cut.c_str(), static_cast<off_t>(kSize - 1000000)), 0);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(files[i]);
        const int code = lab.wait_exit(pids[static_cast<size_t>(i)], 90000);
        const std::string out = e2e::read_file(lab.dir() + "/up" + std::to_string(i) + ".out");
        const std::string err = e2e::read_file(lab.dir() + "/up" + std::to_string(i) + ".err");
        EXPECT_EQ(code, 1) << out << err;
        Json summary;
        ASSERT_TRUE(e2e::parse_json(out, &summary)) << out << err;
        EXPECT_EQ(summary["recorders"][0]["result"].str, "failed");
        EXPECT_EQ(summary["recorders"][0]["message"].str, "the file changed while it was sent") << out;
        Json link = sim.link(i);
        EXPECT_LE(link["upload_bytes"].integer(), static_cast<long long>(kSize)) << "more than announced";
        EXPECT_EQ(link["uploads_completed"].integer(), 0);
        EXPECT_EQ(link["files"].size(), 0u);
    }
}

// SIGINT while one recorder has its image verified and the other is still taking it: the run
// ends in order with 130, the report says ok for the first and interrupted for the second, and
// --retry-failed takes exactly the second.
TEST_F(ToolPromises, AnInterruptedUpgradeReportsWhatFinishedAndRetriesOnlyTheRest)
{
    NetnsLab lab(2);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    // The second recorder stops reading for ten minutes once a tenth of the image has arrived.
    Sim sim(lab, {"--devices", "2", "--link-fault", "slow-read:1", "--slow-read", "100:600000:10"}, false);
    ASSERT_TRUE(sim.ready()) << sim.err();
    const std::string d = lab.dir(), fw = d + "/fw.bin", report = d + "/run.json";
    write_text(fw, std::string(1000000, 'f'));
    const std::vector<std::string> both = {"--target", address(0), "--target",   address(1),
                                           "--user",   "admin",    "--password", "admin123"};
    pid_t pid = lab.spawn(ctl(std::vector<std::string>{"upgrade", "--firmware", fw, "--report", report} + both), "up");
    ASSERT_TRUE(e2e::wait_until(
        [&] {
            return e2e::read_file(d + "/up.err").find(address(0) + ":8091 done") != std::string::npos &&
                sim.link(1)["upload_bytes"].integer() > 0;
        },
        60000))
        << e2e::read_file(d + "/up.err");
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    EXPECT_EQ(lab.wait_exit(pid, 60000), 130) << e2e::read_file(d + "/up.err");
    EXPECT_NE(e2e::read_file(d + "/up.err").find("stopped by SIGINT"), std::string::npos);
    Json r;
    ASSERT_TRUE(e2e::read_json_file(report, &r));
    ASSERT_EQ(r["recorders"].size(), 2u);
    EXPECT_EQ(r["recorders"][0]["result"].str, "ok");
    EXPECT_TRUE(r["recorders"][0]["ok"].b);
    EXPECT_EQ(r["recorders"][1]["result"].str, "interrupted");
    EXPECT_FALSE(r["ok"].b);
    EXPECT_EQ(sim.link(1)["uploads_completed"].integer(), 0);

    ASSERT_EQ(sim.command("fault 1 slow-read off"), "ok 1");
    e2e::RunResult retry = lab.run(ctl({"upgrade", "--firmware", fw, "--retry-failed", report, "--report", report,
                                        "--user", "admin", "--password", "admin123"}));
    EXPECT_EQ(retry.exit_code, 0) << retry.out << retry.err;
    ASSERT_TRUE(e2e::read_json_file(report, &r));
    ASSERT_EQ(r["recorders"].size(), 1u);
    EXPECT_EQ(r["recorders"][0]["address"].str, address(1));
    EXPECT_EQ(sim.link(0)["uploads_completed"].integer(), 1) << "the verified recorder was left alone";
    EXPECT_EQ(sim.link(1)["uploads_completed"].integer(), 1);
}

// A run that finds no recorder still writes its report, so an older one saying ok does not stay.
TEST_F(ToolPromises, ARunThatFindsNothingStillReplacesAnOlderReport)
{
    NetnsLab lab(0);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string report = lab.dir() + "/run.json";
    write_text(report, R"({"command": "reboot", "ok": true, "recorders": []})");
    e2e::RunResult r = lab.run(ctl({"reboot", "--seconds", "1", "--report", report}));
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("no recorder found"), std::string::npos) << r.err;
    Json j;
    ASSERT_TRUE(e2e::read_json_file(report, &j));
    EXPECT_EQ(j["command"].str, "reboot");
    EXPECT_FALSE(j["ok"].b);
    EXPECT_EQ(j["recorders"].size(), 0u);
}

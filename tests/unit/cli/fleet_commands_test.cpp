// dravlinctl's commands over recorders, run as the real executable against fake recorders on
// 127.0.0.1 given with --target: the exact order of requests of refresh, what each other
// command sends and how the answers decide the exit status, the JSON summary, parallel
// recorders, the time-out, argument errors, and that --target opens no search socket; the
// report of --target recorders retried by address, and the readers of expect files.
#include "cli/fleet_files.h"
#include "common/fake_nvr.h"
#include "common/pseudo_random.h"
#include "e2e/json_lite.h"
#include "run_tool.h"
#include "util/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

using namespace cli_test;
using FakeNvr = test_common::FakeNvr;

namespace {

using test_common::pseudo_random;

[[maybe_unused]] constexpr const char* kPasswordEnv = "DRAVLIN_PASSWORD";

const std::string kFactoryJpeg = std::string(DRAVLIN_TEST_SOURCE_DIR) + "/imaging/resources/factory_boot.jpg";

std::vector<std::string> account(const FakeNvr& nvr)
{
    return {"--target", nvr.target(), "--user", "admin", "--password", "123456"};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

e2e::Json parse(const std::string& text)
{
    e2e::Json j;
    EXPECT_TRUE(e2e::parse_json(text, &j)) << text;
    return j;
}

// Picture files of a test: the boot picture is the factory JPEG (it passes the decode check),
// the others any bytes within 64 KB (their content is not examined).
struct Pictures {
    std::string boot = kFactoryJpeg, channel, shutdown;
    std::string channel_bytes = pseudo_random(50000, 7), shutdown_bytes = pseudo_random(65536, 9);
    explicit Pictures(const std::string& dir) : channel(dir + "/c.png"), shutdown(dir + "/s.png")
    {
        write_file(channel, channel_bytes);
        write_file(shutdown, shutdown_bytes);
    }
};

TEST(CliRefresh, RequestOrderAndOutcomeFollowTheGivenPictures)
{
    struct Case {
        const char* name;
        std::vector<std::string> (*args)(const Pictures&);
        FakeNvr::Config cfg;
        const char* sequence;
        int status;
    };
    using V = std::vector<std::string>;
    FakeNvr::Config refuse_channel;
    refuse_channel.refuse_upload = {4};
    FakeNvr::Config reject_boot;
    reject_boot.reject_verdict = {3};
    FakeNvr::Config restore_refused;
    restore_refused.restore_flag = 1;
    FakeNvr::Config reboot_refused;
    reboot_refused.reboot_flag = 1;
    // clang-format off
    const Case cases[] = {
        {"three files", [](const Pictures& p) { return V{"--boot", p.boot, "--channel", p.channel, "--shutdown", p.shutdown}; },
         {}, "1022/3 1022/4 1022/5 1007", 0},
        {"three factory pictures", [](const Pictures&) { return V{"--factory-boot", "--factory-channel", "--factory-shutdown"}; },
         {}, "1022/3 1004/4 1004/5 1007", 0},
        {"channel only", [](const Pictures& p) { return V{"--channel", p.channel}; }, {}, "1022/4 1007", 0},
        {"boot file, factory shutdown", [](const Pictures& p) { return V{"--factory-shutdown", "--boot", p.boot}; },
         {}, "1022/3 1004/5 1007", 0},
        {"refused channel upload", [](const Pictures& p) { return V{"--boot", p.boot, "--channel", p.channel, "--shutdown", p.shutdown}; },
         refuse_channel, "1022/3 1022/4 1022/5 1007", 1},
        {"boot rejected after the data", [](const Pictures& p) { return V{"--boot", p.boot, "--shutdown", p.shutdown}; },
         reject_boot, "1022/3 1022/5 1007", 1},
        {"factory restore refused", [](const Pictures&) { return V{"--factory-channel"}; }, restore_refused, "1004/4 1007", 1},
        {"reboot refused", [](const Pictures& p) { return V{"--channel", p.channel}; }, reboot_refused, "1022/4 1007", 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tool tool;
        Pictures pics(tool.dir());
        FakeNvr nvr(c.cfg);
        ToolResult r = tool.run(V{"refresh"} + c.args(pics) + account(nvr));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(nvr.sequence(), c.sequence);
        if (c.status == 0) {
            std::string seq = c.sequence;
            if (seq.find("1022/3") != std::string::npos) {
                EXPECT_EQ(nvr.received(3), slurp(kFactoryJpeg));
            }
            if (seq.find("1022/4") != std::string::npos) {
                EXPECT_EQ(nvr.received(4), pics.channel_bytes);
            }
            if (seq.find("1022/5") != std::string::npos) {
                EXPECT_EQ(nvr.received(5), pics.shutdown_bytes);
            }
            EXPECT_NE(r.err.find(nvr.target() + " rebooting"), std::string::npos) << r.err;
        }
    }
}

TEST(CliRefresh, FactoryPicturesAreTheBuiltInBootPictureAndTwoRestores)
{
    Tool tool;
    FakeNvr nvr;
    ToolResult r =
        tool.run(std::vector<std::string>{"refresh", "--factory-boot", "--factory-channel", "--factory-shutdown"} +
                 account(nvr));
    EXPECT_EQ(r.status, 0) << r.err;
    auto reqs = nvr.requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].code, 1022);
    EXPECT_EQ(reqs[0].body,
              "<REQUEST_PARAM\nFileType=\"3\"\nFilePath= \"RESOURCE_STARTPIC\"\nStartPos= \"0\"\nFileLength=\"" +
                  std::to_string(slurp(kFactoryJpeg).size()) + "\"\n/>");
    EXPECT_EQ(reqs[1].code, 1004);
    EXPECT_EQ(reqs[1].body, "<REQUEST_PARAM\nFileType=\"4\"\n\n/>");
    EXPECT_EQ(reqs[2].code, 1004);
    EXPECT_EQ(reqs[2].body, "<REQUEST_PARAM\nFileType=\"5\"\n\n/>");
    EXPECT_EQ(reqs[3].code, 1007);
    EXPECT_EQ(reqs[3].body, "");
    EXPECT_EQ(nvr.received(3), slurp(kFactoryJpeg));
    EXPECT_NE(r.err.find("boot picture 100%"), std::string::npos) << r.err;
}

TEST(CliRefresh, JsonSummaryKeepsEveryStepOfARefusedPicture)
{
    Tool tool;
    Pictures pics(tool.dir());
    FakeNvr::Config cfg;
    cfg.refuse_upload = {4};
    FakeNvr nvr(cfg);
    ToolResult r = tool.run(std::vector<std::string>{"refresh", "--json", "--boot", pics.boot, "--channel",
                                                     pics.channel, "--factory-shutdown"} +
                            account(nvr));
    EXPECT_EQ(r.status, 1);
    e2e::Json j = parse(r.out);
    EXPECT_EQ(j["command"].str, "refresh");
    EXPECT_EQ(j["ok"].type, e2e::Json::Bool);
    EXPECT_FALSE(j["ok"].b);
    ASSERT_EQ(j["recorders"].size(), 1u);
    const e2e::Json& rec = j["recorders"][0];
    EXPECT_EQ(rec["name"].str, nvr.target());
    EXPECT_EQ(rec["serial"].str, "");
    EXPECT_EQ(rec["address"].str, "127.0.0.1");
    EXPECT_EQ(rec["port"].integer(), nvr.port());
    EXPECT_FALSE(rec["ok"].b);
    EXPECT_EQ(rec["result"].str, "failed");
    const e2e::Json& steps = rec["steps"];
    ASSERT_EQ(steps.size(), 4u);
    const char* names[] = {"boot picture", "channel picture", "shutdown picture", "reboot"};
    const bool oks[] = {true, false, true, true};
    const int values[] = {0, 5, 0, 0};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(steps[i]["step"].str, names[i]);
        EXPECT_EQ(steps[i]["ok"].b, oks[i]);
        EXPECT_EQ(steps[i]["value"].integer(), values[i]);
    }
}

TEST(CliRefresh, RecordersRunInParallelAndOneRefusedLoginFailsTheRun)
{
    Tool tool;
    Pictures pics(tool.dir());
    FakeNvr a, b, c;
    FakeNvr::Config refuse;
    refuse.login = FakeNvr::Login::kRefuse;
    FakeNvr bad(refuse);
    std::vector<std::string> args{"refresh", "--json", "--channel",  pics.channel, "--factory-shutdown",
                                  "--user",  "admin",  "--password", "123456"};
    for (FakeNvr* n : {&a, &bad, &b, &c})
        args = args + std::vector<std::string>{"--target", n->target()};
    ToolResult r = tool.run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    for (FakeNvr* n : {&a, &b, &c}) {
        EXPECT_EQ(n->sequence(), "1022/4 1004/5 1007");
        EXPECT_EQ(n->received(4), pics.channel_bytes);
    }
    EXPECT_EQ(bad.sequence(), "");
    e2e::Json j = parse(r.out);
    ASSERT_EQ(j["recorders"].size(), 4u);
    std::vector<std::string> results;
    for (size_t i = 0; i < 4; ++i)
        results.push_back(j["recorders"][i]["result"].str);
    EXPECT_EQ(results, (std::vector<std::string>{"ok", "login refused", "ok", "ok"}));
    EXPECT_NE(r.err.find("3 of 4 recorder(s) succeeded"), std::string::npos) << r.err;
}

TEST(CliLoginOutcome, NoAnswerBadFrameAndRefusalAreToldApart)
{
    struct Case {
        const char* name;
        FakeNvr::Config cfg;
        const char* result;
        const char* message;
    };
    auto cfg = [](auto set) {
        FakeNvr::Config c;
        set(c);
        return c;
    };
    // clang-format off
    const Case cases[] = {
        {"refused", cfg([](FakeNvr::Config& c) { c.login = FakeNvr::Login::kRefuse; }), "login refused", "the recorder refused the account"},
        {"silent", cfg([](FakeNvr::Config& c) { c.login = FakeNvr::Login::kSilent; }), "no login answer",
         "the recorder did not answer the login"},
        {"wrong magic", cfg([](FakeNvr::Config& c) { c.login = FakeNvr::Login::kWrongMagic; }), "bad login answer",
         "the recorder's login answer is not a valid frame"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tool tool;
        FakeNvr nvr(c.cfg);
        ToolResult r = tool.run(std::vector<std::string>{"reboot", "--json", "--timeout=10"} + account(nvr));
        EXPECT_EQ(r.status, 1) << r.err;
        e2e::Json j = parse(r.out);
        ASSERT_EQ(j["recorders"].size(), 1u);
        EXPECT_EQ(j["recorders"][0]["result"].str, c.result);
        EXPECT_EQ(j["recorders"][0]["message"].str, c.message);
        EXPECT_FALSE(nvr.has_request(1007));
    }
}

TEST(CliRefresh, ARecorderThatDoesNotFinishInTimeFails)
{
    Tool tool;
    Pictures pics(tool.dir());
    FakeNvr::Config cfg;
    cfg.hold_reboot = true;  // never answers the reboot
    FakeNvr nvr(cfg);
    ToolResult r = tool.run(std::vector<std::string>{"refresh", "--json", "--timeout", "2", "--channel", pics.channel} +
                            account(nvr));
    EXPECT_EQ(r.status, 1);
    e2e::Json j = parse(r.out);
    const e2e::Json& rec = j["recorders"][0];
    EXPECT_EQ(rec["result"].str, "timed out");
    // The step it was in stays in the row.
    ASSERT_EQ(rec["steps"].size(), 2u);
    EXPECT_EQ(rec["steps"][0]["step"].str, "channel picture");
    EXPECT_TRUE(rec["steps"][0]["ok"].b);
    EXPECT_EQ(rec["steps"][1]["step"].str, "reboot");
    EXPECT_FALSE(rec["steps"][1]["ok"].b);
    EXPECT_EQ(rec["steps"][1]["detail"].str, "sent, not answered");
}

TEST(CliRefresh, AnUnreachableAddressTimesOutAsCouldNotConnect)
{
    Tool tool;
    Pictures pics(tool.dir());
    uint16_t port;
    {
        FakeNvr gone;
        port = gone.port();
    }  // a port nobody listens on any more
    ToolResult r = tool.run({"refresh", "--timeout", "1", "--channel", pics.channel, "--target",
                             "127.0.0.1:" + std::to_string(port), "--user", "u", "--password", "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("timed out"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("could not connect"), std::string::npos) << r.out;

    // An upgrade's long --timeout covers the work, not the login: the login window ends it.
    std::string fw = tool.dir() + "/fw.bin";
    write_file(fw, pseudo_random(1000, 4));
    r = tool.run({"upgrade", "--firmware", fw, "--target", "127.0.0.1:" + std::to_string(port), "--user", "u",
                  "--password", "p"},
                 nullptr, 90);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not logged in within 15 s (could not connect)"), std::string::npos) << r.out;
}

// Inodes of the UDP sockets of this network namespace.
std::set<std::string> udp_inodes()
{
    std::set<std::string> out;
    for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::string text = slurp(path);
        size_t pos = text.find('\n');  // header line
        while (pos != std::string::npos && pos + 1 < text.size()) {
            size_t end = text.find('\n', pos + 1);
            std::string line = text.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
            std::vector<std::string> cols;
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && line[i] == ' ')
                    ++i;
                size_t j = line.find(' ', i);
                if (i < line.size())
                    cols.push_back(line.substr(i, j == std::string::npos ? std::string::npos : j - i));
                i = j == std::string::npos ? line.size() : j;
            }
            if (cols.size() > 9)
                out.insert(cols[9]);
            pos = end;
        }
    }
    return out;
}

std::vector<std::string> socket_inodes(int pid)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code lec;
        std::string l = std::filesystem::read_symlink(it->path(), lec).string();
        if (!lec && l.rfind("socket:[", 0) == 0)
            out.push_back(l.substr(8, l.size() - 9));
    }
    return out;
}

TEST(CliTarget, DirectAddressesOpenNoSearchSocket)
{
    if (test_common::kWindows)
        GTEST_SKIP() << "another process's sockets are read from Linux's /proc";
    Tool tool;
    FakeNvr::Config cfg;
    cfg.hold_reboot = true;
    FakeNvr nvr(cfg);
    bool looked = false;
    std::vector<std::string> sockets;
    bool any_udp = true;
    ToolResult r = tool.run(std::vector<std::string>{"reboot"} + account(nvr), [&](int pid) {
        // While the tool waits for the reboot answer it has done all it will do before it.
        if (!nvr.has_request(1007))
            return false;
        sockets = socket_inodes(pid);
        std::set<std::string> udp = udp_inodes();
        any_udp = false;
        for (const auto& s : sockets)
            any_udp = any_udp || udp.count(s) > 0;
        looked = true;
        nvr.release_reboot();
        return true;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(looked);
    EXPECT_FALSE(sockets.empty());  // the control link itself
    EXPECT_FALSE(any_udp);
}

TEST(CliCommands, EachSendsItsRequestAndTheAnswerDecidesTheStatus)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        FakeNvr::Config cfg;
        int code;
        const char* body;  // null: not compared
        int status;
    };
    auto cfg = [](auto set) {
        FakeNvr::Config c;
        set(c);
        return c;
    };
    // clang-format off
    const Case cases[] = {
        {"reboot accepted", {"reboot"}, {}, 1007, "", 0},
        {"reboot refused", {"reboot"}, cfg([](FakeNvr::Config& c) { c.reboot_flag = 2; }), 1007, "", 1},
        {"buzzer on", {"buzzer", "--enable", "1"}, {}, 3026, "<REQUEST_PARAM\nCtrlBuzzerEnable=\"1\"\n/>\n", 0},
        {"buzzer unsupported", {"buzzer", "--enable", "0"}, cfg([](FakeNvr::Config& c) { c.buzzer_flag = 2; }), 3026,
         "<REQUEST_PARAM\nCtrlBuzzerEnable=\"0\"\n/>\n", 1},
        {"buzzer answer 0 is a failure", {"buzzer", "--enable", "1"}, cfg([](FakeNvr::Config& c) { c.buzzer_flag = 0; }),
         3026, nullptr, 1},
        {"channel mode locked", {"channel-mode", "--mode", "3", "--lock"}, {}, 1006,
         "<REQUEST_PARAM\nCrtlEnable=\"0\"\nChnAddCfg=\"3\"\n/>\n", 0},
        {"channel mode answer 1", {"channel-mode", "--mode", "0"}, cfg([](FakeNvr::Config& c) { c.chnmode_flag = 1; }),
         1006, "<REQUEST_PARAM\nCrtlEnable=\"1\"\nChnAddCfg=\"0\"\n/>\n", 0},
        {"channel mode refused", {"channel-mode", "--mode", "4"}, cfg([](FakeNvr::Config& c) { c.chnmode_flag = 2; }),
         1006, nullptr, 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tool tool;
        FakeNvr nvr(c.cfg);
        ToolResult r = tool.run(c.args + account(nvr));
        EXPECT_EQ(r.status, c.status) << r.err;
        auto reqs = nvr.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].type, "SYSTEM_CONTROL_MESSAGE");
        EXPECT_EQ(reqs[0].code, c.code);
        if (c.body) {
            EXPECT_EQ(reqs[0].body, c.body);
        }
    }
}

TEST(CliUpgrade, FirmwareIsUploadedAsFileTypeOneAndTheVerdictDecides)
{
    struct Case {
        const char* name;
        FakeNvr::Config cfg;
        int status;
        bool data_expected;
    };
    FakeNvr::Config rejected;
    rejected.reject_verdict = {1};
    FakeNvr::Config refused;
    refused.refuse_upload = {1};
    // clang-format off
    const Case cases[] = {{"accepted", {}, 0, true}, {"rejected after the data", rejected, 1, true},
                          {"refused announcement", refused, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tool tool;
        std::string fw = tool.dir() + "/fw.bin", bytes = pseudo_random(100000, 3);
        write_file(fw, bytes);
        FakeNvr nvr(c.cfg);
        ToolResult r = tool.run(std::vector<std::string>{"upgrade", "--firmware", fw} + account(nvr));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(nvr.sequence(), "1022/1");
        if (c.data_expected) {
            EXPECT_EQ(nvr.received(1), bytes);
            EXPECT_NE(r.err.find("firmware 40%"), std::string::npos) << r.err;
        }
    }
}

TEST(CliArguments, BadArgumentsExitTwoBeforeAnyConnection)
{
    Tool tool;
    FakeNvr nvr;
    std::string d = tool.dir();
    write_file(d + "/big.jpg", std::string(245761, 'x'));
    write_file(d + "/garbage.jpg", pseudo_random(1000, 5));
    write_file(d + "/big.png", std::string(65537, 'x'));
    write_file(d + "/empty.bin", "");
    const std::vector<std::string> acct = account(nvr);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    // clang-format on
    // clang-format off
    const Case cases[] = {
        {{"refresh"}, "give at least one picture"},
        {{"refresh", "--boot", kFactoryJpeg, "--factory-boot"}, "choose one of --boot and --factory-boot"},
        {{"refresh", "--channel", d + "/big.png", "--factory-channel"}, "choose one of --channel"},
        {{"refresh", "--factory-shutdown", "--shutdown", "x.png"}, "choose one of --shutdown"},
        {{"refresh", "--boot"}, "--boot needs a file"},
        {{"refresh", "--factory-boot", "--colour"}, "unknown option '--colour'"},
        {{"refresh", "--factory-boot", "--timeout", "0"}, "--timeout needs"},
        {{"refresh", "--factory-boot", "--seconds", "x"}, "--seconds needs"},
        {{"refresh", "--boot", d + "/big.jpg"}, "图片文件大小请限制在 240 KByte内"},
        {{"refresh", "--boot", d + "/garbage.jpg"}, "解码失败,不能做logo,请检查该图片文件是否满足要求"},
        {{"refresh", "--channel", d + "/big.png"}, "图片文件大小请限制在 64 KByte内"},
        {{"refresh", "--shutdown", d + "/missing.png"}, "cannot be opened: No such file or directory"},
        {{"refresh", "--channel", d + "/empty.bin"}, "the file is empty"},
        {{"refresh", "--factory-boot", "--shutdown=" + d + "/empty.bin"}, "the file is empty"},
        {{"reboot", "--enable", "1"}, "unknown option '--enable'"},
        {{"buzzer"}, "--enable 0|1 is required"},
        {{"buzzer", "--enable", "2"}, "--enable needs 0 or 1"},
        {{"channel-mode"}, "--mode 0..4 is required"},
        {{"channel-mode", "--mode", "5"}, "--mode needs a number from 0 to 4"},
        {{"upgrade"}, "--firmware FILE is required"},
        {{"upgrade", "--firmware", d + "/empty.bin"}, "the file is empty"},
        {{"upgrade", "--firmware", d + "/missing.bin"}, "cannot be opened: No such file or directory"},
        {{"upgrade", "--firmware", d}, "not a regular file"},
    };
    // clang-format on
    for (const Case& c : cases) {
        // The account first, so that an option missing its value is the last argument.
        std::vector<std::string> args =
            std::vector<std::string>{c.args[0]} + acct + std::vector<std::string>(c.args.begin() + 1, c.args.end());
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        ToolResult r = tool.run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // Target combinations (no account of the fake here).
    const Case target_cases[] = {
        {{"reboot", "--target", "127.0.0.1:0"}, "--target needs IP[:PORT]"},
        {{"reboot", "--target", "localhost"}, "--target needs IP[:PORT]"},
        {{"reboot", "--target", "127.0.0.1:70000"}, "--target needs IP[:PORT]"},
        {{"reboot", "--target", nvr.target()}, "--target needs --user and --password"},
        {{"reboot", "--target", nvr.target(), "--user", "a"}, "--target needs --user and --password"},
        {{"reboot", "--user", "a", "--password", "b"}, "--user and --password go with --target"},
        {{"reboot", "--serial", "X1", "--target", nvr.target(), "--user", "a", "--password", "b"},
         "does not go with --target"},
        {{"reboot", "--target", nvr.target(), "--user", std::string(32, 'u'), "--password", "b"}, "at most 31"},
        {{"reboot", "--target", nvr.target(), "--user", "a\"b", "--password", "b"}, "--user: it holds '\"'"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--password", "p<w"}, "--password: it holds '<'"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--password=p&w"}, "--password: it holds '&'"},
        {{"reboot", "--target", nvr.target(), "--user", "a\tb", "--password", "b"}, "control character"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--user", "b", "--password", "p"},
         "--user is given twice"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--password", "p", "--password-file", d + "/pw"},
         "give the password once"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--password-file", d + "/none"},
         "/none: cannot be opened"},
        // A character GB2312/GBK has no form for would reach the recorder as another account.
        {{"reboot", "--target", nvr.target(), "--user", "\xF0\x9F\x98\x80", "--password", "p"},
         "--user: it has a character that GB2312/GBK"},
        {{"reboot", "--target", nvr.target(), "--user", "a", "--password", "p", "--timeout", "3", "--timeout", "4"},
         "--timeout is given twice"},
        {{"upgrade", "--target", nvr.target(), "--user", "a", "--password", "p", "--firmware", "a", "--firmware", "b"},
         "--firmware is given twice"},
    };
    for (const Case& c : target_cases) {
        SCOPED_TRACE(c.args[2]);
        ToolResult r = tool.run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(nvr.connections(), 0);
}

#ifndef _WIN32  // the command line there is in the ANSI code page, not UTF-8
// The account as the recorder takes it: the GB2312/GBK bytes of a UTF-8 user name, a password
// from the first line of a file or from the environment, and never a password in the link's
// diagnostic lines.
TEST(CliAccount, GoesOutAsGbkFromTheCommandLineAFileOrTheEnvironment)
{
    Tool tool;
    const std::string pw = tool.dir() + "/pw";
    write_file(pw, "s3cret\r\nnot this line\n");
    const std::string user = "\xE5\xBC\xA0\xE4\xB8\x89", gbk_user = "\xD5\xC5\xC8\xFD";  // 张三
    struct Case {
        const char* name;
        std::vector<std::string> account;
        const char* env;
        std::string sent;
    };
    const Case cases[] = {
        {"file",
         {"--user", user, "--password-file", pw},
         nullptr,
         "Username=\"" + gbk_user + "\"\nPassword=\"s3cret\""},
        {"environment", {"--user", "admin"}, "env-pw", "Username=\"admin\"\nPassword=\"env-pw\""},
        {"the option wins", {"--user", "admin", "--password", "given"}, "env-pw", "Password=\"given\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNvr nvr;
        if (c.env)
            ::setenv(kPasswordEnv, c.env, 1);
        ToolResult r = tool.run(std::vector<std::string>{"reboot", "--verbose", "--target", nvr.target()} + c.account);
        ::unsetenv(kPasswordEnv);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(nvr.count_frames_containing(c.sent), 1) << c.sent;
        EXPECT_NE(r.err.find("Password=\"***\""), std::string::npos) << r.err;
        for (const char* secret : {"s3cret", "env-pw", "given"})
            EXPECT_EQ(r.err.find(secret), std::string::npos) << secret << " in --verbose output";
    }
}
#endif

TEST(CliHelp, EveryFleetCommandDescribesItsOptions)
{
    Tool tool;
    for (const char* cmd : {"refresh", "reboot", "upgrade", "buzzer", "channel-mode", "login"}) {
        SCOPED_TRACE(cmd);
        ToolResult r = tool.run({cmd, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("Usage: dravlinctl ") + cmd, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--target"), std::string::npos);
    }
}

TEST(CliLogin, TargetLogsInAndPrintsTheLoginEvent)
{
    Tool tool;
    FakeNvr nvr;
    ToolResult r = tool.run(std::vector<std::string>{"login", "--seconds", "1"} + account(nvr));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(nvr.target() + " login " + nvr.target() + "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(nvr.target() + " event 4\n"), std::string::npos) << r.out;
    EXPECT_GE(nvr.connections(), 1);
}

TEST(CliReport, TargetRecordersThatFailedAreRetriedByAddressOnly)
{
    Tool tool;
    FakeNvr good;
    FakeNvr::Config refuse;
    refuse.login = FakeNvr::Login::kRefuse;
    FakeNvr bad(refuse);
    const std::string report = tool.dir() + "/report.json";
    ToolResult r = tool.run({"reboot", "--report", report, "--parallel", "1", "--user", "admin", "--password", "123456",
                             "--target", good.target(), "--target", bad.target()});
    EXPECT_EQ(r.status, 1) << r.err;
    e2e::Json j = parse(slurp(report));
    EXPECT_EQ(j["command"].str, "reboot");
    EXPECT_NE(j["started"].str, "");
    EXPECT_NE(j["ended"].str, "");
    ASSERT_EQ(j["recorders"].size(), 2u);
    EXPECT_EQ(j["recorders"][0]["result"].str, "ok");
    EXPECT_EQ(j["recorders"][0]["login_ms"].type, e2e::Json::Number);
    EXPECT_GE(j["recorders"][0]["total_ms"].integer(), j["recorders"][0]["login_ms"].integer());
    EXPECT_EQ(j["recorders"][1]["result"].str, "login refused");
    EXPECT_EQ(j["recorders"][1]["login_ms"].type, e2e::Json::Null);
    EXPECT_EQ(j["recorders"][1]["port"].integer(), bad.port());

    const int good_before = good.connections(), bad_before = bad.connections();
    const std::vector<std::string> retry = {"reboot", "--retry-failed", report, "--report", report};
    r = tool.run(retry + std::vector<std::string>{"--user", "admin", "--password", "123456"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(good.connections(), good_before);
    EXPECT_GT(bad.connections(), bad_before);
    j = parse(slurp(report));
    ASSERT_EQ(j["recorders"].size(), 1u);
    EXPECT_EQ(j["recorders"][0]["name"].str, bad.target());

    // What cannot be retried stops before any connection.
    const std::string other = tool.dir() + "/other.json", junk = tool.dir() + "/junk.json";
    write_file(other, R"({"command": "upgrade", "ok": false, "recorders": []})");
    write_file(junk, "RECORDER ADDRESS RESULT\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    using V = std::vector<std::string>;
    // clang-format off
    const Case cases[] = {
        {retry, "were given with --target: give --user and --password again"},
        {{"reboot", "--retry-failed", other}, "is a report of 'upgrade', not of 'reboot'"},
        {{"reboot", "--retry-failed", junk}, "not a dravlinctl report"},
        {{"reboot", "--retry-failed", tool.dir() + "/none.json"}, "cannot be opened"},
        {{"reboot", "--retry-failed", report, "--target", good.target()}, "does not go with --serial or --target"},
        {V{"reboot", "--parallel", "65"} + account(good), "--parallel needs a whole number from 1 to 64"},
        {V{"reboot", "--report", tool.dir() + "/no/such/dir.json"} + account(good), "cannot be written"},
        {V{"login", "--report", report} + account(good), "unknown option '--report'"},
    };
    // clang-format on
    const int connections = good.connections() + bad.connections();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        r = tool.run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(good.connections() + bad.connections(), connections);
}

TEST(CliExpectFile, EveryFormatGivesItsSerialsInOrder)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> serials;
        const char* problem;  // nullptr: read
    };
    using V = std::vector<std::string>;
    // clang-format off
    const Case cases[] = {
        {"lines", "# shop floor\nS1\n\n  S2  \r\nS1\nS3", V{"S1", "S2", "S3"}, nullptr},
        {"comments behind a serial", "S1 # shelf 3\nS2#\n  # S3\n", V{"S1", "S2"}, nullptr},
        {"csv", "\xEF\xBB\xBFip,Serial,user\n10.0.0.1,S1,admin\n\"10.0.0.2\",\"S,2\",x\n", V{"S1", "S,2"}, nullptr},
        {"csv of one column", "serial\nS1\nS2\n", V{"S1", "S2"}, nullptr},
        {"search --json", "[\n  {\"serial\": \"S1\", \"ip\": \"10.0.0.1\"},\n  {\"serial\": \"S\\u00e92\"}]", V{"S1", "S\xC3\xA9" "2"},
         nullptr},
        {"report", R"({"command": "reboot", "recorders": [{"serial": "S1"}, {"serial": "S2"}]})", V{"S1", "S2"}, nullptr},
        {"strings", R"(["S1", "S2"])", V{"S1", "S2"}, nullptr},
        {"csv without a serial column", "ip,user\n10.0.0.1,admin\n", V{}, "a column named \"serial\""},
        {"broken json", "[{\"serial\": \"S1\"", V{}, "not valid JSON"},
        {"json without serials", R"([{"ip": "10.0.0.1"}])", V{}, "without a \"serial\""},
        {"object without recorders", R"({"serials": []})", V{}, "without a \"recorders\" array"},
        {"only comments", "# none yet\n\n", V{}, "no serial number"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> serials;
        std::string why = dravlinctl::parse_expect_list(c.text, serials);
        if (c.problem) {
            EXPECT_NE(why.find(c.problem), std::string::npos) << why;
        } else {
            EXPECT_EQ(why, "");
            EXPECT_EQ(serials, c.serials);
        }
    }
}

TEST(CliNetworkPlan, ColumnsAreNamedByTheHeaderAndEmptyCellsKeepTheRecordersValues)
{
    struct Case {
        const char* name;
        std::string text;
        const char* rows;     // "serial:key=value,...;" per row; nullptr when refused
        const char* problem;  // with rows nullptr
    };
    // clang-format off
    const Case cases[] = {
        {"columns in any order and case, a spreadsheet's BOM and CR",
         "\xEF\xBB\xBFIP,Serial,gateway\r\n10.1.0.5,S1,10.1.0.1\r\n# spare\r\n,S2,\r\n", "S1:gateway=10.1.0.1,ip=10.1.0.5;S2:;",
         nullptr},
        {"fewer cells than columns", "serial,ip,dhcp\nS1\n", "S1:;", nullptr},
        {"quoted cells", "serial,dns1\n\"S1\",\" 10.0.0.53 \"\n", "S1:dns1=10.0.0.53;", nullptr},
        {"an unknown column", "serial,mask\nS1,255.0.0.0\n", nullptr, "plan line 1: unknown column 'mask'"},
        {"no serial column", "ip\n10.0.0.1\n", nullptr, "names no serial column"},
        {"a column twice", "serial,ip,IP\n", nullptr, "column ip is named twice"},
        {"more cells than columns", "serial,ip\nS1,10.0.0.1,x\n", nullptr, "plan line 2: 3 cells"},
        {"a serial twice", "serial\nS1\nS1\n", nullptr, "plan line 3: serial number S1 is planned twice"},
        {"an empty serial", "serial,ip\n,10.0.0.1\n", nullptr, "plan line 2: the serial number needs"},
        {"no rows", "serial,ip\n", nullptr, "the plan names no recorder"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<dravlinctl::PlanRow> rows;
        std::string why = dravlinctl::parse_network_plan(c.text, rows);
        if (!c.rows) {
            EXPECT_NE(why.find(c.problem), std::string::npos) << why;
            continue;
        }
        EXPECT_EQ(why, "");
        std::string got;
        for (const auto& r : rows) {
            got += r.serial + ":";
            std::string sep;
            for (const auto& [k, v] : r.values) {
                got += sep + k + "=" + v;
                sep = ",";
            }
            got += ";";
        }
        EXPECT_EQ(got, c.rows);
    }
}

// The reasons the tool prints for a broadcast that could not go out read the same on Windows,
// whose C runtime has no texts for the socket codes, as on Linux.
TEST(CliErrorTexts, SocketErrorsReadAsOnLinux)
{
    const std::pair<int, const char*> cases[] = {
        {ENETUNREACH, "Network is unreachable"}, {EHOSTUNREACH, "No route to host"},
        {ENETDOWN, "Network is down"},           {EADDRNOTAVAIL, "Cannot assign requested address"},
        {ENOBUFS, "No buffer space available"},  {EACCES, "Permission denied"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_STREQ(log_error_text(code), text) << code;
}

}  // namespace

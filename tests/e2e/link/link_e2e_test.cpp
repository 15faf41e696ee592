// The control link end to end: dravlinctl and dravlin-sim inside a private network namespace,
// the console's link library on one side and the simulated recorders on the other.
#include "link_e2e.h"
#include "util/digest.h"

#include <set>

using e2e::Json;
using e2e::NetnsLab;
using e2e::NetnsTest;

using namespace link_e2e;

class LinkE2E : public NetnsTest { };

TEST_F(LinkE2E, SixtyFourRecordersAllLogIn)
{
    NetnsLab lab(64);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "64"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "login", "--seconds", "15"}, 90000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    auto ev = events_of(r.out);
    ASSERT_EQ(ev.size(), 64u) << r.out;
    for (int n = 1; n <= 64; ++n) {
        const auto& codes = ev[serial(n)];
        EXPECT_TRUE(has(codes, 4)) << serial(n) << " did not log in:\n" << r.out;
        EXPECT_FALSE(has(codes, 2)) << serial(n) << " lost its link";
        EXPECT_FALSE(has(codes, 5)) << serial(n);
    }
    Json j;
    e2e::wait_until([&] {
        j = sim.read();
        return j["open_connections"].integer() == 0;
    });
    ASSERT_EQ(j["devices"].size(), 64u);
    for (const Json& d : j["devices"].arr) {
        EXPECT_EQ(d["link"]["logins_accepted"].integer(), 1) << d["serial"].str;
        EXPECT_EQ(d["link"]["last_user"].str, "admin");
        // 15 s of idle link: the console's heartbeat every 10 s arrived.
        EXPECT_GE(d["link"]["heartbeats"].integer(), 1) << d["serial"].str;
        EXPECT_EQ(d["link"]["errors"].size(), 0u) << d["serial"].str << ": " << d["link"]["errors"][0].str;
    }
    EXPECT_EQ(j["open_connections"].integer(), 0) << "every link was logged out";

    // The login and heartbeat texts exactly as they crossed the wire.
    const Json& texts = j["devices"][0]["link"]["texts"];
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0].str,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"USER_AUTH_MESSAGE\"\nMsg_code=\"CMD_USER_AUTH\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
              "<USER_AUTH_PARAM\nUsername=\"admin\"\nPassword=\"admin123\"/>\n</MESSAGE_BODY>\n</XML_MORVEK>");
    EXPECT_EQ(texts[1].str,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"AUXPTZ_HEARTBEAT_MESSAGE\"\nMsg_code=\"CMD_HEARTBEAT\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY>\n"
              "</MESSAGE_BODY>\n</XML_MORVEK><MESSAGE_BODY/>\n</XML_MORVEK>");
    EXPECT_EQ(texts[1].str.size(), 218u);
}

TEST_F(LinkE2E, OneRefusingRecorderShowsEvent5AndFailsTheRun)
{
    NetnsLab lab(64);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "64", "--link-fault", "refuse-login:DRVSIM000017"});
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "login", "--seconds", "5"}, 60000);
    EXPECT_NE(r.exit_code, 0) << r.out;
    auto ev = events_of(r.out);
    ASSERT_EQ(ev.size(), 64u) << r.out;
    for (int n = 1; n <= 64; ++n) {
        const auto& codes = ev[serial(n)];
        if (n == 17) {
            EXPECT_TRUE(has(codes, 5)) << r.out;
            EXPECT_FALSE(has(codes, 4)) << r.out;
        } else {
            EXPECT_TRUE(has(codes, 4)) << serial(n);
        }
    }
    EXPECT_TRUE(e2e::wait_until([&] { return sim.link(16)["logins_refused"].integer() >= 1; }));
    EXPECT_EQ(sim.link(16)["logins_accepted"].integer(), 0);
}

TEST_F(LinkE2E, BrokenLinksShowTheirEvents)
{
    // 0 is sound; 1-5 break the link right after accepting the login; 6 answers the login
    // and then stays quiet; 7 never answers at all.
    const char* faults[] = {nullptr,   "bad-magic",         "huge-length",        "truncated",
                            "bad-xml", "close-after-login", "silent-after-login", "no-answer"};
    NetnsLab lab(8);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    std::vector<std::string> args = {"--devices", "8"};
    for (int i = 1; i < 8; ++i) {
        args.push_back("--link-fault");
        args.push_back(std::string(faults[i]) + ":" + std::to_string(i));
    }
    Sim sim(lab, args);
    ASSERT_TRUE(sim.ready()) << sim.err();

    e2e::RunResult r = lab.run({kCtl, "login", "--seconds", "5"}, 60000);
    EXPECT_NE(r.exit_code, 0) << "the recorder that never answers did not log in";
    auto ev = events_of(r.out);
    const auto& sound = ev[serial(1)];
    EXPECT_TRUE(has(sound, 4)) << r.out;
    EXPECT_FALSE(has(sound, 2));
    for (int i = 1; i <= 5; ++i) {
        const auto& codes = ev[serial(i + 1)];
        ASSERT_TRUE(has(codes, 4)) << faults[i] << "\n" << r.out;
        ASSERT_TRUE(has(codes, 2)) << faults[i] << "\n" << r.out;
        EXPECT_LT(first(codes, 4), first(codes, 2)) << faults[i];
        // With auto reconnect the console logs in again about 3 s later.
        EXPECT_GE(sim.link(i)["connections"].integer(), 2) << faults[i];
    }
    const auto& quiet = ev[serial(7)];
    EXPECT_TRUE(has(quiet, 4));
    EXPECT_FALSE(has(quiet, 2)) << "a quiet link is not closed within seconds";
    const auto& mute = ev[serial(8)];
    EXPECT_FALSE(has(mute, 4)) << r.out;
    EXPECT_TRUE(has(mute, 5)) << r.out;
    EXPECT_GE(sim.link(7)["frames_in"].integer(), 1) << "the login request reached the mute recorder";
}

TEST_F(LinkE2E, UnsolicitedMessagesKeepTheLinkUp)
{
    NetnsLab lab(3);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "3"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pid_t ctl = lab.spawn({kCtl, "login", "--seconds", "6"}, "login");
    ASSERT_TRUE(e2e::wait_until([&] {
        Json j = sim.read();
        for (const Json& d : j["devices"].arr)
            if (d["link"]["logins_accepted"].integer() < 1)
                return false;
        return j["devices"].size() == 3;
    })) << e2e::read_file(lab.dir() + "/login.out");
    EXPECT_EQ(sim.command("alarm all 2"), "ok 3");
    EXPECT_EQ(sim.command("heartbeat all mvk"), "ok 3");
    EXPECT_EQ(sim.command("heartbeat all aux"), "ok 3");
    EXPECT_EQ(sim.command("unknown all"), "ok 3");
    EXPECT_EQ(sim.command("bad DRVSIM000003 magic"), "ok 1");
    // The third recorder's link broke, so the login check fails the run.
    EXPECT_EQ(lab.wait_exit(ctl, 30000), 1);
    auto ev = events_of(e2e::read_file(lab.dir() + "/login.out"));
    EXPECT_FALSE(has(ev[serial(1)], 2));
    EXPECT_FALSE(has(ev[serial(2)], 2));
    EXPECT_TRUE(has(ev[serial(3)], 2));
    EXPECT_TRUE(e2e::wait_until([&] { return sim.link(0)["unsolicited"].integer() == 4; }));
}

TEST_F(LinkE2E, RefreshPutsThreePicturesOnSixtyFourRecordersAndRebootsThem)
{
    if (std::system("command -v cjpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cjpeg (libjpeg tools) is needed to make the boot picture";
    NetnsLab lab(64);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    const std::string dir = lab.dir();

    // A baseline JPEG of 320 x 240 and two small PNG-named files.
    {
        std::ofstream ppm(dir + "/b.ppm", std::ios::binary);
        ppm << "P6\n320 240\n255\n";
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x)
                ppm << static_cast<char>(x) << static_cast<char>(y) << static_cast<char>(x ^ y);
    }
    ASSERT_EQ(std::system(("cjpeg -baseline -quality 85 -outfile " + dir + "/b.jpg " + dir + "/b.ppm").c_str()), 0);
    for (const char* name : {"c.png", "s.png"}) {
        std::ofstream png(dir + "/" + name, std::ios::binary);
        png << "\x89PNG\r\n\x1a\n";
        for (int i = 0; i < 20000; ++i)
            png << static_cast<char>((i * 7 + name[0]) & 0xFF);
    }
    std::map<int, std::string> md5;
    const std::map<int, std::string> files = {{3, dir + "/b.jpg"}, {4, dir + "/c.png"}, {5, dir + "/s.png"}};
    for (const auto& [type, path] : files) {
        char hex[33];
        ASSERT_NE(md5_file_hex(path.c_str(), hex), nullptr) << path;
        md5[type] = hex;
    }

    Sim sim(lab, {"--devices", "64", "--store", dir + "/store"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run(
        {kCtl, "refresh", "--boot", dir + "/b.jpg", "--channel", dir + "/c.png", "--shutdown", dir + "/s.png"}, 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

    // The status file follows within a moment of the last answer.
    Json j;
    e2e::wait_until([&] {
        j = sim.read();
        for (const Json& d : j["devices"].arr)
            if (d["link"]["reboots"].integer() < 1)
                return false;
        return true;
    });
    ASSERT_EQ(j["devices"].size(), 64u);
    for (const Json& d : j["devices"].arr) {
        const Json& l = d["link"];
        for (const auto& [type, path] : files) {
            const Json& f = l["files"][std::to_string(type)];
            EXPECT_EQ(f["md5"].str, md5[type]) << d["serial"].str << " file type " << type;
            EXPECT_EQ(f["name"].str, path) << d["serial"].str;
            EXPECT_EQ(e2e::read_file(f["path"].str), e2e::read_file(path)) << d["serial"].str << " type " << type;
        }
        EXPECT_EQ(l["reboots"].integer(), 1) << d["serial"].str;
        EXPECT_EQ(l["uploads_failed"].integer(), 0) << d["serial"].str;
        EXPECT_EQ(l["errors"].size(), 0u) << d["serial"].str << ": " << l["errors"][0].str;
        // Boot, channel, shutdown, then the reboot, in that order.
        std::vector<std::string> req;
        for (const Json& q : l["requests"].arr)
            req.push_back(q.str);
        EXPECT_EQ(req,
                  (std::vector<std::string>{"SYSTEM_CONTROL_MESSAGE 1022", "SYSTEM_CONTROL_MESSAGE 1022",
                                            "SYSTEM_CONTROL_MESSAGE 1022", "SYSTEM_CONTROL_MESSAGE 1007"}))
            << d["serial"].str;
    }
}

TEST_F(LinkE2E, RebootedRecorderIsAwayForAWhileThenAnswersAgain)
{
    NetnsLab lab(2);
    ASSERT_TRUE(lab.up()) << lab.up_error();
    Sim sim(lab, {"--devices", "2", "--reboot-ms", "4000"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    e2e::RunResult r = lab.run({kCtl, "reboot", "--serial", serial(1)}, 60000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(e2e::wait_until([&] { return sim.link(0)["reboots"].integer() == 1; }));
    EXPECT_EQ(sim.link(1)["reboots"].integer(), 0);
    if (sim.link(0)["rebooting"].b) {
        // While away it answers neither the search nor a login.
        e2e::RunResult away = lab.run({kCtl, "search", "--seconds", "1", "--json"}, 30000);
        Json rows;
        ASSERT_TRUE(e2e::parse_json(away.out, &rows)) << away.out;
        bool listed = false;
        for (const Json& row : rows.arr)
            listed = listed || row["serial"].str == serial(1);
        if (sim.link(0)["rebooting"].b) {
            EXPECT_FALSE(listed);
            EXPECT_FALSE(sim.link(0)["listening"].b);
        }
    }
    ASSERT_TRUE(e2e::wait_until([&] { return !sim.link(0)["rebooting"].b; }, 20000));
    e2e::RunResult back = lab.run({kCtl, "login", "--serial", serial(1), "--seconds", "1"}, 30000);
    EXPECT_EQ(back.exit_code, 0) << back.out << back.err;
    EXPECT_TRUE(e2e::wait_until([&] { return sim.link(0)["logins_accepted"].integer() == 2; }));
}

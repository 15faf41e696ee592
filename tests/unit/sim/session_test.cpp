// The recorder's side of one control-link connection, fed with the console's frames byte for byte.
#include "proto/config_readers.h"
#include "sim/fleet.h"
#include "sim/nvr.h"
#include "sim/session.h"
#include "sim_helpers.h"
#include "util/digest.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

using namespace simtest;

namespace {

struct Rig {
    sim::Device dev = device();
    sim::LinkOptions opt;
    std::unique_ptr<sim::Session> s;
    std::string sent;  // everything the recorder sent so far

    explicit Rig(std::initializer_list<sim::LinkFault> faults = {})
    {
        for (auto f : faults)
            dev.set(f, true);
        s = std::make_unique<sim::Session>(dev, opt, 1);
    }
    explicit Rig(sim::Device d) : dev(std::move(d)) { s = std::make_unique<sim::Session>(dev, opt, 1); }
    // Feeds bytes (in random pieces when split is set) and returns what came out for them.
    std::string feed(const std::string& bytes, bool split_pieces = false)
    {
        if (!split_pieces) {
            s->feed(bytes.data(), bytes.size());
        } else {
            std::mt19937 rng(7);
            size_t pos = 0;
            while (pos < bytes.size()) {
                size_t n = std::min<size_t>(bytes.size() - pos, 1 + rng() % 5000);
                s->feed(bytes.data() + pos, n);
                pos += n;
            }
        }
        std::string out(s->output());
        s->consumed(out.size());
        sent += out;
        return out;
    }
    void login() { ASSERT_EQ(split(feed(simtest::login("admin", "admin123"))).size(), 1u); }
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

std::string md5(const std::string& s)
{
    char hex[33];
    return md5_hex(s.data(), s.size(), hex);
}

}  // namespace

TEST(SimSession, LoginChecksAccountsAndAnswersWithASessionId)
{
    struct Case {
        std::string user, pass;
        std::initializer_list<sim::LinkFault> faults;
        const char* flag;
    };
    const Case cases[] = {
        {"admin", "admin123", {}, "0"},
        {"guest", "guest", {}, "0"},
        {"admin", "wrong", {}, "-1"},
        {"nobody", "admin123", {}, "-1"},
        {"admin", "admin123", {sim::LinkFault::RefuseLogin}, "-1"},
    };
    for (const Case& c : cases) {
        Rig r(c.faults);
        auto out = split(r.feed(login(c.user, c.pass)));
        ASSERT_EQ(out.size(), 1u) << c.user;
        const sim::Message& m = out[0].msg;
        ASSERT_TRUE(m.ok) << m.error;
        EXPECT_EQ(m.type, "USER_AUTH_MESSAGE");
        EXPECT_EQ(m.code, "CMD_USER_AUTH");
        EXPECT_EQ(m.flag, c.flag) << c.user << "/" << c.pass;
        // Always both body tags: the console takes the body element out by its tags.
        EXPECT_NE(out[0].payload.find("<MESSAGE_BODY>\n"), std::string::npos);
        if (std::string(c.flag) == "0") {
            EXPECT_EQ(m.attr("USER_AUTH_RESPONSE", "Sessionid"), r.s->session_id());
            EXPECT_TRUE(r.s->logged_in());
            EXPECT_EQ(r.dev.link.logins_accepted, 1u);
        } else {
            EXPECT_FALSE(r.s->logged_in());
            EXPECT_EQ(r.dev.link.logins_refused, 1u);
        }
        EXPECT_EQ(r.dev.link.last_user, c.user);
    }
}

TEST(SimSession, HeartbeatOfTheConsoleIsAnsweredOnlyAfterLogin)
{
    Rig r;
    EXPECT_TRUE(r.feed(heartbeat()).empty());
    r.login();
    auto out = split(r.feed(heartbeat()));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.type, "AUXPTZ_HEARTBEAT_MESSAGE");
    EXPECT_EQ(out[0].msg.code, "CMD_HEARTBEAT");
    EXPECT_EQ(r.dev.link.heartbeats, 2u);
    EXPECT_EQ(r.dev.link.bad_frames, 0u);
    EXPECT_TRUE(r.dev.link.errors.empty());
    // The exact text is kept, including what follows its first root end tag.
    EXPECT_EQ(r.dev.link.texts.back(), heartbeat().substr(8));
}

TEST(SimSession, RequestsBeforeLoginAreRefused)
{
    Rig r;
    auto out = split(r.feed(control(1007, "")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.code, "1007");
    EXPECT_EQ(out[0].msg.flag, "-1");
    EXPECT_FALSE(r.s->reboot_requested());
}

TEST(SimSession, UploadInChunksKeepsSizeAndMd5AndAnswersTheVerdict)
{
    for (bool pieces : {false, true}) {
        Rig r;
        r.login();
        const std::string data = pattern(100000);
        auto acc = split(r.feed(announce(3, "C:\\pics\\boot.jpg", 100000)));
        ASSERT_EQ(acc.size(), 1u);
        EXPECT_EQ(acc[0].msg.code, "1022");
        EXPECT_EQ(acc[0].msg.flag, "0");
        std::string stream = chunk(0, data.substr(0, 40960)) + chunk(40960, data.substr(40960, 40960)) +
            chunk(81920, data.substr(81920)) + chunk(100000, "");
        auto verdict = split(r.feed(stream, pieces));
        ASSERT_EQ(verdict.size(), 1u);
        EXPECT_EQ(verdict[0].msg.code, "1022");
        EXPECT_EQ(verdict[0].msg.flag, "0");
        ASSERT_EQ(r.dev.link.files.count(3), 1u);
        const sim::StoredFile& f = r.dev.link.files[3];
        EXPECT_EQ(f.size, 100000);
        EXPECT_EQ(f.md5, md5(data));
        EXPECT_EQ(f.name, "C:\\pics\\boot.jpg");
        EXPECT_EQ(r.dev.link.uploads_completed, 1u);
        EXPECT_TRUE(r.dev.link.errors.empty()) << r.dev.link.errors[0];
        // Chunks are not listed among the requests.
        EXPECT_EQ(r.dev.link.requests, (std::vector<std::string>{"SYSTEM_CONTROL_MESSAGE 1022"}));
    }
}

TEST(SimSession, SourceEndingOnAWholeChunkSendsItsClosingFrameTwice)
{
    Rig r;
    r.login();
    const std::string data = pattern(40960);
    r.feed(announce(4, "c.png", 40960));
    auto out = split(r.feed(chunk(0, data) + chunk(40960, "") + chunk(40960, "")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "0");
    EXPECT_EQ(r.dev.link.files[4].md5, md5(data));
    EXPECT_TRUE(r.dev.link.errors.empty());

    Rig empty;
    empty.login();
    empty.feed(announce(5, "s.png", 0));
    out = split(empty.feed(chunk(0, "") + chunk(0, "")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "0");
    EXPECT_EQ(empty.dev.link.files[5].md5, md5(""));
}

TEST(SimSession, BrokenUploadStreamsFailWithANegativeVerdict)
{
    const std::string a = pattern(1000), b = pattern(600);
    struct Case {
        const char* what;
        std::string stream;
    };
    const Case cases[] = {
        {"offset skips", chunk(0, a) + chunk(1001, b) + chunk(1600, "")},
        {"offset repeats", chunk(0, a) + chunk(0, b) + chunk(1600, "")},
        {"DataLen above the bytes", chunk(0, a, 1200) + chunk(1600, "")},
        {"DataLen below the bytes", chunk(0, a, 900) + chunk(1600, "")},
        {"more than announced", chunk(0, a) + chunk(1000, b + "x") + chunk(1601, "")},
        {"ends early", chunk(0, a) + chunk(1000, "")},
        {"no zero bytes",
         framed(chunk(0, a).substr(8, chunk(0, a).size() - 8 - 1000 - 4) + "abcd" + a) + chunk(1000, "")},
    };
    for (const Case& c : cases) {
        Rig r;
        r.login();
        r.feed(announce(3, "b.jpg", 1600));
        auto out = split(r.feed(c.stream));
        ASSERT_GE(out.size(), 1u) << c.what;
        EXPECT_EQ(out[0].msg.code, "1022") << c.what;
        EXPECT_EQ(out[0].msg.flag, "-1") << c.what;
        EXPECT_EQ(out.size(), 1u) << c.what << ": one verdict only";
        EXPECT_EQ(r.dev.link.uploads_failed, 1u) << c.what;
        EXPECT_EQ(r.dev.link.files.count(3), 0u) << c.what;
        EXPECT_FALSE(r.dev.link.errors.empty()) << c.what;
        // The link stays usable.
        EXPECT_EQ(split(r.feed(heartbeat())).size(), 1u) << c.what;
    }
}

TEST(SimSession, UploadFaultsRefuseRejectOrDropTheLink)
{
    const std::string data = pattern(5000);
    {
        Rig r({sim::LinkFault::RefuseUpload});
        r.login();
        auto out = split(r.feed(announce(3, "b.jpg", 5000)));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].msg.flag, "-1");
        EXPECT_EQ(r.dev.link.uploads_refused, 1u);
    }
    {
        Rig r({sim::LinkFault::RejectVerdict});
        r.login();
        r.feed(announce(3, "b.jpg", 5000));
        auto out = split(r.feed(chunk(0, data) + chunk(5000, "")));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].msg.flag, "-1");
    }
    {
        Rig r({sim::LinkFault::CloseMidUpload});
        r.login();
        r.feed(announce(3, "b.jpg", 5000));
        r.feed(chunk(0, data.substr(0, 2000)));
        EXPECT_FALSE(r.s->close_now());
        EXPECT_TRUE(r.feed(chunk(2000, data.substr(2000, 1000))).empty());
        EXPECT_TRUE(r.s->close_now());
        EXPECT_EQ(r.dev.link.uploads_failed, 1u);
    }
}

TEST(SimSession, ControlRequestsAreAnsweredAndNoted)
{
    Rig r;
    r.login();
    struct Case {
        std::string frame;
        std::string type, code;
    };
    const Case cases[] = {
        {control(1004, "<REQUEST_PARAM\nFileType=\"4\"\n\n/>"), "SYSTEM_CONTROL_MESSAGE", "1004"},
        {control(1006, "<REQUEST_PARAM\nCrtlEnable=\"1\"\nChnAddCfg=\"3\"\n/>\n"), "SYSTEM_CONTROL_MESSAGE", "1006"},
        {control(1017, "<REQUEST_PARAM\nDevName=\"usb\" \n/>"), "SYSTEM_CONTROL_MESSAGE", "1017"},
        {control(1032, "<REQUEST_PARAM\nCamera=\"0\"\nStream=\"1\"\n/>\n"), "SYSTEM_CONTROL_MESSAGE", "1032"},
        {framed("<?xml version=\"1.0\" encoding=\"GB2312\" "
                "?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"SYSTEM_CONTROL_MESSAGE\"\n"
                "Msg_code=\"1033\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<REQUEST_PARAM\nUserDevData=\"12fe\"\n>\n"
                "</REQUEST_PARAM>\n</MESSAGE_BODY>\n</XML_MORVEK>"),
         "SYSTEM_CONTROL_MESSAGE", "1033"},
        {control(3026, "<REQUEST_PARAM\nCtrlBuzzerEnable=\"1\"\n/>\n"), "SYSTEM_CONTROL_MESSAGE", "3026"},
        {control(1024, "<REQUEST_PARAM\nFileName = \"/mnt/nand/old.bin\"\n/>"), "SYSTEM_CONTROL_MESSAGE", "1024"},
        {control(1002, ""), "SYSTEM_CONTROL_MESSAGE", "1002"},
        {request("SYSTEM_CONFIG_GET_MESSAGE", "325", ""), "SYSTEM_CONFIG_GET_MESSAGE", "325"},
        {request("SYSTEM_CONFIG_SET_MESSAGE", "325",
                 "<LANConfig\r\nMacAddress=\"02:00:00:00:00:09\"\r\nDHCP=\"0\"\r\nIPAddress=\"10.77.9.9\"\r\n"
                 "Netmask=\"255.255.0.0\"\r\nGateway=\"10.77.0.1\"\r\nDNS1=\"10.77.0.1\"\r\nDNS2=\"\"\r\n/>\r\n"),
         "SYSTEM_CONFIG_SET_MESSAGE", "325"},
        {request("PTZ_CONTROL_MESSAGE", "PTZ_CMD",
                 "<xml>\n<cmd>left</cmd><panspeed>5</panspeed><tiltspeed>3</tiltspeed></xml>"),
         "PTZ_CONTROL_MESSAGE", "PTZ_CMD"},
        {request("REPLAY_CONTROL_MESSAGE", "0",
                 "<REQUEST_PARAM\nFileName=\"rec1.mp4\"\nStartPos=\"0\"\nPlayParam=\"1\"\n/>\n"),
         "REPLAY_CONTROL_MESSAGE", "0"},
        {control(1007, ""), "SYSTEM_CONTROL_MESSAGE", "1007"},
    };
    for (const Case& c : cases) {
        auto out = split(r.feed(c.frame));
        ASSERT_EQ(out.size(), 1u) << c.code;
        EXPECT_EQ(out[0].msg.type, c.type);
        EXPECT_EQ(out[0].msg.code, c.code);
        // The buzzer setting is confirmed with 1; everything else with 0.
        EXPECT_EQ(out[0].msg.flag, c.code == "3026" ? "1" : "0") << c.code;
        EXPECT_NE(out[0].payload.find("<MESSAGE_BODY>\n"), std::string::npos) << c.code;
    }
    const sim::LinkStats& l = r.dev.link;
    EXPECT_EQ(l.restores, std::vector<int>{4});
    EXPECT_EQ(l.chn_ctrl, 1);
    EXPECT_EQ(l.chn_mode, 3);
    EXPECT_EQ(l.formats, std::vector<std::string>{"usb"});
    EXPECT_EQ(l.iframes, 1u);
    EXPECT_EQ(l.userdata, "12fe");
    EXPECT_EQ(l.buzzer, 1);
    EXPECT_EQ(l.removed, std::vector<std::string>{"/mnt/nand/old.bin"});
    EXPECT_EQ(l.config_gets, 1u);
    EXPECT_EQ(r.dev.lan.ip, "10.77.9.9");
    EXPECT_EQ(l.ptz, std::vector<std::string>{"left"});
    EXPECT_EQ(l.replays, std::vector<std::string>{"rec1.mp4"});
    EXPECT_EQ(l.reboots, 1u);
    EXPECT_TRUE(r.s->reboot_requested());
    EXPECT_EQ(l.requests.size(), std::size(cases));
    EXPECT_EQ(l.requests.back(), "SYSTEM_CONTROL_MESSAGE 1007");
    EXPECT_TRUE(l.errors.empty()) << l.errors[0];

    Rig refusing({sim::LinkFault::RefuseControl});
    refusing.login();
    auto out = split(refusing.feed(control(1007, "")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "-1");
    EXPECT_FALSE(refusing.s->reboot_requested());

    // A recorder that refuses only the format still answers the rest.
    Rig no_disk({sim::LinkFault::RefuseFormat});
    no_disk.login();
    out = split(no_disk.feed(control(1017, "<REQUEST_PARAM\nDevName=\"sd1\" \n/>")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "-1");
    EXPECT_EQ(no_disk.dev.link.formats, std::vector<std::string>{"sd1"});
    out = split(no_disk.feed(control(1007, "")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "0");
}

TEST(SimSession, TalkStartFlagsFollowTheFaultAndStopChecksTheSessionId)
{
    struct Case {
        std::initializer_list<sim::LinkFault> faults;
        const char* flag;
    };
    const Case cases[] = {{{}, "0"},
                          {{sim::LinkFault::TalkBusy}, "-1"},
                          {{sim::LinkFault::TalkParam}, "-2"},
                          {{sim::LinkFault::TalkDisabled}, "-3"}};
    for (const Case& c : cases) {
        Rig r(c.faults);
        r.login();
        auto out = split(r.feed(request("REVERSE_AUDIO_MESSAGE", "CMD_RA_START",
                                        "<RA_START_PARAM\nAudioForamt=\"G711\"\nChannels=\"1\"\nSampleRate=\"8000\"\n"
                                        "Bitrate=\"64000\"\nRTPSendPort=\"0\"\nConnectType=\"1\"\n/>")));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].msg.flag, c.flag);
        if (std::string(c.flag) == "0") {
            EXPECT_EQ(out[0].msg.attr("RA_START_RESPONSE", "RTPRecvPort"), "9000");
        }
    }
    Rig r;
    r.login();
    r.feed(request("REVERSE_AUDIO_MESSAGE", "CMD_RA_STOP",
                   "<RA_STOP_PARAM\nSessionid=\"" + r.s->session_id() + "\"\n/>\n"));
    EXPECT_TRUE(r.dev.link.errors.empty());
    r.feed(request("REVERSE_AUDIO_MESSAGE", "CMD_RA_STOP", "<RA_STOP_PARAM\nSessionid=\"other\"\n/>\n"));
    EXPECT_EQ(r.dev.link.errors.size(), 1u);
    EXPECT_EQ(r.dev.link.talk_stops, 2u);
}

TEST(SimSession, DownloadServesTheConfigurationInChunks)
{
    for (bool bad : {false, true}) {
        Rig r;
        if (bad)
            r.dev.set(sim::LinkFault::BadDownloadPos, true);
        r.opt.download_chunk = 100;
        r.login();
        auto out =
            split(r.feed(control(1023, "<REQUEST_PARAM\nFileName = \"/mnt/nand/config.xml\"\nStartPos=\"0\"\n/>")));
        ASSERT_GE(out.size(), 4u);
        EXPECT_EQ(out[0].msg.code, "1023");
        EXPECT_EQ(out[0].msg.flag, "0");
        std::string file;
        bool positions_ok = true;
        for (size_t i = 1; i < out.size(); ++i) {
            const sim::Message& m = out[i].msg;
            ASSERT_TRUE(m.ok);
            EXPECT_EQ(m.type, "MEDIA_DATA_MESSAGE");
            EXPECT_EQ(m.code, "2");
            long start = std::stol(m.attr("POS", "StartPos"));
            long len = std::stol(m.attr("POS", "DataLen"));
            ASSERT_EQ(m.after_text.size(), static_cast<size_t>(4 + len));
            EXPECT_EQ(m.after_text.substr(0, 4), std::string_view("\0\0\0\0", 4));
            positions_ok = positions_ok && start == static_cast<long>(file.size());
            file.append(m.after_text.substr(4));
            if (len == 0) {
                EXPECT_EQ(i, out.size() - 1);
            }
        }
        EXPECT_EQ(positions_ok, !bad);
        TiXmlDocument doc;
        doc.Parse(file.c_str());
        ASSERT_FALSE(doc.Error()) << file;
        ASSERT_NE(doc.RootElement()->FirstChildElement("NetworkConfig"), nullptr);
        EXPECT_EQ(r.dev.link.downloads, 1u);
    }

    Rig r;
    r.login();
    auto out = split(r.feed(control(1023, "<REQUEST_PARAM\nFileName = \"/etc/passwd\"\nStartPos=\"0\"\n/>")));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].msg.flag, "-1");
}

TEST(SimSession, UploadedConfigurationIsWhatALaterDownloadReturns)
{
    Rig r;
    r.login();
    const std::string cfg = "<?xml version=\"1.0\" ?>\n<Config><NetworkConfig><LANConfig IPAddress=\"1.2.3.4\"/>"
                            "</NetworkConfig><MediaConfig><Video><Capture/></Video></MediaConfig></Config>\n";
    r.feed(announce(0, "config.xml", static_cast<long>(cfg.size())));
    r.feed(chunk(0, cfg) + chunk(static_cast<long>(cfg.size()), ""));
    auto out = split(r.feed(control(1023, "<REQUEST_PARAM\nFileName = \"/mnt/nand/config.xml\"\nStartPos=\"0\"\n/>")));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].msg.after_text.substr(4), cfg);
}

TEST(SimSession, FaultsRightAfterLoginBreakTheNextFrame)
{
    struct Case {
        sim::LinkFault fault;
        bool magic_ok;
        uint32_t length;  // 0: do not check
        bool close_after;
        bool parses;
    };
    const Case cases[] = {
        {sim::LinkFault::BadMagic, false, 0, false, true},
        {sim::LinkFault::HugeLength, true, 0xFFFFFFFFu, false, false},
        {sim::LinkFault::Truncated, true, 0, true, false},
        {sim::LinkFault::BadXml, true, 0, false, false},
    };
    for (const Case& c : cases) {
        Rig r({c.fault});
        auto out = split(r.feed(login("admin", "admin123")));
        ASSERT_EQ(out.size(), 2u) << sim::link_fault_name(c.fault);
        EXPECT_EQ(out[0].msg.flag, "0");
        EXPECT_EQ(out[1].magic_ok, c.magic_ok) << sim::link_fault_name(c.fault);
        if (c.length) {
            EXPECT_EQ(out[1].length, c.length);
        }
        if (out[1].payload.size() == out[1].length) {
            EXPECT_EQ(out[1].msg.ok, c.parses) << sim::link_fault_name(c.fault);
        }
        EXPECT_EQ(r.s->close_after_flush(), c.close_after) << sim::link_fault_name(c.fault);
    }
    Rig closing({sim::LinkFault::CloseAfterLogin});
    EXPECT_EQ(split(closing.feed(login("admin", "admin123"))).size(), 1u);
    EXPECT_TRUE(closing.s->close_after_flush());

    Rig silent({sim::LinkFault::SilentAfterLogin});
    EXPECT_EQ(split(silent.feed(login("admin", "admin123"))).size(), 1u);
    EXPECT_TRUE(silent.feed(heartbeat() + control(1007, "")).empty());

    Rig mute({sim::LinkFault::NoAnswer});
    EXPECT_TRUE(mute.feed(login("admin", "admin123") + heartbeat()).empty());
    EXPECT_EQ(mute.dev.link.frames_in, 2u);
}

TEST(SimSession, BrokenFramesFromTheConsoleEndTheConnection)
{
    const std::string cases[] = {
        std::string("\x58\x91\x58\x52\x05\x00\x00\x00hello", 13),
        std::string("GET / HTTP/1.0\r\n\r\n"),
        std::string("\x58\x91\x58\x51\xff\xff\xff\xff", 8),
    };
    for (const std::string& bytes : cases) {
        Rig r;
        r.login();
        EXPECT_TRUE(r.feed(bytes).empty());
        EXPECT_TRUE(r.s->close_now());
        EXPECT_EQ(r.dev.link.bad_frames, 1u);
    }
    // An unparsable message is noted; the connection goes on.
    Rig r;
    r.login();
    EXPECT_TRUE(r.feed(framed("<XML_MORVEK><MESSAGE_HEADER")).empty());
    EXPECT_FALSE(r.s->close_now());
    EXPECT_EQ(r.dev.link.bad_frames, 1u);
    EXPECT_EQ(split(r.feed(heartbeat())).size(), 1u);
}

TEST(SimSession, UnsolicitedMessagesGoOutOnlyOnALoggedInLink)
{
    Rig r;
    r.s->send_alarm(2);
    EXPECT_TRUE(r.s->output().empty());
    r.login();
    r.s->send_alarm(3);
    r.s->send_heartbeat(true);
    r.s->send_heartbeat(false);
    r.s->send_unknown();
    auto out = split(r.feed(""));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].msg.type, "ALARM_REPORT_MESSAGE");
    EXPECT_EQ(out[0].msg.code, "CMD_REPORT_ALARM");
    // The console refuses alarm texts containing "0"" or an empty body.
    EXPECT_EQ(out[0].payload.find("\"0\"\""), std::string::npos);
    int items = 0;
    for (const TiXmlElement* e = out[0].msg.element("ALARM_REPORT_PARAM")->FirstChildElement("ALARM_ITEM"); e;
         e = e->NextSiblingElement("ALARM_ITEM"))
        ++items;
    EXPECT_EQ(items, 3);
    EXPECT_EQ(out[1].msg.type, "MVK_HEARTBEAT_MESSAGE");
    EXPECT_EQ(out[2].msg.type, "AUXPTZ_HEARTBEAT_MESSAGE");
    EXPECT_EQ(out[3].msg.type, "SIM_VENDOR_MESSAGE");
    EXPECT_EQ(r.dev.link.unsolicited, 4u);
}

TEST(SimSession, ChannelTableFollowsAddDeleteSwapAndTheCameraSearchComesInBatches)
{
    Rig r;
    sim::setup_nvr(r.dev, 3);
    r.login();
    auto get = [](int code, const std::string& body) {
        return request("SYSTEM_CONFIG_GET_MESSAGE", std::to_string(code), body);
    };
    auto info = [](int id, const char* proto, const char* ip) {
        return "<ChannelInfo\nChannelId=\"" + std::to_string(id) + "\"\nProtocol=\"" + proto + "\"\nIPAddress=\"" + ip +
            "\"\nCtrlPort=\"8091\"\nUsername=\"admin\"\nPassword=\"470213\"\n/>\n";
    };
    auto param = [](const std::string& attrs) { return "<REQUEST_PARAM \n" + attrs + "\n/>"; };
    // The table as a 3803 answer reports it: "id:ip/protocol/status/name" per channel.
    auto table = [&]() {
        auto out = split(r.feed(get(3803, "")));
        EXPECT_EQ(out.size(), 1u);
        std::string t;
        const TiXmlElement* e = out.empty() ? nullptr : out[0].msg.element("ChannelInfo");
        for (; e; e = e->NextSiblingElement("ChannelInfo"))
            t += std::string(t.empty() ? "" : " ") + e->Attribute("ChannelId") + ":" + e->Attribute("IpAddr") + "/" +
                e->Attribute("Protocol") + "/" + e->Attribute("Status") + "/" + e->Attribute("ChannnelName");
        return t;
    };
    struct Step {
        int code;
        std::string body;
        const char* flag;
        const char* table;
    };
    const Step steps[] = {
        {3804, info(0, "MVK", "192.168.1.101") + info(2, "ONVIF", "10.0.0.7"), "0",
         "1:192.168.1.101/MVK/1/Gate 2:/MVK/0/ 3:10.0.0.7/ONVIF/1/IPCamera 3"},
        {3806, param("ChannelId1=\"0\"\nChannelId2=\"1\""), "0",
         "1:/MVK/0/ 2:192.168.1.101/MVK/1/Gate 3:10.0.0.7/ONVIF/1/IPCamera 3"},
        {3804, info(2, "MVK", "192.168.1.104"), "0",  // a used channel takes the new camera
         "1:/MVK/0/ 2:192.168.1.101/MVK/1/Gate 3:192.168.1.104/MVK/1/Stairs"},
        {3805, param("ChannelId=\"1\""), "0", "1:/MVK/0/ 2:/MVK/0/ 3:192.168.1.104/MVK/1/Stairs"},
        {3804, info(0, "MVK", "10.0.0.1") + info(1, "MVK", "10.0.0.2") + info(3, "MVK", "10.0.0.3"), "1",  // full
         "1:/MVK/0/ 2:/MVK/0/ 3:192.168.1.104/MVK/1/Stairs"},
        {3804, info(0, "onvif", "10.0.0.1"), "1", "1:/MVK/0/ 2:/MVK/0/ 3:192.168.1.104/MVK/1/Stairs"},
        {3804, info(0, "MVK", "10.0.0.1") + info(0, "MVK", "10.0.0.2"), "1",
         "1:/MVK/0/ 2:/MVK/0/ 3:192.168.1.104/MVK/1/Stairs"},
        {3806, param("ChannelId1=\"0\"\nChannelId2=\"3\""), "1", "1:/MVK/0/ 2:/MVK/0/ 3:192.168.1.104/MVK/1/Stairs"},
        {3805, param("ChannelId=\"255\""), "0", "1:/MVK/0/ 2:/MVK/0/ 3:/MVK/0/"},
        {3807, param("PicNum=\"9\""), "0", "1:/MVK/0/ 2:/MVK/0/ 3:/MVK/0/"},
    };
    for (const Step& s : steps) {
        auto out = split(r.feed(get(s.code, s.body)));
        ASSERT_EQ(out.size(), 1u) << s.code;
        EXPECT_EQ(out[0].msg.code, std::to_string(s.code));
        EXPECT_EQ(out[0].msg.flag, s.flag) << s.code << " " << s.body;
        EXPECT_EQ(table(), s.table) << s.code << " " << s.body;
    }
    EXPECT_EQ(r.dev.link.chan_refused, 4u);
    EXPECT_EQ(r.dev.link.picnum, 9);

    // The camera search: three answers of two cameras; one address comes as ONVIF, later as MVK.
    auto found = split(r.feed(get(3801, "")));
    std::vector<std::string> batches;
    for (const auto& o : found) {
        EXPECT_EQ(o.msg.type, "SYSTEM_CONFIG_GET_MESSAGE");
        EXPECT_EQ(o.msg.code, "3801");
        std::string b;
        for (const TiXmlElement* e = o.msg.element("IPCINFO"); e; e = e->NextSiblingElement("IPCINFO"))
            b += std::string(b.empty() ? "" : " ") + e->Attribute("IPAddress") + "/" + e->Attribute("Protocol") + "/" +
                e->Attribute("CtrlPort") + "/" + e->Attribute("SN");
        batches.push_back(b);
    }
    EXPECT_EQ(batches,
              (std::vector<std::string>{"192.168.1.101/MVK/8091/MVKIPC000101 192.168.1.103/ONVIF/80/ONV000103",
                                        "192.168.1.102/ONVIF/80/ONV000102 192.168.1.104/MVK/8091/MVKIPC000104",
                                        "192.168.1.103/MVK/8091/MVKIPC000103 192.168.1.105/ONVIF/80/ONV000105"}));
    EXPECT_TRUE(r.dev.link.nvr_searching);
    auto stop = split(r.feed(get(3802, "")));
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].msg.flag, "0");
    EXPECT_FALSE(r.dev.link.nvr_searching);
}

TEST(SimSession, ConfigurationGetsAnswerDocumentsTheConsolesReadersTakeAndAFleetFileChanges)
{
    char tmpl[] = "/tmp/dravlin-simtest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::ofstream(dir + "/best.xml")
        << "<RESPONSE_PARAM>\n<VideoBestParameter CapList=\"3,CIF,H265,VBR,10,256,31\" />\n"
           "</RESPONSE_PARAM>";
    sim::FleetOptions opt;
    opt.fleet_file = dir + "/fleet.txt";  // config.CODE paths are taken from its folder
    std::vector<sim::Device> fleet;
    std::string err;
    ASSERT_EQ(sim::parse_fleet_text("serial=A\nserial=B vendor=ACME&Co resolution=720P config.306=best.xml "
                                    "account=root:pw:Admin:1\n",
                                    opt, &fleet, &err),
              0)
        << err;
    for (std::string bad : {"vendor=", "resolution=720p", "config.306=missing.xml", "config.306=/dev/zero",
                            "config.x=a", "config.3803=best.xml"}) {
        std::vector<sim::Device> out;
        EXPECT_NE(sim::parse_fleet_text(bad, opt, &out, &err), 0) << bad;
        EXPECT_NE(err.find("'" + bad.substr(0, bad.find('=')) + "'"), std::string::npos) << err;
    }
    std::filesystem::remove_all(dir);

    // What the console's readers make of each body, for the default recorder and the changed one.
    using Read = std::function<std::string(const char*)>;
    struct Row {
        int code;
        Read read;
        std::string plain, changed;
    };
    const Row rows[] = {
        {301,
         [](const char* t) {
             EncodeCfg cfg{};
             EncodeParam p[2]{};
             if (GetEncodeCfgByXml(t, cfg) != 0 || GetEncodeParam(t, p) != 0)
                 return std::string("fail");
             return std::string(cfg.entries[0].Resolution) + "/" + cfg.entries[1].Resolution + " " +
                 std::to_string(p[0].resolution) + "/" + std::to_string(p[1].resolution) + " " + cfg.entries[1].BitRate;
         },
         "1080P/D1 18/10 512", "720P/D1 13/10 512"},
        {302,
         [](const char* t) {
             ShortAccount a[kShortAccountCount]{};
             if (GetUserAccounts(t, a) != 0)
                 return std::string("fail");
             std::string s;
             for (const ShortAccount& x : a)
                 if (x.Username[0])
                     s += std::string(x.Username) + ":" + x.Password + ":" + x.Group + ":" + x.Status + " ";
             return s;
         },
         "admin:admin123:Administrators:Enable guest:guest:Users:Enable ", "root:pw:Admin:1 "},
        {303,
         [](const char* t) {
             LiveStreamParam p{};
             if (GetLiveStreamParam(t, p) != 0)
                 return std::string("fail");
             return std::to_string(p.Width) + "x" + std::to_string(p.Height) + " " + std::to_string(p.VideoPort) + " " +
                 std::to_string(p.ConfigLength) + " " + p.AudioEncoder;
         },
         "1920x1080 8092 11 G711", "1280x720 8092 11 G711"},
        {304,
         [](const char* t) {
             char v[64]{};
             return GetVendorIdByXml(t, v, sizeof v - 1) == 0 ? std::string(v) : "fail";
         },
         "DRAVLIN-SIM", "ACME&Co"},
        {305,
         [](const char* t) {
             VideoCapEntry e[8]{};
             if (!GetVideoCapListByXml(t) || GetVideoCapList(t, e, 8) != 0)
                 return std::string("fail");
             int n = 0;
             while (n < 8 && e[n].Item0[0])
                 ++n;
             return std::string(e[0].Item0, 4) + " " + e[0].Item1 + " " + std::to_string(e[0].Item2to10[0]) + " " +
                 std::to_string(n);
         },
         "H264 1080P 1920 3", "H264 720P 1280 3"},
        {306,
         [](const char* t) {
             VideoBestParamEntry e[8]{};
             if (GetVideoBestParam(t, e, 8) != 0)
                 return std::string("fail");
             int n = 0;
             while (n < 8 && e[n].Item1[0])
                 ++n;
             return std::to_string(e[0].Item0) + " " + e[0].Item1 + " " + e[0].Item2 + " " + std::to_string(n);
         },
         "0 1080P H264 2", "3 CIF H265 1"},
        // Any other code is still the network configuration.
        {325,
         [](const char* t) {
             char ip[32]{};
             return GetRootAttrByXml(t, "IPAddress", ip, sizeof ip - 1) == 0 ? std::string(ip) : "fail";
         },
         "10.77.1.1", "10.77.1.2"},
    };
    const std::pair<const char*, const char*> logins[] = {{"admin", "admin123"}, {"root", "pw"}};
    for (int d = 0; d < 2; ++d) {
        Rig r(fleet[static_cast<size_t>(d)]);
        ASSERT_EQ(split(r.feed(login(logins[d].first, logins[d].second))).at(0).msg.flag, "0");
        for (const Row& row : rows) {
            auto out = split(r.feed(request("SYSTEM_CONFIG_GET_MESSAGE", std::to_string(row.code), "")));
            ASSERT_EQ(out.size(), 1u) << row.code;
            EXPECT_EQ(out[0].msg.flag, "0") << row.code;
            // The readers take the body as the link hands it over, MESSAGE_BODY and all: one level,
            // the elements straight inside it, as recorders send them. Only the root attribute
            // is read from the first element inside.
            const std::string& p = out[0].payload;
            size_t from = p.find("<MESSAGE_BODY>"), to = p.rfind("</MESSAGE_BODY>");
            ASSERT_LT(from, to) << row.code;
            std::string body = p.substr(from, to + 15 - from);
            if (row.code == 325)
                body = body.substr(15, body.size() - 31);
            EXPECT_EQ(row.read(body.c_str()), d ? row.changed : row.plain) << row.code;
        }
        EXPECT_EQ(r.dev.link.config_gets, std::size(rows));
        EXPECT_TRUE(r.dev.link.errors.empty());
    }
}

// The NVR channel-list parsers and the device configuration readers, as tables of replies.
#include "proto/chanlist.h"
#include "proto/config_readers.h"

#include "common/log_capture.h"
#include "util/fixedstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

using link_test::LogCapture;

namespace {

std::string body(const std::string& inner) { return "<MESSAGE_BODY>\n" + inner + "\n</MESSAGE_BODY>"; }

std::string repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST_F(LogCapture, ChannelListReplies)
{
    struct Case {
        const char* name;
        std::string text;
        int result;
        int count;
        int id0, protocol0;
        std::string ip0, name0;
        const char* log;
    } cases[] = {
        {"two channels",
         body("<ChannelInfo ChannelId=\"1\" Protocol=\"ONVIF\" Status=\"2\" IpAddr=\"10.0.0.5\" "
              "ChannnelName=\"\xC3\xC5\"/>"
              "<ChannelInfo ChannelId=\"2\"/>"),
         0, 2, 1, 1, "10.0.0.5", "\xC3\xC5", nullptr},
        {"100 entries keep 96", body(repeat("<ChannelInfo ChannelId=\"7\"/>", 100)), 0, 96, 7, 0, "", "", nullptr},
        {"other element takes no entry", body("<Other ChannelId=\"9\"/><ChannelInfo ChannelId=\"3\"/><X/>"), 0, 1, 3, 0,
         "", "", nullptr},
        {"lower-case protocol", body("<ChannelInfo Protocol=\"onvif\" ChannelId=\"4\"/>"), 0, 1, 4, 0, "", "",
         "unknown protocol\n"},
        {"two-n name ignored", body("<ChannelInfo ChanelName=\"x\" IpAddr=\"2.2.2.2\"/>"), 0, 1, 0, 0, "2.2.2.2", "",
         nullptr},
        {"address filling the field", body("<ChannelInfo IpAddr=\"192.168.100.2001234\"/>"), 0, 1, 0, 0,
         "192.168.100.2001", "", nullptr},
        {"no channel", body("<IPCINFO/>"), -2, 0, 0, 0, "", "", "GetChannellist pNodelist Is Null \n"},
        {"unparsable", "<MESSAGE_BODY><ChannelInfo>", -4, 0, 0, 0, "", "", "GetChannellist(): xml error"},
        {"no root", "<!-- nothing -->", -2, 0, 0, 0, "", "", "GetChannellist pRoot Is Null \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        auto list = std::make_unique<ChannelList>();
        EXPECT_EQ(GetChannellist(c.text.c_str(), *list), c.result);
        EXPECT_EQ(list->nChanCnt, c.count);
        const ChannelEntry& e = list->entries[0];
        EXPECT_EQ(e.ChannelId, c.id0);
        EXPECT_EQ(e.Protocol, c.protocol0);
        EXPECT_EQ(fixed_view(e.IpAddr), c.ip0);
        EXPECT_EQ(fixed_view(e.ChannnelName), c.name0);
        if (c.log) {
            EXPECT_TRUE(logged(c.log));
        }
    }
}

TEST_F(LogCapture, SearchIpcReplies)
{
    auto list = std::make_unique<IpcList>();
    std::string text =
        body("<IPCINFO Protocol=\"MVK\" IPAddress=\"10.0.0.12345678901\" Username=\"admin\" "
             "Password=\"pw\" CtrlPort=\"8091\" SN=\"S1\" OsdName=\"cam\"/><IPCINFO Protocol=\"ONVIF\"/>");
    ASSERT_EQ(GetSearchIpc(text.c_str(), *list), 0);
    ASSERT_EQ(list->nIpcCnt, 2);
    const IpcRecord& r = list->entries[0];
    EXPECT_EQ(std::string(r.IpAddr, 16), "10.0.0.123456789");  // no terminator inside the field
    EXPECT_EQ(fixed_view(r.Username), "admin");
    EXPECT_EQ(fixed_view(r.Password), "pw");
    EXPECT_EQ(r.CtrlPort, 8091);
    EXPECT_EQ(fixed_view(r.SN), "S1");
    EXPECT_EQ(fixed_view(r.OsdName), "cam");
    EXPECT_EQ(list->entries[1].Protocol, kNvrProtocolONVIF);

    EXPECT_EQ(GetSearchIpc(body("<ChannelInfo/>").c_str(), *list), -2);
    EXPECT_TRUE(logged("GetSearchIpc pNodelist Is Null \n"));
    EXPECT_EQ(GetSearchIpc("<a>", *list), -4);
    EXPECT_TRUE(logged("GetSearchIpc(): xml error"));
}

std::string encode_config(const std::string& stream, const std::string& resolution)
{
    return "<EncodeConfig Stream=\"" + stream + "\" Resolution=\"" + resolution +
        "\" EncodeFormat=\"H265\" BitRateControl=\"CVBR\" Initquant=\"28\" BitRate=\"4096\" FrameRate=\"25\"/>";
}

TEST_F(LogCapture, EncodeReaders)
{
    EncodeCfg cfg;
    std::string twelve = "<R>" + repeat(encode_config("1", "720P"), 12) + "</R>";
    ASSERT_EQ(GetEncodeCfgByXml(twelve.c_str(), cfg), 0);
    EXPECT_EQ(cfg.count, 10);
    EXPECT_STREQ(cfg.entries[9].EncodeFormat, "H265");
    // Every field keeps its terminator: a long Resolution is cut to 11 characters.
    std::string long_res = "<R>" + encode_config("1", "123456789012345") + "</R>";
    ASSERT_EQ(GetEncodeCfgByXml(long_res.c_str(), cfg), 0);
    EXPECT_STREQ(cfg.entries[0].Resolution, "12345678901");
    EXPECT_EQ(GetEncodeCfgByXml(body(encode_config("1", "D1")).insert(0, "<R>").append("</R>").c_str(), cfg), -2);
    EXPECT_TRUE(logged("GetEncodeCfgByXml pNodelist Is Null \n"));
    EXPECT_EQ(GetEncodeCfgByXml(nullptr, cfg), -2);
    EXPECT_EQ(GetEncodeCfgByXml("<R>", cfg), -4);
    EXPECT_TRUE(logged("GetEncodeCfgByXml: xml error"));

    struct Case {
        const char* name;
        std::string text;
        int result;
        int main_res, sub_res;
    } cases[] = {
        {"main and sub", "<R>" + encode_config("1", "720P") + encode_config("2", "1080P") + "</R>", 0, 13, 18},
        {"unknown resolution", "<R>" + encode_config("2", "HUGE") + "</R>", 0, 0, 13},
        {"QVGA is not VGA", "<R>" + encode_config("1", "QVGA") + encode_config("2", "VGA") + "</R>", 0, 4, 9},
        {"third stream", "<R>" + encode_config("3", "720P") + "</R>", -1, 0, 0},
        {"no configuration", "<R/>", -4, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EncodeParam p[2];
        EXPECT_EQ(GetEncodeParam(c.text.c_str(), p), c.result);
        EXPECT_EQ(p[0].resolution, c.main_res);
        EXPECT_EQ(p[1].resolution, c.sub_res);
    }
    EncodeParam p[2];
    ASSERT_EQ(GetEncodeParam(("<R>" + encode_config("1", "720P") + "</R>").c_str(), p), 0);
    EXPECT_EQ(p[0].framerate, 25);
    EXPECT_EQ(p[0].encode_format, 1);
    EXPECT_EQ(p[0].initquant, 28);
    EXPECT_EQ(p[0].bitrate, 4096);
    EXPECT_EQ(p[0].bitrate_control, 0);  // the field keeps "CVB", which no row starts
}

TEST_F(LogCapture, LiveStreamReader)
{
    auto live = [](const std::string& trans, const std::string& rest) {
        return body("<TRANS_PARAM " + trans + "/>" + rest);
    };
    const std::string video = "<VIDEO_PARAM Encoder=\"H264\" Width=\"1920\" Height=\"1080\" Framerate=\"25\" "
                              "Bitrate=\"2048\" Config=\"0aFF\" Profile=\"main\"/>";
    struct Case {
        const char* name;
        std::string text;
        int result;
        const char* log;
    } cases[] = {
        {"multicast without address", live("Multicast=\"1\" UseTcp=\"0\"", video), -1,
         "multicast but no multicast address!\n"},
        {"multicast over tcp", live("Multicast=\"1\" UseTcp=\"1\"", video), 0, "Profile=main\n"},
        {"audio without port", live("AudioEnable=\"1\"", video), -1, "audioenable but no audio port!\n"},
        {"audio element missing", live("AudioEnable=\"1\" AudioPort=\"5\"", video), -2,
         "GetLiveStreamParam(): AUDIO_PARAM not found!\n"},
        {"no video", live("", ""), -2, "GetLiveStreamParam VIDEO_PARAM fail\n"},
        {"no transport", body("<VIDEO_PARAM/>"), -2, "GetLiveStreamParam TRANS_PARAM fail\n"},
        {"unparsable", "<a", -4, "GetLiveStreamParam xmlDoc.Error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        LiveStreamParam p;
        EXPECT_EQ(GetLiveStreamParam(c.text.c_str(), p), c.result);
        EXPECT_TRUE(logged(c.log));
    }

    LiveStreamParam p;
    std::string full = live("StreamID=\"1\" VideoStream=\"2\" AudioEnable=\"1\" Multicast=\"1\" "
                            "MulticastAddress=\"239.1.2.3\" VideoPort=\"554\" AudioPort=\"556\"",
                            video +
                                "<AUDIO_PARAM Encoder=\"G711\" SampleRate=\"8000\" SampleWidth=\"16\" "
                                "Channels=\"1\" Bitrate=\"64000\"/>");
    ASSERT_EQ(GetLiveStreamParam(full.c_str(), p), 0);
    const unsigned char mc[4] = {239, 1, 2, 3};
    EXPECT_EQ(std::memcmp(&p.MulticastAddress, mc, 4), 0);
    EXPECT_EQ(p.ConfigLength, 2);
    EXPECT_EQ(p.Config[0], 0x0A);
    EXPECT_EQ(p.Config[1], 0xFF);
    EXPECT_EQ(fixed_view(p.VideoEncoder), "H264");
    EXPECT_EQ(p.VideoBitrate, 2048);
    EXPECT_EQ(fixed_view(p.AudioEncoder), "G711");
    EXPECT_EQ(p.AudioBitrate, 64000);

    std::string zz = live("", "<VIDEO_PARAM Config=\"zzz\"/>");
    ASSERT_EQ(GetLiveStreamParam(zz.c_str(), p), 0);
    EXPECT_EQ(p.ConfigLength, 1);
    EXPECT_EQ(p.Config[0], 0);
    std::string longest = live("", "<VIDEO_PARAM Config=\"" + std::string(600, 'f') + "\"/>");
    ASSERT_EQ(GetLiveStreamParam(longest.c_str(), p), 0);
    EXPECT_EQ(p.ConfigLength, 256);
}

TEST(ConfigInetAddr, ReadsAsInetAddr)
{
    struct Case {
        const char* text;
        unsigned char bytes[4];
    } cases[] = {
        {"239.1.2.3", {239, 1, 2, 3}},       {"1.2.3", {1, 2, 0, 3}},
        {"0x7f.1", {127, 0, 0, 1}},          {"010.0.0.1", {8, 0, 0, 1}},
        {"256.1.1.1", {255, 255, 255, 255}}, {"", {255, 255, 255, 255}},
        {"1.2.3.4.5", {255, 255, 255, 255}}, {"1.2.x", {255, 255, 255, 255}},
        {"08.1.1.1", {255, 255, 255, 255}},
    };
    for (const auto& c : cases) {
        uint32_t v = config_inet_addr(c.text);
        EXPECT_EQ(std::memcmp(&v, c.bytes, 4), 0) << c.text;
    }
}

TEST_F(LogCapture, SingleValueReaders)
{
    char buf[8];
    EXPECT_EQ(GetVendorIdByXml(body("<VENDOR_PARAM VendorId=\"ACME\"/>").c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ACME");
    EXPECT_EQ(GetVendorIdByXml(body("<VENDOR_PARAM VendorId=\"12345678901\"/>").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, 8), "12345678");
    EXPECT_EQ(GetVendorIdByXml(body("<VENDOR_PARAM Other=\"1\"/>").c_str(), buf, sizeof buf), -4);
    EXPECT_EQ(GetVendorIdByXml(body("<X/>").c_str(), buf, sizeof buf), -2);
    EXPECT_TRUE(logged("GetVendoridParam VENDOR_PARAM fail\n"));
    EXPECT_EQ(GetVendorIdByXml("<a><b></a>", buf, sizeof buf), -4);
    EXPECT_EQ(GetVendorIdByXml("<a/>", buf, 0), -1);

    char v[6] = {};
    EXPECT_EQ(GetRequestParamByXml(body("<REQUEST_PARAM Mode=\"12345\"/>").c_str(), "REQUEST_PARAM", "Mode", v, 5), 0);
    EXPECT_STREQ(v, "12345");
    EXPECT_EQ(GetRequestParamByXml(nullptr, "REQUEST_PARAM", "Mode", v, 5), -2);
    EXPECT_EQ(GetRequestParamByXml("<a><b></a>", "REQUEST_PARAM", "Mode", v, 5), -4);

    EXPECT_EQ(GetRootAttrByXml("<RESPONSE Result=\"ok\"/>", "Result", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ok");
    EXPECT_EQ(GetRootAttrByXml("<RESPONSE Result=\"ok\"/>", "result", buf, sizeof buf), -4);

    ShortAccount acc[kShortAccountCount];
    std::string users =
        body("<UserConfig>" + repeat("<Account Username=\"u\" Password=\"p\" Group=\"g\" Status=\"1\"/>", 12) +
             "</UserConfig>");
    ASSERT_EQ(GetUserAccounts(users.c_str(), acc), 0);
    EXPECT_EQ(fixed_view(acc[9].Username), "u");
    EXPECT_EQ(fixed_view(acc[9].Group), "g");
    EXPECT_EQ(GetUserAccounts(body("<X/>").c_str(), acc), -4);
    EXPECT_EQ(fixed_view(acc[0].Username), "");
}

TEST_F(LogCapture, CapabilityLists)
{
    std::string reply = "<R><RESPONSE_PARAM><VideoCap CapList=\"a;b\"/></RESPONSE_PARAM></R>";
    EXPECT_EQ(GetVideoCapListByXml(reply.c_str()), std::optional<std::string>("a;b"));
    EXPECT_EQ(GetVideoCapListByXml("<R><RESPONSE_PARAM/></R>"), std::nullopt);
    EXPECT_TRUE(logged("cannot get VideoCap xml:<R><RESPONSE_PARAM/></R>\n"));
    EXPECT_EQ(GetVideoCapListByXml("<R"), std::nullopt);
    EXPECT_TRUE(logged("receive CMD_GET_MEDIA_CAPABILITY, buf xml error\n"));

    const std::string eleven = "MAIN,1080P,1920,1080,25,1,2,3,4,5,6";
    VideoCapEntry caps[2] = {};
    clear_log();
    ASSERT_EQ(GetVideoCapList(("<x VideoCap CapList=\"" + eleven + ";a,b;;" + eleven + "\"/>").c_str(), caps, 2), 0);
    EXPECT_TRUE(logged("count 2: a,b\n\n"));
    EXPECT_EQ(fixed_view(caps[0].Item0), "MAIN");
    EXPECT_EQ(fixed_view(caps[0].Item1), "1080P");
    EXPECT_EQ(caps[0].Item2to10[0], 1920);
    EXPECT_EQ(caps[0].Item2to10[8], 6);
    EXPECT_EQ(fixed_view(caps[1].Item0), "");  // items end at the first empty one

    VideoBestParamEntry best[1] = {};
    ASSERT_EQ(GetVideoBestParam("VideoBestParameter CapList=\"7,B,C,D,4,5,6,extra;1,2\"", best, 1), 0);
    EXPECT_EQ(fixed_view(best[0].Item2), "C");
    EXPECT_EQ(fixed_view(best[0].Item1), "B");
    EXPECT_EQ(fixed_view(best[0].Item3), "D");
    EXPECT_EQ(best[0].Item0, 7);
    EXPECT_EQ(best[0].Item6, 6);
    EXPECT_EQ(best[0].Item4, 4);
    EXPECT_EQ(best[0].Item5, 5);

    struct Fail {
        std::string text;
        const char* log;
    } fails[] = {
        {"VideoCap CapList=\";" + eleven + "\"", "parse VideoCap error: ;"},
        {"VideoCap List=\"x\"", "can't find \"VideoCap CapList=\" when get caplist\n "},
        {"VideoCap CapList=\"" + eleven, "can't find end \" when get caplist\n "},
        {"VideoCap CapList=\"" + std::string(1536, 'x') + "\"", "Too long caplist\n "},
    };
    for (const auto& f : fails) {
        clear_log();
        EXPECT_EQ(GetVideoCapList(f.text.c_str(), caps, 2), -4) << f.log;
        EXPECT_TRUE(logged_prefix(f.log)) << f.log;
    }
    clear_log();
    EXPECT_EQ(GetVideoBestParam("VideoBestParameter CapList=\"1,2,3\"", best, 1), -4);
    EXPECT_TRUE(logged("count 3: 1,2,3\n\n"));
    EXPECT_TRUE(logged("Cannot get video capability from 1,2,3"));
    EXPECT_TRUE(logged("parse optimal encode parameter error: 1,2,3\n"));
    EXPECT_EQ(GetVideoBestParam("VideoBestParameter CapList=\"1,2", best, 1), -4);
    EXPECT_TRUE(logged("can't find end \" when get optimal encode parameter.\n "));
}

}  // namespace

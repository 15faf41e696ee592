// Control, configuration, PTZ and replay requests against a fake recorder on 127.0.0.1: the
// exact frame of every request, the refused arguments (nothing sent) and the chanid checks.
#include "link/requests.h"

#include "link_harness.h"
#include "common/log_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace link_test;

namespace {

constexpr int kSent = INT_MIN;  // expected result: the frame's size

struct Requests : LogCapture {
    LinkedDevice dev{0};

    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ASSERT_EQ(ipc_init(), 1);
        ASSERT_TRUE(dev.login());
    }
    void TearDown() override
    {
        ipc_logout_all();
        rec().clear();
        LogCapture::TearDown();
    }

    // Proves that nothing was sent since the last frame taken: the next frame is this marker.
    void expect_nothing_sent(const std::string& what)
    {
        ASSERT_EQ(ipc_sys_Request1031(0), 0) << what;
        EXPECT_EQ(dev.next_frame(), request_frame("SYSTEM_CONTROL_MESSAGE", "1031", "")) << what;
    }
};

struct Case {
    const char* what;
    std::function<int()> op;
    int result;  // kSent: the frame's size
    const char* type;
    const char* code;
    const char* body;  // null: the body-less envelope
};

TEST_F(Requests, EachRequestSendsItsExactFrame)
{
    IpcLanSettings lan{};
    std::strcpy(lan.MacAddress, "00:11:22:33:44:55");
    lan.DHCP = 0;
    std::strcpy(lan.IPAddress, "192.168.1.88");
    std::strcpy(lan.Netmask, "255.255.255.0");
    std::strcpy(lan.Gateway, "192.168.1.1");
    std::strcpy(lan.DNS1, "8.8.8.8");
    // DNS2 left empty.
    const unsigned char trans[] = {0x01, 0xAB, 0x00, 0xFF};

    const std::vector<Case> cases = {
        {"restore channel picture", [] { return ipc_sys_RestorePicture(0, 4); }, 0, "SYSTEM_CONTROL_MESSAGE", "1004",
         "<REQUEST_PARAM\nFileType=\"4\"\n\n/>"},
        {"restore shutdown picture", [] { return ipc_sys_RestorePicture(0, 5); }, 0, "SYSTEM_CONTROL_MESSAGE", "1004",
         "<REQUEST_PARAM\nFileType=\"5\"\n\n/>"},
        {"channel-add mode", [] { return ipc_sys_SetChnAddDefMode(0, 1, 4); }, 0, "SYSTEM_CONTROL_MESSAGE", "1006",
         "<REQUEST_PARAM\nCrtlEnable=\"1\"\nChnAddCfg=\"4\"\n/>\n"},
        {"channel-add mode locked", [] { return ipc_sys_SetChnAddDefMode(0, 0, 0); }, 0, "SYSTEM_CONTROL_MESSAGE",
         "1006", "<REQUEST_PARAM\nCrtlEnable=\"0\"\nChnAddCfg=\"0\"\n/>\n"},
        {"reboot", [] { return ipc_sys_Reboot(0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1007", ""},
        {"format sd1", [] { return ipc_sys_FormatDisk(0, 0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1017",
         "<REQUEST_PARAM\nDevName=\"sd1\" \n/>"},
        {"format sd2", [] { return ipc_sys_FormatDisk(0, 1); }, 0, "SYSTEM_CONTROL_MESSAGE", "1017",
         "<REQUEST_PARAM\nDevName=\"sd2\" \n/>"},
        {"format usb", [] { return ipc_sys_FormatDisk(0, 2); }, 0, "SYSTEM_CONTROL_MESSAGE", "1017",
         "<REQUEST_PARAM\nDevName=\"usb\" \n/>"},
        {"I-frame main stream", [] { return ipc_sys_CreateIFrame(0, 0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1032",
         "<REQUEST_PARAM\nCamera=\"0\"\nStream=\"0\"\n/>\n"},
        {"I-frame sub stream", [] { return ipc_sys_CreateIFrame(0, 1); }, 0, "SYSTEM_CONTROL_MESSAGE", "1032",
         "<REQUEST_PARAM\nCamera=\"0\"\nStream=\"1\"\n/>\n"},
        {"buzzer", [] { return ipc_sys_SetBuzzerEnable(0, 1); }, 0, "SYSTEM_CONTROL_MESSAGE", "3026",
         "<REQUEST_PARAM\nCtrlBuzzerEnable=\"1\"\n/>\n"},
        {"1002", [] { return ipc_sys_Request1002(0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1002", ""},
        {"1025", [] { return ipc_sys_Request1025(0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1025", ""},
        {"1031", [] { return ipc_sys_Request1031(0); }, 0, "SYSTEM_CONTROL_MESSAGE", "1031", ""},
        {"1034 returns the bytes written", [] { return ipc_sys_Request1034(0); }, kSent, "SYSTEM_CONTROL_MESSAGE",
         "1034", ""},
        {"any control code", [] { return ipc_sys_Control(0, 1009, "<REQUEST_PARAM a=\"1\"/>"); }, 0,
         "SYSTEM_CONTROL_MESSAGE", "1009", "<REQUEST_PARAM a=\"1\"/>"},
        {"control without body", [] { return ipc_sys_Control(0, 1009, nullptr); }, 0, "SYSTEM_CONTROL_MESSAGE", "1009",
         nullptr},
        {"config get", [] { return ipc_config_get(0, 3801, "<CHANNEL_LIST/>"); }, 0, "SYSTEM_CONFIG_GET_MESSAGE",
         "3801", "<CHANNEL_LIST/>"},
        {"config set", [] { return ipc_config_set(0, "<X y=\"2\"/>"); }, 0, "SYSTEM_CONFIG_SET_MESSAGE", "325",
         "<X y=\"2\"/>"},
        {"network settings", [&] { return ipc_set_netconfig(0, &lan); }, 0, "SYSTEM_CONFIG_SET_MESSAGE", "325",
         "<LANConfig\r\nMacAddress=\"00:11:22:33:44:55\"\r\nDHCP=\"0\"\r\nIPAddress=\"192.168.1.88\"\r\n"
         "Netmask=\"255.255.255.0\"\r\nGateway=\"192.168.1.1\"\r\nDNS1=\"8.8.8.8\"\r\nDNS2=\"\"\r\n/>\r\n"},
        {"ptz left", [] { return ipc_ptz_PTZControl(0, 19, 3, -4); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml>\n<cmd>left</cmd><panspeed>3</panspeed><tiltspeed>-4</tiltspeed></xml>"},
        {"set preset", [] { return ipc_ptz_PTZPreset(0, 8, 0); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml>\n<cmd>setpreset</cmd><preset>0</preset><flag>1</flag></xml>\n"},
        {"clear preset", [] { return ipc_ptz_PTZPreset(0, 9, 17); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml>\n<cmd>clearpreset</cmd><preset>17</preset><flag>1</flag></xml>\n"},
        {"call preset", [] { return ipc_ptz_PTZPreset(0, 39, 255); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml>\n<cmd>callpreset</cmd><preset>255</preset><flag>1</flag></xml>\n"},
        {"preset list", [] { return ipc_ptz_PTZControlEx(0); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml> \n    <cmd>GetPresetList</cmd>\n</xml>"},
        {"ptz pass-through", [&] { return ipc_ptz_PTZTrans(0, trans, 2); }, kSent, "PTZ_CONTROL_MESSAGE", "PTZ_CMD",
         "<xml>\n<cmd>trans</cmd><data>01AB</data></xml>\n"},
        {"ptz pass-through upper case", [&] { return ipc_ptz_PTZTrans(0, trans, 4); }, kSent, "PTZ_CONTROL_MESSAGE",
         "PTZ_CMD", "<xml>\n<cmd>trans</cmd><data>01AB00FF</data></xml>\n"},
        {"replay", [] { return ipc_play_ControlPlay(0, "/mnt/sd1/rec/0001.264"); }, kSent, "REPLAY_CONTROL_MESSAGE",
         "0", "<REQUEST_PARAM\nFileName=\"/mnt/sd1/rec/0001.264\"\nStartPos=\"0\"\nPlayParam=\"1\"\n/>\n"},
    };
    for (const auto& c : cases) {
        std::string expected = request_frame(c.type, c.code, c.body);
        int r = c.op();
        EXPECT_EQ(r, c.result == kSent ? static_cast<int>(expected.size()) : c.result) << c.what;
        EXPECT_EQ(dev.next_frame(), expected) << c.what;
    }
}

TEST_F(Requests, OneFrameByteForByte)
{
    const std::string restore = std::string("\x58\x91\x58\x51\xD4\x00\x00\x00", 8) +
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1004\"\nMsg_flag=\"0\"\n/>\n"
        "<MESSAGE_BODY>\n<REQUEST_PARAM\nFileType=\"4\"\n\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    ASSERT_EQ(restore.size(), 8u + 0xD4);
    EXPECT_EQ(ipc_sys_RestorePicture(0, 4), 0);
    EXPECT_EQ(dev.next_frame(), restore);
}

TEST_F(Requests, EveryPtzCommandName)
{
    const std::vector<std::pair<int, const char*>> names = {
        {11, "zoomtele"},
        {12, "zoomwide"},
        {13, "FocusNearAutoOff"},
        {14, "FocusFarAutoOff"},
        {15, "IrisOpenAutoOff"},
        {16, "IrisCloseAutoOff"},
        {17, "up"},
        {18, "down"},
        {19, "left"},
        {20, "right"},
        {21, "left_up"},
        {22, "right_up"},
        {23, "left_down"},
        {24, "right_down"},
        {26, "stop"},
    };
    for (const auto& [cmd, name] : names) {
        std::string body =
            std::string("<xml>\n<cmd>") + name + "</cmd><panspeed>5</panspeed><tiltspeed>6</tiltspeed></xml>";
        std::string expected = request_frame("PTZ_CONTROL_MESSAGE", "PTZ_CMD", body.c_str());
        EXPECT_EQ(ipc_ptz_PTZControl(0, cmd, 5, 6), static_cast<int>(expected.size())) << cmd;
        EXPECT_EQ(dev.next_frame(), expected) << cmd;
    }
}

TEST_F(Requests, RefusedArgumentsSendNothing)
{
    const std::string userdata_null = "ipc_userdata_set param fail, data:" + null_pointer_text() + ", len:2\n";
    const unsigned char bytes[1024] = {1, 2};
    struct Refusal {
        const char* what;
        std::function<int()> op;
        int result;
        const char* line;
    };
    const std::vector<Refusal> refusals = {
        {"disk 3", [] { return ipc_sys_FormatDisk(0, 3); }, -1, "unsuport disk number:3\n"},
        {"disk -1", [] { return ipc_sys_FormatDisk(0, -1); }, -1, "unsuport disk number:-1\n"},
        {"mode 5", [] { return ipc_sys_SetChnAddDefMode(0, 1, 5); }, -1,
         "ipc_sys_SetChnAddDefMode, bCrtlEnable:1 iChnAddCfg:5\n"},
        {"enable 2", [] { return ipc_sys_SetChnAddDefMode(0, 2, 0); }, -1,
         "ipc_sys_SetChnAddDefMode, bCrtlEnable:2 iChnAddCfg:0\n"},
        {"mode -1", [] { return ipc_sys_SetChnAddDefMode(0, 0, -1); }, -1,
         "ipc_sys_SetChnAddDefMode, bCrtlEnable:0 iChnAddCfg:-1\n"},
        {"stream 2", [] { return ipc_sys_CreateIFrame(0, 2); }, -1,
         "ipc_sys_CreateIFrame, not support video stream:2\n"},
        {"pan auto", [] { return ipc_ptz_PTZControl(0, 25, 1, 1); }, -1, "unsupport PAN_AUTO ptz commond\n"},
        {"ptz 27", [] { return ipc_ptz_PTZControl(0, 27, 1, 1); }, -8999983, "ipc_ptz_control, unsupport cmd:27\n"},
        {"ptz 10", [] { return ipc_ptz_PTZControl(0, 10, 1, 1); }, -8999983, "ipc_ptz_control, unsupport cmd:10\n"},
        {"preset command 10", [] { return ipc_ptz_PTZPreset(0, 10, 1); }, -8999983,
         "ipc_ptz_PTZPreset, unsupport cmd:10\n"},
        {"preset 256", [] { return ipc_ptz_PTZPreset(0, 8, 256); }, -8999992, "ipc_ptz_PTZPreset, bad preset:256\n"},
        {"preset -1", [] { return ipc_ptz_PTZPreset(0, 39, -1); }, -8999992, "ipc_ptz_PTZPreset, bad preset:-1\n"},
        {"trans null", [] { return ipc_ptz_PTZTrans(0, nullptr, 2); }, -1, "ipc_ptz_PTZTrans param error\n"},
        {"trans none", [&] { return ipc_ptz_PTZTrans(0, bytes, 0); }, -1, "ipc_ptz_PTZTrans param error\n"},
        {"trans 622", [&] { return ipc_ptz_PTZTrans(0, bytes, 622); }, -1, "bug, too long trans data:622\n"},
        {"trans huge", [&] { return ipc_ptz_PTZTrans(0, bytes, INT_MAX); }, -1,
         "bug, too long trans data:2147483647\n"},
        {"userdata null", [] { return ipc_userdata_set(nullptr, 2, 0); }, -1, userdata_null.c_str()},
        {"userdata empty", [&] { return ipc_userdata_set(bytes, 0, 0); }, -1, nullptr},
        {"userdata too long", [&] { return ipc_userdata_set(bytes, INT_MAX, 0); }, -1, nullptr},
        {"replay without name", [] { return ipc_play_ControlPlay(0, nullptr); }, -1,
         "ipc_play_ControlPlay , param file\n"},
        {"no network settings", [] { return ipc_set_netconfig(0, nullptr); }, -1, nullptr},
    };
    for (const auto& r : refusals) {
        clear_log();
        EXPECT_EQ(r.op(), r.result) << r.what;
        if (r.line)
            EXPECT_TRUE(logged(r.line)) << r.what;
        else
            EXPECT_EQ(lines().size(), 1u) << r.what;  // still one diagnostic line
        expect_nothing_sent(r.what);
    }
}

TEST_F(Requests, PtzPassThroughOf621BytesIsSent)
{
    std::vector<unsigned char> bytes(621, 0x5A);
    std::string hex;
    for (int i = 0; i < 621; ++i)
        hex += "5A";
    std::string body = "<xml>\n<cmd>trans</cmd><data>" + hex + "</data></xml>\n";
    std::string expected = request_frame("PTZ_CONTROL_MESSAGE", "PTZ_CMD", body.c_str());
    EXPECT_EQ(ipc_ptz_PTZTrans(0, bytes.data(), 621), static_cast<int>(expected.size()));
    EXPECT_EQ(dev.next_frame(), expected);
}

TEST_F(Requests, UserDataFrame)
{
    const unsigned char data[] = {0x12, 0xFE};
    const std::string expected = std::string("\x58\x91\x58\x51\xE9\x00\x00\x00", 8) +
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1033\"\nMsg_flag=\"0\"\n/>\n"
        "<MESSAGE_BODY>\n<REQUEST_PARAM\nUserDevData=\"12fe\"\n>\n</REQUEST_PARAM>\n"
        "</MESSAGE_BODY>\n</XML_MORVEK>";
    ASSERT_EQ(expected.size(), 8u + 0xE9);
    EXPECT_EQ(ipc_userdata_set(data, 2, 0), static_cast<int>(expected.size()));
    EXPECT_EQ(dev.next_frame(), expected);

    // A long block is neither cut nor shifted: every byte appears as its two digits.
    std::vector<unsigned char> big(5000);
    std::string hex;
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i * 7);
        static const char d[] = "0123456789abcdef";
        hex += d[big[i] >> 4];
        hex += d[big[i] & 15];
    }
    std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                       "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1033\"\nMsg_flag=\"0\"\n/>\n"
                       "<MESSAGE_BODY>\n<REQUEST_PARAM\nUserDevData=\"" +
        hex + "\"\n>\n</REQUEST_PARAM>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    EXPECT_EQ(ipc_userdata_set(big.data(), static_cast<int>(big.size()), 0), static_cast<int>(text.size() + 8));
    EXPECT_EQ(dev.next_frame(), frame(text));
}

TEST_F(Requests, NetworkSettingsThatFillTheirFields)
{
    // Values of the full width carry no terminator; each is sent as exactly its 256 bytes.
    IpcLanSettings lan;
    std::memset(&lan, 'A', sizeof lan);
    lan.DHCP = 1;
    std::memset(lan.IPAddress, 'B', sizeof lan.IPAddress);
    std::memset(lan.DNS2, 'C', sizeof lan.DNS2);
    std::string a(256, 'A'), b(256, 'B'), c(256, 'C');
    std::string body = "<LANConfig\r\nMacAddress=\"" + a + "\"\r\nDHCP=\"1\"\r\nIPAddress=\"" + b + "\"\r\nNetmask=\"" +
        a + "\"\r\nGateway=\"" + a + "\"\r\nDNS1=\"" + a + "\"\r\nDNS2=\"" + c + "\"\r\n/>\r\n";
    EXPECT_EQ(ipc_set_netconfig(0, &lan), 0);
    EXPECT_EQ(dev.next_frame(), request_frame("SYSTEM_CONFIG_SET_MESSAGE", "325", body.c_str()));
}

TEST_F(Requests, ChanidChecks)
{
    const unsigned char bytes[2] = {1, 2};
    IpcLanSettings lan{};
    // Left to ipcsendmsg: not written, -4, with its line.
    const std::vector<std::pair<const char*, std::function<int(int)>>> by_send = {
        {"control", [](int ch) { return ipc_sys_Control(ch, 1009, ""); }},
        {"restore", [](int ch) { return ipc_sys_RestorePicture(ch, 4); }},
        {"channel-add mode", [](int ch) { return ipc_sys_SetChnAddDefMode(ch, 1, 0); }},
        {"reboot", [](int ch) { return ipc_sys_Reboot(ch); }},
        {"buzzer", [](int ch) { return ipc_sys_SetBuzzerEnable(ch, 0); }},
        {"1002", [](int ch) { return ipc_sys_Request1002(ch); }},
        {"1025", [](int ch) { return ipc_sys_Request1025(ch); }},
        {"1031", [](int ch) { return ipc_sys_Request1031(ch); }},
        {"config get", [](int ch) { return ipc_config_get(ch, 3801, ""); }},
        {"config set", [](int ch) { return ipc_config_set(ch, ""); }},
    };
    // Checked by the operation itself: -1 with its own name.
    const std::vector<std::pair<const char*, std::function<int(int)>>> by_self = {
        {"ipc_sys_FormatDisk", [](int ch) { return ipc_sys_FormatDisk(ch, 0); }},
        {"ipc_sys_CreateIFrame", [](int ch) { return ipc_sys_CreateIFrame(ch, 0); }},
        {"ipc_userdata_set", [&](int ch) { return ipc_userdata_set(bytes, 2, ch); }},
        {"ipc_set_netconfig", [&](int ch) { return ipc_set_netconfig(ch, &lan); }},
        {"ipc_set_showtime", [](int ch) { return ipc_set_showtime(ch, 1); }},
        {"ipc_ptz_PTZControl", [](int ch) { return ipc_ptz_PTZControl(ch, 17, 1, 1); }},
        {"ipc_ptz_PTZPreset", [](int ch) { return ipc_ptz_PTZPreset(ch, 8, 1); }},
        {"ipc_ptz_PTZControlEx", [](int ch) { return ipc_ptz_PTZControlEx(ch); }},
        {"ipc_ptz_PTZTrans", [&](int ch) { return ipc_ptz_PTZTrans(ch, bytes, 2); }},
        {"ipc_talk_start", [](int ch) { return ipc_talk_start(ch); }},
        {"ipc_talk_stop", [](int ch) { return ipc_talk_stop(ch); }},
        {"ipc_talkbroad_add", [](int ch) { return ipc_talkbroad_add(ch); }},
        {"ipc_talkbroad_remove", [](int ch) { return ipc_talkbroad_remove(ch); }},
        {"ipc_play_ControlPlay", [](int ch) { return ipc_play_ControlPlay(ch, "a"); }},
    };
    for (int ch : {64, -1}) {
        for (const auto& [what, op] : by_send) {
            clear_log();
            EXPECT_EQ(op(ch), -4) << what << " " << ch;
            EXPECT_TRUE(logged("<ipcsendmsg> fail, chanid:" + std::to_string(ch) + ", max:64\n")) << what;
        }
        clear_log();
        EXPECT_EQ(ipc_sys_Request1034(ch), -1);  // the raw send result
        EXPECT_TRUE(logged("<ipcsendmsg> fail, chanid:" + std::to_string(ch) + ", max:64\n"));
        for (const auto& [name, op] : by_self) {
            clear_log();
            EXPECT_EQ(op(ch), -1) << name << " " << ch;
            EXPECT_TRUE(logged("<" + std::string(name) + "> fail, chanid:" + std::to_string(ch) + ", max:64\n"))
                << name;
        }
    }
    EXPECT_EQ(ipc_talk_channel(), -1);
    EXPECT_FALSE(ipc_talk_broadcasting());
    expect_nothing_sent("bad chanids");

    // A valid entry without a link: not written.
    clear_log();
    EXPECT_EQ(ipc_sys_Reboot(5), -4);
    EXPECT_TRUE(logged("ipcsendmsg_ fail, fd(-1)\n"));
    EXPECT_EQ(ipc_userdata_set(bytes, 2, 5), -1);
    EXPECT_TRUE(logged("ipc_userdata_set fail, fd(-1)\n"));
    EXPECT_EQ(ipc_ptz_PTZControlEx(5), -1);
}

TEST_F(Requests, ShowTimeIsStoredAndLogged)
{
    EXPECT_EQ(ipc_set_showtime(0, 1), 1);
    EXPECT_EQ(ipc_entry(0)->showtime.load(), 1);
    EXPECT_TRUE(logged("ipc_set_showtime(0, 1)\n"));
    EXPECT_EQ(ipc_set_showtime(0, 0), 1);
    EXPECT_EQ(ipc_entry(0)->showtime.load(), 0);
}

}  // namespace

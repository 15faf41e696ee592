#include "proto/envelope.h"

#include "common/log_capture.h"
#include "util/fixedstr.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstring>
#include <string>

using link_test::LogCapture;

namespace {

std::string search_answer(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
           "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"3\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n" +
        body + "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

TEST_F(LogCapture, DeviceIdResults)
{
    struct Case {
        const char* name;
        std::string text;
        int result;
        std::string serial;
        std::string type;
        const char* log;
    } cases[] = {
        {"full", search_answer("<IPC_SERIALNUMBER SerialNumber=\"SN-\xB0\xA1\"/><DEVICE_TYPE DeviceType=\"NVR-8\"/>"),
         0, "SN-\xB0\xA1", "NVR-8", nullptr},
        {"no device type", search_answer("<IPC_SERIALNUMBER SerialNumber=\"SN1\"/>"), -2, "SN1", "ZIZ-UD355", nullptr},
        {"device type without attribute", search_answer("<IPC_SERIALNUMBER SerialNumber=\"SN1\"/><DEVICE_TYPE/>"), 0,
         "SN1", "ZIZ-UD355", nullptr},
        {"empty serial", search_answer("<IPC_SERIALNUMBER SerialNumber=\"\"/>"), -1, "", "old",
         "SerialNumber not found.\n"},
        {"bytes behind the closing tag",
         search_answer("<IPC_SERIALNUMBER SerialNumber=\"SN2\"/><DEVICE_TYPE DeviceType=\"NVR-4\"/>") + "\r\n", 0,
         "SN2", "NVR-4", nullptr},
        {"no serial element", search_answer("<DEVICE_TYPE DeviceType=\"X\"/>"), -2, "", "old", nullptr},
        {"first element of each name counts",
         search_answer("<IPC_SERIALNUMBER SerialNumber=\"A\"/><DEVICE_TYPE DeviceType=\"T1\"/>"
                       "<IPC_SERIALNUMBER SerialNumber=\"B\"/><DEVICE_TYPE DeviceType=\"T2\"/>"),
         0, "A", "T1", nullptr},
        {"serial filling the field",
         search_answer("<IPC_SERIALNUMBER SerialNumber=\"" + std::string(40, 'S') + "\"/><DEVICE_TYPE DeviceType=\"" +
                       std::string(32, 'D') + "\"/>"),
         0, std::string(32, 'S'), std::string(32, 'D'), nullptr},
        {"no closing root tag", "<XML_MORVEK><MESSAGE_BODY><IPC_SERIALNUMBER SerialNumber=\"1\"/>", -1, "keep", "old",
         "Invalid message, </XML_MORVEK> not found:\n<XML_MORVEK><MESSAGE_BODY><IPC_SERIALNUMBER "
         "SerialNumber=\"1\"/>\n"},
        {"unparsable", "<XML_MORVEK><a></XML_MORVEK>", -4, "", "old",
         "Invalid message, xml format error:\n<XML_MORVEK><a></XML_MORVEK>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        DeviceId id;
        fixed_copy(id.SerialNumber, "keep");
        fixed_copy(id.DeviceType, "old");
        EXPECT_EQ(GetDeviceIdByXml(c.text.c_str(), id), c.result);
        EXPECT_EQ(fixed_view(id.SerialNumber), c.serial);
        EXPECT_EQ(fixed_view(id.DeviceType), c.type);
        if (c.log) {
            EXPECT_TRUE(logged(c.log));
        }
        // The elements found in one walk give what the text reader gives, where the header
        // reader accepts the text.
        TiXmlDocument doc;
        char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
        if (GetMessageHeaderDoc(c.text.c_str(), doc, type, code, flag) == 0) {
            DeviceDescElements elements;
            FindDeviceDescElements(doc, elements);
            DeviceId by_elements;
            fixed_copy(by_elements.DeviceType, "old");
            EXPECT_EQ(GetDeviceIdByElements(elements, by_elements), c.result);
            EXPECT_EQ(fixed_view(by_elements.SerialNumber), c.serial);
            EXPECT_EQ(fixed_view(by_elements.DeviceType), c.type);
        }
    }
}

TEST_F(LogCapture, LanCfgFieldsWithAndWithoutBody)
{
    const std::string lan =
        "<LANConfig MacAddress=\"00:11:22:33:44:55\" DHCP=\"yes\" IPAddress=\"10.77.1.1\" Netmask=\"255.255.0.0\" "
        "Gateway=\"10.77.0.1\" DNS1=\"\xC4\xAC\xC8\xCF\" Extra=\"x\"/>";
    for (const std::string& text : {search_answer(lan), "<ROOT>" + lan + "</ROOT>"}) {
        LanCfg cfg;
        std::memset(&cfg, 0x5A, sizeof cfg);
        ASSERT_EQ(GetLANCfgByXml(text.c_str(), cfg), 0);
        EXPECT_EQ(fixed_view(cfg.MacAddress), "00:11:22:33:44:55");
        EXPECT_EQ(cfg.DHCP, 0);  // "yes" is not a number
        EXPECT_EQ(fixed_view(cfg.IPAddress), "10.77.1.1");
        EXPECT_EQ(fixed_view(cfg.Netmask), "255.255.0.0");
        EXPECT_EQ(fixed_view(cfg.Gateway), "10.77.0.1");
        EXPECT_EQ(fixed_view(cfg.DNS1), "\xC4\xAC\xC8\xCF");
        EXPECT_EQ(fixed_view(cfg.DNS2), "");
    }
    LanCfg cfg;
    std::memset(&cfg, 0x5A, sizeof cfg);
    EXPECT_EQ(GetLANCfgByXml("<a", cfg), -4);
    EXPECT_EQ(fixed_view(cfg.IPAddress), "");  // cleared even when parsing fails
    EXPECT_TRUE(logged("GetLANCfgByXml(): xml error\r\n"));
    EXPECT_EQ(GetLANCfgByXml(search_answer("<LAN/>").c_str(), cfg), -2);
    EXPECT_TRUE(logged("GetLANCfgByXml() can not find LANConfig element!"));
    ASSERT_EQ(GetLANCfgByXml(
                  search_answer("<LANConfig DHCP=\"1\" IPAddress=\"" + std::string(300, '9') + "\"/>").c_str(), cfg),
              0);
    EXPECT_EQ(cfg.DHCP, 1);
    EXPECT_EQ(fixed_view(cfg.IPAddress), std::string(256, '9'));
    EXPECT_EQ(fixed_view(cfg.Netmask), "");
}

TEST_F(LogCapture, MediaStreamCfgLaterStreamAccessWins)
{
    MediaStreamCfg cfg;
    ASSERT_EQ(GetMediaStreamCfgByXml(search_answer("<MediaStreamConfig><StreamAccess Auth=\"1\" VideoPort=\"554\" "
                                                   "PTZPort=\"8091\"/><Other PTZPort=\"1\"/><StreamAccess "
                                                   "VideoPort=\"555\" RTPOverRTSP=\"1\" WEBPort=\"80\"/>"
                                                   "</MediaStreamConfig>")
                                         .c_str(),
                                     cfg),
              0);
    EXPECT_EQ(cfg.Auth, 1);
    EXPECT_EQ(cfg.VideoPort, 555);
    EXPECT_EQ(cfg.RTPOverRTSP, 1);
    EXPECT_EQ(cfg.PTZPort, 8091);
    EXPECT_EQ(cfg.WEBPort, 80);

    // Numbers read as atoi reads them, however they are written.
    ASSERT_EQ(GetMediaStreamCfgByXml(search_answer("<MediaStreamConfig><StreamAccess Auth=\" 7\" VideoPort=\"0554x\" "
                                                   "RTPOverRTSP=\"-1\" PTZPort=\"1234567890\" WEBPort=\"\"/>"
                                                   "</MediaStreamConfig>")
                                         .c_str(),
                                     cfg),
              0);
    EXPECT_EQ(cfg.Auth, 7);
    EXPECT_EQ(cfg.VideoPort, 554);
    EXPECT_EQ(cfg.RTPOverRTSP, -1);
    EXPECT_EQ(cfg.PTZPort, 1234567890);
    EXPECT_EQ(cfg.WEBPort, 0);

    ASSERT_EQ(GetMediaStreamCfgByXml(search_answer("<MediaStreamConfig/>").c_str(), cfg), 0);
    EXPECT_EQ(cfg.PTZPort, 0);
    EXPECT_EQ(GetMediaStreamCfgByXml(search_answer("<X/>").c_str(), cfg), -2);
    EXPECT_EQ(GetMediaStreamCfgByXml("<X", cfg), -4);
    EXPECT_TRUE(logged("GetMediaStreamCfgByXml(): xml error\r\n"));
}

TEST_F(LogCapture, UserCfgAccountsAndLimits)
{
    UserCfg cfg;
    ASSERT_EQ(GetUserCfgByXml(search_answer("<UserConfig><Account Username=\"admin\" Password=\"\xC3\xDC\" "
                                            "Group=\"Administrators\" Status=\"enabled1\"/><Guest Username=\"g\"/>"
                                            "<Account Username=\"" +
                                            std::string(50, 'u') + "\"/></UserConfig>")
                                  .c_str(),
                              cfg),
              0);
    ASSERT_EQ(cfg.count, 2);
    EXPECT_EQ(fixed_view(cfg.accounts[0].Username), "admin");
    EXPECT_EQ(fixed_view(cfg.accounts[0].Password), "\xC3\xDC");
    EXPECT_EQ(fixed_view(cfg.accounts[0].Group), "Administrators");
    EXPECT_EQ(fixed_view(cfg.accounts[0].Status), "enabled1");  // fills its 8 bytes
    EXPECT_EQ(fixed_view(cfg.accounts[1].Username), std::string(40, 'u'));

    std::string many = "<UserConfig>";
    for (int i = 0; i < 41; ++i)
        many += "<Account Username=\"u" + std::to_string(i) + "\"/>";
    many += "</UserConfig>";
    ASSERT_EQ(GetUserCfgByXml(search_answer(many).c_str(), cfg), 0);
    EXPECT_EQ(cfg.count, 40);
    EXPECT_EQ(fixed_view(cfg.accounts[39].Username), "u39");

    // A first child that is not an element gives no accounts.
    ASSERT_EQ(GetUserCfgByXml(search_answer("<UserConfig>text<Account Username=\"a\"/></UserConfig>").c_str(), cfg), 0);
    EXPECT_EQ(cfg.count, 0);
    EXPECT_EQ(GetUserCfgByXml(search_answer("<Users/>").c_str(), cfg), -2);
    EXPECT_EQ(GetUserCfgByXml("<a><b></a>", cfg), -4);
    EXPECT_TRUE(logged("GetUserCfgByXml(): xml error"));
}

}  // namespace

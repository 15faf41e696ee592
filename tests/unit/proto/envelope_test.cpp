#include "proto/envelope.h"

#include "common/log_capture.h"

#include <tinyxml.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using link_test::LogCapture;

namespace {

// ---- builders: compared with literal bytes -----------------------------------------------------

TEST(EnvelopeBuild, LongFormWithBodyWithoutBodyAndWithEmptyBody)
{
    std::string out;
    int n = BuildLongMessage(out, "SYSTEM_CONTROL_MESSAGE", "1007", "0", "<REQUEST_PARAM a=\"1\"/>");
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n"
              "<XML_MORVEK>\n"
              "<MESSAGE_HEADER\n"
              "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\n"
              "Msg_code=\"1007\"\n"
              "Msg_flag=\"0\"\n"
              "/>\n"
              "<MESSAGE_BODY>\n"
              "<REQUEST_PARAM a=\"1\"/>\n"
              "</MESSAGE_BODY>\n"
              "</XML_MORVEK>");
    EXPECT_EQ(n, static_cast<int>(out.size()));

    BuildLongMessage(out, "T", "C", "F", nullptr);
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"T\"\n"
              "Msg_code=\"C\"\nMsg_flag=\"F\"\n/>\n<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>");

    BuildLongMessage(out, "T", "C", "F", "");
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"T\"\n"
              "Msg_code=\"C\"\nMsg_flag=\"F\"\n/>\n<MESSAGE_BODY>\n\n</MESSAGE_BODY>\n</XML_MORVEK>");
}

TEST(EnvelopeBuild, CompactForm)
{
    struct Case {
        const char* body;
        const char* expected;
    } cases[] = {
        {"<X/>",
         "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"T\"\nMsg_code=\"C\"\n"
         "Msg_flag=\"0\"\n/><MESSAGE_BODY>\n<X/>\n</MESSAGE_BODY>\n</XML_MORVEK>"},
        {"",
         "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"T\"\nMsg_code=\"C\"\n"
         "Msg_flag=\"0\"\n/><MESSAGE_BODY/>\n</XML_MORVEK>"},
        {nullptr,
         "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"T\"\nMsg_code=\"C\"\n"
         "Msg_flag=\"0\"\n/><MESSAGE_BODY/>\n</XML_MORVEK>"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(BuildMessage(out, "T", "C", "0", c.body), static_cast<int>(std::strlen(c.expected)));
        EXPECT_EQ(out, c.expected);
    }
    std::string out;
    BuildMessageWithCode(out, "SYSTEM_CONFIG_GET_MESSAGE", -3801L, "0", nullptr);
    EXPECT_EQ(out,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"SYSTEM_CONFIG_GET_MESSAGE\"\nMsg_code=\"-3801\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY/>\n"
              "</XML_MORVEK>");
}

TEST(EnvelopeBuild, AudioDataHeaderAndMessage)
{
    const char expected_text[] =
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"REVERSE_AUDIO_MESSAGE\"\nMsg_code=\"CMD_RA_DATA\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY>\n"
        "<RA_DATA_PARAM\nDataLength=\"5\"/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    const size_t text_len = sizeof expected_text - 1;
    const uint8_t audio[5] = {0x00, 0xFF, 0x10, 0x00, 0x7F};

    char buf[600];
    std::memset(buf, 'z', sizeof buf);
    int n = BuildAudioDataMessage(buf, sizeof buf, audio, 5);
    ASSERT_EQ(n, static_cast<int>(text_len + 5));
    EXPECT_EQ(std::string(buf, text_len), expected_text);
    EXPECT_EQ(std::memcmp(buf + text_len, audio, 5), 0);

    // Exactly fitting works; one byte short is refused without writing past the buffer.
    EXPECT_EQ(BuildAudioDataMessage(buf, text_len + 5, audio, 5), n);
    EXPECT_EQ(BuildAudioDataMessage(buf, text_len + 4, audio, 5), -1);

    // The header builder cuts at capacity - 1 and terminates.
    char small[21];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(BuildAudioDataHeader(small, sizeof small, "<B/>"), 20);
    EXPECT_EQ(std::string(small), "<?xml version=\"1.0\" ");
    EXPECT_EQ(BuildAudioDataHeader(small, 1, "<B/>"), 0);
    EXPECT_EQ(small[0], '\0');
}

// ---- GetMessageHeader -------------------------------------------------------------------------

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n";

std::string message(const std::string& header_attrs, const std::string& body = "<MESSAGE_BODY>\n</MESSAGE_BODY>")
{
    return std::string(kDecl) + "<XML_MORVEK>\n<MESSAGE_HEADER " + header_attrs + "/>\n" + body + "\n</XML_MORVEK>";
}

struct HeaderCase {
    const char* name;
    std::string text;
    int result;
    const char* log;  // exact line, or nullptr when no line is expected
};

TEST_F(LogCapture, GetMessageHeaderResults)
{
    const std::string no_root = "<A>hello</A>";
    const std::string no_close = "<XML_MORVEK><MESSAGE_HEADER/>";
    const std::string broken_with_body = "<XML_MORVEK><MESSAGE_HEADER <MESSAGE_BODY></XML_MORVEK>";
    const std::string broken_no_body = "<XML_MORVEK><MESSAGE_HEADER </XML_MORVEK>";
    const std::string long_type = std::string(32, 'T');
    const std::string max_type = std::string(31, 'T');
    const HeaderCase cases[] = {
        {"no root tag", no_root, -1, nullptr},
        {"no closing root tag", no_close, -1, nullptr},
        {"alarm with quote-zero-quote-quote",
         message("Msg_type=\"ALARM_REPORT_MESSAGE\" Msg_code=\"0\"\"", "<MESSAGE_BODY><X/></MESSAGE_BODY>"), -1,
         "GetMessageHeader detect bad ALARM_REPORT_MESSAGE message"},
        {"alarm with empty body on two lines",
         message("Msg_type=\"ALARM_REPORT_MESSAGE\" Msg_code=\"CMD_REPORT_ALARM\" Msg_flag=\"0\" "), -1,
         "GetMessageHeader detect bad ALARM_REPORT_MESSAGE message, msg body is empty"},
        {"any message mentioning alarms with an empty body",
         message("Msg_type=\"X\" Msg_code=\"1\" Msg_flag=\"0\" Note=\"ALARM_REPORT_MESSAGE\" ",
                 "<MESSAGE_BODY></MESSAGE_BODY>"),
         -1, "GetMessageHeader detect bad ALARM_REPORT_MESSAGE message, msg body is empty"},
        {"unparsable with body tag", broken_with_body, -4, nullptr},
        {"unparsable without body tag", broken_no_body, -1,
         "Invalid message, <MESSAGE_BODY> not found: <XML_MORVEK><MESSAGE_HEADER </XML_MORVEK>"},
        {"no MESSAGE_HEADER", "<XML_MORVEK><H/></XML_MORVEK>", -2, nullptr},
        {"no type", message("Msg_code=\"1\" Msg_flag=\"0\" "), -5, nullptr},
        {"empty type", message("Msg_type=\"\" Msg_code=\"1\" Msg_flag=\"0\" "), -5, nullptr},
        {"no code", message("Msg_type=\"T\" Msg_flag=\"0\" "), -6, nullptr},
        {"no flag", message("Msg_type=\"T\" Msg_code=\"1\" "), -7, nullptr},
        {"type of 31 characters", message("Msg_type=\"" + max_type + "\" Msg_code=\"1\" Msg_flag=\"0\" "), 0, nullptr},
        {"type of 32 characters refused", message("Msg_type=\"" + long_type + "\" Msg_code=\"1\" Msg_flag=\"0\" "), -1,
         "GetMessageHeader Msg_type too long(32), bad msg\n"},
        {"flag of 40 characters refused",
         message("Msg_type=\"T\" Msg_code=\"1\" Msg_flag=\"" + std::string(39, '0') + "1\" "), -1,
         "GetMessageHeader Msg_flag too long(40), bad msg\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        char type[kMsgFieldSize] = "x", code[kMsgFieldSize] = "x", flag[kMsgFieldSize] = "x";
        EXPECT_EQ(GetMessageHeader(c.text.c_str(), type, code, flag), c.result);
        auto l = lines();
        if (c.log) {
            ASSERT_EQ(l.size(), 1u);
            EXPECT_EQ(l[0], c.log);
        } else if (c.result != -1) {
            EXPECT_TRUE(l.empty());
        }
        if (c.result == -1 || c.result == -4 || c.result == -2) {
            EXPECT_STREQ(type, "");
            EXPECT_STREQ(flag, "");
        }
    }
    clear_log();
    char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
    EXPECT_EQ(GetMessageHeader(no_root.c_str(), type, code, flag), -1);
    EXPECT_TRUE(logged("Invalid message, <XML_MORVEK> not found:\n<A>hello</A>"));
    EXPECT_EQ(GetMessageHeader(no_close.c_str(), type, code, flag), -1);
    EXPECT_TRUE(logged("Invalid message, </XML_MORVEK> not found:\n<XML_MORVEK><MESSAGE_HEADER/>"));
}

TEST(GetMessageHeader, ReadsValuesFromBuiltMessagesAndIgnoresOtherAttributes)
{
    std::string text;
    BuildLongMessage(text, "USER_AUTH_MESSAGE", "CMD_USER_AUTH", "-3", "<USER_AUTH_RESPONSE Sessionid=\"s\"/>");
    char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
    ASSERT_EQ(GetMessageHeader(text.c_str(), type, code, flag), 0);
    EXPECT_STREQ(type, "USER_AUTH_MESSAGE");
    EXPECT_STREQ(code, "CMD_USER_AUTH");
    EXPECT_STREQ(flag, "-3");

    // The root's name is not compared, only the substring test; extra attributes are ignored.
    const char other_root[] =
        "<XML_MORVEK></XML_MORVEK><R><MESSAGE_HEADER X=\"1\" Msg_flag=\"9\" Msg_type=\"A\" Msg_code=\"\xC9\xE8\"/></R>";
    ASSERT_EQ(GetMessageHeader(other_root, type, code, flag), -2);  // first element is the empty root
    const char renamed[] = "<R><MESSAGE_HEADER Msg_type=\"A\" Msg_code=\"\xC9\xE8\" Msg_flag=\"9\"/>"
                           "<!--<XML_MORVEK></XML_MORVEK>--></R>";
    ASSERT_EQ(GetMessageHeader(renamed, type, code, flag), 0);
    EXPECT_STREQ(code, "\xC9\xE8");  // GB2312 bytes unchanged
    EXPECT_STREQ(flag, "9");
}

// ---- body extractors ------------------------------------------------------------------------

TEST(MessageBody, InnerTextAndWholeElement)
{
    std::string text;
    BuildLongMessage(text, "T", "1", "0", "<P a=\"\xB0\xA1\"/>");
    std::string body;
    ASSERT_EQ(GetMessageBody(text.c_str(), body), 0);
    EXPECT_EQ(body, "\n<P a=\"\xB0\xA1\"/>\n");
    ASSERT_EQ(GetMessageBodyElement(text.c_str(), body), 0);
    EXPECT_EQ(body, "<MESSAGE_BODY>\n<P a=\"\xB0\xA1\"/>\n</MESSAGE_BODY>");

    BuildMessage(text, "T", "1", "0", nullptr);  // "<MESSAGE_BODY/>"
    body = "untouched";
    EXPECT_EQ(GetMessageBody(text.c_str(), body), -1);
    EXPECT_EQ(GetMessageBodyElement(text.c_str(), body), -1);
    EXPECT_EQ(body, "untouched");

    // An end tag that comes before the start tag is not a body.
    EXPECT_EQ(GetMessageBody("</MESSAGE_BODY>x<MESSAGE_BODY>", body), -1);
    EXPECT_EQ(GetMessageBody(nullptr, body), -1);
    ASSERT_EQ(GetMessageBody("<MESSAGE_BODY></MESSAGE_BODY>", body), 0);
    EXPECT_EQ(body, "");
}

// ---- typed readers ------------------------------------------------------------------------------

TEST_F(LogCapture, UserAuthResponseSessionLimits)
{
    struct Case {
        std::string body;
        int result;
        std::string session;
    } cases[] = {
        {"<USER_AUTH_RESPONSE Sessionid=\"abc123\"/>", 0, "abc123"},
        {"<USER_AUTH_RESPONSE Sessionid=\"" + std::string(63, 's') + "\"/>", 0, std::string(63, 's')},
        {"<USER_AUTH_RESPONSE Sessionid=\"" + std::string(64, 's') + "\"/>", -1, ""},
        {"<USER_AUTH_RESPONSE/>", 0, ""},
        {"<OTHER/>", -2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string text;
        BuildLongMessage(text, "USER_AUTH_MESSAGE", "CMD_USER_AUTH", "0", c.body.c_str());
        char session[kSessionIdSize] = "";
        EXPECT_EQ(GetUserAuthResponse(text.c_str(), session), c.result);
        EXPECT_EQ(std::string(session), c.session);
        // The body element alone reads the same.
        std::string element;
        ASSERT_EQ(GetMessageBodyElement(text.c_str(), element), 0);
        char session2[kSessionIdSize] = "";
        EXPECT_EQ(GetUserAuthResponse(element.c_str(), session2), c.result);
    }
    EXPECT_TRUE(logged("GetUserAuthResponse Sessionid too long(64)\n"));
    char session[kSessionIdSize];
    EXPECT_EQ(GetUserAuthResponse("<a><b></a>", session), -4);
    EXPECT_EQ(GetUserAuthResponse("", session), -4);
}

TEST(AlarmReport, ThreeItemsInDocumentOrder)
{
    std::string text;
    BuildLongMessage(text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
                     "<ALARM_REPORT_PARAM>\n"
                     "<ALARM_ITEM><ALARM_TIME Year=\"2024\" Month=\"3\" Day=\"6\" WDay=\"3\" Hour=\"9\" Minute=\"5\" "
                     "Second=\"7\"/><ALARM_INFO Alarm_code=\"12\" Alarm_flag=\"1\" Alarm_level=\"2\" "
                     "Alarm_data=\"\xD2\xC6\xB6\xAF\" Alarm_absTime=\"4294967295\"/></ALARM_ITEM>\n"
                     "<ALARM_ITEM><ALARM_INFO Alarm_code=\"13\"/></ALARM_ITEM>\n"
                     "<OTHER/>\n"
                     "<ALARM_ITEM><ALARM_TIME Year=\"1999\"/><ALARM_INFO Alarm_absTime=\"4294967296\"/></ALARM_ITEM>\n"
                     "</ALARM_REPORT_PARAM>");
    std::vector<AlarmRecord> recs;
    ASSERT_EQ(GetAlarmReport(text.c_str(), recs), 3);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].Year, 2024);
    EXPECT_EQ(recs[0].Month, 3);
    EXPECT_EQ(recs[0].Day, 6);
    EXPECT_EQ(recs[0].WDay, 3);
    EXPECT_EQ(recs[0].Hour, 9);
    EXPECT_EQ(recs[0].Minute, 5);
    EXPECT_EQ(recs[0].Second, 7);
    EXPECT_EQ(recs[0].Alarm_code, 12);
    EXPECT_EQ(recs[0].Alarm_flag, 1);
    EXPECT_EQ(recs[0].Alarm_level, 2);
    EXPECT_EQ(recs[0].Alarm_absTime, 4294967295u);
    EXPECT_STREQ(recs[0].Alarm_data, "\xD2\xC6\xB6\xAF");
    EXPECT_EQ(recs[1].Alarm_code, 13);
    EXPECT_EQ(recs[1].Year, 0);
    EXPECT_STREQ(recs[1].Alarm_data, "");
    EXPECT_EQ(recs[2].Year, 1999);
    EXPECT_LE(recs[2].Alarm_absTime, 0xFFFFFFFFu);  // read as 32 bits, high word 0
}

TEST(AlarmReport, AFloodOfItemsIsCutAtTheCap)
{
    std::string items;
    for (size_t i = 0; i < kMaxAlarmItems + 10; ++i)
        items += "<ALARM_ITEM><ALARM_INFO Alarm_code=\"" + std::to_string(i) + "\"/></ALARM_ITEM>";
    std::string text;
    BuildLongMessage(text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
                     ("<ALARM_REPORT_PARAM>" + items + "</ALARM_REPORT_PARAM>").c_str());
    std::vector<AlarmRecord> recs;
    ASSERT_EQ(GetAlarmReport(text.c_str(), recs), static_cast<int>(kMaxAlarmItems));
    ASSERT_EQ(recs.size(), kMaxAlarmItems);
    EXPECT_EQ(recs.front().Alarm_code, 0);
    EXPECT_EQ(recs.back().Alarm_code, static_cast<int>(kMaxAlarmItems) - 1);
}

TEST(AlarmReport, ResultCodesAndLongData)
{
    std::vector<AlarmRecord> recs;
    std::string text;
    BuildLongMessage(text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
                     "<ALARM_REPORT_PARAM><X/></ALARM_REPORT_PARAM>");
    EXPECT_EQ(GetAlarmReport(text.c_str(), recs), -1);
    BuildLongMessage(text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0", "<X/>");
    EXPECT_EQ(GetAlarmReport(text.c_str(), recs), -2);
    EXPECT_EQ(GetAlarmReport("<a", recs), -4);
    EXPECT_TRUE(recs.empty());

    // Data longer than the field is cut to 1023 bytes and stays terminated; a two-byte character
    // that would straddle the cut is dropped whole.
    std::string data = std::string(1022, 'a') + "\xD2\xC6" + std::string(100, 'b');
    BuildLongMessage(
        text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
        ("<ALARM_REPORT_PARAM><ALARM_ITEM><ALARM_INFO Alarm_data=\"" + data + "\"/></ALARM_ITEM></ALARM_REPORT_PARAM>")
            .c_str());
    ASSERT_EQ(GetAlarmReport(text.c_str(), recs), 1);
    EXPECT_EQ(std::string(recs[0].Alarm_data), std::string(1022, 'a'));

    data = std::string(1021, 'a') + "\xD2\xC6" + std::string(100, 'b');
    BuildLongMessage(
        text, "ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0",
        ("<ALARM_REPORT_PARAM><ALARM_ITEM><ALARM_INFO Alarm_data=\"" + data + "\"/></ALARM_ITEM></ALARM_REPORT_PARAM>")
            .c_str());
    ASSERT_EQ(GetAlarmReport(text.c_str(), recs), 1);
    EXPECT_EQ(std::string(recs[0].Alarm_data), std::string(1021, 'a') + "\xD2\xC6");
}

TEST(AudioStart, DefaultsAndCodec)
{
    std::string text;
    BuildLongMessage(text, "REVERSE_AUDIO_MESSAGE", "CMD_RA_START", "0", "<RA_START_RESPONSE AudioCodec=\"G711\"/>");
    AudioStartInfo info{1234, 9, 9, 9, 9, 9};
    ASSERT_EQ(GetAudioStartResponse(text.c_str(), info), 0);
    EXPECT_EQ(info.recv_port, 1234);  // no default for the port
    EXPECT_EQ(info.audio_type, 0);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.bits, 16);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.connection_type, 0);

    BuildLongMessage(text, "REVERSE_AUDIO_MESSAGE", "CMD_RA_START", "0",
                     "<RA_START_RESPONSE RTPRecvPort=\"6000\" AudioCodec=\"MPEG4-AAC\" Samplerate=\"16000\" "
                     "BitsPerSample=\"8\" Channels=\"2\" ConnectionType=\"1\"/>");
    ASSERT_EQ(GetAudioStartResponse(text.c_str(), info), 0);
    EXPECT_EQ(info.recv_port, 6000);
    EXPECT_EQ(info.audio_type, 1);
    EXPECT_EQ(info.samplerate, 16000);
    EXPECT_EQ(info.bits, 8);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.connection_type, 1);

    EXPECT_EQ(GetAudioStartResponse("<XML_MORVEK/>", info), -2);
    EXPECT_EQ(GetAudioStartResponse("<a x=\"1></a>", info), -4);
}

TEST_F(LogCapture, PosFileAndPortParams)
{
    std::string text;
    BuildLongMessage(text, "MEDIA_DATA_MESSAGE", "2", "0", "<POS StartPos=\"40960\" DataLen=\"100\"/>");
    int32_t start = 7, len = 7;
    ASSERT_EQ(GetPosParam(text.c_str(), start, len), 0);
    EXPECT_EQ(start, 40960);
    EXPECT_EQ(len, 100);
    BuildLongMessage(text, "MEDIA_DATA_MESSAGE", "2", "0", "<POS/>");
    ASSERT_EQ(GetPosParam(text.c_str(), start, len), 0);
    EXPECT_EQ(start, -1);
    EXPECT_EQ(len, 0);
    BuildLongMessage(text, "MEDIA_DATA_MESSAGE", "2", "0", "<NOPOS/>");
    EXPECT_EQ(GetPosParam(text.c_str(), start, len), -2);
    EXPECT_EQ(GetPosParam("<!-- only a comment -->", start, len), -2);
    EXPECT_TRUE(logged("GetRequestParamByDoc pRoot Is Null \n"));
    EXPECT_EQ(GetPosParam("<a", start, len), -4);

    int type = 0, flen = 0;
    char path[8];
    ASSERT_EQ(GetFileParam("<R FileType=\"3\" FilePath=\"/mnt/a/\xB0\xA1.bin\" FileLength=\"77\"/>", type, path,
                           sizeof path, flen),
              0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(flen, 77);
    EXPECT_STREQ(path, "/mnt/a/");  // cut to the buffer, terminated
    EXPECT_EQ(GetFileParam("", type, path, sizeof path, flen), -4);

    uint16_t port = 9;
    ASSERT_EQ(GetPortParam("<R Port=\"65537\" Type=\"2\" FileLength=\"5\"/>", port, type, flen), 0);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(flen, 5);
    ASSERT_EQ(GetPortParam("<R/>", port, type, flen), 0);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(flen, 0);
}

// ---- request-parameter readers -----------------------------------------------------------------

TEST_F(LogCapture, RequestParamByDocLengthLimits)
{
    std::string text;
    BuildLongMessage(text, "T", "1", "0", "<REQUEST_PARAM Five=\"abcde\" Six=\"abcdef\" Gb=\"\xC9\xE8\xB1\xB8\"/>");
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    ASSERT_FALSE(doc.Error());

    char out[6];
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(GetRequestParamByDoc(doc, "REQUEST_PARAM", "Five", out, 5), 0);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(GetRequestParamByDoc(doc, "REQUEST_PARAM", "Six", out, 5), -1);
    EXPECT_TRUE(logged("tag_name(REQUEST_PARAM), fieldName(Six), fieldValue len(5) small than real len(6)\n"));
    EXPECT_EQ(GetRequestParamByDoc(doc, "REQUEST_PARAM", "None", out, 5), -4);
    EXPECT_EQ(GetRequestParamByDoc(doc, "MISSING", "Five", out, 5), -2);
    EXPECT_TRUE(logged("GetRequestParamByDoc :tag_name:MISSING fieldName:Five fail\n"));
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(GetRequestParamByDoc(doc, "REQUEST_PARAM", "Gb", out, 5), 0);
    EXPECT_STREQ(out, "\xC9\xE8\xB1\xB8");

    TiXmlDocument empty;
    EXPECT_EQ(GetRequestParamByDoc(empty, "REQUEST_PARAM", "Five", out, 5), -2);
    EXPECT_TRUE(logged("GetRequestParamByDoc pRoot Is Null \n"));

    EXPECT_EQ(GetRequestParamValue(doc, "REQUEST_PARAM", "Six"), std::optional<std::string>("abcdef"));
    EXPECT_EQ(GetRequestParamValue(doc, "REQUEST_PARAM", "None"), std::nullopt);
    EXPECT_EQ(GetRequestParamValue(doc, "NOPE", "Six"), std::nullopt);
    EXPECT_TRUE(logged("GetRequestParamValue :NOPE fail\n"));

    EXPECT_EQ(GetRequestParamValueByXml(text.c_str(), "REQUEST_PARAM", "Five"), std::optional<std::string>("abcde"));
    // The root without MESSAGE_BODY holds the element directly.
    EXPECT_EQ(GetRequestParamValueByXml("<R><REQUEST_PARAM Five=\"x\"/></R>", "REQUEST_PARAM", "Five"),
              std::optional<std::string>("x"));
    EXPECT_EQ(GetRequestParamValueByXml(nullptr, "REQUEST_PARAM", "Five"), std::nullopt);
    clear_log();
    EXPECT_EQ(GetRequestParamValueByXml("<R", "REQUEST_PARAM", "Five"), std::nullopt);
    EXPECT_TRUE(logged("GetVendoridParam xmlDoc.Error\n"));
}

}  // namespace

// The recorder's frame and envelope codec.
#include "sim/wire.h"
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(SimWire, EnvelopeAndFrameBytes)
{
    EXPECT_EQ(sim::envelope("SYSTEM_CONTROL_MESSAGE", "1007", "0", ""),
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1007\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n\n"
              "</MESSAGE_BODY>\n</XML_MORVEK>");
    std::string f = sim::frame("abc", std::string("\0x", 2));
    EXPECT_EQ(f,
              std::string("\x58\x91\x58\x51\x05\x00\x00\x00"
                          "abc\0x",
                          13));
    EXPECT_EQ(sim::attr_escape("a<\"&>\x01"), "a&lt;&quot;&amp;&gt;&#1;");
}

TEST(SimWire, ParsesTheConsolesMessagesIncludingWhatFollowsTheirText)
{
    std::string hb = simtest::heartbeat().substr(8);
    sim::Message m = sim::parse_message(hb.data(), hb.size());
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.type, "AUXPTZ_HEARTBEAT_MESSAGE");
    EXPECT_EQ(m.code, "CMD_HEARTBEAT");
    EXPECT_EQ(m.flag, "0");

    std::string c = simtest::chunk(40960, "DATA").substr(8);
    m = sim::parse_message(c.data(), c.size());
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.attr("POS", "StartPos"), "40960");
    EXPECT_EQ(m.attr("POS", "DataLen"), "4");
    EXPECT_EQ(m.after_text, std::string_view("\0\0\0\0DATA", 8));

    // Spaces around '=' as in the upload announcement.
    std::string a = simtest::announce(3, "x.jpg", 9).substr(8);
    m = sim::parse_message(a.data(), a.size());
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.attr("REQUEST_PARAM", "FilePath"), "x.jpg");
    EXPECT_EQ(m.attr("REQUEST_PARAM", "StartPos"), "0");

    const char* bad[] = {"", "<XML_MORVEK><MESSAGE_HEADER",
                         "<OTHER><MESSAGE_HEADER Msg_type=\"a\" Msg_code=\"1\" Msg_flag=\"0\"/></OTHER>",
                         "<XML_MORVEK><MESSAGE_HEADER Msg_type=\"a\" Msg_code=\"1\"/></XML_MORVEK>",
                         "<XML_MORVEK></XML_MORVEK>"};
    for (const char* t : bad)
        EXPECT_FALSE(sim::parse_message(t, std::strlen(t)).ok) << t;
}

TEST(SimWire, FrameReaderJudgesMagicEarlyAndLengthBeforeWaiting)
{
    using R = sim::FrameReader::Result;
    size_t total = 0;
    auto peek = [&](const std::string& b, uint32_t max = 1000) {
        total = 0;
        return sim::FrameReader::peek(reinterpret_cast<const unsigned char*>(b.data()), b.size(), max, &total);
    };
    EXPECT_EQ(peek(""), R::NeedMore);
    EXPECT_EQ(peek("\x58\x91"), R::NeedMore);
    EXPECT_EQ(peek("\x58\x92"), R::BadMagic);
    EXPECT_EQ(peek(std::string("\x58\x91\x58\x51\x03\x00\x00\x00"
                               "ab",
                               10)),
              R::NeedMore);
    EXPECT_EQ(total, 11u);
    EXPECT_EQ(peek(std::string("\x58\x91\x58\x51\x03\x00\x00\x00"
                               "abcX",
                               12)),
              R::Frame);
    EXPECT_EQ(total, 11u);
    EXPECT_EQ(peek(std::string("\x58\x91\x58\x51\xe9\x03\x00\x00", 8)), R::TooLong);
    EXPECT_EQ(peek(std::string("\x58\x91\x58\x51\xff\xff\xff\xff", 8), 0xFFFFFFFEu), R::TooLong);
}

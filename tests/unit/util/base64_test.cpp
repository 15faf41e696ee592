#include "util/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// RFC 4648, section 10.
const std::pair<std::string, std::string> kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648VectorsBothWays)
{
    for (const auto& [plain, encoded] : kRfc4648) {
        char text[16];
        EXPECT_EQ(base64_encode(plain.data(), int(plain.size()), text, sizeof text), int(encoded.size()));
        EXPECT_STREQ(text, encoded.c_str());

        char bytes[16];
        int n = base64_decode(encoded.data(), int(encoded.size()), bytes, sizeof bytes);
        ASSERT_EQ(n, int(plain.size())) << encoded;
        EXPECT_EQ(std::string(bytes, size_t(n)), plain);
    }
}

TEST(Base64, AllByteValuesRoundTrip)
{
    std::vector<unsigned char> data(256 * 3 + 2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    for (int len : {0, 1, 2, 3, 255, 256, int(data.size())}) {
        std::vector<char> text(size_t((len + 2) / 3 * 4 + 1));
        int tlen = base64_encode(data.data(), len, text.data(), int(text.size()));
        ASSERT_EQ(tlen, (len + 2) / 3 * 4);
        std::vector<unsigned char> back(size_t(tlen / 4 * 3) + 1);
        ASSERT_EQ(base64_decode(text.data(), tlen, back.data(), tlen / 4 * 3), len);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + len, back.begin()));
    }
}

TEST(Base64, EncodeNeedsRoomForTheTerminator)
{
    char out[8];
    EXPECT_EQ(base64_encode("abc", 3, out, 4), -1);
    EXPECT_EQ(base64_encode("abc", 3, out, 5), 4);
    EXPECT_STREQ(out, "YWJj");
    EXPECT_EQ(base64_encode(nullptr, 3, out, 8), -1);
    EXPECT_EQ(base64_encode("abc", 3, nullptr, 8), -1);
    EXPECT_EQ(base64_encode("abc", -1, out, 8), -1);
    // A length whose encoded size wraps a 32-bit int must not pass as "fits".
    EXPECT_EQ(base64_encode("abc", 0x7fffffff, out, 8), -1);
    EXPECT_EQ(base64_encode("abc", 0x60000000, out, 8), -1);
}

TEST(Base64, DecodeRejections)
{
    struct Case {
        const char* text;
        int out_size;
        int result;
    } cases[] = {
        {"QQ==", 3, 1},                                            // two "=" give one byte
        {"QUI=", 3, 2},      {"QUJ", 3, -1},                       // not a multiple of 4
        {"QUJDR", 6, -1},    {"QUJD", 2, -2},                      // out below len / 4 * 3
        {"QUJDRA==", 5, -2}, {"QQ=A", 3, -1},                      // data after "=" in the group
        {"Q===", 3, -1},                                           // "=" at position 1
        {"====", 3, -1},     {"QUJ*", 3, -1},                      // outside the alphabet
        {"QU J", 3, -1},     {"QUJ[", 3, -1},                      // inside "+".."z" but not in the alphabet
        {"QUJ\x80", 3, -1},  {"QUJ{", 3, -1}, {"QQ==QUJD", 6, 4},  // a padded group mid-text joins its byte on
    };
    for (const auto& c : cases) {
        char out[8];
        EXPECT_EQ(base64_decode(c.text, int(std::strlen(c.text)), out, c.out_size), c.result) << c.text;
    }
    char out[8];
    EXPECT_EQ(base64_decode("QQ==QUJD", 8, out, 6), 4);
    EXPECT_EQ(std::string(out, 4), "AABC");
    EXPECT_EQ(base64_decode(nullptr, 4, out, 8), -1);
    EXPECT_EQ(base64_decode("QUJD", 4, nullptr, 8), -1);
    EXPECT_EQ(base64_decode("QUJD", -4, out, 8), -1);
}

TEST(Base64, DecodeLeavesBytesPastTheResultAlone)
{
    char out[6];
    std::memset(out, '#', sizeof out);
    ASSERT_EQ(base64_decode("Zm8=", 4, out, sizeof out), 2);
    EXPECT_EQ(std::string(out, sizeof out), "fo####");
}

}  // namespace

#include "util/digest.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_os.h"

namespace {

std::string hex(const uint8_t* d, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

struct Vector {
    std::string input;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321SuiteInEveryForm)
{
    for (const auto& v : kRfc1321) {
        SCOPED_TRACE(v.input);
        uint8_t raw[16];
        md5_raw(v.input.data(), v.input.size(), raw);
        EXPECT_EQ(hex(raw, 16), v.digest);

        char out[33];
        EXPECT_EQ(md5_hex(v.input.data(), v.input.size(), out), out);
        EXPECT_STREQ(out, v.digest);

        std::string upper = v.digest;
        for (char& c : upper)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        char up[33];
        EXPECT_EQ(getmd5(v.input.c_str(), up, sizeof up), 1);
        EXPECT_EQ(up, upper);
    }
}

// Feeding the same bytes in pieces of every size crosses the 64-byte block and the 56-byte
// padding boundaries at every offset.
TEST(Md5, PiecewiseUpdatesMatchOneShot)
{
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += char(i * 7 + 3);
    for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
        char expect[33];
        md5_hex(data.data(), len, expect);
        for (size_t piece = 1; piece <= 70; ++piece) {
            Md5Context ctx;
            md5_init(&ctx);
            for (size_t pos = 0; pos < len; pos += piece)
                md5_update(&ctx, data.data() + pos, std::min(piece, len - pos));
            char got[33];
            md5_final_hex(&ctx, got);
            ASSERT_STREQ(got, expect) << "len " << len << " piece " << piece;
        }
    }
}

TEST(Md5, MillionAsAndContextWipe)
{
    std::string chunk(1000, 'a');
    Md5Context ctx;
    md5_init(&ctx);
    for (int i = 0; i < 1000; ++i)
        md5_update(&ctx, chunk.data(), chunk.size());
    uint8_t raw[16];
    md5_final(&ctx, raw);
    EXPECT_EQ(hex(raw, 16), "7707d6ae4e027c70eea2a935c2296f21");
    Md5Context zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5, FinalHexAllocatesWhenNoOutputGiven)
{
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "abc", 3);
    char* s = md5_final_hex(&ctx, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "900150983cd24fb0d6963f7d28e17f72");
    std::free(s);
}

TEST(Md5, FileHexHashesTheBytesExactly)
{
    auto path = std::filesystem::temp_directory_path() / ("dravlin_md5_" + std::to_string(test_common::process_id()));
    // CR LF and ^Z bytes must be hashed as they are, and the file spans several reads.
    std::string bytes;
    for (int i = 0; i < 1500; ++i)
        bytes += "\r\n\x1a\x00"[i % 4];
    {
        std::ofstream f(path, std::ios::binary);
        f.write(bytes.data(), std::streamsize(bytes.size()));
    }
    char expect[33];
    md5_hex(bytes.data(), bytes.size(), expect);
    char out[33];
    EXPECT_EQ(md5_file_hex(path.string().c_str(), out), out);
    EXPECT_STREQ(out, expect);
    char* owned = md5_file_hex(path.string().c_str(), nullptr);
    ASSERT_NE(owned, nullptr);
    EXPECT_STREQ(owned, expect);
    std::free(owned);
    std::filesystem::remove(path);

    EXPECT_EQ(md5_file_hex(path.string().c_str(), out), nullptr);
    // A folder opens but cannot be read: no digest of "nothing" may come back.
    EXPECT_EQ(md5_file_hex(std::filesystem::temp_directory_path().string().c_str(), out), nullptr);
}

TEST(Getmd5, OutputSizeAndArgumentChecks)
{
    char out[40];
    struct Case {
        const void* data;
        char* out;
        int size;
        int result;
    } cases[] = {
        {"abc", out, 33, 1},  {"abc", out, 32, -1},   {"abc", out, 0, -1},
        {"abc", out, -5, -1}, {nullptr, out, 33, -1}, {"abc", nullptr, 33, -1},
    };
    for (const auto& c : cases) {
        std::memset(out, 'x', sizeof out);
        testing::internal::CaptureStdout();
        EXPECT_EQ(getmd5(c.data, 3, c.out, c.size), c.result) << c.size;
        std::string printed = testing::internal::GetCapturedStdout();
        if (c.result == 1) {
            EXPECT_STREQ(out, "900150983CD24FB0D6963F7D28E17F72");
            EXPECT_EQ(printed, "");
        } else {
            EXPECT_EQ(printed, "getmd5 param error\n\r\n");
            EXPECT_EQ(out[0], 'x');
        }
    }
}

TEST(HmacMd5, Rfc2202Cases)
{
    struct Case {
        std::string key, data;
        const char* mac;
    } cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {"", std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (int i = 1; i <= 25; ++i)
        cases[3].key += char(i);
    for (const auto& c : cases) {
        uint8_t mac[16];
        hmac_md5(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac);
        EXPECT_EQ(hex(mac, 16), c.mac) << c.data;
    }
}

constexpr const char* kNonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";

TEST(DigestResponse, Rfc2617Example)
{
    char out[33];
    EXPECT_EQ(createResponseString("Mufasa", "testrealm@host.com", "Circle Of Life", false, "GET", "/dir/index.html",
                                   kNonce, out, "auth", "00000001", "0a4f113b"),
              out);
    EXPECT_STREQ(out, "6629fae49393a05397450978507c4ef1");

    // The same with HA1 given: all 32 digits of it count.
    std::memset(out, 0, sizeof out);
    createResponseString("Mufasa", "testrealm@host.com", "939e7578ed9e3c518a452acee763bce9", true, "GET",
                         "/dir/index.html", kNonce, out, "auth", "00000001", "0a4f113b");
    EXPECT_STREQ(out, "6629fae49393a05397450978507c4ef1");
}

TEST(DigestResponse, WithoutQualityOfProtection)
{
    struct Case {
        std::string user, password, uri;
        bool ha1_given;
        const char* response;
    } cases[] = {
        {"Mufasa", "Circle Of Life", "/dir/index.html", false, "670fd8c2df070c60b045671b8b24ff02"},
        {"Mufasa", "939e7578ed9e3c518a452acee763bce9", "/dir/index.html", true, "670fd8c2df070c60b045671b8b24ff02"},
        // Joined texts longer than the 256-byte stack buffer.
        {std::string(300, 'u'), "p", "/" + std::string(300, 'd'), false, "4cb7d411a94e645da3484655914a6bfb"},
    };
    for (const auto& c : cases) {
        char out[33] = {};
        const char* realm = c.user.size() > 100 ? "r" : "testrealm@host.com";
        const char* nonce = c.user.size() > 100 ? "n" : kNonce;
        const char* method = "GET";
        ASSERT_EQ(createResponseString(c.user.c_str(), realm, c.password.c_str(), c.ha1_given, method, c.uri.c_str(),
                                       nonce, out),
                  out);
        EXPECT_STREQ(out, c.response);
    }
}

TEST(DigestResponse, MissingTextsWriteNothing)
{
    const char* args[6] = {"u", "r", "p", "GET", "/", "n"};
    for (int missing = 0; missing < 6; ++missing) {
        const char* a[6];
        std::copy(args, args + 6, a);
        a[missing] = nullptr;
        char out[33];
        std::memset(out, 'x', sizeof out);
        testing::internal::CaptureStdout();
        EXPECT_EQ(createResponseString(a[0], a[1], a[2], false, a[3], a[4], a[5], out), nullptr);
        std::string flags = "0,0,0,0,0,0";
        flags[2 * missing] = '1';
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "createResponseString param fail:" + flags + " \n");
        EXPECT_EQ(out[0], 'x');
    }
}

}  // namespace

// DecodeJpeg against libjpeg-turbo's cjpeg/djpeg and against hand-made files for the cases no
// encoder produces. Every decode reads from an allocation of exactly the file's size and writes
// into one of exactly the target's size, so the sanitizer build catches any overrun.
#include "imaging/jpeg_decoder.h"
#include "jpeg_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace jpegtest;

namespace {

struct Decoded {
    int rc = -1;
    int width = 0;
    int height = 0;
    std::vector<uint16_t> pixels;  // JpegLinePixels(width) per line
};

// Decodes once without a target for the size, then again into a target of exactly that size.
Decoded decode(const Bytes& file)
{
    Decoded d;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() ? file.size() : 1]);
    if (!file.empty())
        std::memcpy(exact.get(), file.data(), file.size());
    d.rc = DecodeJpeg(file.empty() ? nullptr : exact.get(), file.size(), nullptr, 0, &d.width, &d.height);
    if (d.rc != kJpegDecodeOk) {
        // The check walks the codes without pixels; the pixel decoder must reach the same verdict.
        uint16_t small[64];
        EXPECT_EQ(DecodeJpeg(file.empty() ? nullptr : exact.get(), file.size(), small, 64, nullptr, nullptr), d.rc);
        return d;
    }
    size_t n = JpegLinePixels(d.width) * static_cast<size_t>(d.height);
    std::unique_ptr<uint16_t[]> target(new uint16_t[n]);
    int w = 0, h = 0;
    int again = DecodeJpeg(exact.get(), file.size(), target.get(), n, &w, &h);
    EXPECT_EQ(again, d.rc);
    EXPECT_EQ(w, d.width);
    EXPECT_EQ(h, d.height);
    d.pixels.assign(target.get(), target.get() + n);
    return d;
}

struct PixelDiff {
    int max = 0;
    double mean = 0;
};

// Our RGB565 against djpeg's 8-bit samples, each channel widened back to 8 bits.
PixelDiff compare(const Decoded& d, const Image& ref)
{
    PixelDiff pd;
    double sum = 0;
    size_t line = JpegLinePixels(d.width);
    for (int y = 0; y < d.height; ++y) {
        for (int x = 0; x < d.width; ++x) {
            uint16_t p = d.pixels[y * line + x];
            int r5 = p >> 11, g6 = (p >> 5) & 63, b5 = p & 31;
            int mine[3] = {(r5 << 3) | (r5 >> 2), (g6 << 2) | (g6 >> 4), (b5 << 3) | (b5 >> 2)};
            const uint8_t* rp = &ref.pixels[(static_cast<size_t>(y) * ref.width + x) * ref.channels];
            for (int c = 0; c < 3; ++c) {
                int diff = std::abs(mine[c] - rp[ref.channels == 1 ? 0 : c]);
                pd.max = std::max(pd.max, diff);
                sum += diff;
            }
        }
    }
    pd.mean = sum / (3.0 * d.width * d.height);
    return pd;
}

class Silent : public ::testing::Test {
protected:
    void SetUp() override { jpeg_set_trace_sink(jpeg_trace_silent); }
    void TearDown() override { jpeg_set_trace_sink(nullptr); }
};

class WithLibjpeg : public Silent {
protected:
    void SetUp() override
    {
        Silent::SetUp();
        if (!have_libjpeg_tools())
            GTEST_SKIP() << "cjpeg/djpeg not installed (package libjpeg-turbo-progs)";
    }
    ScratchDir dir_;
};

struct EncoderCase {
    const char* name;
    int width;
    int height;
    bool gray_source;
    const char* options;
    bool accepted;
};

// Sizes stay small except where the size itself is the point.
const EncoderCase kEncoderCases[] = {
    {"4:2:0", 64, 48, false, "-quality 85 -sample 2x2,1x1,1x1 -baseline", true},
    {"4:2:2", 64, 48, false, "-sample 2x1,1x1,1x1 -baseline", true},
    {"4:4:4", 64, 48, false, "-sample 1x1,1x1,1x1 -baseline", true},
    {"4:4:0", 64, 48, false, "-sample 1x2,1x1,1x1 -baseline", true},
    {"4x2 luminance", 70, 40, false, "-sample 4x2,1x1,1x1 -baseline", true},
    {"grayscale source", 64, 48, true, "-baseline", true},
    {"colour made grayscale", 50, 30, false, "-grayscale -baseline", true},
    {"odd size 4:2:0", 37, 29, false, "-sample 2x2,1x1,1x1", true},
    {"odd size 4:2:2", 33, 17, false, "-sample 2x1,1x1,1x1", true},
    {"one pixel", 1, 1, false, "", true},
    {"one pixel grayscale", 1, 1, true, "", true},
    {"restart every MCU row", 64, 48, false, "-restart 1", true},
    {"restart every MCU", 40, 24, false, "-restart 1B", true},
    {"restart every 3 MCUs odd size", 37, 29, false, "-restart 3B", true},
    {"restart grayscale", 37, 29, true, "-restart 2B", true},
    {"optimised Huffman tables", 64, 48, false, "-optimize", true},
    {"quality 100", 48, 32, false, "-quality 100", true},
    {"quality 5 baseline", 48, 32, false, "-quality 5 -baseline", true},
    {"1920 x 1080", 1920, 1080, false, "-sample 2x2,1x1,1x1 -baseline", true},
    {"1921 x 1080", 1921, 1080, false, "-sample 2x2,1x1,1x1 -baseline", true},
    {"1920 x 1081", 1920, 1081, false, "-sample 2x2,1x1,1x1 -baseline", true},
    {"progressive", 64, 48, false, "-progressive", false},
    {"progressive grayscale", 64, 48, true, "-progressive", false},
    {"arithmetic coded", 64, 48, false, "-arithmetic", false},
    {"16-bit quantisation tables (SOF1)", 48, 32, false, "-quality 1", false},
};

TEST_F(WithLibjpeg, AcceptsExactlyBaselineFilesWithDjpegSizeAndPixels)
{
    for (const auto& c : kEncoderCases) {
        SCOPED_TRACE(c.name);
        Bytes file = cjpeg(dir_, c.width, c.height, c.gray_source, c.options);
        ASSERT_FALSE(file.empty()) << "cjpeg failed";
        Decoded d = decode(file);
        if (!c.accepted) {
            EXPECT_EQ(d.rc, kJpegDecodeFailed);
            continue;
        }
        ASSERT_EQ(d.rc, kJpegDecodeOk);
        Image ref = djpeg(dir_, file);
        ASSERT_GT(ref.width, 0) << "djpeg refused the file";
        EXPECT_EQ(d.width, ref.width);
        EXPECT_EQ(d.height, ref.height);
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
        PixelDiff pd = compare(d, ref);
        // RGB565 loses up to 7 levels; the rest is IDCT and colour rounding. A misplaced block
        // or a wrong colour transform is off by far more.
        EXPECT_LE(pd.max, 10);
        if (c.width * c.height >= 64) {
            EXPECT_LT(pd.mean, 3.0);
        }
    }
}

// Every prefix that stops inside the entropy data must fail, reading nothing beyond it.
TEST_F(WithLibjpeg, TruncatedFilesFailWithoutReadingPastTheEnd)
{
    const char* options[] = {"-sample 2x2,1x1,1x1", "-restart 1B", "-grayscale -restart 1"};
    for (const char* opt : options) {
        SCOPED_TRACE(opt);
        Bytes file = cjpeg(dir_, 40, 24, false, opt);
        ASSERT_GT(file.size(), 4u);
        for (size_t cut = 0; cut + 2 < file.size(); ++cut) {
            Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            ASSERT_EQ(decode(prefix).rc, kJpegDecodeFailed) << "cut at " << cut << " of " << file.size();
        }
        // Damaged entropy data: whatever the verdict, checking and decoding agree on it.
        for (size_t at = file.size() / 3; at + 2 < file.size(); at += 7) {
            Bytes damaged = file;
            damaged[at] ^= 0x5A;
            decode(damaged);
        }
        // Only the end-of-image marker missing: every MCU is there, so the picture decodes.
        Bytes no_eoi(file.begin(), file.end() - 2);
        EXPECT_EQ(decode(no_eoi).rc, kJpegDecodeOk);
    }
}

TEST_F(WithLibjpeg, SmallTargetIsFilledOnlyUpToItsCapacity)
{
    Bytes file = cjpeg(dir_, 64, 48, false, "-sample 2x2,1x1,1x1");
    ASSERT_FALSE(file.empty());
    Decoded full = decode(file);
    ASSERT_EQ(full.rc, kJpegDecodeOk);
    const size_t capacity = 100, guard = 64;
    std::vector<uint16_t> target(capacity + guard, 0xABCD);
    int w = 0, h = 0;
    ASSERT_EQ(DecodeJpeg(file.data(), file.size(), target.data(), capacity, &w, &h), kJpegDecodeOk);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    for (size_t i = 0; i < capacity; ++i)
        ASSERT_EQ(target[i], full.pixels[i]) << i;
    for (size_t i = capacity; i < target.size(); ++i)
        ASSERT_EQ(target[i], 0xABCD) << "written past the capacity at " << i;
}

// ---- hand-made files ----

const Bytes kGray8Header = cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}})});
const Bytes kGray8 = cat({kGray8Header, sos({{1, 0, 0}}), {0x3F}, eoi()});  // "00" + padding

// 3 components 1x1 sharing tables 0: six bits "000000" per MCU.
// clang-format off
const Bytes kColour8 =
    cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}),
         sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}), {0x03}, eoi()});
// clang-format on

Bytes huge_dht()
{
    std::vector<uint8_t> counts(16, 0);
    counts[8] = 200;
    counts[9] = 100;  // 300 symbols
    return dht(0, 0, counts, std::vector<uint8_t>(300, 1));
}

// A gray picture of w x h whose every block is "00": all-zero bytes, then the padded tail.
Bytes flat_gray(int w, int h, int interval = 0)
{
    size_t blocks = static_cast<size_t>((w + 7) / 8) * ((h + 7) / 8);
    Bytes data;
    if (interval == 0) {
        size_t bits = blocks * 2;
        data.assign(bits / 8, 0x00);
        if (bits % 8)
            data.push_back(static_cast<uint8_t>(0xFF >> (bits % 8)));
    } else {
        for (size_t b = 0; b < blocks; ++b) {
            if (b > 0 && b % interval == 0) {
                data.push_back(0xFF);
                data.push_back(static_cast<uint8_t>(0xD0 + (b / interval - 1) % 8));
            }
            data.push_back(0x3F);  // one block per interval keeps this simple
        }
    }
    return cat({soi(), dqt(0), tiny_tables(0), sof0(w, h, {{1, 1, 1, 0}}), interval ? dri(interval) : Bytes{},
                sos({{1, 0, 0}}), data, eoi()});
}

struct HandCase {
    const char* name;
    Bytes file;
    bool accepted;
    int width;
    int height;
};

std::vector<HandCase> hand_cases()
{
    // clang-format off
    const Bytes app0 = {0xFF, 0xE0, 0x00, 0x07, 'J', 'F', 'I', 'F', 0};
    const Bytes com = {0xFF, 0xFE, 0x00, 0x05, 'h', 'i', '!'};
    Bytes sof2 = kGray8;
    sof2[kGray8Header.size() - 13 + 1] = 0xC2;  // the frame header's marker code
    return {
        {"minimal grayscale", kGray8, true, 8, 8},
        {"three components", kColour8, true, 8, 8},
        {"APPn and COM skipped", cat({soi(), app0, com, Bytes(kGray8.begin() + 2, kGray8.end())}), true, 8, 8},
        {"tables after the frame header",
         cat({soi(), sof0(8, 8, {{1, 1, 1, 0}}), dqt(0), tiny_tables(0), sos({{1, 0, 0}}), {0x3F}, eoi()}), true, 8, 8},
        {"restart marker after every MCU", flat_gray(24, 8, 1), true, 24, 8},
        {"restart marker after two MCUs", flat_gray(32, 8, 2), false, 32, 8},  // tail bits do not fit 2 blocks
        // Unread whole bytes in front of a restart marker are given back (0xFF 0x00 as one) and
        // reading resumes two bytes behind the first of them: here at the second 0x3F.
        {"restart behind stray bytes",
         cat({soi(), dqt(0), tiny_tables(0), sof0(16, 8, {{1, 1, 1, 0}}), dri(1), sos({{1, 0, 0}}),
              {0x3F, 0xFF, 0x00, 0x3F, 0xFF, 0xD0, 0x3F}, eoi()}),
         true, 16, 8},
        // Two blocks of a 16-bit DC code, 16 difference bits and end of block.
        {"16-bit DC code with a 16-bit difference",
         cat({soi(), dqt(0), dht(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {16}), dht(1, 0, {1}, {0}),
              sof0(16, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}),
              {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0x00, 0xBF}, eoi()}),
         true, 16, 8},
        // Two blocks of DC "0", three 0xF1 and an 0xE1 that ends at coefficient 63: the next
        // block's DC code "0" must not be taken for the AC end of block "0".
        {"block full up to coefficient 63",
         cat({soi(), dqt(0), dht(0, 0, {1}, {0}), dht(1, 0, {1, 1, 1}, {0x00, 0xF1, 0xE1}), sof0(16, 8, {{1, 1, 1, 0}}),
              sos({{1, 0, 0}}), {0x5B, 0x75, 0x6D, 0xDF}, eoi()}),
         true, 16, 8},
        {"scan lists the components in another order",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}),
              sos({{3, 0, 0}, {1, 0, 0}, {2, 0, 0}}), {0x03}, eoi()}),
         true, 8, 8},
        {"2 x 2 single component",  // four blocks of "00"
         cat({soi(), dqt(0), tiny_tables(0), sof0(16, 16, {{1, 2, 2, 0}}), sos({{1, 0, 0}}), {0x00}, eoi()}), true, 16,
         16},
        {"1920 x 1080 of flat blocks", flat_gray(1920, 1080), true, 1920, 1080},
        {"frame header SOF2", sof2, false, 0, 0},
        {"empty", {}, false, 0, 0},
        {"only start of image", soi(), false, 0, 0},
        {"end of image before a scan", cat({soi(), dqt(0), eoi()}), false, 0, 0},
        {"no marker where one must be", cat({soi(), {0x00, 0x01, 0x02, 0x03}}), false, 0, 0},
        {"segment length below 2", cat({soi(), {0xFF, 0xE1, 0x00, 0x01}, Bytes(kGray8.begin() + 2, kGray8.end())}),
         false, 0, 0},
        {"segment longer than the file", cat({soi(), {0xFF, 0xE1, 0xFF, 0xF0, 0x00}}), false, 0, 0},
        {"two components",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}}), sos({{1, 0, 0}, {2, 0, 0}}),
              {0x0F}, eoi()}),
         false, 0, 0},
        {"four components",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}}),
              sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}}), {0x00, 0xFF, 0x00}, eoi()}),
         false, 0, 0},
        {"scan with fewer components than the frame",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}), sos({{1, 0, 0}}),
              {0x3F}, eoi()}),
         false, 0, 0},
        {"zero width", cat({soi(), dqt(0), tiny_tables(0), sof0(0, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F}, eoi()}),
         false, 0, 0},
        {"zero height", cat({soi(), dqt(0), tiny_tables(0), sof0(8, 0, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F}, eoi()}),
         false, 0, 0},
        {"sampling factor 5",
         cat({soi(), dqt(0), tiny_tables(0), sof0(40, 8, {{1, 5, 1, 0}}), sos({{1, 0, 0}}), {0x00, 0x3F}, eoi()}), false,
         0, 0},
        {"sampling factor 0",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}, {2, 0, 1, 0}, {3, 1, 1, 0}}),
              sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}), {0x03}, eoi()}),
         false, 0, 0},
        {"quantisation table never defined",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 1}}), sos({{1, 0, 0}}), {0x3F}, eoi()}), false, 0, 0},
        {"quantisation table number 4",
         cat({soi(), dqt(0), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 4}}), sos({{1, 0, 0}}), {0x3F}, eoi()}), false, 0, 0},
        {"16-bit quantisation table only",
         cat({soi(), Bytes{0xFF, 0xDB, 0x00, 0x83, 0x10}, Bytes(128, 1), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}}),
              sos({{1, 0, 0}}), {0x3F}, eoi()}),
         false, 0, 0},
        {"Huffman DC selector never defined", cat({kGray8Header, sos({{1, 1, 0}}), {0x3F}, eoi()}), false, 0, 0},
        {"Huffman AC selector never defined", cat({kGray8Header, sos({{1, 0, 1}}), {0x3F}, eoi()}), false, 0, 0},
        {"Huffman selector above 1", cat({kGray8Header, sos({{1, 2, 0}}), {0x3F}, eoi()}), false, 0, 0},
        {"Huffman table with 300 symbols",
         cat({soi(), dqt(0), huge_dht(), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F}, eoi()}),
         false, 0, 0},
        {"Huffman codes overflow their lengths",
         cat({soi(), dqt(0), dht(0, 0, {3}, {0, 1, 2}), dht(1, 0, {1}, {0}), sof0(8, 8, {{1, 1, 1, 0}}),
              sos({{1, 0, 0}}), {0x3F}, eoi()}),
         false, 0, 0},
        {"Huffman table class 2",
         cat({soi(), dqt(0), dht(2, 0, {1}, {0}), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F},
              eoi()}),
         false, 0, 0},
        {"Huffman table number 2",
         cat({soi(), dqt(0), dht(0, 2, {1}, {0}), tiny_tables(0), sof0(8, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F},
              eoi()}),
         false, 0, 0},
        {"entropy data ends after the first of two MCUs",
         cat({soi(), dqt(0), tiny_tables(0), sof0(16, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), {0x3F}, eoi()}), false, 0, 0},
        {"code that matches no table entry", cat({kGray8Header, sos({{1, 0, 0}}), {0x80, 0x00}, eoi()}), false, 0, 0},
        {"AC run past coefficient 63",
         cat({soi(), dqt(0), dht(0, 0, {1}, {0}), dht(1, 0, {2}, {0x00, 0xF1}), sof0(8, 8, {{1, 1, 1, 0}}),
              sos({{1, 0, 0}}), {0x55, 0x7F}, eoi()}),
         false, 0, 0},
        {"DC difference wider than 16 bits",
         cat({soi(), dqt(0), dht(0, 0, {1}, {17}), dht(1, 0, {1}, {0}), sof0(8, 8, {{1, 1, 1, 0}}), sos({{1, 0, 0}}),
              {0x00, 0x00, 0x00, 0x3F}, eoi()}),
         false, 0, 0},
        {"largest frame with almost no data",
         cat({soi(), dqt(0), tiny_tables(0), sof0(65535, 65535, {{1, 4, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}),
              sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}), Bytes(64, 0x00), eoi()}),
         false, 0, 0},
        {"scan header without entropy data", cat({kGray8Header, sos({{1, 0, 0}})}), false, 0, 0},
    };
    // clang-format on
}

TEST_F(Silent, HandMadeFilesFollowTheAcceptanceRules)
{
    for (const auto& c : hand_cases()) {
        SCOPED_TRACE(c.name);
        Decoded d = decode(c.file);
        if (!c.accepted) {
            EXPECT_EQ(d.rc, kJpegDecodeFailed);
            continue;
        }
        ASSERT_EQ(d.rc, kJpegDecodeOk);
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
    }
}

TEST_F(Silent, FlatBlocksDecodeToMidGray)
{
    Decoded d = decode(kGray8);
    ASSERT_EQ(d.rc, kJpegDecodeOk);
    const uint16_t gray128 = (16 << 11) | (32 << 5) | 16;
    for (uint16_t p : d.pixels)
        ASSERT_EQ(p, gray128);
    d = decode(kColour8);  // Cb = Cr = 128: the same gray
    ASSERT_EQ(d.rc, kJpegDecodeOk);
    for (uint16_t p : d.pixels)
        ASSERT_EQ(p, gray128);
}

std::vector<std::string> g_trace;
void capture_trace(const char* text) { g_trace.emplace_back(text); }

TEST(DecoderTrace, LinesTellWhereDecodingStopped)
{
    struct Case {
        const char* name;
        Bytes file;
        std::vector<std::string> lines;
    };
    const std::string size8 = "<<imgwidth=8, imgheight=8, linebytes=16>>\n";
    const Case cases[] = {
        {"success", kGray8, {size8, "decode success!!!!\n"}},
        {"marker walk fails", cat({soi(), {0x12, 0x34, 0x56, 0x78}}), {"InitTag error\n"}},
        {"luminance code fails",
         cat({kGray8Header, sos({{1, 0, 0}}), {0x80, 0x00}, eoi()}),
         {size8, "funcret1 = 1\n", "JPEG Decode ERROR.\n"}},
        {"first chrominance code fails",
         cat({Bytes(kColour8.begin(), kColour8.end() - 3), {0x3F}, eoi()}),
         {size8, "funcret2 = 1\n", "JPEG Decode ERROR.\n"}},
        {"second chrominance code fails",
         cat({Bytes(kColour8.begin(), kColour8.end() - 3), {0x0F}, eoi()}),
         {size8, "funcret3 = 1\n", "JPEG Decode ERROR.\n"}},
        {"data ends", cat({kGray8Header, sos({{1, 0, 0}})}), {size8, "funcret1 = 4\n", "JPEG Decode ERROR.\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_trace.clear();
        jpeg_set_trace_sink(capture_trace);
        DecodeJpeg(c.file.data(), c.file.size(), nullptr, 0, nullptr, nullptr);
        jpeg_set_trace_sink(nullptr);
        EXPECT_EQ(g_trace, c.lines);
    }
}

TEST(DecoderTrace, GoesToStandardOutputByDefault)
{
    jpeg_set_trace_sink(nullptr);
    testing::internal::CaptureStdout();
    DecodeJpeg(kGray8.data(), kGray8.size(), nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "<<imgwidth=8, imgheight=8, linebytes=16>>\ndecode success!!!!\n");
}

}  // namespace

// CheckPictureFile's limits, results and operator texts, and the built-in factory picture.
#include "imaging/factory_picture.h"
#include "imaging/jpeg_decoder.h"
#include "imaging/picture_check.h"
#include "jpeg_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace jpegtest;

namespace {

const std::string kTooLarge240 = "图片文件大小请限制在 240 KByte内";
const std::string kTooLarge64 = "图片文件大小请限制在 64 KByte内";
const std::string kNoFile = "请选择要处理的文件";
const std::string kDecodeFailed = "解码失败,不能做logo,请检查该图片文件是否满足要求";
const std::string kTooManyPixels = "图片要求小于1920*1080,该图不满足要求";

// A grayscale picture whose every block is the two bits "00" under one-code tables: any size
// in a few bytes, so the size limits can be tested without an encoder.
Bytes flat_gray(int w, int h)
{
    size_t bits = static_cast<size_t>((w + 7) / 8) * ((h + 7) / 8) * 2;
    Bytes data(bits / 8, 0x00);
    if (bits % 8)
        data.push_back(static_cast<uint8_t>(0xFF >> (bits % 8)));
    return cat({soi(), dqt(0), tiny_tables(0), sof0(w, h, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), data, eoi()});
}

Bytes padded(Bytes b, size_t size, uint8_t fill = 0x00)
{
    b.resize(size, fill);
    return b;
}

class PictureCheck : public ::testing::Test {
protected:
    void SetUp() override { jpeg_set_trace_sink(jpeg_trace_silent); }
    void TearDown() override { jpeg_set_trace_sink(nullptr); }

    // Runs the check on `bytes` written to a file; records every message box.
    int check(int kind, const Bytes& bytes, PictureCheckReport* report = nullptr)
    {
        auto p = dir_.path("picture" + std::to_string(n_++));
        write_file(p, bytes);
        return CheckPictureFile(kind, p.string().c_str(), box(), report);
    }
    PictureMessageBox box()
    {
        return [this](const std::string& text) { shown_.push_back(text); };
    }

    ScratchDir dir_;
    std::vector<std::string> shown_;
    int n_ = 0;
};

TEST_F(PictureCheck, ResultsTextsAndSizes)
{
    const Bytes garbage(1000, 0x5A);
    struct Case {
        const char* name;
        int kind;
        Bytes file;
        int result;
        std::string text;
        int width, height;  // 0: not decoded
    };
    const Case cases[] = {
        {"boot 1024 x 768", kPictureBoot, flat_gray(1024, 768), 0, "", 1024, 768},
        {"boot of exactly 240 KByte", kPictureBoot, padded(flat_gray(640, 480), 245760), 0, "", 640, 480},
        {"boot one byte over 240 KByte", kPictureBoot, padded(flat_gray(640, 480), 245761), -7, kTooLarge240, 0, 0},
        {"boot 1920 x 1080", kPictureBoot, flat_gray(1920, 1080), 0, "", 1920, 1080},
        {"boot 1921 x 1080", kPictureBoot, flat_gray(1921, 1080), -9, kTooManyPixels, 1921, 1080},
        {"boot 1920 x 1081", kPictureBoot, flat_gray(1920, 1081), -9, kTooManyPixels, 1920, 1081},
        {"boot 4000 x 3000 decodes beyond the target", kPictureBoot, flat_gray(4000, 3000), -9, kTooManyPixels, 4000,
         3000},
        {"boot that is no JPEG", kPictureBoot, garbage, -8, kDecodeFailed, 0, 0},
        {"boot of zero bytes", kPictureBoot, {}, -8, kDecodeFailed, 0, 0},
        {"channel of exactly 64 KByte, content never examined", kPictureChannel, Bytes(65536, 0x5A), 0, "", 0, 0},
        {"channel one byte over 64 KByte", kPictureChannel, Bytes(65537, 0x5A), -7, kTooLarge64, 0, 0},
        {"shutdown of exactly 64 KByte", kPictureShutdown, Bytes(65536, 0x00), 0, "", 0, 0},
        {"shutdown one byte over 64 KByte", kPictureShutdown, Bytes(65537, 0x00), -7, kTooLarge64, 0, 0},
        {"shutdown that is a JPEG within 64 KByte", kPictureShutdown, flat_gray(8, 8), 0, "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shown_.clear();
        PictureCheckReport report;
        EXPECT_EQ(check(c.kind, c.file, &report), c.result);
        EXPECT_EQ(report.result, c.result);
        EXPECT_EQ(report.message, c.text);
        if (c.text.empty())
            EXPECT_TRUE(shown_.empty());
        else
            EXPECT_EQ(shown_, std::vector<std::string>{c.text});
        EXPECT_EQ(report.decoded, c.width != 0);
        EXPECT_EQ(report.width, c.width);
        EXPECT_EQ(report.height, c.height);
    }
}

TEST_F(PictureCheck, NoFileToCheck)
{
    const std::string missing = dir_.path("missing.jpg").string();
    const std::string folder = dir_.path("").string();
    for (int kind : {kPictureBoot, kPictureChannel, kPictureShutdown}) {
        for (const char* path : {static_cast<const char*>(nullptr), "", missing.c_str(), folder.c_str()}) {
            SCOPED_TRACE(std::to_string(kind) + " " + (path ? path : "(null)"));
            shown_.clear();
            EXPECT_EQ(CheckPictureFile(kind, path, box()), kPictureNoFile);
            EXPECT_EQ(shown_, std::vector<std::string>{kNoFile});
        }
    }
}

TEST_F(PictureCheck, UnknownKindShowsNothing)
{
    EXPECT_EQ(check(3, flat_gray(8, 8)), kPictureBadKind);
    EXPECT_EQ(check(-1, flat_gray(8, 8)), kPictureBadKind);
    EXPECT_TRUE(shown_.empty());
}

TEST_F(PictureCheck, WorksWithoutMessageBoxOrReport)
{
    auto p = dir_.path("x.jpg");
    write_file(p, Bytes(10, 0));
    EXPECT_EQ(CheckPictureFile(kPictureBoot, p.string().c_str()), kPictureDecodeFailed);
}

TEST_F(PictureCheck, ProgressiveBootPictureIsRefusedAsUndecodable)
{
    if (!have_libjpeg_tools())
        GTEST_SKIP() << "cjpeg/djpeg not installed (package libjpeg-turbo-progs)";
    PictureCheckReport report;
    EXPECT_EQ(check(kPictureBoot, cjpeg(dir_, 320, 240, false, "-progressive"), &report), kPictureDecodeFailed);
    EXPECT_EQ(shown_, std::vector<std::string>{kDecodeFailed});
    EXPECT_FALSE(report.decoded);
    shown_.clear();
    EXPECT_EQ(check(kPictureBoot, cjpeg(dir_, 320, 240, false, "-baseline"), &report), kPictureOk);
    EXPECT_TRUE(shown_.empty());
}

TEST(FactoryPicture, IsOurBaselineBootPicture)
{
    jpeg_set_trace_sink(jpeg_trace_silent);
    FactoryPicture pic;
    ASSERT_EQ(LoadFactoryPicture(&pic), 0);
    ASSERT_EQ(pic.size, factory_boot_jpeg_size());
    ASSERT_TRUE(std::equal(pic.data.get(), pic.data.get() + pic.size, factory_boot_jpeg_data()));
    EXPECT_NE(pic.data.get(), factory_boot_jpeg_data());  // a private copy
    EXPECT_LE(pic.size, static_cast<size_t>(kBootPictureMaxBytes));

    int w = 0, h = 0;
    ASSERT_EQ(DecodeJpeg(pic.data.get(), pic.size, nullptr, 0, &w, &h), kJpegDecodeOk);
    EXPECT_EQ(w, 1024);
    EXPECT_EQ(h, 768);
    // Baseline frame header with three components, luminance sampled 2 x 2.
    const unsigned char* d = pic.data.get();
    size_t sof = 0;
    for (size_t i = 2; i + 1 < pic.size; ++i)
        if (d[i] == 0xFF && d[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, 0u);
    EXPECT_EQ(d[sof + 9], 3);
    EXPECT_EQ(d[sof + 11], 0x22);
    EXPECT_EQ(d[sof + 14], 0x11);
    EXPECT_EQ(d[sof + 17], 0x11);
    jpeg_set_trace_sink(nullptr);
}

const unsigned char kThreeBytes[3] = {1, 2, 3};
int g_lookup_id = 0;
bool lookup_missing(int id, const unsigned char**, size_t*)
{
    g_lookup_id = id;
    return false;
}
bool lookup_empty(int, const unsigned char** data, size_t* size)
{
    *data = kThreeBytes;
    *size = 0;
    return true;
}
bool lookup_no_bytes(int, const unsigned char** data, size_t* size)
{
    *data = nullptr;
    *size = 3;
    return true;
}
bool lookup_three(int, const unsigned char** data, size_t* size)
{
    *data = kThreeBytes;
    *size = 3;
    return true;
}

TEST(FactoryPicture, EachFailingStepWritesItsLine)
{
    struct Case {
        BinaryResourceLookup lookup;
        const char* line;
    };
    const Case cases[] = {
        {lookup_missing, "find resource error\n"},
        {lookup_empty, "sizeof resource error\n"},
        {lookup_no_bytes, "load resource error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        FactoryPicture pic;
        pic.data.reset(new unsigned char[1]);
        pic.size = 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadFactoryPicture(&pic, c.lookup), kFactoryPictureMissing);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(pic.size, 0u);
        EXPECT_EQ(pic.data, nullptr);
    }
    EXPECT_EQ(g_lookup_id, kFactoryPictureResourceId);

    FactoryPicture pic;
    ASSERT_EQ(LoadFactoryPicture(&pic, lookup_three), 0);
    ASSERT_EQ(pic.size, 3u);
    EXPECT_EQ(pic.data[2], 3);
}

}  // namespace

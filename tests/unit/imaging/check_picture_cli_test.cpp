// dravlinctl check-picture as a script sees it: result lines on standard output, the operator
// text on standard error, and the exit status.
#include "jpeg_tools.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace jpegtest;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::filesystem::path tool()
{
    const char* bin = std::getenv("DRAVLIN_BINARY_DIR");
    return std::filesystem::path(bin ? bin : DRAVLIN_TEST_BINARY_DIR) / "cli" / "dravlinctl";
}

ToolRun run(const ScratchDir& dir, const std::string& args)
{
    ToolRun r;
    auto out = dir.path("stdout"), err = dir.path("stderr");
    std::string cmd = "cd '" + dir.path("").string() + "' && '" + tool().string() + "' check-picture " + args + " >'" +
        out.string() + "' 2>'" + err.string() + "'";
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    Bytes o = read_file(out), e = read_file(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

Bytes flat_gray(int w, int h)
{
    size_t bits = static_cast<size_t>((w + 7) / 8) * ((h + 7) / 8) * 2;
    Bytes data(bits / 8, 0x00);
    if (bits % 8)
        data.push_back(static_cast<uint8_t>(0xFF >> (bits % 8)));
    return cat({soi(), dqt(0), tiny_tables(0), sof0(w, h, {{1, 1, 1, 0}}), sos({{1, 0, 0}}), data, eoi()});
}

class CheckPictureCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(tool()))
            GTEST_SKIP() << "dravlinctl not built at " << tool();
        write_file(dir_.path("b.jpg"), flat_gray(1024, 768));
        write_file(dir_.path("wide.jpg"), flat_gray(1921, 1080));
        write_file(dir_.path("junk.jpg"), Bytes(100, 0x11));
        write_file(dir_.path("big.png"), Bytes(65537, 0x11));
        write_file(dir_.path("ok.png"), Bytes(65536, 0x11));
        write_file(dir_.path("a\tb\nc.png"), Bytes(10, 0x11));
    }
    ScratchDir dir_;
};

TEST_F(CheckPictureCli, OneTabSeparatedLinePerFile)
{
    struct Case {
        const char* args;
        int status;
        const char* out;
        std::vector<std::string> err_has;
    };
    const Case cases[] = {
        {"b.jpg", 0, "b.jpg\t0\t1024\t768\n", {}},
        {"--kind boot b.jpg wide.jpg junk.jpg missing.jpg",
         1,
         "b.jpg\t0\t1024\t768\nwide.jpg\t-9\t1921\t1080\njunk.jpg\t-8\t-\t-\nmissing.jpg\t-6\t-\t-\n",
         {"wide.jpg: 图片要求小于1920*1080,该图不满足要求\n",
          "junk.jpg: 解码失败,不能做logo,请检查该图片文件是否满足要求\n",
          "missing.jpg: 请选择要处理的文件 (No such file or directory)\n"}},
        {"--kind channel 'a\tb\nc.png' .", 1, "a\\tb\\nc.png\t0\t-\t-\n.\t-6\t-\t-\n", {"(Is a directory)"}},
        {"--kind channel ok.png big.png",
         1,
         "ok.png\t0\t-\t-\nbig.png\t-7\t-\t-\n",
         {"big.png: 图片文件大小请限制在 64 KByte内\n"}},
        {"--kind=shutdown ok.png b.jpg", 0, "ok.png\t0\t-\t-\nb.jpg\t0\t-\t-\n", {}},
        {"--kind square b.jpg", 2, "", {"unknown kind"}},
        {"--kind", 2, "", {"--kind needs a value"}},
        {"", 2, "", {"no picture file given"}},
        {"--bogus b.jpg", 2, "", {"unknown option"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        ToolRun r = run(dir_, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        for (const auto& e : c.err_has)
            EXPECT_NE(r.err.find(e), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST_F(CheckPictureCli, HelpListsTheResultCodes)
{
    ToolRun r = run(dir_, "--help");
    EXPECT_EQ(r.status, 0);
    for (const char* code : {"   0   ", "  -2   ", "  -4   ", "  -5   ", "  -6   ", "  -7   ", "  -8   ", "  -9   "})
        EXPECT_NE(r.out.find(code), std::string::npos) << code;
}

TEST_F(CheckPictureCli, TraceGoesToStandardErrorOnlyWhenAsked)
{
    ToolRun quiet = run(dir_, "b.jpg");
    EXPECT_EQ(quiet.err.find("decode success"), std::string::npos);
    ToolRun traced = run(dir_, "--trace b.jpg");
    EXPECT_EQ(traced.out, "b.jpg\t0\t1024\t768\n");
    EXPECT_NE(traced.err.find("<<imgwidth=1024, imgheight=768, linebytes=2048>>\ndecode success!!!!\n"),
              std::string::npos);
}

}  // namespace

#include "imaging/picture_check.h"

#include "imaging/factory_picture.h"
#include "imaging/jpeg_decoder.h"
#include "util/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>

namespace {

long size_limit(int kind) { return kind == kPictureBoot ? kBootPictureMaxBytes : kOtherPictureMaxBytes; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads and decodes a boot picture; fills width and height when the decoder accepted it.
int check_boot_picture(const char* path, long size, PictureCheckReport& report)
{
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
    if (!bytes)
        return kPictureNoMemory;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file)
        return kPictureOpenFailed;
    size_t got = size > 0 ? std::fread(bytes.get(), 1, static_cast<size_t>(size), file.get()) : 0;
    if (got < static_cast<size_t>(size))
        return kPictureReadFailed;
    file.reset();

    // The verdict depends only on the headers and the entropy-coded data, so the check walks
    // every block's codes without producing pixels.
    int width = 0, height = 0;
    if (DecodeJpeg(bytes.get(), got, nullptr, 0, &width, &height) != kJpegDecodeOk)
        return kPictureDecodeFailed;
    report.decoded = true;
    report.width = width;
    report.height = height;
    if (width > kBootPictureMaxWidth || height > kBootPictureMaxHeight)
        return kPictureTooManyPixels;
    return kPictureOk;
}

}  // namespace

std::string PictureCheckMessage(int result, int kind)
{
    switch (result) {
    case kPictureNoFile: return "请选择要处理的文件";
    case kPictureTooLarge: {
        char buf[96];
        std::snprintf(buf, sizeof buf, "图片文件大小请限制在 %d KByte内", static_cast<int>(size_limit(kind) / 1024));
        return buf;
    }
    case kPictureNoMemory: return "内部错误,内存分配失败";
    case kPictureOpenFailed: return "打开文件失败";
    case kPictureReadFailed: return "读文件失败";
    case kPictureDecodeFailed: return "解码失败,不能做logo,请检查该图片文件是否满足要求";
    case kPictureTooManyPixels: return "图片要求小于1920*1080,该图不满足要求";
    default: return std::string();
    }
}

int CheckPictureFile(int kind, const char* path, const PictureMessageBox& message_box, PictureCheckReport* report)
{
    PictureCheckReport local;
    PictureCheckReport& r = report ? *report : local;
    r = PictureCheckReport{};

    int result = kPictureOk;
    struct stat st { };
    if (kind != kPictureBoot && kind != kPictureChannel && kind != kPictureShutdown) {
        result = kPictureBadKind;
    } else if (!path || !*path || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A folder or device is no picture file either.
        result = kPictureNoFile;
    } else if (st.st_size > size_limit(kind)) {
        result = kPictureTooLarge;
    } else if (kind == kPictureBoot) {
        result = check_boot_picture(path, static_cast<long>(st.st_size), r);
    }

    r.result = result;
    r.message = PictureCheckMessage(result, kind);
    if (!r.message.empty() && message_box)
        message_box(r.message);
    return result;
}

int LoadFactoryPicture(FactoryPicture* out, BinaryResourceLookup lookup)
{
    if (!out)
        return kFactoryPictureMissing;
    out->data.reset();
    out->size = 0;

    const unsigned char* bytes = nullptr;
    size_t size = 0;
    bool found = lookup ? lookup(kFactoryPictureResourceId, &bytes, &size) : true;
    if (!lookup) {
        bytes = factory_boot_jpeg_data();
        size = factory_boot_jpeg_size();
    }
    if (!found) {
        debug_print("find resource error\n");
        return kFactoryPictureMissing;
    }
    if (size == 0) {
        debug_print("sizeof resource error\n");
        return kFactoryPictureMissing;
    }
    // Resources here are plain bytes in the program image: there is no separate lock step,
    // so a resource without bytes is the one remaining way to fail loading it.
    if (!bytes) {
        debug_print("load resource error\n");
        return kFactoryPictureMissing;
    }
    std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[size]);
    if (!copy) {
        debug_print("pStartPic malloc error\n");
        return kFactoryPictureMissing;
    }
    std::copy(bytes, bytes + size, copy.get());
    out->data = std::move(copy);
    out->size = size;
    return 0;
}

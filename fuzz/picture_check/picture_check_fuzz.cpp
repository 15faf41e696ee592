// The whole picture check on a file the operator picked: the first byte chooses the kind
// (boot, channel, shutdown, or an unknown one), the rest is the file. The check must end in one
// of its results, hand over its message exactly when it fails for a known kind, and fill the
// report the same way.
#include "imaging/jpeg_decoder.h"
#include "imaging/picture_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 300 * 1024)
        return 0;
    static const std::string path = [] {
        jpeg_set_trace_sink(jpeg_trace_silent);
        return "/tmp/dravlin-fuzz-picture-" + std::to_string(::getpid()) + ".jpg";
    }();
    int kind = data[0] % 4;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    bool ok = std::fwrite(data + 1, 1, size - 1, f) == size - 1;
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        return 0;

    int shown = 0;
    std::string text;
    PictureCheckReport report;
    int r = CheckPictureFile(
        kind, path.c_str(), [&](const std::string& t) { ++shown, text = t; }, &report);
    if (r > 0 || r < -64)
        std::abort();
    if (report.result != r)
        std::abort();
    if (kind == 3 && r != kPictureBadKind)
        std::abort();
    if (r == kPictureOk || r == kPictureBadKind) {
        if (shown != 0 || !report.message.empty())
            std::abort();
    } else if (shown != 1 || text.empty() || report.message != text) {
        std::abort();
    }
    // A decoded picture has its size, and is refused for it exactly when it is beyond the limits.
    if (report.decoded) {
        const bool too_big = report.width > kBootPictureMaxWidth || report.height > kBootPictureMaxHeight;
        if (kind != kPictureBoot || report.width <= 0 || report.height <= 0 || too_big != (r == kPictureTooManyPixels))
            std::abort();
    }
    return 0;
}

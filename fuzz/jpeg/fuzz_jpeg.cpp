// DecodeJpeg on arbitrary bytes: it must fail or succeed without reading outside the input or
// writing outside the target, and report a size only on success.
#include "imaging/jpeg_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Boot pictures are at most 240 KByte; more only slows the fuzzer down.
    if (size > 245760)
        return 0;
    static bool quiet = (jpeg_set_trace_sink(jpeg_trace_silent), true);
    (void)quiet;

    int w = -1, h = -1;
    int rc = DecodeJpeg(data, size, nullptr, 0, &w, &h);
    if (rc == kJpegDecodeOk && (w <= 0 || h <= 0 || w > 65535 || h > 65535))
        std::abort();
    if (rc != kJpegDecodeOk && (w != -1 || h != -1))
        std::abort();

    // Again into a small target of exact size: acceptance must not depend on the target.
    static std::vector<uint16_t> target(4096);
    int w2 = 0, h2 = 0;
    int rc2 = DecodeJpeg(data, size, target.data(), target.size(), &w2, &h2);
    if (rc2 != rc || (rc == kJpegDecodeOk && (w2 != w || h2 != h)))
        std::abort();
    return 0;
}

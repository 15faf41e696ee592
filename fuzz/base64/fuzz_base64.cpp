// base64_decode on arbitrary text with output buffers of every interesting size, each an exact
// heap allocation so any write past it is caught; whatever decodes must survive an encode and
// decode round trip unchanged.
#include "util/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const char* text = reinterpret_cast<const char*>(data);
    int len = int(size);
    // The first byte also picks an output size, so sizes far from the text's are tried too.
    int sizes[] = {0, 1, len / 4 * 3 - 1, len / 4 * 3, len / 4 * 3 + 1, len, size ? data[0] : 2};
    for (int out_size : sizes) {
        if (out_size < 0)
            continue;
        std::unique_ptr<uint8_t[]> out(new uint8_t[size_t(out_size)]);
        int n = base64_decode(text, len, out.get(), out_size);
        if (n < 0)
            continue;
        if (n > out_size)
            std::abort();
        std::vector<char> again(size_t(n + 2) / 3 * 4 + 1);
        int m = base64_encode(out.get(), n, again.data(), int(again.size()));
        if (m < 0)
            std::abort();
        std::vector<uint8_t> back(size_t(m) / 4 * 3 + 1);
        if (base64_decode(again.data(), m, back.data(), int(back.size())) != n ||
            std::memcmp(back.data(), out.get(), size_t(n)) != 0)
            std::abort();
    }
    // Encoding arbitrary bytes must fit exactly the room it reports.
    std::vector<char> enc(size_t((len + 2) / 3 * 4 + 1));
    if (base64_encode(data ? data : reinterpret_cast<const uint8_t*>(""), len, enc.data(), int(enc.size())) !=
        int(enc.size()) - 1)
        std::abort();
    return 0;
}

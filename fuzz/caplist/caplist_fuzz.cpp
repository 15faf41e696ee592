// The video capability lists: the XML reader and the two textual scans, which walk the text
// without a parser and must stay within it and within the caller's array.
#include "proto/config_readers.h"

#include "util/fixedstr.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* t = text.c_str();

    auto value = GetVideoCapListByXml(t);
    VideoCapEntry caps[4] = {};
    GetVideoCapList(t, caps, 4);
    (void)fixed_view(caps[3].Item1);
    if (value) {
        std::string scan = "VideoCap CapList=\"" + *value + "\"";
        GetVideoCapList(scan.c_str(), caps, 4);
    }
    VideoBestParamEntry best[2] = {};
    GetVideoBestParam(t, best, 2);
    (void)fixed_view(best[1].Item3);
    return 0;
}

// The NVR's channel-table and camera-search replies: counts stay within the lists, and the
// fixed fields are read only within their widths.
#include "proto/chanlist.h"

#include "util/fixedstr.h"

#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    auto channels = std::make_unique<ChannelList>();
    if (GetChannellist(text.c_str(), *channels) == 0) {
        if (channels->nChanCnt < 1 || channels->nChanCnt > kNvrMaxListEntries)
            __builtin_trap();
        for (int i = 0; i < channels->nChanCnt; ++i) {
            const ChannelEntry& e = channels->entries[i];
            if (e.Protocol != kNvrProtocolMVK && e.Protocol != kNvrProtocolONVIF)
                __builtin_trap();
            (void)fixed_view(e.IpAddr);
            (void)fixed_view(e.ChannnelName);
        }
    }
    auto cameras = std::make_unique<IpcList>();
    if (GetSearchIpc(text.c_str(), *cameras) == 0) {
        if (cameras->nIpcCnt < 1 || cameras->nIpcCnt > kNvrMaxListEntries)
            __builtin_trap();
        for (int i = 0; i < cameras->nIpcCnt; ++i) {
            const IpcRecord& r = cameras->entries[i];
            (void)fixed_view(r.IpAddr);
            (void)fixed_view(r.OsdName);
        }
    }
    return 0;
}

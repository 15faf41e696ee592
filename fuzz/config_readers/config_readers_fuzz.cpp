// Device configuration readers over arbitrary text: counts and lengths stay within their
// records, terminated fields keep their terminator.
#include "proto/config_readers.h"

#include "util/fixedstr.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* t = text.c_str();

    EncodeCfg cfg;
    if (GetEncodeCfgByXml(t, cfg) == 0) {
        if (cfg.count < 1 || cfg.count > kEncodeCfgMaxEntries)
            __builtin_trap();
        for (int i = 0; i < cfg.count; ++i) {
            if (std::memchr(cfg.entries[i].Resolution, 0, sizeof cfg.entries[i].Resolution) == nullptr)
                __builtin_trap();
        }
    }
    EncodeParam params[2];
    if (GetEncodeParam(t, params) == 0) {
        for (const EncodeParam& p : params) {
            if (p.resolution < 0 || p.resolution >= kEncodeResolutionCount || p.encode_format > 1 ||
                p.bitrate_control < 0 || p.bitrate_control > 2)
                __builtin_trap();
        }
    }
    ShortAccount accounts[kShortAccountCount];
    GetUserAccounts(t, accounts);
    if (std::memchr(accounts[0].Group, 0, sizeof accounts[0].Group) == nullptr)
        __builtin_trap();

    LiveStreamParam live;
    GetLiveStreamParam(t, live);
    if (live.ConfigLength < 0 || live.ConfigLength > kLiveStreamConfigSize)
        __builtin_trap();
    (void)fixed_view(live.VideoEncoder);

    char buf[9];
    GetVendorIdByXml(t, buf, 8);
    std::memset(buf, 0, sizeof buf);
    GetRequestParamByXml(t, "REQUEST_PARAM", "Value", buf, 8);
    if (buf[8] != 0)
        __builtin_trap();
    GetRootAttrByXml(t, "Result", buf, 8);
    (void)config_inet_addr(t);
    return 0;
}

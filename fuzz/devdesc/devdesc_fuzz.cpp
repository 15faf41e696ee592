// Device description readers over arbitrary search-answer text.
#include "proto/envelope.h"

#include "util/fixedstr.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* t = text.c_str();

    DeviceId id{};
    GetDeviceIdByXml(t, id);
    (void)fixed_view(id.SerialNumber);
    LanCfg lan;
    GetLANCfgByXml(t, lan);
    MediaStreamCfg media;
    GetMediaStreamCfgByXml(t, media);
    UserCfg users;
    if (GetUserCfgByXml(t, users) == 0 && (users.count < 0 || users.count > kMaxUserAccounts))
        __builtin_trap();
    return 0;
}

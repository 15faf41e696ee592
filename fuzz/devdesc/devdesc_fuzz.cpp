// Device description readers over arbitrary search-answer text; the readers on the header's
// parsed document must give what the text readers give.
#include "proto/envelope.h"

#include "util/fixedstr.h"

#include <tinyxml.h>

#include <cstdint>
#include <cstring>
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
    int ru = GetUserCfgByXml(t, users);
    if (ru == 0 && (users.count < 0 || users.count > kMaxUserAccounts))
        __builtin_trap();

    char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
    TiXmlDocument doc;
    if (GetMessageHeaderDoc(t, doc, type, code, flag) != 0)
        return 0;
    DeviceId id2{};
    LanCfg lan2;
    MediaStreamCfg media2;
    UserCfg users2;
    DeviceId id1{};
    int ri = GetDeviceIdByXml(t, id1);
    if (GetDeviceIdByDoc(t, doc, id2) != ri || std::memcmp(&id1, &id2, sizeof id1) != 0)
        __builtin_trap();
    int rl = GetLANCfgByXml(t, lan);
    if (GetLANCfgByDoc(doc, lan2) != rl || std::memcmp(&lan, &lan2, sizeof lan) != 0)
        __builtin_trap();
    int rm = GetMediaStreamCfgByXml(t, media);
    if (GetMediaStreamCfgByDoc(doc, media2) != rm || std::memcmp(&media, &media2, sizeof media) != 0)
        __builtin_trap();
    if (GetUserCfgByDoc(doc, users2) != ru || std::memcmp(&users, &users2, sizeof users) != 0)
        __builtin_trap();
    return 0;
}

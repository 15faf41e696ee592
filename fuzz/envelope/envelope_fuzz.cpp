// Header reader, body extractors and the typed readers over arbitrary device text.
#include "proto/envelope.h"

#include <tinyxml.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    const char* t = text.c_str();

    char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
    if (GetMessageHeader(t, type, code, flag) == 0) {
        // Values always fit their buffers with a terminator.
        if (std::strlen(type) >= sizeof type || std::strlen(code) >= sizeof code || std::strlen(flag) >= sizeof flag)
            __builtin_trap();
    }
    std::string body;
    GetMessageBody(t, body);
    if (GetMessageBodyElement(t, body) == 0 && body.compare(0, 14, "<MESSAGE_BODY>") != 0)
        __builtin_trap();

    char session[kSessionIdSize];
    if (GetUserAuthResponse(t, session) == 0 && std::strlen(session) >= sizeof session)
        __builtin_trap();

    std::vector<AlarmRecord> alarms;
    int n = GetAlarmReport(t, alarms);
    if (n > 0) {
        if (static_cast<size_t>(n) != alarms.size())
            __builtin_trap();
        for (const AlarmRecord& r : alarms)
            if (std::memchr(r.Alarm_data, 0, sizeof r.Alarm_data) == nullptr)
                __builtin_trap();
    }

    AudioStartInfo audio{};
    GetAudioStartResponse(t, audio);
    int32_t start, length;
    GetPosParam(t, start, length);
    int ftype, flen;
    char path[64];
    GetFileParam(t, ftype, path, sizeof path, flen);
    uint16_t port;
    GetPortParam(t, port, ftype, flen);

    GetRequestParamValueByXml(t, "REQUEST_PARAM", "FilePath");
    TiXmlDocument doc;
    doc.Parse(t, nullptr, TIXML_ENCODING_LEGACY);
    char out[17] = {};
    GetRequestParamByDoc(doc, "REQUEST_PARAM", "FileType", out, 16);
    return 0;
}

// Typed readers for the bodies the link consumes, and the generic request-parameter readers.
#include "proto/envelope.h"

#include "proto/xml_util.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>
#include <new>

using link_xml::value_of;

namespace {

bool name_is(const TiXmlAttribute* a, const char* name) { return std::strcmp(a->Name(), name) == 0; }

// Cuts a device text to fit a terminated field of cap bytes without splitting a two-byte
// GB2312 character at the end.
size_t cut_length(const char* v, size_t cap)
{
    size_t len = std::strlen(v);
    if (len < cap)
        return len;
    size_t n = cap - 1;
    size_t high = 0;
    while (high < n && static_cast<unsigned char>(v[n - 1 - high]) >= 0x80)
        ++high;
    if (high % 2 == 1)
        --n;
    return n;
}

void read_alarm_item(const TiXmlElement* item, AlarmRecord& r)
{
    for (const TiXmlElement* e = item->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::strcmp(e->Value(), "ALARM_TIME") == 0) {
            for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                int v = link_xml::to_int(value_of(a));
                if (name_is(a, "Year"))
                    r.Year = v;
                else if (name_is(a, "Month"))
                    r.Month = v;
                else if (name_is(a, "Day"))
                    r.Day = v;
                else if (name_is(a, "WDay"))
                    r.WDay = v;
                else if (name_is(a, "Hour"))
                    r.Hour = v;
                else if (name_is(a, "Minute"))
                    r.Minute = v;
                else if (name_is(a, "Second"))
                    r.Second = v;
            }
        } else if (std::strcmp(e->Value(), "ALARM_INFO") == 0) {
            for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                const char* v = value_of(a);
                if (name_is(a, "Alarm_code"))
                    r.Alarm_code = link_xml::to_int(v);
                else if (name_is(a, "Alarm_flag"))
                    r.Alarm_flag = link_xml::to_int(v);
                else if (name_is(a, "Alarm_level"))
                    r.Alarm_level = link_xml::to_int(v);
                else if (name_is(a, "Alarm_absTime"))
                    r.Alarm_absTime = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
                else if (name_is(a, "Alarm_data")) {
                    size_t n = cut_length(v, sizeof r.Alarm_data);
                    std::memset(r.Alarm_data, 0, sizeof r.Alarm_data);
                    std::memcpy(r.Alarm_data, v, n);
                }
            }
        }
    }
}

}  // namespace

int GetUserAuthResponse(const char* text, char (&sessionid)[kSessionIdSize])
{
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* e = link_xml::body_element(doc, "USER_AUTH_RESPONSE");
    if (!e)
        return -2;
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        if (!name_is(a, "Sessionid"))
            continue;
        const char* v = value_of(a);
        size_t len = std::strlen(v);
        if (len >= sizeof sessionid) {
            // A cut identifier would be sent back as a wrong one; keep none instead.
            log_print("GetUserAuthResponse Sessionid too long(%d)\n", static_cast<int>(len));
            sessionid[0] = '\0';
            return -1;
        }
        std::memcpy(sessionid, v, len + 1);
    }
    return 0;
}

int GetAlarmReport(const char* text, std::vector<AlarmRecord>& out)
{
    out.clear();
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* param = link_xml::body_element(doc, "ALARM_REPORT_PARAM");
    if (!param)
        return -2;
    const TiXmlElement* first = param->FirstChildElement("ALARM_ITEM");
    if (!first)
        return -1;
    // A report names a few alarms; a frame full of empty items would otherwise ask for
    // hundreds of megabytes of records. Items past the cap are left out.
    size_t count = 0;
    for (const TiXmlElement* e = first; e; e = e->NextSiblingElement("ALARM_ITEM"))
        ++count;
    if (count > kMaxAlarmItems) {
        log_print("GetAlarmReport %zu items, only the first %zu read\n", count, kMaxAlarmItems);
        count = kMaxAlarmItems;
    }
    try {
        out.assign(count, AlarmRecord{});
    } catch (const std::bad_alloc&) {
        log_print("GetAlarmReport alloc %zu records fail\n", count);
        out.clear();
        return -4;
    }
    size_t i = 0;
    for (const TiXmlElement* e = first; e && i < count; e = e->NextSiblingElement("ALARM_ITEM"))
        read_alarm_item(e, out[i++]);
    return static_cast<int>(count);
}

int GetAudioStartResponse(const char* text, AudioStartInfo& info)
{
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* e = link_xml::body_element(doc, "RA_START_RESPONSE");
    if (!e)
        return -2;
    info.audio_type = 0;
    info.samplerate = 8000;
    info.bits = 16;
    info.channels = 1;
    info.connection_type = 0;
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "RTPRecvPort"))
            info.recv_port = link_xml::to_int(v);
        else if (name_is(a, "AudioCodec"))
            info.audio_type = std::strstr(v, "AAC") ? 1 : 0;
        else if (name_is(a, "Samplerate"))
            info.samplerate = link_xml::to_int(v);
        else if (name_is(a, "BitsPerSample"))
            info.bits = link_xml::to_int(v);
        else if (name_is(a, "Channels"))
            info.channels = link_xml::to_int(v);
        else if (name_is(a, "ConnectionType"))
            info.connection_type = link_xml::to_int(v);
    }
    return 0;
}

int GetPosParam(const char* text, int32_t& start, int32_t& length)
{
    start = -1;
    length = 0;
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    if (!link_xml::root(doc)) {
        log_print("GetRequestParamByDoc pRoot Is Null \n");
        return -2;
    }
    const TiXmlElement* e = link_xml::body_element(doc, "POS");
    if (!e)
        return -2;
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "StartPos"))
            start = link_xml::to_long32(value_of(a));
        else if (name_is(a, "DataLen"))
            length = link_xml::to_long32(value_of(a));
    }
    return 0;
}

int GetFileParam(const char* text, int& type, char* path, size_t path_size, int& length)
{
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* root = link_xml::root(doc);
    if (!root)
        return -2;
    for (const TiXmlAttribute* a = root->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "FileType"))
            type = link_xml::to_int(value_of(a));
        else if (name_is(a, "FileLength"))
            length = link_xml::to_int(value_of(a));
        else if (name_is(a, "FilePath") && path && path_size > 0) {
            size_t n = cut_length(value_of(a), path_size);
            std::memcpy(path, value_of(a), n);
            path[n] = '\0';
        }
    }
    return 0;
}

int GetPortParam(const char* text, uint16_t& port, int& type, int& length)
{
    port = 0;
    type = 0;
    length = 0;
    if (!text)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* root = link_xml::root(doc);
    if (!root)
        return -2;
    for (const TiXmlAttribute* a = root->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "Port"))
            port = static_cast<uint16_t>(link_xml::to_int(value_of(a)));
        else if (name_is(a, "Type"))
            type = link_xml::to_int(value_of(a));
        else if (name_is(a, "FileLength"))
            length = link_xml::to_int(value_of(a));
    }
    return 0;
}

std::optional<std::string> GetRequestParamValue(const TiXmlDocument& doc, const char* element, const char* attribute)
{
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("GetRequestParamByDoc pRoot Is Null \n");
        return std::nullopt;
    }
    if (!element || !attribute)
        return std::nullopt;
    const TiXmlElement* e = link_xml::container(root)->FirstChildElement(element);
    if (!e) {
        log_print("GetRequestParamValue :%s fail\n", element);
        return std::nullopt;
    }
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, attribute))
            return std::string(value_of(a));
    }
    return std::nullopt;
}

std::optional<std::string> GetRequestParamValueByXml(const char* text, const char* element, const char* attribute)
{
    if (!text)
        return std::nullopt;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text)) {
        log_print("GetVendoridParam xmlDoc.Error\n");
        return std::nullopt;
    }
    return GetRequestParamValue(doc, element, attribute);
}

int GetRequestParamByDoc(const TiXmlDocument& doc, const char* element, const char* attribute, char* out, int len)
{
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("GetRequestParamByDoc pRoot Is Null \n");
        return -2;
    }
    if (!element || !attribute || !out || len < 0)
        return -1;
    const TiXmlElement* e = link_xml::container(root)->FirstChildElement(element);
    if (!e) {
        log_print("GetRequestParamByDoc :tag_name:%s fieldName:%s fail\n", element, attribute);
        return -2;
    }
    const TiXmlAttribute* found = nullptr;
    for (const TiXmlAttribute* a = e->FirstAttribute(); a && !found; a = a->Next()) {
        if (name_is(a, attribute))
            found = a;
    }
    if (!found)
        return -4;
    const char* v = value_of(found);
    int vlen = static_cast<int>(std::strlen(v));
    if (vlen > len) {
        log_print("tag_name(%s), fieldName(%s), fieldValue len(%d) small than real len(%d)\n", element, attribute, len,
                  vlen);
        return -1;
    }
    std::memcpy(out, v, static_cast<size_t>(vlen));
    if (vlen < len)
        out[vlen] = '\0';
    return 0;
}

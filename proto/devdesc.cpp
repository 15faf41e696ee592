// Device description readers, applied to every search answer: serial number and type, LAN
// configuration, stream ports and user accounts.
#include "proto/envelope.h"

#include "proto/xml_util.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>
#include <string_view>

using link_xml::value_of;

namespace {

// Names are compared by length first: most attributes differ from most names there already.
bool name_is(const TiXmlAttribute* a, std::string_view name) { return std::string_view(a->NameTStr()) == name; }

bool value_is(const TiXmlElement* e, std::string_view name) { return std::string_view(e->ValueTStr()) == name; }

// Into a field of a record its reader cleared first: the value's bytes alone leave what
// fixed_copy would, without writing the padding again. No field is written twice, as TinyXML
// refuses an element that repeats an attribute.
template <size_t N>
void copy_to_cleared(char (&field)[N], const char* v)
{
    std::memcpy(field, v, strnlen(v, N));
}

bool envelope_complete(const char* text)
{
    if (!text)
        return false;
    if (!link_xml::contains(text, "<XML_MORVEK>")) {
        log_print("Invalid message, <XML_MORVEK> not found:\n%s\n", text);
        return false;
    }
    if (!link_xml::contains_closing(text, "</XML_MORVEK>")) {
        log_print("Invalid message, </XML_MORVEK> not found:\n%s\n", text);
        return false;
    }
    return true;
}

int device_id_of(const TiXmlElement* serial, const TiXmlElement* type, DeviceId& id);
// lan_cfg_of and user_cfg_of read into a record their callers cleared.
int lan_cfg_of(const TiXmlElement* e, LanCfg& cfg);
int stream_cfg_of(const TiXmlElement* e, MediaStreamCfg& cfg);
int user_cfg_of(const TiXmlElement* e, UserCfg& cfg);

}  // namespace

void FindDeviceDescElements(const TiXmlDocument& doc, DeviceDescElements& out)
{
    out = DeviceDescElements{};
    const TiXmlElement* c = link_xml::container(link_xml::root(doc));
    for (const TiXmlElement* e = c ? c->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        const TiXmlElement** slot = nullptr;
        if (value_is(e, "IPC_SERIALNUMBER"))
            slot = &out.serial;
        else if (value_is(e, "DEVICE_TYPE"))
            slot = &out.type;
        else if (value_is(e, "LANConfig"))
            slot = &out.lan;
        else if (value_is(e, "MediaStreamConfig"))
            slot = &out.stream;
        else if (value_is(e, "UserConfig"))
            slot = &out.users;
        if (slot && !*slot)
            *slot = e;
    }
}

int GetDeviceIdByElements(const DeviceDescElements& elements, DeviceId& id)
{
    fixed_copy(id.SerialNumber, "");
    return device_id_of(elements.serial, elements.type, id);
}

int GetLANCfgByElement(const TiXmlElement* e, LanCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    return lan_cfg_of(e, cfg);
}

int GetMediaStreamCfgByElement(const TiXmlElement* e, MediaStreamCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    return stream_cfg_of(e, cfg);
}

int GetUserCfgByElement(const TiXmlElement* e, UserCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    return user_cfg_of(e, cfg);
}

int GetDeviceIdByXml(const char* text, DeviceId& id)
{
    if (!envelope_complete(text))
        return -1;
    fixed_copy(id.SerialNumber, "");
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text)) {
        log_print("Invalid message, xml format error:\n%s\n", text);
        return -4;
    }
    return device_id_of(link_xml::body_element(doc, "IPC_SERIALNUMBER"), link_xml::body_element(doc, "DEVICE_TYPE"),
                        id);
}

int GetDeviceIdByDoc(const char* text, const TiXmlDocument& doc, DeviceId& id)
{
    if (!envelope_complete(text))
        return -1;
    fixed_copy(id.SerialNumber, "");
    if (doc.Error() || !link_xml::root(doc)) {
        log_print("Invalid message, xml format error:\n%s\n", text);
        return -4;
    }
    return device_id_of(link_xml::body_element(doc, "IPC_SERIALNUMBER"), link_xml::body_element(doc, "DEVICE_TYPE"),
                        id);
}

namespace {

int device_id_of(const TiXmlElement* serial, const TiXmlElement* type, DeviceId& id)
{
    if (!serial)
        return -2;
    for (const TiXmlAttribute* a = serial->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "SerialNumber"))
            fixed_copy(id.SerialNumber, value_of(a));
    }
    if (fixed_view(id.SerialNumber).empty()) {
        log_print("SerialNumber not found.\n");
        return -1;
    }
    fixed_copy(id.DeviceType, kDefaultDeviceType);
    if (!type)
        return -2;
    for (const TiXmlAttribute* a = type->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "DeviceType"))
            fixed_copy(id.DeviceType, value_of(a));
    }
    return 0;
}

}  // namespace

int GetLANCfgByXml(const char* text, LanCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("GetLANCfgByXml(): xml error\r\n");
        return -4;
    }
    return GetLANCfgByDoc(doc, cfg);
}

int GetLANCfgByDoc(const TiXmlDocument& doc, LanCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    if (doc.Error()) {
        log_print("GetLANCfgByXml(): xml error\r\n");
        return -4;
    }
    return lan_cfg_of(link_xml::body_element(doc, "LANConfig"), cfg);
}

namespace {

int lan_cfg_of(const TiXmlElement* e, LanCfg& cfg)
{
    if (!e) {
        log_print("GetLANCfgByXml() can not find LANConfig element!");
        return -2;
    }
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "MacAddress"))
            copy_to_cleared(cfg.MacAddress, v);
        else if (name_is(a, "DHCP"))
            cfg.DHCP = link_xml::to_int(v);
        else if (name_is(a, "IPAddress"))
            copy_to_cleared(cfg.IPAddress, v);
        else if (name_is(a, "Netmask"))
            copy_to_cleared(cfg.Netmask, v);
        else if (name_is(a, "Gateway"))
            copy_to_cleared(cfg.Gateway, v);
        else if (name_is(a, "DNS1"))
            copy_to_cleared(cfg.DNS1, v);
        else if (name_is(a, "DNS2"))
            copy_to_cleared(cfg.DNS2, v);
    }
    return 0;
}

}  // namespace

int GetMediaStreamCfgByXml(const char* text, MediaStreamCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("GetMediaStreamCfgByXml(): xml error\r\n");
        return -4;
    }
    return GetMediaStreamCfgByDoc(doc, cfg);
}

int GetMediaStreamCfgByDoc(const TiXmlDocument& doc, MediaStreamCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    if (doc.Error()) {
        log_print("GetMediaStreamCfgByXml(): xml error\r\n");
        return -4;
    }
    return stream_cfg_of(link_xml::body_element(doc, "MediaStreamConfig"), cfg);
}

namespace {

int stream_cfg_of(const TiXmlElement* e, MediaStreamCfg& cfg)
{
    if (!e)
        return -2;
    for (const TiXmlElement* s = e->FirstChildElement("StreamAccess"); s; s = s->NextSiblingElement("StreamAccess")) {
        for (const TiXmlAttribute* a = s->FirstAttribute(); a; a = a->Next()) {
            int v = link_xml::to_int(value_of(a));
            if (name_is(a, "Auth"))
                cfg.Auth = v;
            else if (name_is(a, "VideoPort"))
                cfg.VideoPort = v;
            else if (name_is(a, "RTPOverRTSP"))
                cfg.RTPOverRTSP = v;
            else if (name_is(a, "PTZPort"))
                cfg.PTZPort = v;
            else if (name_is(a, "WEBPort"))
                cfg.WEBPort = v;
        }
    }
    return 0;
}

}  // namespace

int GetUserCfgByXml(const char* text, UserCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("GetUserCfgByXml(): xml error");
        return -4;
    }
    return GetUserCfgByDoc(doc, cfg);
}

int GetUserCfgByDoc(const TiXmlDocument& doc, UserCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    if (doc.Error()) {
        log_print("GetUserCfgByXml(): xml error");
        return -4;
    }
    return user_cfg_of(link_xml::body_element(doc, "UserConfig"), cfg);
}

namespace {

int user_cfg_of(const TiXmlElement* e, UserCfg& cfg)
{
    if (!e)
        return -2;
    const TiXmlNode* first = e->FirstChild();
    const TiXmlElement* child = first ? first->ToElement() : nullptr;
    int count = 0;
    for (; child && count < kMaxUserAccounts; child = child->NextSiblingElement()) {
        if (!value_is(child, "Account"))
            continue;
        UserAccount& u = cfg.accounts[count++];
        for (const TiXmlAttribute* a = child->FirstAttribute(); a; a = a->Next()) {
            const char* v = value_of(a);
            if (name_is(a, "Username"))
                copy_to_cleared(u.Username, v);
            else if (name_is(a, "Password"))
                copy_to_cleared(u.Password, v);
            else if (name_is(a, "Group"))
                copy_to_cleared(u.Group, v);
            else if (name_is(a, "Status"))
                copy_to_cleared(u.Status, v);
        }
    }
    cfg.count = count;
    return 0;
}

}  // namespace

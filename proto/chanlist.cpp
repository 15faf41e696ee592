// Parsers of the NVR's channel-table and camera-search replies.
#include "proto/chanlist.h"

#include "proto/xml_util.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>

using link_xml::value_of;

namespace {

bool name_is(const TiXmlAttribute* a, const char* name) { return std::strcmp(a->Name(), name) == 0; }

// An unknown protocol leaves the field as it was.
void read_protocol(const char* v, int32_t& field)
{
    int code = nvr_protocol_code(v);
    if (code < 0)
        log_print("unknown protocol\n");
    else
        field = code;
}

void fill(const TiXmlElement* e, ChannelEntry& c)
{
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "ChannelId"))
            c.ChannelId = link_xml::to_int(v);
        else if (name_is(a, "Protocol"))
            read_protocol(v, c.Protocol);
        else if (name_is(a, "Status"))
            c.Status = link_xml::to_int(v);
        else if (name_is(a, "IpAddr"))
            fixed_copy(c.IpAddr, v);
        else if (name_is(a, "ChannnelName"))
            fixed_copy(c.ChannnelName, v);
    }
}

void fill(const TiXmlElement* e, IpcRecord& r)
{
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "Protocol"))
            read_protocol(v, r.Protocol);
        else if (name_is(a, "IPAddress"))
            fixed_copy(r.IpAddr, v);
        else if (name_is(a, "Username"))
            fixed_copy(r.Username, v);
        else if (name_is(a, "Password"))
            fixed_copy(r.Password, v);
        else if (name_is(a, "CtrlPort"))
            r.CtrlPort = link_xml::to_int(v);
        else if (name_is(a, "SN"))
            fixed_copy(r.SN, v);
        else if (name_is(a, "OsdName"))
            fixed_copy(r.OsdName, v);
    }
}

// The shared walk: the root's first child element of that name and its following siblings of
// the same name, at most kNvrMaxListEntries of them.
template <typename Entry>
int parse_list(const char* who, const char* text, const char* wanted, Entry* entries, int32_t& count)
{
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("%s(): xml error", who);
        return -4;
    }
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("%s pRoot Is Null \n", who);
        return -2;
    }
    const TiXmlElement* e = root->FirstChildElement(wanted);
    if (!e) {
        log_print("%s pNodelist Is Null \n", who);
        return -2;
    }
    int n = 0;
    for (; e && n < kNvrMaxListEntries; e = e->NextSiblingElement()) {
        if (std::strcmp(e->Value(), wanted) == 0)
            fill(e, entries[n++]);
    }
    count = n;
    return 0;
}

}  // namespace

const char* nvr_protocol_text(int32_t protocol) { return protocol ? "ONVIF" : "MVK"; }

int nvr_protocol_code(const char* text)
{
    if (!text)
        return -1;
    if (std::strcmp(text, "MVK") == 0)
        return kNvrProtocolMVK;
    if (std::strcmp(text, "ONVIF") == 0)
        return kNvrProtocolONVIF;
    return -1;
}

int GetChannellist(const char* text, ChannelList& list)
{
    std::memset(&list, 0, sizeof list);
    return parse_list("GetChannellist", text, "ChannelInfo", list.entries, list.nChanCnt);
}

int GetSearchIpc(const char* text, IpcList& list)
{
    std::memset(&list, 0, sizeof list);
    return parse_list("GetSearchIpc", text, "IPCINFO", list.entries, list.nIpcCnt);
}

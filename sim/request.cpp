#include "sim/request.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

const TiXmlElement* child(const TiXmlElement* parent, const char* name)
{
    return parent ? parent->FirstChildElement(name) : nullptr;
}

}  // namespace

Request parse_request(const char* data, size_t len)
{
    Request req;
    if (!data || len == 0 || len > 65536)
        return req;
    std::string text(data, len);  // terminated copy; an embedded NUL simply ends the text
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    if (doc.Error())
        return req;
    const TiXmlElement* root = doc.RootElement();
    if (!root || std::strcmp(root->Value(), "XML_MORVEK") != 0)
        return req;
    const TiXmlElement* header = child(root, "MESSAGE_HEADER");
    if (!header)
        return req;
    const char* type = header->Attribute("Msg_type");
    const char* code = header->Attribute("Msg_code");
    if (!type || std::strcmp(type, "SYSTEM_SEARCHIPC_MESSAGE") != 0 || !code || !*code)
        return req;
    char* end = nullptr;
    long c = std::strtol(code, &end, 10);
    if (*end != '\0' || c < 0 || c > 100000)
        return req;
    req.ok = true;
    req.code = static_cast<int>(c);

    const TiXmlElement* body = child(root, "MESSAGE_BODY");
    if (!body)
        return req;
    if (const TiXmlElement* sn = child(body, "IPC_SERIALNUMBER")) {
        if (const char* v = sn->Attribute("SerialNumber"))
            req.serial = v;
    }
    if (const TiXmlElement* lan = child(body, "LANConfig")) {
        req.has_lan = true;
        for (const TiXmlAttribute* a = lan->FirstAttribute(); a; a = a->Next())
            req.lan[a->Name()] = a->Value() ? a->Value() : "";
    }
    if (const TiXmlElement* tc = child(body, "TimeConfig")) {
        if (const char* v = tc->Attribute("Time"))
            req.time = v;
    }
    return req;
}

}  // namespace sim

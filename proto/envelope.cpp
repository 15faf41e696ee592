// Envelope builders, the header reader and the body extractors.
#include "proto/envelope.h"

#include "proto/xml_util.h"
#include "util/log.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>";

void append_header(std::string& out, const char* type, const char* code, const char* flag)
{
    out += "<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"";
    out += type ? type : "";
    out += "\"\nMsg_code=\"";
    out += code ? code : "";
    out += "\"\nMsg_flag=\"";
    out += flag ? flag : "";
    out += "\"\n/>";
}

}  // namespace

int BuildLongMessage(std::string& out, const char* type, const char* code, const char* flag, const char* body)
{
    out.assign(kDeclaration);
    out += '\n';
    append_header(out, type, code, flag);
    out += "\n<MESSAGE_BODY>\n";
    if (body) {
        out += body;
        out += '\n';
    }
    out += "</MESSAGE_BODY>\n</XML_MORVEK>";
    return static_cast<int>(out.size());
}

int BuildMessage(std::string& out, const char* type, const char* code, const char* flag, const char* body)
{
    out.assign(kDeclaration);
    append_header(out, type, code, flag);
    if (body && *body) {
        out += "<MESSAGE_BODY>\n";
        out += body;
        out += "\n</MESSAGE_BODY>\n</XML_MORVEK>";
    } else {
        out += "<MESSAGE_BODY/>\n</XML_MORVEK>";
    }
    return static_cast<int>(out.size());
}

int BuildMessageWithCode(std::string& out, const char* type, long code, const char* flag, const char* body)
{
    char text[32];
    std::snprintf(text, sizeof text, "%ld", code);
    return BuildMessage(out, type, text, flag, body);
}

int BuildAudioDataHeader(char* out, size_t cap, const char* body)
{
    if (!out || cap == 0)
        return 0;
    std::string text;
    BuildMessage(text, "REVERSE_AUDIO_MESSAGE", "CMD_RA_DATA", "0", body);
    size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int BuildAudioDataMessage(char* out, size_t cap, const uint8_t* audio, int n)
{
    if (!out || n < 0 || (n > 0 && !audio))
        return -1;
    char body[64];
    std::snprintf(body, sizeof body, "<RA_DATA_PARAM\nDataLength=\"%d\"/>", n);
    std::string text;
    BuildMessage(text, "REVERSE_AUDIO_MESSAGE", "CMD_RA_DATA", "0", body);
    if (text.size() + static_cast<size_t>(n) > cap)
        return -1;
    std::memcpy(out, text.data(), text.size());
    if (n > 0)
        std::memcpy(out + text.size(), audio, static_cast<size_t>(n));
    return static_cast<int>(text.size()) + n;
}

int GetMessageHeader(const char* text, char (&type)[kMsgFieldSize], char (&code)[kMsgFieldSize],
                     char (&flag)[kMsgFieldSize])
{
    TiXmlDocument doc;
    return GetMessageHeaderDoc(text, doc, type, code, flag);
}

int GetMessageHeaderDoc(const char* text, TiXmlDocument& doc, char (&type)[kMsgFieldSize], char (&code)[kMsgFieldSize],
                        char (&flag)[kMsgFieldSize])
{
    type[0] = code[0] = flag[0] = '\0';
    if (!text)
        return -1;
    if (!link_xml::contains(text, "<XML_MORVEK>")) {
        log_print("Invalid message, <XML_MORVEK> not found:\n%s", text);
        return -1;
    }
    if (!link_xml::contains_closing(text, "</XML_MORVEK>")) {
        log_print("Invalid message, </XML_MORVEK> not found:\n%s", text);
        return -1;
    }
    if (link_xml::contains(text, "ALARM_REPORT_MESSAGE")) {
        if (link_xml::contains(text, "\"0\"\"")) {
            log_print("GetMessageHeader detect bad ALARM_REPORT_MESSAGE message");
            return -1;
        }
        if (link_xml::contains(text, "<MESSAGE_BODY></MESSAGE_BODY>") ||
            link_xml::contains(text, "<MESSAGE_BODY>\n</MESSAGE_BODY>")) {
            log_print("GetMessageHeader detect bad ALARM_REPORT_MESSAGE message, msg body is empty");
            return -1;
        }
    }

    if (!link_xml::parse(doc, text)) {
        if (link_xml::contains(text, "<MESSAGE_BODY>"))
            return -4;
        log_print("Invalid message, <MESSAGE_BODY> not found: %s", text);
        return -1;
    }
    const TiXmlElement* root = link_xml::root(doc);
    const TiXmlElement* header = root ? root->FirstChildElement("MESSAGE_HEADER") : nullptr;
    if (!header)
        return -2;

    for (const TiXmlAttribute* a = header->FirstAttribute(); a; a = a->Next()) {
        char* dest = nullptr;
        if (std::strcmp(a->Name(), "Msg_type") == 0)
            dest = type;
        else if (std::strcmp(a->Name(), "Msg_code") == 0)
            dest = code;
        else if (std::strcmp(a->Name(), "Msg_flag") == 0)
            dest = flag;
        if (!dest)
            continue;
        const char* v = link_xml::value_of(a);
        size_t len = std::strlen(v);
        if (len >= static_cast<size_t>(kMsgFieldSize)) {
            // A cut value could turn into another, valid one (a long failure flag cut to "0...0"
            // would read as success), so such a header is refused.
            log_print("GetMessageHeader %s too long(%d), bad msg\n", a->Name(), static_cast<int>(len));
            type[0] = code[0] = flag[0] = '\0';
            return -1;
        }
        std::memcpy(dest, v, len + 1);
    }
    if (!type[0])
        return -5;
    if (!code[0])
        return -6;
    if (!flag[0])
        return -7;
    return 0;
}

namespace {

constexpr const char kBodyStart[] = "<MESSAGE_BODY>";
constexpr const char kBodyEnd[] = "</MESSAGE_BODY>";

// Positions of the first body start tag and of the first end tag behind it.
bool find_body(const char* text, const char*& start, const char*& end)
{
    if (!text)
        return false;
    start = std::strstr(text, kBodyStart);
    if (!start)
        return false;
    end = std::strstr(start + sizeof kBodyStart - 1, kBodyEnd);
    return end != nullptr;
}

}  // namespace

int GetMessageBody(const char* text, std::string& out)
{
    const char *start, *end;
    if (!find_body(text, start, end))
        return -1;
    const char* inner = start + sizeof kBodyStart - 1;
    out.assign(inner, static_cast<size_t>(end - inner));
    return 0;
}

int GetMessageBodyElement(const char* text, std::string& out)
{
    const char *start, *end;
    if (!find_body(text, start, end))
        return -1;
    out.assign(start, static_cast<size_t>(end + sizeof kBodyEnd - 1 - start));
    return 0;
}

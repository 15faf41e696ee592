#include "sim/wire.h"

#include <tinyxml.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

void put_le32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t get_le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
        static_cast<uint32_t>(p[3]) << 24;
}

std::string frame_header(uint32_t len)
{
    unsigned char h[kHeaderSize];
    std::memcpy(h, kMagic, 4);
    put_le32(h + 4, len);
    return std::string(reinterpret_cast<const char*>(h), kHeaderSize);
}

std::string frame(std::string_view text, std::string_view extra)
{
    std::string out = frame_header(static_cast<uint32_t>(text.size() + extra.size()));
    out.reserve(kHeaderSize + text.size() + extra.size());
    out.append(text);
    out.append(extra);
    return out;
}

std::string envelope(std::string_view type, std::string_view code, std::string_view flag, std::string_view body)
{
    std::string s;
    s.reserve(200 + body.size());
    s += "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"";
    s += type;
    s += "\"\nMsg_code=\"";
    s += code;
    s += "\"\nMsg_flag=\"";
    s += flag;
    s += "\"\n/>\n<MESSAGE_BODY>\n";
    s += body;
    s += "\n</MESSAGE_BODY>\n</XML_MORVEK>";
    return s;
}

std::string attr_escape(std::string_view v)
{
    std::string out;
    out.reserve(v.size());
    for (unsigned char c : v) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "&#%u;", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

namespace {

const TiXmlElement* body_of(const TiXmlDocument& doc)
{
    const TiXmlElement* root = doc.RootElement();
    if (!root)
        return nullptr;
    const TiXmlElement* body = root->FirstChildElement("MESSAGE_BODY");
    return body ? body : root;
}

}  // namespace

const TiXmlElement* Message::element(const char* name) const
{
    if (!doc)
        return nullptr;
    const TiXmlElement* body = body_of(*doc);
    return body ? body->FirstChildElement(name) : nullptr;
}

std::string Message::attr(const char* elem, const char* name, bool* has) const
{
    const TiXmlElement* e = element(elem);
    const char* v = e ? e->Attribute(name) : nullptr;
    if (has)
        *has = v != nullptr;
    return v ? v : "";
}

std::string Message::child_text(const char* elem, const char* child) const
{
    const TiXmlElement* e = element(elem);
    const TiXmlElement* c = e ? e->FirstChildElement(child) : nullptr;
    const char* t = c ? c->GetText() : nullptr;
    return t ? t : "";
}

bool parse_long(const std::string& s, long* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0)
        return false;
    *out = v;
    return true;
}

Message parse_message(const char* payload, size_t len)
{
    Message m;
    if (!payload) {
        m.error = "no payload";
        return m;
    }
    const void* nul = std::memchr(payload, '\0', len);
    size_t text_len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - payload) : len;
    m.text = std::string_view(payload, text_len);
    m.after_text = std::string_view(payload + text_len, len - text_len);
    if (text_len == 0) {
        m.error = "empty text";
        return m;
    }
    // Only the envelope is parsed: some messages carry more behind their root (the console's
    // heartbeat repeats its end tags, talk data has its audio right behind the text).
    std::string text(payload, text_len);  // TinyXML wants a terminated text
    static constexpr std::string_view kEnd = "</XML_MORVEK>";
    if (size_t e = m.text.find(kEnd); e != std::string_view::npos)
        text.resize(e + kEnd.size());
    auto doc = std::make_shared<TiXmlDocument>();
    doc->Parse(text.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    if (doc->Error()) {
        m.error = std::string("xml: ") + doc->ErrorDesc();
        return m;
    }
    const TiXmlElement* root = doc->RootElement();
    if (!root || std::strcmp(root->Value(), "XML_MORVEK") != 0) {
        m.error = "no XML_MORVEK root";
        return m;
    }
    const TiXmlElement* header = root->FirstChildElement("MESSAGE_HEADER");
    if (!header) {
        m.error = "no MESSAGE_HEADER";
        return m;
    }
    const char* t = header->Attribute("Msg_type");
    const char* c = header->Attribute("Msg_code");
    const char* f = header->Attribute("Msg_flag");
    if (!t || !*t || !c || !*c || !f || !*f) {
        m.error = "empty Msg_type, Msg_code or Msg_flag";
        return m;
    }
    m.type = t;
    m.code = c;
    m.flag = f;
    m.doc = std::move(doc);
    m.ok = true;
    return m;
}

FrameReader::Result FrameReader::peek(const unsigned char* buf, size_t n, uint32_t max_len, size_t* total)
{
    // The magic is judged as soon as its bytes are there, so garbage is refused early.
    for (size_t i = 0; i < 4 && i < n; ++i)
        if (buf[i] != kMagic[i])
            return Result::BadMagic;
    if (n < kHeaderSize)
        return Result::NeedMore;
    uint32_t len = get_le32(buf + 4);
    if (len > max_len)
        return Result::TooLong;
    *total = kHeaderSize + len;
    return n >= *total ? Result::Frame : Result::NeedMore;
}

}  // namespace sim

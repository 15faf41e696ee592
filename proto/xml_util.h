// Small TinyXML helpers shared by the link's readers (not part of the public interface).
#pragma once

#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace link_xml {

// Device texts are GB2312: parse byte-wise so that no multi-byte decoding ever looks past a
// value, and bytes come back unchanged.
inline bool parse(TiXmlDocument& doc, const char* text)
{
    doc.Parse(text, nullptr, TIXML_ENCODING_LEGACY);
    return !doc.Error();
}

// The first child node that is an element.
inline const TiXmlElement* root(const TiXmlDocument& doc) { return doc.FirstChildElement(); }

// Below MESSAGE_BODY when the root has one, else below the root itself.
inline const TiXmlElement* container(const TiXmlElement* root)
{
    if (!root)
        return nullptr;
    const TiXmlElement* body = root->FirstChildElement("MESSAGE_BODY");
    return body ? body : root;
}

// The first child element of that name in the container of the document's root.
inline const TiXmlElement* body_element(const TiXmlDocument& doc, const char* name)
{
    const TiXmlElement* c = container(root(doc));
    return c ? c->FirstChildElement(name) : nullptr;
}

inline const char* value_of(const TiXmlAttribute* a)
{
    const char* v = a->Value();
    return v ? v : "";
}

// atoi's value; plain digits (nearly every number a device sends) are read without its locale
// and sign handling.
inline int to_int(const char* v)
{
    int x = 0;
    int i = 0;
    for (; i < 9 && v[i] >= '0' && v[i] <= '9'; ++i)
        x = x * 10 + (v[i] - '0');
    return i > 0 && v[i] == '\0' ? x : std::atoi(v);
}

// A decimal number as a 32-bit long reads it: leading blanks and a sign, digits up to the
// first other character, values beyond the range held at its ends. A plain cast of a 64-bit
// result would wrap, so that a failure flag of 4294967296 read as 0, success.
inline int32_t to_long32(const char* v)
{
    long long x = std::strtoll(v, nullptr, 10);  // itself saturates at the 64-bit ends
    if (x > INT32_MAX)
        return INT32_MAX;
    if (x < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(x);
}

inline bool contains(const char* text, const char* needle) { return std::strstr(text, needle) != nullptr; }

// contains for the closing tag that a whole message ends with: looked for at the end first, so
// the usual text needs no scan for it.
inline bool contains_closing(const char* text, const char* tag)
{
    const size_t n = std::strlen(text), m = std::strlen(tag);
    if (n >= m && std::memcmp(text + n - m, tag, m) == 0)
        return true;
    return contains(text, tag);
}

}  // namespace link_xml

// Small TinyXML helpers shared by the link's readers (not part of the public interface).
#pragma once

#include <tinyxml.h>

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

inline int to_int(const char* v) { return std::atoi(v); }

inline bool contains(const char* text, const char* needle) { return std::strstr(text, needle) != nullptr; }

}  // namespace link_xml

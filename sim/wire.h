// The recorder's side of the control-link wire: frames (magic, 32-bit little-endian length,
// payload) and the XML envelope inside them. Written apart from the console's link code on
// purpose: a mistake both sides make the same way would otherwise go unnoticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

namespace sim {

inline constexpr unsigned char kMagic[4] = {0x58, 0x91, 0x58, 0x51};
inline constexpr size_t kHeaderSize = 8;
// What a recorder takes in one frame: an upload chunk is about 41 KB and a request a few KB,
// so anything announcing more is a broken or hostile peer.
inline constexpr uint32_t kMaxInboundFrame = 4u * 1024u * 1024u;

void put_le32(unsigned char* p, uint32_t v);
uint32_t get_le32(const unsigned char* p);

// The 8 header bytes for a payload of len bytes (magic may be replaced for the wrong-magic fault).
std::string frame_header(uint32_t len);
// Header + text + optional raw bytes behind the text.
std::string frame(std::string_view text, std::string_view extra = {});

// The envelope as the recorder writes it: declaration, root, header attributes on lines of their
// own, body between MESSAGE_BODY tags (always both tags, also for an empty body).
std::string envelope(std::string_view type, std::string_view code, std::string_view flag, std::string_view body);

// Attribute value escaping for texts the recorder writes (& < > " and control characters as
// character references); other bytes pass unchanged.
std::string attr_escape(std::string_view v);

// One inbound message. text is the payload up to its first NUL (or all of it); extra is what
// lies behind that NUL (media data: 3 more zero bytes, then the chunk).
struct Message {
    bool ok = false;
    std::string error;  // why not ok
    std::string type, code, flag;
    std::string_view text;
    std::string_view after_text;  // payload bytes behind the text, starting at its NUL
    std::shared_ptr<TiXmlDocument> doc;

    // The body element (MESSAGE_BODY below the root, or the root itself) and its first child
    // element of that name; null when there is none.
    const TiXmlElement* element(const char* name) const;
    // Attribute of a body element; has = false when the element or the attribute is missing.
    std::string attr(const char* elem, const char* name, bool* has = nullptr) const;
    // Text of a child element below a body element (PTZ bodies: <xml><cmd>up</cmd>...).
    std::string child_text(const char* elem, const char* child) const;
};

// A number in an attribute value: the whole text in decimal, within the range of long. false
// for anything else (out stays as it was).
bool parse_long(const std::string& s, long* out);

// Parses the payload of one frame. Never throws; ok = false with error for an unparsable text,
// a missing root or header, or empty header values.
Message parse_message(const char* payload, size_t len);

// Incremental frame splitter over a byte stream.
class FrameReader {
public:
    enum class Result { NeedMore, Frame, BadMagic, TooLong };
    // Looks at buf[0..n): NeedMore, Frame (with *total = 8 + payload length), or a fatal error.
    static Result peek(const unsigned char* buf, size_t n, uint32_t max_len, size_t* total);
};

}  // namespace sim

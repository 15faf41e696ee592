// The control link's frame: the magic 0x58 0x91 0x58 0x51, a 32-bit little-endian length,
// then the payload. Pure byte code, shared by the link and the fuzz targets. Also the link's
// default port, for everything above that names a recorder without its search answer.
#pragma once

#include <cstdint>

// The recorders' control port when neither their search answer nor the operator gives one
// (and the port of an MVK camera in an NVR's channel table).
constexpr uint16_t kDefaultControlPort = 8091;

constexpr uint32_t kFrameMagic = 0x51589158u;
constexpr int kFrameHeaderSize = 8;
// Frames announcing more than this are refused as unreadable: far above any real message, and
// the length comes from the network.
constexpr uint32_t kMaxFrameLength = 8u * 1024u * 1024u;
// The login answer is small; a longer one is refused.
constexpr uint32_t kMaxAuthFrameLength = 64u * 1024u;

inline uint32_t frame_le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
        (static_cast<uint32_t>(p[3]) << 24);
}

inline void frame_put_le32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

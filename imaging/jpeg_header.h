// Inside the baseline JPEG decoder: what the marker segments in front of the entropy-coded
// data say (tables, frame, scan), read by jpeg_header.cpp and used by jpeg_decoder.cpp. Not
// part of the imaging library's interface; jpeg_decoder.h is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpeg {

constexpr int kFastBits = 9;
constexpr int kMaxSampling = 4;  // T.81 allows 1..4

struct HuffTable {
    bool defined = false;
    uint8_t fast_len[1 << kFastBits];  // 0: the code is longer than kFastBits
    uint8_t fast_sym[1 << kFastBits];
    int32_t maxcode[17];    // largest code of each length, -1 when there is none
    int32_t valoffset[17];  // symbol index = code + valoffset[length]
    uint8_t symbols[256];
    int count = 0;  // symbols in use
};

struct Component {
    int id = 0;
    int h = 0;
    int v = 0;
    int tq = 0;
};

struct Header {
    uint8_t qt[4][64] = {};  // zig-zag order
    bool qt_defined[4] = {};
    HuffTable huff[2][2];  // [class: 0 DC, 1 AC][table number]

    int width = 0;
    int height = 0;
    int ncomp = 0;
    Component comp[3];  // a grey picture's chrominance entries are 1 x 1 stand-ins
    int luma_dc = 0, luma_ac = 0, chroma_dc = 0, chroma_ac = 0;
    unsigned restart_interval = 0;
    size_t scan_start = 0;  // where the entropy-coded data begins
};

// Walks the marker segments behind the start-of-image marker up to the start of the scan,
// never reading outside data[0, len). false for a segment that does not fit the data, an end
// of image before any scan, or anything outside baseline with one or three components.
bool ReadHeader(const uint8_t* data, size_t len, Header* h);

// Every table the scan will use must exist; an undefined selector would decode with garbage.
bool TablesUsable(const Header& h);

}  // namespace jpeg

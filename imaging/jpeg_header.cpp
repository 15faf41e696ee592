// The marker segments of a baseline JPEG up to its scan: Huffman and quantisation tables, the
// frame (size, components, sampling), the restart interval and the scan's table selectors.
// Every length in them comes from the file, so each is checked against the data before use.
#include "imaging/jpeg_header.h"

#include <cstring>

namespace jpeg {

namespace {

inline size_t be16(const uint8_t* p) { return (static_cast<size_t>(p[0]) << 8) | p[1]; }

// Canonical Huffman codes from the 16 code-length counts. Refuses tables with more than 256
// symbols or whose codes do not fit their lengths, which would otherwise index past the tables.
bool build_huffman(HuffTable& t, const uint8_t* counts, const uint8_t* syms, int total)
{
    if (total > 256)
        return false;
    std::memset(t.fast_len, 0, sizeof t.fast_len);
    std::memcpy(t.symbols, syms, static_cast<size_t>(total));
    t.count = total;
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        int n = counts[len - 1];
        t.maxcode[len] = -1;
        t.valoffset[len] = 0;
        if (n > 0) {
            if (code + static_cast<uint32_t>(n) > (1u << len))
                return false;
            t.valoffset[len] = k - static_cast<int32_t>(code);
            for (int i = 0; i < n; ++i, ++code, ++k) {
                if (len <= kFastBits) {
                    uint32_t first = code << (kFastBits - len);
                    uint32_t span = 1u << (kFastBits - len);
                    for (uint32_t j = 0; j < span; ++j) {
                        t.fast_len[first + j] = static_cast<uint8_t>(len);
                        t.fast_sym[first + j] = syms[k];
                    }
                }
            }
            t.maxcode[len] = static_cast<int32_t>(code) - 1;
        }
        code <<= 1;
    }
    t.defined = true;
    return true;
}

// DHT at pos (its length field): tables follow one another until the next marker, whatever
// the segment's length says. *next is where that marker starts.
bool ReadDht(const uint8_t* data, size_t len, size_t pos, Header* h, size_t* next)
{
    size_t p = pos + 2;
    do {
        if (p + 17 > len)
            return false;
        int tc = data[p] >> 4, th = data[p] & 0x0F;
        if (tc > 1 || th > 1)
            return false;
        int total = 0;
        for (int i = 0; i < 16; ++i)
            total += data[p + 1 + i];
        if (total > 256 || p + 17 + static_cast<size_t>(total) > len)
            return false;
        if (!build_huffman(h->huff[tc][th], data + p + 1, data + p + 17, total))
            return false;
        p += 17 + static_cast<size_t>(total);
    } while (p < len && data[p] != 0xFF);
    if (p >= len)
        return false;
    *next = p;
    return true;
}

// DQT: 8-bit tables 0..3; any other table byte ends the segment.
bool ReadDqt(const uint8_t* data, size_t len, size_t pos, size_t end, Header* h)
{
    if (end > len)
        return false;
    size_t p = pos + 2;
    while (p < end) {
        uint8_t t = data[p];
        if (t > 3)
            break;
        if (p + 65 > len)
            return false;
        std::memcpy(h->qt[t], data + p + 1, 64);
        h->qt_defined[t] = true;
        p += 65;
    }
    return true;
}

// SOF0: size, then each component's id, sampling factors and quantisation table.
bool ReadSof(const uint8_t* data, size_t len, size_t pos, size_t end, Header* h)
{
    if (end > len || pos + 8 > len)
        return false;
    int n = data[pos + 7];
    if (n != 1 && n != 3)
        return false;
    if (pos + 8 + 3 * static_cast<size_t>(n) > len)
        return false;
    h->height = static_cast<int>(be16(data + pos + 3));
    h->width = static_cast<int>(be16(data + pos + 5));
    if (h->width == 0 || h->height == 0)
        return false;  // a height defined later by DNL is not baseline for us
    h->ncomp = n;
    for (int i = 0; i < n; ++i) {
        const uint8_t* c = data + pos + 8 + 3 * i;
        Component& comp = h->comp[i];
        comp.id = c[0];
        comp.h = c[1] >> 4;
        comp.v = c[1] & 0x0F;
        comp.tq = c[2];
        if (comp.h > kMaxSampling || comp.v > kMaxSampling || comp.tq > 3)
            return false;
    }
    if (n == 1) {
        h->comp[1] = h->comp[2] = Component{0, 1, 1, 0};
    }
    return true;
}

// SOS: the scan's table selectors; the entropy-coded data starts behind the segment.
bool ReadSos(const uint8_t* data, size_t len, size_t pos, size_t end, Header* h)
{
    if (pos + 3 > len)
        return false;
    int ns = data[pos + 2];
    if (ns != h->ncomp)
        return false;
    if (pos + 3 + 2 * static_cast<size_t>(ns) > len)
        return false;
    for (int i = 0; i < ns; ++i) {
        const uint8_t* c = data + pos + 3 + 2 * i;
        if (c[0] == h->comp[0].id) {
            h->luma_dc = c[1] >> 4;
            h->luma_ac = c[1] & 0x0F;
        } else {
            h->chroma_dc = c[1] >> 4;
            h->chroma_ac = c[1] & 0x0F;
        }
    }
    if (end > len)
        return false;
    h->scan_start = end;
    return true;
}

}  // namespace

bool ReadHeader(const uint8_t* data, size_t len, Header* h)
{
    size_t pos = 2;  // the start-of-image marker is not examined
    for (;;) {
        if (pos + 4 > len || data[pos] != 0xFF)
            return false;
        uint8_t code = data[pos + 1];
        pos += 2;
        if (code == 0xD9)
            return false;  // end of image before any scan
        size_t seglen = be16(data + pos);
        if (seglen < 2)
            return false;
        size_t end = pos + seglen;
        bool ok = true;
        switch (code) {
        case 0xC4:  // DHT
            if (!ReadDht(data, len, pos, h, &pos))
                return false;
            continue;
        case 0xDB:  // DQT
            ok = ReadDqt(data, len, pos, end, h);
            break;
        case 0xC0:  // SOF0
            ok = ReadSof(data, len, pos, end, h);
            break;
        case 0xDD:  // DRI
            ok = end <= len && pos + 4 <= len;
            if (ok)
                h->restart_interval = static_cast<unsigned>(be16(data + pos + 2));
            break;
        case 0xDA:  // SOS: the walk ends here
            return ReadSos(data, len, pos, end, h);
        default:  // APPn, COM, every other SOFn, DAC, ...: skipped by length
            ok = end <= len;
            break;
        }
        if (!ok)
            return false;
        pos = end;
    }
}

bool TablesUsable(const Header& h)
{
    for (int i = 0; i < h.ncomp; ++i)
        if (!h.qt_defined[h.comp[i].tq])
            return false;
    auto ok = [&h](int cls, int n) { return n >= 0 && n <= 1 && h.huff[cls][n].defined; };
    if (!ok(0, h.luma_dc) || !ok(1, h.luma_ac))
        return false;
    if (h.ncomp == 3 && (!ok(0, h.chroma_dc) || !ok(1, h.chroma_ac)))
        return false;
    return true;
}

}  // namespace jpeg

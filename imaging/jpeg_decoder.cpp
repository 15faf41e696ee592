// The baseline JPEG decoder's hot path: the bit reader over the entropy-coded data, Huffman
// decoding of each block (or, for a check without pixels, a walk over its codes), the AAN
// inverse DCT and the colour conversion into RGB565, with the trace lines of each outcome.
// The marker segments in front of the data are read by jpeg_header.cpp.
#include "imaging/jpeg_decoder.h"

#include "imaging/jpeg_header.h"

#include "util/log.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

using jpeg::Component;
using jpeg::HuffTable;
using jpeg::kFastBits;

std::atomic<JpegTraceSink> g_trace_sink{nullptr};

void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* fmt, ...)
{
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    JpegTraceSink sink = g_trace_sink.load(std::memory_order_acquire);
    if (sink)
        sink(buf);
    else
        console_text("%s", buf);
}

// Position in the 8x8 block (row-major) of the k-th coefficient in zig-zag order.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                                 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                                 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Block decode results, printed as "funcretN = %x".
constexpr int kBlockOk = 0;
constexpr int kBlockBadDcCode = 1;
constexpr int kBlockBadAcCode = 2;
constexpr int kBlockPastEnd = 3;    // run-length walks beyond coefficient 63
constexpr int kBlockDataEnded = 4;  // the entropy data ran out
constexpr int kBlockBadDcSize = 5;  // DC difference wider than 16 bits

// Scale factors of the AAN inverse DCT, folded into the dequantisation tables:
// s(0) = 1, s(k) = sqrt(2) cos(k pi / 16), and the overall 1/8.
struct AanScale {
    float k[64];  // by zig-zag index
    AanScale()
    {
        const double pi = 3.14159265358979323846;
        double s[8];
        s[0] = 1.0;
        for (int i = 1; i < 8; ++i)
            s[i] = std::cos(i * pi / 16) * std::sqrt(2.0);
        for (int i = 0; i < 64; ++i) {
            int pos = kZigzag[i];
            k[i] = static_cast<float>(s[pos % 8] * s[pos / 8] / 8.0);
        }
    }
};

const AanScale& aan_scale()
{
    static const AanScale scale;
    return scale;
}

inline uint8_t clamp_sample(float v)
{
    v += 128.5f;  // level shift and round
    if (!(v > 0.0f))
        return 0;
    if (v >= 255.0f)
        return 255;
    return static_cast<uint8_t>(v);
}

// One 8-point AAN inverse DCT over d[0], d[stride], ... d[7 * stride].
inline void aan_1d(float* d, int stride)
{
    float t0 = d[0], t1 = d[2 * stride], t2 = d[4 * stride], t3 = d[6 * stride];
    float t10 = t0 + t2, t11 = t0 - t2;
    float t13 = t1 + t3, t12 = (t1 - t3) * 1.414213562f - t13;
    t0 = t10 + t13;
    t3 = t10 - t13;
    t1 = t11 + t12;
    t2 = t11 - t12;

    float t4 = d[stride], t5 = d[3 * stride], t6 = d[5 * stride], t7 = d[7 * stride];
    float z13 = t6 + t5, z10 = t6 - t5, z11 = t4 + t7, z12 = t4 - t7;
    t7 = z11 + z13;
    float o11 = (z11 - z13) * 1.414213562f;
    float z5 = (z10 + z12) * 1.847759065f;
    float o10 = z5 - z12 * 1.082392200f;
    float o12 = z5 - z10 * 2.613125930f;
    t6 = o12 - t7;
    t5 = o11 - t6;
    t4 = o10 - t5;

    d[0] = t0 + t7;
    d[7 * stride] = t0 - t7;
    d[stride] = t1 + t6;
    d[6 * stride] = t1 - t6;
    d[2 * stride] = t2 + t5;
    d[5 * stride] = t2 - t5;
    d[3 * stride] = t3 + t4;
    d[4 * stride] = t3 - t4;
}

// Inverse DCT of one block of prescaled coefficients (natural order) into 8 x 8 samples.
// Columns without AC coefficients, most of them in a typical picture, are filled directly.
void idct_block(float* in, int last_k, uint8_t* out, int stride)
{
    if (last_k == 0) {
        uint8_t dc = clamp_sample(in[0]);
        for (int y = 0; y < 8; ++y)
            std::memset(out + y * stride, dc, 8);
        return;
    }
    for (int x = 0; x < 8; ++x) {
        float* col = in + x;
        if (col[8] == 0.0f && col[16] == 0.0f && col[24] == 0.0f && col[32] == 0.0f && col[40] == 0.0f &&
            col[48] == 0.0f && col[56] == 0.0f) {
            for (int y = 1; y < 8; ++y)
                col[8 * y] = col[0];
            continue;
        }
        aan_1d(col, 8);
    }
    for (int y = 0; y < 8; ++y) {
        float* row = in + 8 * y;
        aan_1d(row, 1);
        for (int x = 0; x < 8; ++x)
            out[y * stride + x] = clamp_sample(row[x]);
    }
}

inline int clamp_byte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

inline uint16_t rgb565(int r, int g, int b)
{
    return static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
}

// Bit reader over the entropy-coded data. It stops at any marker or at the end of the data and
// then feeds zero bits, counting them, so running out of data is detected without ever reading
// outside the buffer. A plain value, so that the scan loop can keep it in registers.
struct BitReader {
    const uint8_t* data = nullptr;
    size_t len = 0;
    size_t start = 0;  // where this stretch of entropy data began
    size_t pos = 0;    // the next byte to read
    uint64_t acc = 0;  // the unread bits from bit 63 down, zero below them
    int nbits = 0;
    int fake = 0;  // zero bits made up past the end of the data, the last ones in acc
    bool stopped = false;

    void Reset(size_t at)
    {
        start = pos = at;
        acc = 0;
        nbits = 0;
        fake = 0;
        stopped = false;
    }
    // Enough bits for any code with its magnitude bits (16 + 16), so no step checks again.
    void Need32()
    {
        if (nbits < 32)
            Refill();
    }
    uint32_t Peek(int n) const { return static_cast<uint32_t>(acc >> (64 - n)); }
    void Skip(int n)
    {
        acc <<= n;
        nbits -= n;
    }
    int Take(int n)  // 1 <= n <= 16
    {
        int v = static_cast<int>(Peek(n));
        Skip(n);
        return v;
    }
    // A zero bit made up past the end of the data was used: the data ended inside a block.
    bool Overrun() const { return nbits < fake; }
    void Refill();
    bool Restart();
};

inline uint64_t load_be64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline bool has_ff_byte(uint64_t v)
{
    uint64_t x = ~v;  // a byte 0xFF of v is a zero byte of x
    return ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0;
}

// Called with fewer than 32 bits left; leaves more than 55.
inline void BitReader::Refill()
{
    // Most of the time the next bytes hold no 0xFF: all whole bytes that fit go in at once.
    if (!stopped && len - pos >= 8) {
        const int n = (63 - nbits) >> 3;
        const uint64_t head = load_be64(data + pos) & ~(~uint64_t{0} >> (8 * n));
        if (!has_ff_byte(head)) {
            acc |= head >> nbits;
            nbits += 8 * n;
            pos += static_cast<size_t>(n);
            return;
        }
    }
    // Byte by byte: a stuffed 0xFF 0x00 is one data byte, any other 0xFF starts a marker.
    while (nbits <= 56) {
        uint64_t byte = 0;
        if (stopped) {
            fake += 8;
        } else if (pos >= len) {
            stopped = true;
            continue;
        } else {
            byte = data[pos];
            if (byte == 0xFF) {
                if (pos + 1 >= len || data[pos + 1] != 0x00) {
                    stopped = true;  // a marker: the entropy data ends here
                    continue;
                }
                pos += 2;
            } else {
                pos += 1;
            }
        }
        acc |= byte << (56 - nbits);
        nbits += 8;
    }
}

// At a restart boundary the whole bytes still buffered but unread are given back, then the two
// bytes of the RSTn marker are skipped. A data byte 0xFF always comes as 0xFF 0x00, so the bytes
// given back can be counted backwards from pos.
inline bool BitReader::Restart()
{
    int real = nbits - fake;
    for (int whole = real > 0 ? real / 8 : 0; whole > 0; --whole)
        pos -= pos - start >= 2 && data[pos - 1] == 0x00 && data[pos - 2] == 0xFF ? 2 : 1;
    if (pos + 2 > len)
        return false;
    Reset(pos + 2);
    return true;
}

// The symbol whose code begins `peek` (the next 16 bits) and the code's length: -1 when no code
// matches, -2 when only a code longer than `max_len` bits could (the bits behind max_len are not
// looked at then).
int match_code(const HuffTable& t, uint32_t peek, int max_len, int* len)
{
    int idx = static_cast<int>(peek >> (16 - kFastBits));
    if (t.fast_len[idx]) {
        *len = t.fast_len[idx];
        return t.fast_sym[idx];
    }
    for (int l = kFastBits + 1; l <= max_len; ++l) {
        int32_t code = static_cast<int32_t>(peek >> (16 - l));
        if (code <= t.maxcode[l]) {
            int32_t i = code + t.valoffset[l];
            if (i < 0 || i >= t.count)
                return -1;  // cannot happen with canonical codes; kept as a guard
            *len = l;
            return t.symbols[i];
        }
    }
    return max_len < 16 ? -2 : -1;
}

inline int extend(int v, int s) { return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v; }

int DecodeBlock(BitReader& br, const HuffTable& dc, const HuffTable& ac, const float* q, int32_t& pred, float* coef,
                int& last_k)
{
    std::memset(coef, 0, 64 * sizeof(float));
    last_k = 0;
    br.Need32();
    int len = 0;
    int s = match_code(dc, br.Peek(16), 16, &len);
    if (s < 0)
        return kBlockBadDcCode;
    if (s > 16)
        return kBlockBadDcSize;
    br.Skip(len);
    int diff = s ? extend(br.Take(s), s) : 0;
    // Wraps instead of overflowing on hostile data; a real picture never gets near.
    pred = static_cast<int32_t>(static_cast<uint32_t>(pred) + static_cast<uint32_t>(diff));
    coef[0] = static_cast<float>(pred) * q[0];
    for (int k = 1; k < 64;) {
        br.Need32();
        int rs = match_code(ac, br.Peek(16), 16, &len);
        if (rs < 0)
            return kBlockBadAcCode;
        br.Skip(len);
        int r = rs >> 4, sz = rs & 0x0F;
        if (sz == 0) {
            if (r != 15)
                break;  // end of block
            k += 16;    // ZRL
            continue;
        }
        k += r;
        if (k > 63)
            return kBlockPastEnd;
        coef[kZigzag[k]] = static_cast<float>(extend(br.Take(sz), sz)) * q[k];
        last_k = k;
        ++k;
    }
    return br.Overrun() ? kBlockDataEnded : kBlockOk;
}

// A check needs no coefficients, only the codes: one lookup in a walk table resolves a code and
// its magnitude bits together, and often the code behind them too, so they are skipped at once.
// An entry holds the bits to skip, how far the coefficient index moves and what kind of step it is.
constexpr int kWalkBits = 11;
static_assert(kWalkBits >= kFastBits && kWalkBits < 16);

enum WalkKind : unsigned {
    kWalkCoef,       // a coefficient (or, in a DC table, the difference)
    kWalkCoefPair,   // two coefficients
    kWalkCoefEob,    // a coefficient and the end of block
    kWalkEob,        // end of block
    kWalkZrl,        // sixteen zeros
    kWalkNoCode,     // no code matches
    kWalkLong,       // a code longer than kWalkBits: decoded from 16 bits
    kWalkDcTooWide,  // a DC difference wider than 16 bits
};

// Bits to skip (up to 16 + 16) in bits 0-5, the advance (up to 16 + 16) in bits 6-11, the kind above.
constexpr uint16_t walk_entry(WalkKind kind, int skip, int advance)
{
    return static_cast<uint16_t>(kind << 12 | advance << 6 | skip);
}
constexpr WalkKind walk_kind(unsigned e) { return static_cast<WalkKind>(e >> 12); }
constexpr int walk_skip(unsigned e) { return e & 63; }
constexpr int walk_advance(unsigned e) { return e >> 6 & 63; }

uint16_t walk_step(bool dc, int sym, int len)
{
    if (sym < 0)
        return walk_entry(kWalkNoCode, 0, 0);
    if (dc)
        return sym > 16 ? walk_entry(kWalkDcTooWide, 0, 0) : walk_entry(kWalkCoef, len + sym, 0);
    int run = sym >> 4, size = sym & 0x0F;
    if (size == 0)
        return walk_entry(run == 15 ? kWalkZrl : kWalkEob, len, 0);
    return walk_entry(kWalkCoef, len + size, run + 1);
}

void build_walk(const HuffTable& t, bool dc, uint16_t* walk)
{
    constexpr uint32_t kSize = 1u << kWalkBits;
    uint16_t single[kSize];   // the step each prefix starts with
    uint8_t code_len[kSize];  // the length of its code where the prefix decides it, else 0
    for (uint32_t p = 0; p < kSize; ++p) {
        int len = 0;
        int sym = match_code(t, p << (16 - kWalkBits), kWalkBits, &len);
        single[p] = sym == -2 ? walk_entry(kWalkLong, 0, 0) : walk_step(dc, sym, len);
        code_len[p] = static_cast<uint8_t>(sym >= 0 ? len : 0);
    }
    for (uint32_t p = 0; p < kSize; ++p) {
        const uint16_t first = single[p];
        walk[p] = first;
        const int used = walk_skip(first);
        if (dc || walk_kind(first) != kWalkCoef || used >= kWalkBits)
            continue;
        // A second code wholly inside the prefix is taken along with the first. Its step is the
        // one of the prefix that starts behind the bits used (zeros fill the bits not known).
        const uint32_t rest = (p << used) & (kSize - 1);
        if (code_len[rest] == 0 || code_len[rest] > kWalkBits - used)
            continue;
        const uint16_t second = single[rest];
        if (walk_kind(second) == kWalkCoef)
            walk[p] = walk_entry(kWalkCoefPair, used + walk_skip(second), walk_advance(first) + walk_advance(second));
        else if (walk_kind(second) == kWalkEob)
            walk[p] = walk_entry(kWalkCoefEob, used + walk_skip(second), walk_advance(first));
    }
}

struct WalkTables {
    const uint16_t* dc_walk;
    const uint16_t* ac_walk;
    const HuffTable* dc;  // for codes longer than kWalkBits
    const HuffTable* ac;
};

// One step from the full 16-bit code match, where the table cannot give it.
inline unsigned walk_decode(BitReader& br, const HuffTable& t, bool dc)
{
    int len = 0;
    int sym = match_code(t, br.Peek(16), 16, &len);
    return walk_step(dc, sym, len);
}

// The same walk through one block's codes as DecodeBlock, without coefficients.
inline int WalkBlock(BitReader& br, const WalkTables& w)
{
    br.Need32();
    unsigned e = w.dc_walk[br.Peek(kWalkBits)];
    if (walk_kind(e) == kWalkLong)
        e = walk_decode(br, *w.dc, true);
    if (walk_kind(e) == kWalkNoCode)
        return kBlockBadDcCode;
    if (walk_kind(e) == kWalkDcTooWide)
        return kBlockBadDcSize;
    br.Skip(walk_skip(e));
    for (int k = 1;;) {  // k: the next coefficient's index
        br.Need32();
        e = w.ac_walk[br.Peek(kWalkBits)];
        int next = k + walk_advance(e);
        if (walk_kind(e) <= kWalkCoefPair && next < 64) {  // the common case: the block goes on
            br.Skip(walk_skip(e));
            k = next;
            continue;
        }
        if (walk_kind(e) == kWalkCoefEob && next < 64) {
            br.Skip(walk_skip(e));
            break;
        }
        // Near the block's end a pair may not belong to this block: one code at a time then.
        if (walk_kind(e) == kWalkLong || walk_kind(e) == kWalkCoefPair || walk_kind(e) == kWalkCoefEob)
            e = walk_decode(br, *w.ac, false);
        if (walk_kind(e) == kWalkNoCode)
            return kBlockBadAcCode;
        br.Skip(walk_skip(e));
        if (walk_kind(e) == kWalkCoef) {
            k += walk_advance(e);
            if (k < 64)
                continue;
            if (k > 64)
                return kBlockPastEnd;  // the run walked beyond coefficient 63
            break;
        }
        if (walk_kind(e) == kWalkEob)
            break;
        k += 16;  // ZRL
        if (k >= 64)
            break;
    }
    return br.Overrun() ? kBlockDataEnded : kBlockOk;
}

class JpegDecoder {
public:
    int Decode(const uint8_t* data, size_t length, uint16_t* target, size_t target_pixels, int* width, int* height);

private:
    // The scan, MCU by MCU, with pixels or (for a check) only walking the codes. false once a
    // block fails or a restart marker is missing (traced).
    template <bool kPixels>
    bool DecodeScan();
    void StoreMcu(int mx, int my);
    const uint16_t* Walk(int cls, int n);

    const uint8_t* data_ = nullptr;
    size_t len_ = 0;

    jpeg::Header h_;

    uint16_t* target_ = nullptr;
    size_t target_pixels_ = 0;
    size_t line_ = 0;
    uint8_t plane_[3][32 * 32];  // one MCU of samples per component (at most 4 x 4 blocks)
    // Where each luminance sample's chrominance sample lies in its plane: column index per
    // MCU column, offset of the row per MCU row (for the two chrominance components).
    uint8_t chroma_col_[2][32];
    uint16_t chroma_row_[2][32];
    // Walk tables by class and table number, built when the scan first needs them.
    uint16_t walk_[2][2][1 << kWalkBits];
    bool walk_built_[2][2] = {};
};

const uint16_t* JpegDecoder::Walk(int cls, int n)
{
    if (!walk_built_[cls][n]) {
        build_walk(h_.huff[cls][n], cls == 0, walk_[cls][n]);
        walk_built_[cls][n] = true;
    }
    return walk_[cls][n];
}

void JpegDecoder::StoreMcu(int mx, int my)
{
    const int mcu_w = 8 * h_.comp[0].h, mcu_h = 8 * h_.comp[0].v;
    const size_t x0 = static_cast<size_t>(mx) * mcu_w;
    const size_t y0 = static_cast<size_t>(my) * mcu_h;
    if (x0 >= line_)
        return;
    for (int yy = 0; yy < mcu_h; ++yy) {
        size_t gy = y0 + yy;
        if (gy >= static_cast<size_t>(h_.height))
            break;
        size_t start = gy * line_ + x0;
        if (start >= target_pixels_)
            break;
        size_t n = std::min<size_t>({static_cast<size_t>(mcu_w), line_ - x0, target_pixels_ - start});
        uint16_t* out = target_ + start;
        const uint8_t* ys = plane_[0] + yy * mcu_w;
        if (h_.ncomp == 1) {
            for (size_t i = 0; i < n; ++i)
                out[i] = rgb565(ys[i], ys[i], ys[i]);
            continue;
        }
        const uint8_t* cbs = plane_[1] + chroma_row_[0][yy];
        const uint8_t* crs = plane_[2] + chroma_row_[1][yy];
        for (size_t i = 0; i < n; ++i) {
            int y = ys[i];
            int cb = cbs[chroma_col_[0][i]] - 128;
            int cr = crs[chroma_col_[1][i]] - 128;
            int r = clamp_byte(y + ((91881 * cr + 32768) >> 16));
            int g = clamp_byte(y + ((-22554 * cb - 46802 * cr + 32768) >> 16));
            int b = clamp_byte(y + ((116130 * cb + 32768) >> 16));
            out[i] = rgb565(r, g, b);
        }
    }
}

template <bool kPixels>
bool JpegDecoder::DecodeScan()
{
    const int h0 = h_.comp[0].h, v0 = h_.comp[0].v;
    const int mcus_x = (h_.width + 8 * h0 - 1) / (8 * h0);
    const int mcus_y = (h_.height + 8 * v0 - 1) / (8 * v0);
    // Dequantisation with the inverse DCT's scale factors folded in, per component.
    float q[3][64];
    int32_t pred[3] = {0, 0, 0};
    float coef[64];
    int last_k = 0;
    WalkTables walk[3] = {};
    if constexpr (kPixels) {
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 64; ++k)
                q[c][k] = static_cast<float>(h_.qt[h_.comp[c].tq][k]) * aan_scale().k[k];
        for (int c = 0; c < 2; ++c) {
            const Component& cc = h_.comp[c + 1];
            for (int i = 0; i < 8 * h0; ++i)
                chroma_col_[c][i] = static_cast<uint8_t>(i * cc.h / h0);
            for (int i = 0; i < 8 * v0; ++i)
                chroma_row_[c][i] = static_cast<uint16_t>((i * cc.v / v0) * 8 * cc.h);
        }
    } else {
        for (int c = 0; c < h_.ncomp; ++c) {
            const int dc = c == 0 ? h_.luma_dc : h_.chroma_dc, ac = c == 0 ? h_.luma_ac : h_.chroma_ac;
            walk[c] = {Walk(0, dc), Walk(1, ac), &h_.huff[0][dc], &h_.huff[1][ac]};
        }
    }
    uint64_t count = 0;

    BitReader br;
    br.data = data_;
    br.len = len_;
    br.Reset(h_.scan_start);
    for (int my = 0; my < mcus_y; ++my) {
        for (int mx = 0; mx < mcus_x; ++mx, ++count) {
            if (h_.restart_interval && count > 0 && count % h_.restart_interval == 0) {
                if (!br.Restart()) {
                    trace("JPEG Decode ERROR.\n");
                    return false;
                }
                pred[0] = pred[1] = pred[2] = 0;
            }
            for (int c = 0; c < h_.ncomp; ++c) {
                const HuffTable& dc = h_.huff[0][c == 0 ? h_.luma_dc : h_.chroma_dc];
                const HuffTable& ac = h_.huff[1][c == 0 ? h_.luma_ac : h_.chroma_ac];
                const int bw = h_.comp[c].h, bh = h_.comp[c].v;
                for (int by = 0; by < bh; ++by) {
                    for (int bx = 0; bx < bw; ++bx) {
                        int ret;
                        if constexpr (kPixels)
                            ret = DecodeBlock(br, dc, ac, q[c], pred[c], coef, last_k);
                        else
                            ret = WalkBlock(br, walk[c]);
                        if (ret != kBlockOk) {
                            trace("funcret%d = %x\n", c + 1, static_cast<unsigned>(ret));
                            trace("JPEG Decode ERROR.\n");
                            return false;
                        }
                        if constexpr (kPixels)
                            idct_block(coef, last_k, plane_[c] + by * 8 * (8 * bw) + bx * 8, 8 * bw);
                    }
                }
            }
            if constexpr (kPixels)
                StoreMcu(mx, my);
        }
    }
    return true;
}

int JpegDecoder::Decode(const uint8_t* data, size_t length, uint16_t* target, size_t target_pixels, int* width,
                        int* height)
{
    data_ = data;
    len_ = data ? length : 0;
    if (!jpeg::ReadHeader(data_, len_, &h_)) {
        trace("InitTag error\n");
        return kJpegDecodeFailed;
    }
    for (int i = 0; i < h_.ncomp; ++i) {
        if (h_.comp[i].h == 0 || h_.comp[i].v == 0) {
            trace("JPEG Decode ERROR.\n");
            return kJpegDecodeFailed;
        }
    }
    if (h_.ncomp == 0 || !jpeg::TablesUsable(h_)) {
        trace("JPEG Decode ERROR.\n");
        return kJpegDecodeFailed;
    }
    line_ = JpegLinePixels(h_.width);
    target_ = target;
    target_pixels_ = target ? target_pixels : 0;
    trace("<<imgwidth=%d, imgheight=%d, linebytes=%d>>\n", h_.width, h_.height, static_cast<int>(line_ * 2));

    if (!(target_pixels_ > 0 ? DecodeScan<true>() : DecodeScan<false>()))
        return kJpegDecodeFailed;
    trace("decode success!!!!\n");
    if (width)
        *width = h_.width;
    if (height)
        *height = h_.height;
    return kJpegDecodeOk;
}

}  // namespace

size_t JpegLinePixels(int width) { return width <= 0 ? 0 : (static_cast<size_t>(width) + 7) & ~static_cast<size_t>(7); }

int DecodeJpeg(const unsigned char* data, size_t length, uint16_t* target, size_t target_pixels, int* width,
               int* height)
{
    JpegDecoder decoder;
    return decoder.Decode(data, length, target, target_pixels, width, height);
}

void jpeg_set_trace_sink(JpegTraceSink sink) { g_trace_sink.store(sink, std::memory_order_release); }

void jpeg_trace_silent(const char*) { }

void jpeg_trace_stderr(const char* text) { console_to_stderr(text, std::strlen(text)); }

#include "util/base64.h"

#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kPad = 64;
constexpr int kBad = -1;

// Value of a character, kPad for "=", kBad for anything else.
constexpr int char_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return kPad;
    return kBad;
}

}  // namespace

int base64_encode(const void* data, int len, char* out, int out_size)
{
    if (!data || !out || len < 0)
        return -1;
    // 64-bit so a length near the int limit cannot wrap into a small "fitting" size.
    int64_t encoded = (int64_t(len) + 2) / 3 * 4;
    if (encoded >= out_size || encoded > INT32_MAX)
        return -1;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    char* o = out;
    int i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    int rest = len - i;
    if (rest > 0) {
        uint32_t v = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    *o = '\0';
    return int(encoded);
}

int base64_decode(const char* text, int len, void* out, int out_size)
{
    if (!text || !out || len < 0 || len % 4 != 0)
        return -1;
    if (out_size < len / 4 * 3)
        return -2;
    uint8_t* o = static_cast<uint8_t*>(out);
    int result = 0;
    for (int g = 0; g < len; g += 4) {
        int v[4];
        int pads = 0;
        for (int k = 0; k < 4; ++k) {
            v[k] = char_value(static_cast<unsigned char>(text[g + k]));
            if (v[k] == kBad)
                return -1;
            if (v[k] == kPad) {
                if (k < 2)
                    return -1;
                ++pads;
            } else if (pads > 0) {
                return -1;  // a data character after "=" in the same group
            }
        }
        uint8_t bytes[3] = {
            uint8_t(v[0] << 2 | v[1] >> 4),
            uint8_t((v[1] & 15) << 4 | (v[2] & 63) >> 2),
            uint8_t((v[2] & 3) << 6 | (v[3] & 63)),
        };
        // Only the bytes that belong to the result are written; the caller's bytes past it stay
        // as they were. A padded group mid-text simply joins its bytes on.
        for (int k = 0; k < 3 - pads; ++k)
            o[result + k] = bytes[k];
        result += 3 - pads;
    }
    return result;
}

#include "util/digest.h"

#include "util/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store_le32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void transform(uint32_t state[4], const uint8_t block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int g;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        uint32_t next = b + rotl(a + f + kSine[i] + x[g], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void to_hex(const uint8_t digest[16], char* out, const char* digits)
{
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    out[32] = '\0';
}

constexpr const char* kLowerDigits = "0123456789abcdef";
constexpr const char* kUpperDigits = "0123456789ABCDEF";

// md5_hex of the parts joined by ':'. Short texts stay on the stack; long ones get a buffer of
// their exact size. False when that allocation fails.
template <size_t N>
bool md5_hex_joined(const char* const (&parts)[N], char out[33])
{
    size_t total = N - 1;
    for (const char* p : parts)
        total += std::strlen(p);
    char local[256];
    char* buf = local;
    if (total >= sizeof local) {
        buf = static_cast<char*>(std::malloc(total));
        if (!buf)
            return false;
    }
    size_t pos = 0;
    for (size_t i = 0; i < N; ++i) {
        if (i > 0)
            buf[pos++] = ':';
        size_t n = std::strlen(parts[i]);
        std::memcpy(buf + pos, parts[i], n);
        pos += n;
    }
    md5_hex(buf, pos, out);
    if (buf != local)
        std::free(buf);
    return true;
}

}  // namespace

void md5_init(Md5Context* ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void md5_update(Md5Context* ctx, const void* data, size_t len)
{
    if (len == 0)
        return;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = (ctx->count[0] >> 3) & 0x3f;
    uint64_t bits = (uint64_t(ctx->count[1]) << 32 | ctx->count[0]) + (uint64_t(len) << 3);
    ctx->count[0] = uint32_t(bits);
    ctx->count[1] = uint32_t(bits >> 32);

    size_t room = 64 - used;
    size_t i = 0;
    if (len >= room) {
        std::memcpy(ctx->buffer + used, in, room);
        transform(ctx->state, ctx->buffer);
        for (i = room; i + 64 <= len; i += 64)
            transform(ctx->state, in + i);
        used = 0;
    }
    std::memcpy(ctx->buffer + used, in + i, len - i);
}

void md5_final(Md5Context* ctx, uint8_t out[16])
{
    uint8_t bits[8];
    store_le32(bits, ctx->count[0]);
    store_le32(bits + 4, ctx->count[1]);
    size_t used = (ctx->count[0] >> 3) & 0x3f;
    size_t pad = used < 56 ? 56 - used : 120 - used;
    static const uint8_t kPadding[64] = {0x80};
    md5_update(ctx, kPadding, pad);
    md5_update(ctx, bits, 8);
    for (int i = 0; i < 4; ++i)
        store_le32(out + 4 * i, ctx->state[i]);
    std::memset(ctx, 0, sizeof *ctx);
}

void md5_raw(const void* data, size_t len, uint8_t out[16])
{
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, len);
    md5_final(&ctx, out);
}

char* md5_hex(const void* data, size_t len, char out[33])
{
    uint8_t digest[16];
    md5_raw(data, len, digest);
    to_hex(digest, out, kLowerDigits);
    return out;
}

char* md5_final_hex(Md5Context* ctx, char* out)
{
    if (!out) {
        out = static_cast<char*>(std::malloc(kMd5HexSize));
        if (!out)
            return nullptr;
    }
    uint8_t digest[16];
    md5_final(ctx, digest);
    to_hex(digest, out, kLowerDigits);
    return out;
}

char* md5_file_hex(const char* path, char* out)
{
    if (!path)
        return nullptr;
    // Binary mode: a text-mode read would alter the bytes being hashed on some platforms.
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return nullptr;
    Md5Context ctx;
    md5_init(&ctx);
    unsigned char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        md5_update(&ctx, chunk, n);
    // A read error must not pass as the digest of the bytes read so far.
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        std::memset(&ctx, 0, sizeof ctx);
        return nullptr;
    }
    return md5_final_hex(&ctx, out);
}

int getmd5(const void* data, size_t len, char* out, int out_size)
{
    if (!data || !out || out_size <= 32) {
        console_print("getmd5 param error\n");
        return -1;
    }
    uint8_t digest[16];
    md5_raw(data, len, digest);
    to_hex(digest, out, kUpperDigits);
    return 1;
}

int getmd5(const char* text, char* out, int out_size)
{
    return getmd5(static_cast<const void*>(text), text ? std::strlen(text) : 0, out, out_size);
}

void hmac_md5(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t out[16])
{
    uint8_t short_key[16];
    if (key_len > 64) {
        md5_raw(key, key_len, short_key);
        key = short_key;
        key_len = sizeof short_key;
    }
    uint8_t ipad[65] = {0};
    uint8_t opad[65] = {0};
    if (key_len > 0) {
        std::memcpy(ipad, key, key_len);
        std::memcpy(opad, key, key_len);
    }
    for (int i = 0; i < 64; ++i) {
        ipad[i] ^= 0x36;
        opad[i] ^= 0x5c;
    }
    Md5Context ctx;
    uint8_t inner[16];
    md5_init(&ctx);
    md5_update(&ctx, ipad, 64);
    md5_update(&ctx, msg, msg_len);
    md5_final(&ctx, inner);
    md5_init(&ctx);
    md5_update(&ctx, opad, 64);
    md5_update(&ctx, inner, sizeof inner);
    md5_final(&ctx, out);
}

char* createResponseString(const char* user, const char* realm, const char* password, bool ha1_given,
                           const char* method, const char* uri, const char* nonce, char out[33], const char* qop,
                           const char* nc, const char* cnonce)
{
    if (!user || !realm || !password || !method || !uri || !nonce || !out) {
        console_text("createResponseString param fail:%d,%d,%d,%d,%d,%d \n", !user, !realm, !password, !method, !uri,
                     !nonce);
        return nullptr;
    }
    char ha1[33];
    if (ha1_given) {
        // A given HA1 is the full 32 hex digits; cutting it shorter would make every response wrong.
        size_t n = strnlen(password, 32);
        std::memcpy(ha1, password, n);
        ha1[n] = '\0';
    } else {
        const char* const parts[] = {user, realm, password};
        if (!md5_hex_joined(parts, ha1))
            return nullptr;
    }
    char ha2[33];
    {
        const char* const parts[] = {method, uri};
        if (!md5_hex_joined(parts, ha2))
            return nullptr;
    }
    // The result goes through a local buffer so out is untouched on failure.
    char response[33];
    bool ok;
    if (qop && nc && cnonce) {
        const char* const parts[] = {ha1, nonce, nc, cnonce, qop, ha2};
        ok = md5_hex_joined(parts, response);
    } else {
        const char* const parts[] = {ha1, nonce, ha2};
        ok = md5_hex_joined(parts, response);
    }
    if (!ok)
        return nullptr;
    std::memcpy(out, response, sizeof response);
    return out;
}

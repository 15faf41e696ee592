// MD5 (RFC 1321) with its hexadecimal forms, HMAC-MD5 (RFC 2104) and the response value of
// HTTP digest access authentication (RFC 2617). No state between calls; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];   // chaining values A, B, C, D
    uint32_t count[2];   // message bits hashed so far, low word first (modulo 2^64)
    uint8_t buffer[64];  // the current, incomplete block
};
static_assert(sizeof(Md5Context) == 88, "Md5Context is a fixed 88-byte record");

constexpr int kMd5Size = 16;     // raw digest bytes
constexpr int kMd5HexSize = 33;  // 32 hex digits and the terminator

void md5_init(Md5Context* ctx);
void md5_update(Md5Context* ctx, const void* data, size_t len);
// Writes the digest, then zero-fills the whole context.
void md5_final(Md5Context* ctx, uint8_t out[16]);
void md5_raw(const void* data, size_t len, uint8_t out[16]);

// Lower-case hex forms. Each returns its output. md5_final_hex and md5_file_hex allocate 33
// bytes with malloc when out is null (the caller frees them) and return null when that fails;
// md5_file_hex also returns null when the file cannot be opened or read to its end.
char* md5_hex(const void* data, size_t len, char out[33]);
char* md5_final_hex(Md5Context* ctx, char* out);
char* md5_file_hex(const char* path, char* out);

// Upper-case hex with its terminator. 1 on success; -1 (and the console line
// "getmd5 param error\n") when data or out is missing or out_size is 32 or less.
int getmd5(const void* data, size_t len, char* out, int out_size);
int getmd5(const char* text, char* out, int out_size);

void hmac_md5(const void* key, size_t key_len, const void* msg, size_t msg_len, uint8_t out[16]);

// The digest response: md5_hex(HA1 ":" nonce ":" HA2) with HA1 = md5_hex(user ":" realm ":"
// password), or password itself when ha1_given is set, and HA2 = md5_hex(method ":" uri).
// With qop, nc and cnonce all given, the quality-of-protection form is computed instead:
// md5_hex(HA1 ":" nonce ":" nc ":" cnonce ":" qop ":" HA2).
// Returns out, or null with nothing written when any of the six texts (or out) is missing.
char* createResponseString(const char* user, const char* realm, const char* password, bool ha1_given,
                           const char* method, const char* uri, const char* nonce, char out[33],
                           const char* qop = nullptr, const char* nc = nullptr, const char* cnonce = nullptr);

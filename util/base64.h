// Base64 of RFC 4648 (standard alphabet, "=" padding).
#pragma once

// Writes the encoded text and its terminator into out. Returns the encoded length, or -1 when
// data or out is missing, len is negative, or out_size has no room for the text and its NUL.
int base64_encode(const void* data, int len, char* out, int out_size);

// Decodes len characters of text into out (not NUL-terminated) and returns the decoded length.
// -1: text or out missing, len negative or not a multiple of 4, a character outside the
// alphabet, or misplaced padding (within a group "=" stands only at positions 2 and 3 and
// nothing but "=" follows it). Each group's bytes follow the previous group's result.
// -2: out_size smaller than len / 4 * 3. Nothing is ever written past the decoded length.
int base64_decode(const char* text, int len, void* out, int out_size);

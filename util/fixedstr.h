// Fixed-width text fields: NUL-padded byte arrays that may hold no terminator when the value
// fills the width. Every read goes through fixed_view (stops at the first NUL or at the
// width) and every write through fixed_copy (bounded by the width).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

template <size_t N>
inline std::string_view fixed_view(const char (&field)[N])
{
    const void* nul = std::memchr(field, '\0', N);
    return std::string_view(field, nul ? static_cast<const char*>(nul) - field : N);
}

inline std::string_view fixed_view(const char* field, size_t width)
{
    if (!field)
        return {};
    const void* nul = std::memchr(field, '\0', width);
    return std::string_view(field, nul ? static_cast<const char*>(nul) - field : width);
}

// A terminated copy of the field, for printf-style formatting.
template <size_t N>
inline std::string fixed_str(const char (&field)[N])
{
    return std::string(fixed_view(field));
}

// Copies at most N bytes of src and pads the rest with NUL; a value of N bytes or more fills
// the whole field with no terminator.
template <size_t N>
inline void fixed_copy(char (&field)[N], std::string_view src)
{
    size_t n = src.size() < N ? src.size() : N;
    std::memcpy(field, src.data(), n);
    std::memset(field + n, 0, N - n);
}

inline void fixed_copy(char* field, size_t width, std::string_view src)
{
    size_t n = src.size() < width ? src.size() : width;
    std::memcpy(field, src.data(), n);
    std::memset(field + n, 0, width - n);
}

template <size_t N>
inline bool fixed_equals(const char (&field)[N], std::string_view value)
{
    return fixed_view(field) == value;
}

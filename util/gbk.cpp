#include "util/gbk.h"

#include <cerrno>
#include <vector>

#ifdef _WIN32
#include <windows.h>

namespace {

// Length of the GBK character at p (1 or 2 bytes); 0 when the lead byte starts none.
size_t char_len(const unsigned char* p, size_t left)
{
    if (p[0] < 0x80)
        return 1;
    if (p[0] == 0x80 || p[0] == 0xFF || left < 2)
        return 0;
    return (p[1] >= 0x40 && p[1] != 0x7F && p[1] != 0xFF) ? 2 : 0;
}

}  // namespace

std::string gbk_to_utf8(std::string_view gbk)
{
    constexpr UINT kGbk = 936;
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(gbk.data());
    size_t left = gbk.size();
    while (left > 0) {
        size_t n = char_len(p, left);
        wchar_t wide[2];
        int w = n ? ::MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(p), int(n), wide, 2)
                  : 0;
        char utf8[8];
        int u = w > 0 ? ::WideCharToMultiByte(CP_UTF8, 0, wide, w, utf8, sizeof utf8, nullptr, nullptr) : 0;
        if (u > 0) {
            out.append(utf8, size_t(u));
        } else {
            out += "\xEF\xBF\xBD";
            n = 1;
        }
        p += n;
        left -= n;
    }
    return out;
}

namespace {

constexpr UINT kGbkPage = 936;

bool to_gbk(UINT from, std::string_view text, std::string& gbk)
{
    gbk.clear();
    if (text.empty())
        return true;
    int n = ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<size_t>(n));
    ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), wide.data(), n);
    BOOL lossy = FALSE;
    int m = ::WideCharToMultiByte(kGbkPage, WC_NO_BEST_FIT_CHARS, wide.data(), n, nullptr, 0, nullptr, &lossy);
    if (m <= 0 || lossy)
        return false;
    gbk.resize(size_t(m));
    ::WideCharToMultiByte(kGbkPage, WC_NO_BEST_FIT_CHARS, wide.data(), n, gbk.data(), m, nullptr, &lossy);
    return !lossy;
}

}  // namespace

bool utf8_to_gbk(std::string_view utf8, std::string& gbk) { return to_gbk(CP_UTF8, utf8, gbk); }

bool native_to_gbk(std::string_view text, std::string& gbk) { return to_gbk(CP_ACP, text, gbk); }

#else
#include <iconv.h>

std::string gbk_to_utf8(std::string_view gbk)
{
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(gbk);
    std::vector<char> in(gbk.begin(), gbk.end());
    char* src = in.data();
    size_t left = in.size();
    char buf[512];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out += "\xEF\xBF\xBD";
            ++src;
            --left;
        }
    }
    iconv_close(cd);
    return out;
}

bool utf8_to_gbk(std::string_view utf8, std::string& gbk)
{
    gbk.clear();
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        gbk.assign(utf8);
        return true;
    }
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::vector<char> in(utf8.begin(), utf8.end());
    char* src = in.data();
    size_t left = in.size();
    bool ok = true;
    char buf[512];
    while (ok && left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        gbk.append(buf, static_cast<size_t>(dst - buf));
        // Anything but a full buffer is a character without a GBK form or broken UTF-8.
        ok = r != static_cast<size_t>(-1) || errno == E2BIG;
    }
    iconv_close(cd);
    if (!ok)
        gbk.clear();
    return ok;
}

bool native_to_gbk(std::string_view text, std::string& gbk) { return utf8_to_gbk(text, gbk); }
#endif

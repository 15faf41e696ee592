// Token and address checks of `dravlinctl serve`; _CRT_RAND_S makes the C runtime's rand_s
// (the system's random source) visible on Windows.
#define _CRT_RAND_S
#include "cli/serve_guard.h"

#include "base/sock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace dravlinctl::serve {

namespace {

bool parse_port(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535)
        return false;
    port = static_cast<uint16_t>(v);
    return true;
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

bool parse_listen(const std::string& text, ListenAddress& out)
{
    ListenAddress a;
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    if (colon != std::string::npos && !parse_port(text.substr(colon + 1), a.port))
        return false;
    if (!host.empty()) {
        if (host.size() > 15 || !ipv4_parse(host.c_str(), nullptr))
            return false;
        a.host = host;
    }
    out = a;
    return true;
}

bool host_allowed(const ListenAddress& listen, const std::string& host)
{
    const size_t colon = host.rfind(':');
    std::string name = lower(colon == std::string::npos ? host : host.substr(0, colon));
    uint16_t port = 80;
    if (colon != std::string::npos && !parse_port(host.substr(colon + 1), port))
        return false;
    if (port != listen.port)
        return false;
    return name == "localhost" || name == listen.host;
}

bool origin_allowed(const ListenAddress& listen, const std::string& origin)
{
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0)
        return false;
    return host_allowed(listen, origin.substr(scheme.size()));
}

bool bearer_matches(const std::string& token, const std::string& authorization)
{
    const std::string expected = "Bearer " + token;
    // Every byte of the longer text is looked at, whatever differs first.
    const size_t n = std::max(expected.size(), authorization.size());
    unsigned diff = expected.size() == authorization.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char a = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        const unsigned char b = i < authorization.size() ? static_cast<unsigned char>(authorization[i]) : 0;
        diff |= static_cast<unsigned>(a ^ b);
    }
    return diff == 0 && !token.empty();
}

std::string token_problem(const std::string& text)
{
    if (text.size() < 16)
        return "the token is shorter than 16 characters";
    if (text.size() > 256)
        return "the token is longer than 256 characters";
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_' && c != '~' && c != '+' &&
            c != '/' && c != '=')
            return "the token may hold only letters, digits and - . _ ~ + / =";
    }
    return "";
}

std::string new_token()
{
    unsigned char bytes[32];
#ifdef _WIN32
    for (size_t i = 0; i < sizeof bytes; i += 4) {
        unsigned int v = 0;
        if (rand_s(&v) != 0)
            return "";
        for (size_t k = 0; k < 4; ++k)
            bytes[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
#else
    std::ifstream in("/dev/urandom", std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        return "";
#endif
    std::string out;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        out += hex;
    }
    return out;
}

int refusal(const ListenAddress& listen, const std::string& token, bool needs_token, const std::string& host,
            bool has_origin, const std::string& origin, const std::string& authorization)
{
    if (!host_allowed(listen, host) || (has_origin && !origin_allowed(listen, origin)))
        return 403;
    if (needs_token && !bearer_matches(token, authorization))
        return 401;
    return 0;
}

}  // namespace dravlinctl::serve

// Who may talk to `dravlinctl serve`: the checks every request passes before it is handled. A
// page of any web site the operator opens could otherwise drive the tool through 127.0.0.1, so
// every API call carries the token (on loopback too), and a request whose Host or Origin names
// anything but the listening address or localhost is refused (DNS rebinding, cross-site
// requests). Pure code over the request's texts, tested without a server.
#pragma once

#include <cstdint>
#include <string>

namespace dravlinctl::serve {

// Where the server listens: a dotted IPv4 address and a port.
struct ListenAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 8765;
};

// "ADDR:PORT", "ADDR" (port 8765) or ":PORT" (127.0.0.1); false for anything else (a name to
// look up included: the address the pages use must be the one the server checks).
bool parse_listen(const std::string& text, ListenAddress& out);

// Whether a Host header names the server: its listening address or "localhost", with its port
// (no port only when it listens on 80). Case-insensitive for the name.
bool host_allowed(const ListenAddress& listen, const std::string& host);

// Whether an Origin header (present) is this server's own: "http://" and an allowed host.
bool origin_allowed(const ListenAddress& listen, const std::string& origin);

// Compares the Authorization header with "Bearer " + token without an early exit, so the time
// taken says nothing about how much of it was right.
bool bearer_matches(const std::string& token, const std::string& authorization);

// "" when text can be a token (16 to 256 characters of letters, digits and - . _ ~ + / =, as
// a header and a URL's fragment carry them unchanged); otherwise why not.
std::string token_problem(const std::string& text);

// A new token of 32 random bytes as 64 hex digits from the system's random source; "" when
// it gives none.
std::string new_token();

// What a request is refused with before any handler sees it, or 0 when it may go on: 403 for
// a foreign Host or Origin, 401 without the right token where one is needed (everything but
// the page's own files).
int refusal(const ListenAddress& listen, const std::string& token, bool needs_token, const std::string& host,
            bool has_origin, const std::string& origin, const std::string& authorization);

}  // namespace dravlinctl::serve

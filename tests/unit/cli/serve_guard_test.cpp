// Who may talk to `dravlinctl serve`: the guard's decisions as a table (Host, Origin, token),
// the listening address and the token's form.
#include "cli/serve_guard.h"

#include <gtest/gtest.h>

#include <string>

using namespace dravlinctl::serve;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

TEST(ServeGuard, RefusesForeignHostsOriginsAndMissingTokens)
{
    ListenAddress listen;
    ASSERT_TRUE(parse_listen("127.0.0.1:8765", listen));
    const std::string bearer = "Bearer " + kToken;
    const struct {
        const char* why;
        bool api;
        std::string host;
        bool has_origin;
        std::string origin, authorization;
        int expected;
    } cases[] = {
        {"the page itself, no token", false, "127.0.0.1:8765", false, "", "", 0},
        {"an API call with the token", true, "127.0.0.1:8765", false, "", bearer, 0},
        {"localhost, any case", true, "LocalHost:8765", true, "http://localhost:8765", bearer, 0},
        {"no token", true, "127.0.0.1:8765", false, "", "", 401},
        {"a wrong token", true, "127.0.0.1:8765", false, "", "Bearer " + kToken + "0", 401},
        {"the token without its scheme", true, "127.0.0.1:8765", false, "", kToken, 401},
        {"a token that is one short", true, "127.0.0.1:8765", false, "", bearer.substr(0, bearer.size() - 1), 401},
        {"DNS rebinding: a foreign name", true, "evil.example:8765", false, "", bearer, 403},
        {"a foreign name for the page too", false, "evil.example:8765", false, "", "", 403},
        {"another port", true, "127.0.0.1:8766", false, "", bearer, 403},
        {"no port where it is not 80", true, "127.0.0.1", false, "", bearer, 403},
        {"no Host at all", true, "", false, "", bearer, 403},
        {"a cross-site request", true, "127.0.0.1:8765", true, "http://evil.example", bearer, 403},
        {"an https origin", true, "127.0.0.1:8765", true, "https://127.0.0.1:8765", bearer, 403},
        {"the null origin", true, "127.0.0.1:8765", true, "null", bearer, 403},
        {"a foreign Host outranks a missing token", true, "evil.example:8765", false, "", "", 403},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusal(listen, kToken, c.api, c.host, c.has_origin, c.origin, c.authorization), c.expected) << c.why;
    EXPECT_FALSE(bearer_matches("", "Bearer ")) << "no token matches nothing";
}

TEST(ServeGuard, ListenAddressesAndTokens)
{
    const struct {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } listens[] = {
        {"127.0.0.1:8765", true, "127.0.0.1", 8765},
        {"10.77.0.1:80", true, "10.77.0.1", 80},
        {"127.0.0.1", true, "127.0.0.1", 8765},
        {":9000", true, "127.0.0.1", 9000},
        {"localhost:8765", false, "", 0},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:x", false, "", 0},
        {"1.2.3.4.5:80", false, "", 0},
    };
    for (const auto& l : listens) {
        ListenAddress a;
        EXPECT_EQ(parse_listen(l.text, a), l.ok) << l.text;
        if (l.ok) {
            EXPECT_EQ(a.host, l.host) << l.text;
            EXPECT_EQ(a.port, l.port) << l.text;
        }
    }
    EXPECT_EQ(token_problem(kToken), "");
    EXPECT_NE(token_problem("short"), "");
    EXPECT_NE(token_problem(std::string(257, 'a')), "");
    EXPECT_NE(token_problem(kToken + " x"), "") << "a space would not survive a header";
    const std::string made = new_token();
    EXPECT_EQ(made.size(), 64u);
    EXPECT_EQ(token_problem(made), "");
    EXPECT_NE(made, new_token());
}

}  // namespace

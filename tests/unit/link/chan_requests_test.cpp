// The NVR channel-table requests against a fake recorder on 127.0.0.1: the exact frame of each,
// the slot rules, the refused texts, and an add too large for one body buffer.
#include "link/chan_requests.h"

#include "link/requests.h"

#include "link_harness.h"
#include "common/log_capture.h"
#include "util/fixedstr.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace link_test;

namespace {

ChannelParam record(int id, int protocol, int port, const char* ip, const char* user, const char* pass)
{
    ChannelParam r{};
    r.ChannelId = id;
    r.Protocol = protocol;
    r.CtrlPort = port;
    fixed_copy(r.IpAddr, ip);
    fixed_copy(r.Username, user);
    fixed_copy(r.Password, pass);
    return r;
}

std::vector<std::string>& console_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

void capture_console(const char* text, size_t len)
{
    std::lock_guard<std::mutex> lk(log_mutex());
    console_lines().emplace_back(text, len);
}

template <class T, size_t N>
size_t cases_count(const T (&)[N])
{
    return N;
}

struct ChanRequests : LogCapture {
    LinkedDevice dev{0};

    void SetUp() override
    {
        LogCapture::SetUp();
        rec().clear();
        ASSERT_EQ(ipc_init(), 1);
        ASSERT_TRUE(dev.login());
    }
    void TearDown() override
    {
        ipc_logout_all();
        rec().clear();
        LogCapture::TearDown();
    }
    void expect_nothing_sent(const std::string& what)
    {
        ASSERT_EQ(ipc_sys_Request1031(0), 0) << what;
        EXPECT_EQ(dev.next_frame(), request_frame("SYSTEM_CONTROL_MESSAGE", "1031", "")) << what;
    }
};

TEST_F(ChanRequests, EachRequestSendsItsExactFrame)
{
    const ChannelParam two[] = {record(0, 0, 8091, "10.0.0.5", "admin", "470213"),
                                record(4, 1, 80, "10.0.0.255", "", "p w\xB0\xA1")};
    struct Case {
        const char* what;
        std::function<int()> op;
        const char* code;
        const char* body;  // null: the body-less envelope
    } cases[] = {
        {"search start", [] { return nvr_search_start(); }, "3801", nullptr},
        {"search stop", [] { return nvr_search_stop(); }, "3802", nullptr},
        {"channel table", [] { return nvr_chan_getlist(0); }, "3803", nullptr},
        {"add two", [&] { return nvr_chan_add(2, two); }, "3804",
         "<ChannelInfo\nChannelId=\"0\"\nProtocol=\"MVK\"\nIPAddress=\"10.0.0.5\"\nCtrlPort=\"8091\"\n"
         "Username=\"admin\"\nPassword=\"470213\"\n/>\n"
         "<ChannelInfo\nChannelId=\"4\"\nProtocol=\"ONVIF\"\nIPAddress=\"10.0.0.255\"\nCtrlPort=\"80\"\n"
         "Username=\"\"\nPassword=\"p w\xB0\xA1\"\n/>\n"},
        {"delete", [] { return nvr_chan_del(3); }, "3805", "<REQUEST_PARAM \nChannelId=\"3\"\n/>"},
        {"delete all", [] { return nvr_chan_del(kNvrChanAll); }, "3805", "<REQUEST_PARAM \nChannelId=\"255\"\n/>"},
        {"swap", [] { return nvr_chan_swap(1, 6); }, "3806", "<REQUEST_PARAM \nChannelId1=\"1\"\nChannelId2=\"6\"\n/>"},
        {"canvas", [] { return nvr_set_picnum(16); }, "3807", "<REQUEST_PARAM \nPicNum=\"16\"\n/>"},
        {"next page", [] { return nvr_page_turn(1); }, "3808", "<REQUEST_PARAM\nPrevOrNext=\"1\"\n/>"},
        {"previous page", [] { return nvr_page_turn(0); }, "3808", "<REQUEST_PARAM\nPrevOrNext=\"0\"\n/>"},
    };
    console_lines().clear();
    log_set_console_sink(capture_console);
    for (const auto& c : cases) {
        EXPECT_EQ(c.op(), 0) << c.what;
        EXPECT_EQ(dev.next_frame(), request_frame("SYSTEM_CONFIG_GET_MESSAGE", c.code, c.body)) << c.what;
    }
    log_set_console_sink(nullptr);  // no link thread writes console lines after this
    // The add is shown before it goes out, without the cameras' passwords; no diagnostic line
    // (the login's in SetUp included) carries a password at all.
    EXPECT_TRUE(logged_prefix("xml:\n:<ChannelInfo\nChannelId=\"0\"\nProtocol=\"MVK\"\nIPAddress=\"10.0.0.5\"\n"
                              "CtrlPort=\"8091\"\nUsername=\"admin\"\nPassword=\"***\"\n/>\n"));
    EXPECT_TRUE(logged("send xml:<USER_AUTH_PARAM\nUsername=\"admin\"\nPassword=\"***\"/>\n"));
    std::vector<std::string> all = lines();
    all.insert(all.end(), console_lines().begin(), console_lines().end());
    EXPECT_GT(all.size(), cases_count(cases));
    for (const std::string& l : all)
        for (const char* secret : {"470213", "p w\xB0\xA1", "123456"})
            EXPECT_EQ(l.find(secret), std::string::npos) << l;
}

TEST_F(ChanRequests, OnlyTheTableReadTakesASlot)
{
    LinkedDevice other{1};
    ASSERT_TRUE(other.login());
    EXPECT_EQ(nvr_chan_getlist(1), 0);
    EXPECT_EQ(other.next_frame(), request_frame("SYSTEM_CONFIG_GET_MESSAGE", "3803", nullptr));
    EXPECT_EQ(nvr_chan_getlist(2), -4);  // no link there
    EXPECT_EQ(nvr_chan_getlist(64), -4);
    ipc_logout(0);
    EXPECT_EQ(nvr_search_start(), -4);  // slot 0 has no link any more
    EXPECT_EQ(nvr_chan_del(0), -4);
}

TEST_F(ChanRequests, TextsThatWouldBreakTheXmlAreRefused)
{
    for (const char* bad : {"a\"b", "<", ">", "&amp;", "tab\there", "\x7F"}) {
        EXPECT_FALSE(nvr_text_acceptable(bad)) << bad;
        ChannelParam r = record(0, 0, 8091, "10.0.0.5", "admin", bad);
        EXPECT_EQ(nvr_chan_add(1, &r), -1) << bad;
        r = record(0, 0, 8091, "10.0.0.5", bad, "pw");
        EXPECT_EQ(nvr_chan_add(1, &r), -1) << bad;
    }
    EXPECT_TRUE(nvr_text_acceptable("p@ss w0rd!\xB0\xA1'"));
    EXPECT_EQ(nvr_chan_add(0, nullptr), -1);
    expect_nothing_sent("refused adds");
}

TEST_F(ChanRequests, AnAddLargerThanOneBodyGoesOutAsWholeRecords)
{
    // Records of the widest fields: about 300 characters each, so 100 need three bodies.
    std::vector<ChannelParam> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(record(-2000000000 + i, 1, -2000000000, "255.255.255.255", std::string(32, 'u').c_str(),
                              std::string(128, 'p').c_str()));
    std::vector<std::string> bodies = nvr_chan_add_bodies(100, many.data());
    ASSERT_EQ(bodies.size(), 3u);
    std::string all, single;
    for (const auto& b : bodies) {
        EXPECT_LT(b.size(), static_cast<size_t>(kNvrBodyBufferSize));
        EXPECT_EQ(b.rfind("<ChannelInfo\n", 0), 0u);
        EXPECT_EQ(b.substr(b.size() - 3), "/>\n");
        all += b;
    }
    for (const auto& r : many)
        single += nvr_chan_add_bodies(1, &r).front();
    EXPECT_EQ(all, single);

    ASSERT_EQ(nvr_chan_add(100, many.data()), 0);
    for (const auto& b : bodies)
        EXPECT_EQ(dev.next_frame(), request_frame("SYSTEM_CONFIG_GET_MESSAGE", "3804", b.c_str()));
}

}  // namespace

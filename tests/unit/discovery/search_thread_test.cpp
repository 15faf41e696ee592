// The search thread over loopback: its broadcasts are redirected to a port on 127.0.0.1 where
// a fake device listens (the simulated fleet: search_fleet_test.cpp). Nothing leaves the machine.
#include "discovery/reconfig.h"
#include "discovery/search.h"
#include "helpers.h"
#include "util/fixedstr.h"

#include <atomic>
#include <memory>
#include <set>
#include <thread>

using dtest::FakeDevice;
using dtest::listed;
using dtest::SearchThreadTest;

namespace {

const char kSearchRequest[] = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                              "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"1\"\nMsg_flag=\"0\"\n/>\n"
                              "<MESSAGE_BODY>\n</MESSAGE_BODY>\n</XML_MORVEK>";

std::atomic<int> g_new_devices{0};
void on_new_device(const IPCSearchInfo*) { ++g_new_devices; }

}  // namespace

TEST_F(SearchThreadTest, RequestIsTheExactDatagramRepeatedFromTheSearchPort)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    std::string text;
    UdpPeer from;
    ASSERT_TRUE(dev.receive(&text, &from));
    EXPECT_EQ(text, std::string(kSearchRequest));
    EXPECT_GE(from.port, first_port_);
    EXPECT_EQ(from.port, searchipc_port());
    // And again, without any traffic in between.
    ASSERT_TRUE(dev.receive(&text, &from));
    EXPECT_EQ(text, std::string(kSearchRequest));
}

TEST_F(SearchThreadTest, TakenFirstPortMovesToTheNext)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    int holder = udp_bind(0, first_port_, false);  // taken without address reuse
    ASSERT_GE(holder, 0);
    ASSERT_EQ(startsearchipc(), 1);
    std::string text;
    UdpPeer from;
    ASSERT_TRUE(dev.receive(&text, &from));
    EXPECT_GT(from.port, first_port_);
    EXPECT_EQ(from.port, searchipc_port());
    EXPECT_GE(dtest::count_logged("udp bind local port(" + std::to_string(first_port_) + ") ip(0) fail\n"), 1);
    sock_close(holder);
}

TEST_F(SearchThreadTest, EachDatagramIsReadOnItsOwn)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
    uint16_t port = searchipc_port();

    // A long answer, then a shorter one that lacks its closing root tag. If the second were
    // read with the first one's tail behind it, it would be complete.
    sim::Device a = dtest::device(1);
    a.accounts.assign(30, {"user-with-a-long-name", "password", "Users", "Enable"});
    std::string first = sim::build_answer(a);
    std::string second = sim::build_answer(dtest::device(2));
    second.resize(second.rfind("</XML_MORVEK>"));
    ASSERT_LT(second.size(), first.size());
    dev.send_to(port, first);
    ASSERT_TRUE(dtest::wait_for([] { return getipccount() == 1; }));
    dev.send_to(port, second);
    // An oversized answer is cut at 8192 bytes and so never complete either.
    sim::Device big = dtest::device(3);
    big.fault = sim::AnswerFault::Oversized;
    dev.send_to(port, sim::build_answer(big));
    std::string barrier = sim::build_answer(dtest::device(4));
    ASSERT_TRUE(dtest::wait_for([&] {
        dev.send_to(port, barrier);
        return listed("SN000004");
    }));
    EXPECT_FALSE(listed("SN000002"));
    EXPECT_FALSE(listed("SN000003"));
    EXPECT_EQ(getipccount(), 2);
}

TEST_F(SearchThreadTest, RefreshedRecordIsNeverSeenHalfWritten)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
    uint16_t port = searchipc_port();

    // Two consistent versions of one device; every copy must be one or the other.
    sim::Device v1 = dtest::device(1), v2 = dtest::device(1);
    v1.lan.ip = "10.1.1.1";
    v1.lan.mac = std::string(200, 'A');
    v2.lan.ip = "10.2.2.2";
    v2.lan.mac = std::string(200, 'B');
    std::string t1 = sim::build_answer(v1), t2 = sim::build_answer(v2);
    dev.send_to(port, t1);
    ASSERT_TRUE(dtest::wait_for([] { return getipccount() == 1; }));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, copies{0};
    std::thread reader([&] {
        auto rec = std::make_unique<IPCSearchInfo>();
        while (!done) {
            if (getipcinfo_copy(0, rec.get()) != 1)
                continue;
            ++copies;
            bool one =
                fixed_view(rec->lancfg.IPAddress) == "10.1.1.1" && fixed_view(rec->lancfg.MacAddress) == v1.lan.mac;
            bool two =
                fixed_view(rec->lancfg.IPAddress) == "10.2.2.2" && fixed_view(rec->lancfg.MacAddress) == v2.lan.mac;
            torn += !(one || two);
        }
    });
    for (int i = 0; i < 400; ++i) {
        dev.send_to(port, (i & 1) ? t1 : t2);
        if (i % 50 == 0)
            std::this_thread::yield();
    }
    // Barrier: a burst may overflow the receive buffer, so repeat it until it is listed.
    std::string barrier = sim::build_answer(dtest::device(99));
    EXPECT_TRUE(dtest::wait_for([&] {
        dev.send_to(port, barrier);
        return getipccount() == 2;
    }));
    done = true;
    reader.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(SearchThreadTest, CallbackRunsOncePerNewSerial)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    g_new_devices = 0;
    ASSERT_EQ(setSearchCB(on_new_device), 1);
    EXPECT_EQ(setSearchCB(nullptr), 0);
    ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
    uint16_t port = searchipc_port();
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 4; ++i)
            dev.send_to(port, sim::build_answer(dtest::device(i)));
    dev.send_to(port, sim::build_answer(dtest::device(50)));
    ASSERT_TRUE(dtest::wait_for([] { return getipccount() == 5; }));
    EXPECT_EQ(g_new_devices.load(), 5);
}

TEST_F(SearchThreadTest, ModifyNeedsARunningSearchAndSendsTheLanBody)
{
    auto rec = std::make_unique<IPCSearchInfo>();
    EXPECT_EQ(modifyipc(0, rec.get()), -2);
    EXPECT_EQ(dtest::count_logged("modifyipc fail, modify it when searching\n"), 1);
    EXPECT_EQ(modifyipc(1000, rec.get()), -1);
    EXPECT_EQ(modifyipc(0, nullptr), -1);
    EXPECT_EQ(dtest::count_logged("modifyipc param fail\n"), 2);

    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
    EXPECT_EQ(modifyipc(0, rec.get()), -1);  // empty slot
    dev.send_to(searchipc_port(), sim::build_answer(dtest::device(1)));
    ASSERT_TRUE(dtest::wait_for([] { return getipccount() == 1; }));

    ASSERT_EQ(getipcinfo_copy(0, rec.get()), 1);
    fixed_copy(rec->lancfg.IPAddress, "10.77.3.3");
    fixed_copy(rec->lancfg.DNS2, "8.8.4.4");
    EXPECT_EQ(modifyipc(0, rec.get()), 1);
    EXPECT_EQ(fixed_view(getipcinfo(0)->lancfg.IPAddress), "10.77.3.3");

    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"2\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
        "<IPC_SERIALNUMBER\r\nSerialNumber=\"SN000001\"\r\n/>\r\n<LANConfig\r\nMacAddress=\"02:00:00:00:00:01\"\r\n"
        "DHCP=\"0\"\r\nIPAddress=\"10.77.3.3\"\r\nNetmask=\"255.255.0.0\"\r\nGateway=\"10.77.0.1\"\r\n"
        "DNS1=\"10.77.0.1\"\r\nDNS2=\"8.8.4.4\"\r\n/>\r\n"
        "\n</MESSAGE_BODY>\n</XML_MORVEK>";
    std::string text;
    bool seen = false;
    for (int i = 0; i < 10 && !seen; ++i) {  // search requests arrive on the same port
        ASSERT_TRUE(dev.receive(&text));
        seen = text == expected;
    }
    EXPECT_TRUE(seen) << "last datagram:\n" << text;
}

TEST_F(SearchThreadTest, RestoreAndNetworkChangeGoOutFromTheirOwnSocket)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    EXPECT_EQ(restore_ipcconfig("ABC123"), 1);
    std::string text;
    ASSERT_TRUE(dev.receive(&text));
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"5\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
              "<IPC_SERIALNUMBER\nSerialNumber=\"ABC123\"\n/>\n"
              "\n</MESSAGE_BODY>\n</XML_MORVEK>");

    auto cfg = std::make_unique<LanCfg>();
    fixed_copy(cfg->MacAddress, "M");
    cfg->DHCP = 1;
    fixed_copy(cfg->IPAddress, "1.1.1.1");
    EXPECT_EQ(modify_ipcnetwork("XYZ", cfg.get()), 1);
    ASSERT_TRUE(dev.receive(&text));
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
              "Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\"\nMsg_code=\"2\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n"
              "<IPC_SERIALNUMBER\r\nSerialNumber=\"XYZ\"\r\n/>\r\n<LANConfig\r\nMacAddress=\"M\"\r\nDHCP=\"1\"\r\n"
              "IPAddress=\"1.1.1.1\"\r\nNetmask=\"\"\r\nGateway=\"\"\r\nDNS1=\"\"\r\nDNS2=\"\"\r\n/>\r\n"
              "\n</MESSAGE_BODY>\n</XML_MORVEK>");

    EXPECT_EQ(restore_ipcconfig(nullptr), -1);
    EXPECT_EQ(dtest::count_logged("restore_ipcconfig fail, param error \n"), 1);
    EXPECT_EQ(modify_ipcnetwork(nullptr, cfg.get()), -1);
    EXPECT_EQ(dtest::count_logged("modify_ipcnetwork fail, param error \n"), 1);
}

namespace {

// The callback's record must stay the answer it was called for, even when another thread
// changes that table slot while the callback still reads it.
std::atomic<int> g_cb_phase{0};  // 1 callback waiting, 2 slot overwritten
std::atomic<bool> g_cb_record_kept{false};
void on_new_device_slow(const IPCSearchInfo* info)
{
    const std::string ip(fixed_view(info->lancfg.IPAddress));
    g_cb_phase = 1;
    dtest::wait_for([] { return g_cb_phase.load() == 2; });
    g_cb_record_kept = fixed_view(info->lancfg.IPAddress) == ip;
}

}  // namespace

TEST_F(SearchThreadTest, CallbackRecordIsNotChangedUnderItByModify)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    ASSERT_EQ(startsearchipc(), 1);
    g_cb_phase = 0;
    g_cb_record_kept = false;
    ASSERT_EQ(setSearchCB(on_new_device_slow), 1);
    ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
    dev.send_to(searchipc_port(), sim::build_answer(dtest::device(2)));
    ASSERT_TRUE(dtest::wait_for([] { return g_cb_phase.load() == 1; }));
    auto rec = std::make_unique<IPCSearchInfo>();
    ASSERT_EQ(getipcinfo_copy(0, rec.get()), 1);
    fixed_copy(rec->lancfg.IPAddress, "10.99.99.99");
    EXPECT_EQ(modifyipc(0, rec.get()), 1);
    g_cb_phase = 2;
    stopsearchipc();  // the callback has returned
    EXPECT_TRUE(g_cb_record_kept.load());
}

TEST_F(SearchThreadTest, StopFromTwoThreadsAtOnceEndsTheSearchOnce)
{
    FakeDevice dev;
    dtest::BroadcastToLoopback redirect(dev.port);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(startsearchipc(), 1);
        ASSERT_TRUE(dtest::wait_for([] { return searchipc_port() != 0; }));
        std::atomic<int> ready{0};
        auto stopper = [&] {
            ++ready;
            while (ready.load() < 2) { }
            EXPECT_EQ(stopsearchipc(), 1);
        };
        std::thread a(stopper), b(stopper);
        a.join();
        b.join();
        EXPECT_EQ(getipccount(), 0);
        EXPECT_EQ(searchipc_socket(), -1);
    }
    EXPECT_EQ(dtest::count_logged("wait search thread ...out\n"), 5);
}

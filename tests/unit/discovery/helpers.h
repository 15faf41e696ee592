// Shared pieces of the discovery tests: log capture, polling, answers from the simulator's
// own encoder, and a fake device socket on 127.0.0.1.
#pragma once

#include "base/sock.h"
#include "discovery/search.h"
#include "util/fixedstr.h"
#include "common/loopback.h"
#include "sim/answer.h"
#include "sim/device.h"
#include "util/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dtest {

inline std::mutex& log_mutex()
{
    static std::mutex m;
    return m;
}
inline std::vector<std::string>& log_lines()
{
    static std::vector<std::string> v;
    return v;
}
inline void capture_sink(int, const char* text)
{
    std::lock_guard<std::mutex> lock(log_mutex());
    log_lines().emplace_back(text);
}
inline void clear_log()
{
    std::lock_guard<std::mutex> lock(log_mutex());
    log_lines().clear();
}
inline int count_logged(const std::string& line)
{
    std::lock_guard<std::mutex> lock(log_mutex());
    int n = 0;
    for (const auto& l : log_lines())
        n += l == line;
    return n;
}
inline bool logged_prefix(const std::string& prefix)
{
    std::lock_guard<std::mutex> lock(log_mutex());
    for (const auto& l : log_lines())
        if (l.rfind(prefix, 0) == 0)
            return true;
    return false;
}

template <class Pred>
bool wait_for(Pred pred, int timeout_ms = 10000)
{
    return test_common::wait_until(pred, timeout_ms, 5);
}

inline sim::Device device(int i, const std::string& type = "NVR-SIM16")
{
    sim::Device d;
    d.index = i;
    char buf[64];
    std::snprintf(buf, sizeof buf, "SN%06d", i);
    d.serial = buf;
    d.type = type;
    std::snprintf(buf, sizeof buf, "10.77.%d.%d", 1 + i / 250, 1 + i % 250);
    d.lan.ip = buf;
    std::snprintf(buf, sizeof buf, "02:00:00:00:%02X:%02X", (i >> 8) & 0xFF, i & 0xFF);
    d.lan.mac = buf;
    d.lan.netmask = "255.255.0.0";
    d.lan.gateway = "10.77.0.1";
    d.lan.dns1 = "10.77.0.1";
    d.lan.dns2 = "";
    d.accounts = {{"admin", "pw", "Administrators", "Enable"}};
    return d;
}

// A UDP socket on 127.0.0.1 standing in for a device (or for the broadcast address).
struct FakeDevice {
    int sock = -1;
    uint16_t port = 0;
    FakeDevice()
    {
        sock = udp_bind(0x7F000001, 0, false);
        port = sock_local_port(sock);
    }
    ~FakeDevice() { sock_close(sock); }
    // The next datagram within timeout_ms, or false.
    bool receive(std::string* text, UdpPeer* from = nullptr, int timeout_ms = 5000)
    {
        unsigned char ready = 0;
        if (sock_poll_readable(&sock, 1, timeout_ms, &ready) <= 0)
            return false;
        std::vector<char> buf(65536);
        UdpPeer peer;
        int n = udp_recvfrom(sock, buf.data(), static_cast<int>(buf.size()), &peer);
        if (n < 0)
            return false;
        text->assign(buf.data(), static_cast<size_t>(n));
        if (from)
            *from = peer;
        return true;
    }
    int send_to(uint16_t port_to, const std::string& text)
    {
        return udp_sendto(sock, text.data(), static_cast<int>(text.size()), 0x7F000001, port_to);
    }
};

// Where broadcasts go while no test points them anywhere: the discard port of 127.0.0.1.
// The test binary sets this before main (tests/common/no_broadcast.cpp) and the tests never
// restore the real broadcast address, so a search or clock thread still running between a
// test body and its TearDown cannot reach the network.
constexpr uint16_t kNowherePort = 9;

// Points every broadcast of the process at a loopback port for the test's lifetime.
struct BroadcastToLoopback {
    explicit BroadcastToLoopback(uint16_t port) { broadcast_set_destination_for_test(0x7F000001, port); }
    ~BroadcastToLoopback() { broadcast_set_destination_for_test(0x7F000001, kNowherePort); }
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_log();
        log_set_sink(capture_sink);
    }
    void TearDown() override { log_set_sink(nullptr); }
};

inline bool listed(const std::string& serial)
{
    auto rec = std::make_unique<IPCSearchInfo>();
    for (int i = 0; i < getipccount(); ++i)
        if (getipcinfo_copy(i, rec.get()) == 1 && fixed_view(rec->devid.SerialNumber) == serial)
            return true;
    return false;
}

// The search thread's tests: each process searches from a free port of its own.
class SearchThreadTest : public LogTest {
protected:
    void SetUp() override
    {
        LogTest::SetUp();
        // Test processes run side by side: each searches from a port of its own (a free
        // ephemeral one) instead of all sharing 3002.
        int probe = udp_bind(0, 0, false);
        first_port_ = sock_local_port(probe);
        sock_close(probe);
        searchipc_set_first_port_for_test(first_port_);
    }
    void TearDown() override
    {
        stopsearchipc();
        searchipc_set_first_port_for_test(0);
        LogTest::TearDown();
    }
    uint16_t first_port_ = 0;
};

}  // namespace dtest

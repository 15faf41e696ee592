// The socket helpers through their own API only, so that the same cases run on Linux and,
// in the Windows cross build, under wine against the Winsock side.
#include "base/sock.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A listening socket on 127.0.0.1 and the connection accepted from it.
int accept_within(int listener, int timeout_ms)
{
    unsigned char ready = 0;
    if (sock_poll_readable(&listener, 1, timeout_ms, &ready) != 1 || !ready)
        return -1;
    return tcp_accept(listener);
}

TEST(SockApi, LinkConnectsSendsReceivesAndSeesThePeerClose)
{
    int listener = tcpserver("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    uint16_t port = sock_local_port(listener);
    int client = tcpconnectserver("127.0.0.1", port);
    ASSERT_GE(client, 0);
    int peer = accept_within(listener, 5000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(sock_keepalive(client, 1000), 0);

    char buf[16] = {};
    EXPECT_EQ(sockrecv(peer, buf, sizeof buf), -2);  // nothing yet: the 100 ms wait ends
    EXPECT_EQ(sock_writable(client), 1);
    ASSERT_EQ(socksend(client, "abc", 3), 3);
    ASSERT_EQ(sock_wait_writable(client, 1000), 1);
    EXPECT_EQ(sock_poll_readable(&peer, 1, 5000, reinterpret_cast<unsigned char*>(buf)), 1);
    EXPECT_EQ(sockrecv(peer, buf, sizeof buf), 3);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);
    EXPECT_EQ(sock_recv_nowait(peer, buf, sizeof buf), -2);

    sock_close(client);
    EXPECT_EQ(sock_poll_readable(&peer, 1, 5000, reinterpret_cast<unsigned char*>(buf)), 1);
    EXPECT_EQ(sockrecv(peer, buf, sizeof buf), 0);
    sock_close(peer);
    sock_close(listener);
}

TEST(SockApi, WakeupHandleWakesOnceUntilCleared)
{
    int fds[2];
    ASSERT_EQ(wakeup_open(fds), 0);
    unsigned char ready = 0;
    EXPECT_EQ(sock_poll_readable(&fds[0], 1, 0, &ready), 0);
    wakeup_signal(fds[1]);
    wakeup_signal(fds[1]);
    EXPECT_EQ(sock_poll_readable(&fds[0], 1, 5000, &ready), 1);
    EXPECT_EQ(ready, 1);
    wakeup_clear(fds[0]);
    EXPECT_EQ(sock_poll_readable(&fds[0], 1, 0, &ready), 0);
    wakeup_close(fds);
    EXPECT_EQ(fds[0], -1);
    EXPECT_EQ(fds[1], -1);
}

// Windows lets address reuse take a port another socket holds; the search must move on to
// the next port instead of sharing one.
TEST(SockApi, BroadcastServerDoesNotShareATakenPort)
{
    int holder = udp_bind(kLoopback, 0, false);
    ASSERT_GE(holder, 0);
    uint16_t port = sock_local_port(holder);
    EXPECT_EQ(broadcastserver(port, kLoopback), -2);
    sock_close(holder);
    int s = broadcastserver(port, kLoopback);
    EXPECT_GE(s, 0);
    sock_close(s);
}

TEST(SockApi, DottedQuadsOnly)
{
    uint32_t a = 0;
    EXPECT_TRUE(ipv4_parse("10.77.1.2", &a));
    EXPECT_EQ(a, 0x0A4D0102u);
    EXPECT_FALSE(ipv4_parse("10.77.1", &a));
    EXPECT_EQ(tcpconnectserver("not-an-address", 80), -1);
    EXPECT_EQ(gethostip("127.0.0.1", &a), 1);
    EXPECT_EQ(a, 0x0100007Fu);  // network order
}

}  // namespace

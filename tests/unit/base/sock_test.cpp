// Socket helpers over 127.0.0.1 and socket pairs only. Nothing here broadcasts: the broadcast
// sender is redirected to a loopback port through its test seam.
#include "base/sock.h"
#include "util/log.h"
#include "common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void capture_sink(int, const char* text)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.emplace_back(text);
}

class SockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
        log_set_sink(capture_sink);
    }
    void TearDown() override { log_set_sink(nullptr); }

    static bool logged(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        for (const auto& l : g_log)
            if (l == line)
                return true;
        return false;
    }
    static bool logged_prefix(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        for (const auto& l : g_log)
            if (l.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
};

int open_fd_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

// A loopback port on which nothing listens right now.
uint16_t unused_tcp_port()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(s);
    return ntohs(sa.sin_port);
}

template <class Pred>
bool wait_for(Pred pred, int timeout_ms = 10000)
{
    return test_common::wait_until(pred, timeout_ms);
}

}  // namespace

TEST_F(SockTest, ConnectTakesOnlyADottedQuad)
{
    int listener = tcpserver("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    uint16_t port = sock_local_port(listener);
    ASSERT_NE(port, 0);

    int s = tcpconnectserver("127.0.0.1", port);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(logged("Connect [127.0.0.1:" + std::to_string(port) + "] ok\n") ||
                logged("Connect [127.0.0.1:" + std::to_string(port) + "] ok, fd:" + std::to_string(s) + "\n"));
    // The link relies on the socket staying non-blocking.
    char c;
    EXPECT_EQ(sock_recv_nowait(s, &c, 1), -2);
    sock_close(s);

    // Anything but a plain dotted quad is refused, never looked up as a host name.
    for (const char* host : {"localhost", "127.1", "0x7f.0.0.1"}) {
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log.clear();
        }
        EXPECT_EQ(tcpconnectserver(host, port), -1) << host;
        std::lock_guard<std::mutex> lock(g_log_mutex);
        EXPECT_EQ(g_log, std::vector<std::string>{std::string("inet_aton ip[") + host + "] fail\n"});
    }
    sock_close(listener);
}

TEST_F(SockTest, ConnectFailuresLeaveNoSocketOpen)
{
    int before = open_fd_count();
    EXPECT_EQ(tcpconnectserver(nullptr, 80), -1);
    EXPECT_EQ(tcpconnectserver("127.0.0.1", 0), -1);
    EXPECT_EQ(tcpconnectserver("127.0.0.1", unused_tcp_port()), -1);  // refused
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SockTest, ConnectGivesUpOnPeerThatNeverAnswers)
{
    // A listener whose accept queue is full drops further SYNs: the connect neither completes
    // nor is refused, like a LAN peer that has gone away.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    uint16_t port = ntohs(sa.sin_port);

    std::vector<int> fillers;
    int gave_up = 0;
    for (int i = 0; i < 8 && !gave_up; ++i) {
        int before = open_fd_count();
        int s = tcpconnectserver("127.0.0.1", port);
        if (s >= 0) {
            fillers.push_back(s);
        } else {
            EXPECT_EQ(open_fd_count(), before) << "a failed connect left its socket open";
            gave_up = 1;
        }
    }
    EXPECT_TRUE(gave_up) << "the full listener never made a connect give up";
    EXPECT_TRUE(logged("Connect [127.0.0.1:" + std::to_string(port) + "] timeout\n"));
    for (int s : fillers)
        sock_close(s);
    ::close(listener);
}

TEST_F(SockTest, SockrecvTimesOutReceivesAndSeesPeerClose)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    char buf[16];
    EXPECT_EQ(sockrecv(pair[0], buf, sizeof buf), -2);  // silent peer

    ASSERT_EQ(::send(pair[1], "hello", 5, 0), 5);
    EXPECT_EQ(sockrecv(pair[0], buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    ::close(pair[1]);
    EXPECT_EQ(sockrecv(pair[0], buf, sizeof buf), 0);
    ::close(pair[0]);
    EXPECT_EQ(sockrecv(-1, buf, sizeof buf), -1);
}

TEST_F(SockTest, SocksendReportsFullSocketWithoutSending)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);
    EXPECT_EQ(socksend(-1, "x", 1), -1);
    EXPECT_EQ(socksend(pair[0], "x", 0), 0);

    std::vector<char> chunk(65536, 'f');
    while (::send(pair[0], chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) { }
    ASSERT_TRUE(wait_for([&] { return sock_writable(pair[0]) == 0; }));
    EXPECT_EQ(socksend(pair[0], "abc", 3), 0);
    sockpair_close(pair);
}

TEST_F(SockTest, SocksendFinishesBufferAfterStall)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);
    // Far more than the two socket buffers hold, so the sender must stall part-way.
    std::vector<char> data(24 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 13));

    std::vector<char> got;
    std::atomic<bool> saw_stall{false};
    std::thread reader([&] {
        // Start draining only once the sender is stuck, so the send has to wait mid-buffer.
        saw_stall = wait_for([&] { return sock_writable(pair[0]) == 0; });
        char buf[65536];
        while (got.size() < data.size()) {
            ssize_t n = ::recv(pair[1], buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
    });
    EXPECT_EQ(socksend(pair[0], data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    reader.join();
    EXPECT_TRUE(saw_stall);
    EXPECT_TRUE(got == data) << "stream received " << got.size() << " bytes, not the buffer";
    EXPECT_FALSE(logged_prefix("socksend send fail"));
    sockpair_close(pair);
}

TEST_F(SockTest, SocksendReportsBrokenStreamInsteadOfHalfFrame)
{
    // The reader takes a little and then goes away: the rest cannot be delivered, and socksend
    // must say so (no SIGPIPE, no claim of success).
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);
    std::vector<char> data(8 * 1024 * 1024, 'z');
    std::thread closer([&] {
        wait_for([&] { return sock_writable(pair[0]) == 0; });
        sock_nolinger(pair[1]);
        ::close(pair[1]);
    });
    int r = socksend(pair[0], data.data(), static_cast<int>(data.size()));
    closer.join();
    EXPECT_LT(r, 0);
    EXPECT_TRUE(logged_prefix("socksend send fail, pack lost:"));
    ::close(pair[0]);
}

TEST_F(SockTest, SocksendGivesUpAfterBoundedStall)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);
    std::vector<char> data(16 * 1024 * 1024, 'q');  // far more than both buffers hold
    int r = socksend(pair[0], data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(logged_prefix("socksend send fail, pack lost:"));
    sockpair_close(pair);
}

TEST_F(SockTest, BroadcastServerSeparatesTakenPortFromOtherFailures)
{
    constexpr uint32_t kLoopback = 0x7F000001;
    int holder = udp_bind(kLoopback, 0, false);  // taken without address reuse
    ASSERT_GE(holder, 0);
    uint16_t port = sock_local_port(holder);

    int before = open_fd_count();
    EXPECT_EQ(broadcastserver(port, kLoopback), -2);
    EXPECT_EQ(open_fd_count(), before);
    char line[96];
    std::snprintf(line, sizeof line, "udp bind local port(%u) ip(0x7f000001) fail\n", static_cast<unsigned>(port));
    EXPECT_TRUE(logged(line));

    EXPECT_EQ(broadcastserver(0, kLoopback), -1);
    EXPECT_TRUE(logged("broadcastserver fail:paramerror, port:0\n"));
    sock_close(holder);

    int s = broadcastserver(port, kLoopback);
    EXPECT_GE(s, 0);
    sock_close(s);
}

TEST_F(SockTest, BroadcastMessageIsTheTextWithoutTerminator)
{
    int receiver = udp_bind(0x7F000001, 0, false);
    ASSERT_GE(receiver, 0);
    broadcast_set_destination_for_test(0x7F000001, sock_local_port(receiver));
    int sender = broadcastclient();
    ASSERT_GE(sender, 0);
    std::string text(100, 'm');
    EXPECT_EQ(broadcastsendmsg(text.c_str(), sender), 1);
    broadcast_set_destination_for_test(0x7F000001, 9);  // back to the suite's discard port

    ASSERT_TRUE(wait_for([&] { return sock_readable(receiver) == 1; }));
    char buf[256];
    UdpPeer from;
    EXPECT_EQ(udp_recvfrom(receiver, buf, sizeof buf, &from), 100);
    EXPECT_EQ(std::string(buf, 100), text);
    EXPECT_EQ(from.addr, 0x7F000001u);

    // With no socket nothing can go out; the line names the destination.
    EXPECT_EQ(broadcastsendmsg("x", -1), -1);
    EXPECT_TRUE(logged("broadcastsendmsg to 127.0.0.1 fail\n"));
    sock_close(sender);
    sock_close(receiver);
}

TEST_F(SockTest, KeepaliveMillisecondsRoundUpToWholeSeconds)
{
    struct Case {
        int idle_ms;
        int expect_s;
    } cases[] = {{15, 1}, {1000, 1}, {1001, 2}, {30000, 30}};
    for (const auto& c : cases) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(sock_keepalive(s, c.idle_ms), 0);
        int on = 0, idle = 0, intvl = 0;
        socklen_t len = sizeof(int);
        ::getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
        ::getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
        ::getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, &len);
        EXPECT_EQ(on, 1);
        EXPECT_EQ(idle, c.expect_s) << "idle " << c.idle_ms << " ms";
        EXPECT_EQ(intvl, 1);
        ::close(s);
    }
    EXPECT_EQ(sock_keepalive(-1, 15), -1);
    EXPECT_TRUE(logged("WSAIoctl(SIO_KEEPALIVE_VALS) fail\n"));
}

TEST_F(SockTest, SocketPairAndAddressQueries)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    char a[16], b[16];
    EXPECT_EQ(sock_peerip(a, sizeof a, pair[0]), 1);
    EXPECT_EQ(sock_localip(b, sizeof b, pair[1]), 1);
    EXPECT_STREQ(a, "127.0.0.1");
    EXPECT_STREQ(b, "127.0.0.1");
    EXPECT_EQ(sock_peerip(a, 15, pair[0]), -1);
    EXPECT_EQ(sockpair_win32(nullptr), -1);
    EXPECT_TRUE(logged("sockpair_win32:param error\n"));
    sockpair_close(pair);
    EXPECT_EQ(pair[0], -1);
    EXPECT_EQ(pair[1], -1);
}

TEST_F(SockTest, FreePortSearchesSkipTakenPorts)
{
    int holder = tcpserver(nullptr, 0);
    ASSERT_GE(holder, 0);
    uint16_t taken = sock_local_port(holder);
    int free_port = tcp_freeport(taken, 20);
    EXPECT_GT(free_port, taken);
    EXPECT_TRUE(logged("tcp bind port:" + std::to_string(taken) + " fail, try next...\n"));
    sock_close(holder);

    int udp_holder = udp_bind(0, 0, false);
    uint16_t udp_taken = sock_local_port(udp_holder);
    EXPECT_EQ(udp_portsfree(udp_taken, 1), 0);
    EXPECT_EQ(udp_portsfree(0, 1), 0);
    EXPECT_EQ(udp_portsfree(udp_taken, 0), 0);
    sock_close(udp_holder);
    EXPECT_EQ(udp_portsfree(udp_taken, 1), 1);
}

TEST_F(SockTest, DatagramReceiveReportsCutAndEmpty)
{
    int rx = udp_bind(0x7F000001, 0, false);
    int tx = udp_bind(0x7F000001, 0, false);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    uint16_t port = sock_local_port(rx);
    char buf[8];
    EXPECT_EQ(udp_recvfrom(rx, buf, sizeof buf, nullptr), -2);

    std::string big(20, 'b');
    EXPECT_EQ(udp_sendto(tx, big.data(), 20, 0x7F000001, port), 20);
    ASSERT_TRUE(wait_for([&] { return sock_readable(rx) == 1; }));
    UdpPeer from;
    EXPECT_EQ(udp_recvfrom(rx, buf, sizeof buf, &from), 20);  // real size: the caller sees the cut
    EXPECT_EQ(from.port, sock_local_port(tx));
    EXPECT_EQ(from.dest, 0x7F000001u);

    EXPECT_EQ(udp_sendto(tx, "", 0, 0x7F000001, port), 0);
    ASSERT_TRUE(wait_for([&] { return sock_readable(rx) == 1; }));
    EXPECT_EQ(udprecv(rx, buf, sizeof buf), 0);
    sock_close(rx);
    sock_close(tx);
}

TEST_F(SockTest, StreamingSendWaitsForRoomAndReportsAStall)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);
    EXPECT_EQ(sock_wait_writable(-1, 0), -1);
    EXPECT_EQ(sock_wait_writable(pair[0], 0), 1);

    // Nobody reads: the send stops after the time-out with what the socket took.
    std::vector<char> data(24 * 1024 * 1024, 's');
    int sent = socksend_poll(pair[0], data.data(), static_cast<int>(data.size()), 50, false);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(data.size()));
    EXPECT_EQ(sock_wait_writable(pair[0], 0), 0);

    // Draining makes room again; with a reader the whole buffer goes.
    std::atomic<size_t> got{0};
    std::thread reader([&] {
        char buf[65536];
        size_t want = static_cast<size_t>(sent) + data.size();
        while (got < want) {
            ssize_t n = ::recv(pair[1], buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    });
    EXPECT_EQ(sock_wait_writable(pair[0], 10000), 1);
    EXPECT_EQ(socksend_poll(pair[0], data.data(), static_cast<int>(data.size()), 5000, true),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_EQ(got.load(), static_cast<size_t>(sent) + data.size());

    EXPECT_EQ(sock_nodelay(pair[0], 1), 0);
    int on = 0;
    socklen_t len = sizeof on;
    ::getsockopt(pair[0], IPPROTO_TCP, TCP_NODELAY, &on, &len);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(socksend_poll(-1, "x", 1, 0, false), -1);
    sockpair_close(pair);
}

TEST_F(SockTest, GatherSendKeepsOrderAcrossPartialWrites)
{
    int pair[2];
    ASSERT_EQ(sockpair_win32(pair), 0);
    ASSERT_EQ(sock_nonblocking(pair[0]), 0);

    // Header and data large enough that the socket takes them in several pieces, some of
    // which end inside the header or straddle the two.
    std::string head(3000, '\0'), data(8 * 1024 * 1024, '\0');
    for (size_t i = 0; i < head.size(); ++i)
        head[i] = static_cast<char>('A' + i % 26);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);

    // Nobody reads yet: the send stops after the time-out with part of the pair taken.
    int first = socksend2_poll(pair[0], head.data(), static_cast<int>(head.size()), data.data(),
                               static_cast<int>(data.size()), 50);
    ASSERT_GT(first, 0);
    ASSERT_LT(first, static_cast<int>(head.size() + data.size()));

    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < head.size() + data.size()) {
            ssize_t n = ::recv(pair[1], buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
    });
    // The rest, picked up where the first call stopped.
    int hoff = std::min(first, static_cast<int>(head.size()));
    int doff = first - hoff;
    int rest = socksend2_poll(pair[0], head.data() + hoff, static_cast<int>(head.size()) - hoff, data.data() + doff,
                              static_cast<int>(data.size()) - doff, 5000);
    EXPECT_EQ(first + rest, static_cast<int>(head.size() + data.size()));
    reader.join();
    EXPECT_TRUE(got == head + data);

    EXPECT_EQ(socksend2_poll(-1, "x", 1, "y", 1, 0), -1);
    EXPECT_EQ(socksend2_poll(pair[0], nullptr, 1, "y", 1, 0), -1);
    sockpair_close(pair);
}

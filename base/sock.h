// Socket helpers shared by the device link and the LAN broadcast code. This folder is the only
// place that calls the platform's socket API; everything above it works on plain integer
// handles and integer results.
//
// Conventions: a socket is an int, -1 meaning none. Results are negative on failure and every
// failure writes one line through log_print. A helper that created a socket closes it again
// before it reports a failure. Nothing here keeps state or takes a lock, so every helper may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Fixed values of the helpers.
constexpr int kTcpLinkRcvBuf = 16384;             // receive buffer of a link socket
constexpr int kBroadcastRcvBuf = 131072;          // receive buffer of a broadcast server socket
constexpr int kConnectWaitMs = 60;                // per wait while a connect is in progress
constexpr int kSockRecvWaitMs = 100;              // sockrecv's wait for data
constexpr int kUdpRecvWaitMs = 200;               // udprecv's wait for a datagram
constexpr int kUdpRecvMax = 8192;                 // udprecv receives at most this many bytes
constexpr int kConnectKeepaliveIdle = 15;         // keep-alive idle time tcpconnectserver asks for
constexpr uint16_t kBroadcastPort = 3001;         // destination port of every broadcast message
constexpr uint32_t kBroadcastAddr = 0xFFFFFFFFu;  // 255.255.255.255, host order
// How long socksend waits, without any progress, for a stalled socket to take more data
// before it declares the stream broken.
constexpr int kSockSendStallMs = 5000;

// Resolves a host name; stores its first IPv4 address in network order. 1 or -1.
int gethostip(const char* name, uint32_t* addr);

// Non-blocking TCP connect that gives up on a peer that is silent for 60 ms. The host must be
// a dotted quad: it is never looked up as a name (it comes from untrusted device answers).
// Returns the connected (still non-blocking) socket or -1; never leaves a socket open on failure.
int tcpconnectserver(const char* host, uint16_t port);

// UDP socket for the search protocol: address reuse, broadcast permission, 128 KiB receive
// buffer, bound to local_addr (host order, 0 = any) and port. -2 when the bind fails (the
// port is taken: the caller may try the next one), -1 for every other failure.
int broadcastserver(uint16_t port, uint32_t local_addr);

// Unbound UDP socket with broadcast permission, or -1.
int broadcastclient();

// Sends a zero-terminated text (without the zero) as one datagram to 255.255.255.255:3001.
// 1 sent, -1 send failed, -2 sent short.
int broadcastsendmsg(const char* text, int sock);

// Sends a whole buffer on a connected non-blocking socket. -1 for a negative socket, 0 when
// the socket is not writable right now (nothing sent), else `length` once every byte is gone.
// Once the first byte went out the buffer is finished or the stream is declared broken: a
// stall waits for writability (up to kSockSendStallMs without progress); a real error or that
// bound returns a negative result, and the caller must then drop the connection because part
// of the buffer may already be on the stream.
int socksend(int sock, const void* data, int length);

// socksend, retried every 1 ms while the socket is not writable.
int socksend_wait(int sock, const void* data, int length);

// Waits up to timeout_ms (negative: no limit) until the socket can take data, without
// sleeping in fixed steps. 1 writable (or an error is pending: the next send reports it),
// 0 time-out, -1 negative socket or failed wait.
int sock_wait_writable(int sock, int timeout_ms);

// Streams a buffer on a non-blocking socket: sends directly and, while the socket is full,
// waits for room with poll. Returns the bytes sent: `length` when all went, fewer when
// timeout_ms passed without the socket taking anything; -1 on a socket error (errno kept).
// `more` tells the stack that more data follows at once, so a small piece (a frame header)
// leaves together with what follows instead of as a segment of its own.
int socksend_poll(int sock, const void* data, int length, int timeout_ms, bool more = false);

// Like socksend_poll for two buffers sent back to back (a frame header and its data) with one
// gather write, so the pair costs one system call and leaves as full segments. Returns the
// bytes of both buffers sent (less than alen + blen only when nothing could be sent for
// timeout_ms), or -1 on an error.
int socksend2_poll(int sock, const void* a, int alen, const void* b, int blen, int timeout_ms);

// Sends as much of two buffers, back to back, as the socket takes right now, never waiting.
// Returns the bytes taken (0 when the socket is full), or -1 on a socket error.
int socksend_nowait(int sock, const void* a, int alen, const void* b, int blen);

// Bytes written on a stream socket that the peer has not acknowledged yet; -1 on error or where
// the system cannot tell (Winsock).
int sock_outq(int sock);

// The socket's current send buffer size in bytes (it grows with the stack's auto-tuning), or -1.
int sock_sndbuf(int sock);

// Waits up to 100 ms for data, then receives once. -2 nothing arrived, -1 the wait failed,
// 0 the peer closed, >0 bytes received, other negatives a receive error.
int sockrecv(int sock, void* buffer, int size);

int sock_nonblocking(int sock);
int sock_blocking(int sock);

// Keep-alive on, with the idle time `idle` and a probe interval of 1 (milliseconds).
int sock_keepalive(int sock, int idle);

// Linger on with 0 s: a close resets the connection at once.
int sock_nolinger(int sock);

// Linger off again: a close sends what is queued and then ends the connection in order.
int sock_linger_default(int sock);

// Ends the sending direction (FIN after the queued bytes); receiving goes on. The result of the
// platform call.
int sock_shutdown_send(int sock);

// TCP_NODELAY on (1) or off (0): small writes go out at once instead of waiting for the
// acknowledgement of earlier data. 0 or -1.
int sock_nodelay(int sock, int on);

// 1 writable / readable right now, 0 not, -1 negative socket or failed check. Never waits.
int sock_writable(int sock);
int sock_readable(int sock);

// Helpers beyond what the link and the search need.
int udpclient(int rcvbuf, const char* host, uint16_t local_port, uint16_t remote_port);
int tcpserver(const char* host, uint16_t port);
int tcp_freeport(uint16_t port, int tries);
int udp_portsfree(uint16_t port, int count);
// Waits up to 200 ms for a datagram; receives at most min(size, 8192) bytes.
int udprecv(int sock, void* buffer, int size);
int socksend_retry(int sock, const void* data, int length);
int sock_reuseaddr(int sock);
int sock_setrcvbuf(int sock, int size);
int sock_setsndbuf(int sock, int size);
// Writes the first address of this computer's own name as a dotted quad (at least 16 bytes).
int getlocalip(char* out, size_t size);
// A connected pair of TCP sockets over 127.0.0.1. 0, or -1 with nothing left open.
int sockpair_win32(int pair[2]);
void sockpair_close(int pair[2]);
int sock_peerip(char* out, size_t size, int sock);
int sock_localip(char* out, size_t size, int sock);
int sock_shutdown(int sock);
void sock_close(int sock);
void sock_usleep(int64_t microseconds);

// A wake-up handle for a thread that waits on its sockets: fds[0] becomes readable once
// wakeup_signal(fds[1]) was called, until wakeup_clear(fds[0]). 0, or -1 (fds set to -1).
int wakeup_open(int fds[2]);
void wakeup_signal(int fd);
void wakeup_clear(int fd);
void wakeup_close(int fds[2]);

// ---- Datagram and stream primitives for the simulator and the tests -----------------------
// Addresses are in host byte order here.

// UDP socket bound to addr:port (port 0 = ephemeral), optionally with address reuse and with
// the destination address of each datagram reported by udp_recvfrom. -2 bind failed, -1 other.
int udp_bind(uint32_t addr, uint16_t port, bool reuse);

// The port a socket is bound to, or 0.
uint16_t sock_local_port(int sock);

// One receive without waiting. Returns the datagram's full length (may exceed size: the rest
// was cut), 0 for an empty datagram, -2 when nothing is queued, -1 on error. Source and (when
// the socket was bound with udp_bind) destination address are stored where given.
struct UdpPeer {
    uint32_t addr = 0;
    uint16_t port = 0;
    uint32_t dest = 0;  // the datagram's destination address (e.g. 0xFFFFFFFF for broadcast)
};
int udp_recvfrom(int sock, void* buffer, int size, UdpPeer* from);

// Sends one datagram to addr:port; when src is not 0 it goes out with that local source
// address. Returns the bytes sent or -1.
int udp_sendto(int sock, const void* data, int length, uint32_t addr, uint16_t port, uint32_t src = 0);

// Waits up to timeout_ms (negative: no limit) until one of `count` sockets is readable.
// ready[i] is set to 1 for each readable socket. Returns the number readable, 0 on time-out,
// -1 on failure.
int sock_poll_readable(const int* socks, int count, int timeout_ms, unsigned char* ready);

// Accepts one pending connection of a listening socket (non-blocking result socket), or -1.
int tcp_accept(int listen_sock, uint32_t* peer_addr = nullptr, uint16_t* peer_port = nullptr);

// Receives whatever is queued right now (no wait): >0 bytes, 0 peer closed, -2 nothing, -1 error.
int sock_recv_nowait(int sock, void* buffer, int size);

// Dotted-quad text <-> host-order address. parse returns false for anything but a dotted quad.
bool ipv4_parse(const char* text, uint32_t* addr);
void ipv4_format(uint32_t addr, char* out, size_t size);

// Test seam: redirects broadcastsendmsg to addr:port (host order) instead of
// 255.255.255.255:3001, so unit tests can run the broadcast code over loopback only. Test
// binaries that run outside a private network namespace set it before main
// (tests/common/no_broadcast.cpp). 0, 0 restores 255.255.255.255:3001.
void broadcast_set_destination_for_test(uint32_t addr, uint16_t port);

// The platform under base/sock.cpp: the few calls whose shape differs between POSIX sockets
// and Winsock, each behind one name, so that sock.cpp holds every helper's logic, results and
// log lines once. Private to base/.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// select() takes the sockets in a counted array on Windows; room for the simulator-sized sets.
#ifndef FD_SETSIZE
#define FD_SETSIZE 1024
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // Winsock raises no signal on a broken connection
#endif
#ifndef SHUT_WR
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#endif
constexpr int kSockCloexec = 0;  // Windows handles are not inherited by a started program
// Address reuse on Windows would let a socket take a port that another one holds; the
// exclusive form keeps the port ours without ever sharing one.
constexpr int kSockReuseOpt = SO_EXCLUSIVEADDRUSE;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

constexpr int kSockCloexec = SOCK_CLOEXEC;
constexpr int kSockReuseOpt = SO_REUSEADDR;
#endif

// The error of the last failed socket call of this thread as a POSIX errno value, also stored
// in errno, so that callers above base/ (and log_last_error) read one kind of code everywhere.
int sock_os_error();

// Closes a socket handle (the caller checked that it is not negative).
void sock_os_close(int sock);

// Waits up to timeout_ms (negative: no limit) for one socket: `write` for room to send,
// otherwise for input. An error or hang-up on the socket counts as ready. 1 ready, 0 time-out,
// -1 failed (error in errno).
int sock_os_wait(int sock, bool write, int timeout_ms);

// Readiness of `count` sockets for input, with the same meaning per socket as sock_os_wait.
// Returns the number ready, 0 on time-out, -1 on failure.
int sock_os_wait_readable(const int* socks, int count, int timeout_ms, unsigned char* ready);

// Switches the socket's non-blocking mode. 0 or -1.
int sock_os_set_nonblocking(int sock, bool on);

// Dotted-quad conversion with the classic lenient rules (as inet_aton). true on success.
bool sock_os_aton(const char* text, uint32_t* addr_net);

// One send of a and b back to back (b may be empty), flags as for send. Bytes taken or -1.
// more: more data follows at once; nowait: never block, even on a blocking socket.
int sock_os_sendv(int sock, const void* a, int alen, const void* b, int blen, bool more, bool nowait);

// One receive; nowait: take only what is queued (-1 with EWOULDBLOCK/EAGAIN when nothing is).
int sock_os_recv(int sock, void* buffer, int size, bool nowait);

// Accepts one connection (non-blocking when asked); the result does not leak into started
// programs. -1 on failure.
int sock_os_accept(int listen_sock, sockaddr_in* peer, bool nonblocking);

// True when err (a sock_os_error value) says a non-blocking connect is under way.
bool sock_os_connect_pending(int err);

// The send low-water mark (Winsock has none: 0). 0, or -1 when it cannot be read.
int sock_os_sndlowat(int sock, int* value);

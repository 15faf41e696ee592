// What the fleet needs of sockets that base/ has no helper for: a TCP listener whose receive
// buffer is set before it listens, the command interface's Unix socket, and whether a peer has
// closed its end. Everything else the simulator does with sockets goes through base/sock.h.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// A non-blocking TCP socket listening on addr:port (host order) with address reuse. rcvbuf > 0
// sets the receive buffer before listening, so that accepted connections offer a small window
// from their first segment on. The socket, or -errno with nothing left open.
int tcp_listen(uint32_t addr, uint16_t port, int rcvbuf);

// A non-blocking stream socket listening at a Unix socket path; a file left there by an earlier
// run is removed first. The socket, or -errno with nothing left open; *made is false when the
// socket could not even be made (or the path does not fit), true when binding or listening failed.
int unix_listen(const std::string& path, bool* made);

// Whether the peer of a connected TCP socket has closed or reset it, whatever is still unread
// (the connection's own state, not a read).
bool peer_closed(int fd);

}  // namespace sim

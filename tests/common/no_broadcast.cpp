// Linked into every test binary that does not run inside a private network namespace: before
// main, every broadcast the process could make (a search, the clock, a reconfiguration, a
// page's button) is pointed at 127.0.0.1's discard port. Tests point it at loopback sockets of
// their own and back; nothing reaches the network.
#include "base/sock.h"

namespace {

const bool g_broadcast_on_loopback = [] {
    broadcast_set_destination_for_test(0x7F000001, 9);
    return true;
}();

}  // namespace

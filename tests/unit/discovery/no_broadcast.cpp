// Before any test runs, every broadcast of this test binary is pointed at 127.0.0.1's discard
// port; tests point it at their own loopback sockets and back there, never at the network.
#include "helpers.h"

namespace {

const bool g_redirected = [] {
    broadcast_set_destination_for_test(0x7F000001, dtest::kNowherePort);
    return true;
}();

}  // namespace

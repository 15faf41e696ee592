// Before any test runs, every broadcast of this test binary goes to 127.0.0.1's discard port,
// and its searches bind from a port of this process's own, so nothing leaves the machine and
// parallel test processes do not share a search port.
#include <unistd.h>

#include "base/sock.h"
#include "discovery/search.h"

namespace {

const bool g_redirected = [] {
  broadcast_set_destination_for_test(0x7F000001, 9);
  searchipc_set_first_port_for_test(static_cast<uint16_t>(20000 + (::getpid() % 20000)));
  return true;
}();

}  // namespace

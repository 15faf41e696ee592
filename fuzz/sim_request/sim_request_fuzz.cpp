// Datagrams reaching the simulated recorders' port: any bytes from anyone on the network.
#include "sim/request.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    sim::Request r = sim::parse_request(reinterpret_cast<const char*>(data), size);
    if (!r.ok && (r.code != 0 || !r.serial.empty()))
        std::abort();
    return 0;
}

// A fleet file as a user writes it: any text is either a fleet or one clear error.
#include "sim/fleet.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    static const sim::FleetOptions opt;
    std::vector<sim::Device> devices;
    std::string error;
    int r = sim::parse_fleet_text(text, opt, &devices, &error);
    if (r != 0 && (r != -1 || error.empty()))
        std::abort();
    for (size_t i = 0; r == 0 && i < devices.size(); ++i)
        if (devices[i].index != static_cast<int>(i) || devices[i].accounts.empty())
            std::abort();
    return 0;
}

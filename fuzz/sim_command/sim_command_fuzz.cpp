// The simulator's control interface: any lines a test or script sends, one reply line each
// ("ok ..." or "error: ..."). One fleet of three recorders on 127.0.0.1 serves every input; a
// recorder that a line reboots comes back at the next pass of the loop.
#include "sim/fleet.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    static sim::Fleet* fleet = [] {
        sim::FleetOptions opt;
        opt.devices = 3;
        opt.base_ip = 0x7F000001;
        opt.bind_addr = 0x7F000001;
        opt.port = 0;
        opt.source_addr = false;
        opt.control_bind = 0x7F000001;
        opt.ptz_port = 0;
        opt.reboot_ms = 0;
        auto* f = new sim::Fleet(opt);
        if (f->open() != 0)
            std::abort();
        return f;
    }();
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        std::string reply = fleet->command(line);
        if (reply.compare(0, 1, "{") != 0 && reply.compare(0, 3, "ok ") != 0 && reply.compare(0, 7, "error: ") != 0)
            std::abort();
        if (reply.find('\n') != std::string::npos)
            std::abort();
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    fleet->step(0);
    return 0;
}

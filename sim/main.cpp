// dravlin-sim: a fleet of simulated recorders for the private test network.
#include "sim/fleet.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: dravlin-sim [OPTIONS]\n"
                 "\n"
                 "Simulated recorders answering the LAN search on UDP port 3001 and serving the control\n"
                 "link on their control port. Run it inside a private network namespace\n"
                 "(scripts/netns-lab), never on a real network.\n"
                 "\n"
                 "Options:\n"
                 "  --devices N          number of recorders (default 1)\n"
                 "  --base-ip A          address of the first recorder, the others count up (default 10.77.1.1)\n"
                 "  --netmask M          netmask the recorders report (default 255.255.0.0)\n"
                 "  --gateway G          gateway the recorders report (default 10.77.0.1)\n"
                 "  --serial-prefix P    serial numbers are P000001, P000002, ... (default DRVSIM)\n"
                 "  --type T             device type (default NVR-SIM16)\n"
                 "  --ptz-port N         control port in the answers (default 8091)\n"
                 "  --web-port N         web port in the answers (default 80)\n"
                 "  --video-port N       video port in the answers (default 554)\n"
                 "  --fleet FILE         one recorder per line: serial=.. type=.. ip=.. mac=.. netmask=..\n"
                 "                       gateway=.. dns1=.. dns2=.. dhcp=.. ptz=.. web=.. video=.. auth=..\n"
                 "                       account=user:password:group:status (repeatable) fault=KIND\n"
                 "                       link-fault=KIND (repeatable) channels=N (channel table; by\n"
                 "                       type: 32 for an NVR type naming 32, 16 for other NVRs; 0 an\n"
                 "                       NVR's empty table)\n"
                 "                       camera=MVK|ONVIF:IP:PORT[:USER[:PASSWORD[:SN[:OSD]]]] (repeatable,\n"
                 "                       what the recorder's camera search finds; camera=none for none)\n"
                 "                       vendor=TEXT (VendorId of 304) resolution=NAME (main stream of\n"
                 "                       301/303/305/306, e.g. 720P) config.CODE=PATH (a configuration\n"
                 "                       get of that code answered with the file; relative to FILE)\n"
                 "                       online_after=SECONDS (plugged in that long after the start;\n"
                 "                       decimals allowed, e.g. 0.5)\n"
                 "  --fault KIND:I[,I..] recorder I (0-based) answers with that fault; KIND is one of\n"
                 "                       %s\n"
                 "  --link-fault KIND:D[,D..]  recorder D (0-based index or serial number) misbehaves on its\n"
                 "                       control link (SERIAL=KIND works too); KIND is one of\n"
                 "                       %s\n"
                 "  --no-control         do not listen on the control ports\n"
                 "  --control-bind A     listen on A for every recorder instead of its own address\n"
                 "                       (with --ptz-port 0 each recorder takes a free port)\n"
                 "  --reboot-ms N        a rebooted recorder is away this long (default 5000)\n"
                 "  --reboot-after-firmware  a recorder that accepted a firmware image reboots after its\n"
                 "                       verdict (as real recorders install it); off by default\n"
                 "  --online-spread S    the recorders come online one after another: recorder I (0-based)\n"
                 "                       is plugged in I*S/N seconds after the start, N being the number of\n"
                 "                       recorders (decimals allowed; a fleet file's online_after= wins);\n"
                 "                       until then it answers nothing and its control port refuses\n"
                 "  --store DIR          write uploaded files to DIR/<serial>/type<N>.bin\n"
                 "  --download-chunk N   data bytes per download chunk (default 1024)\n"
                 "  --slow-read-bps N    reading speed of a slow-read recorder (default 262144)\n"
                 "  --slow-read KBPS[:PAUSE_MS[:AT_PERCENT]]\n"
                 "                       a slow-read recorder reads KBPS kilobytes (1000 bytes) per second\n"
                 "                       through a 16 KiB receive buffer and, with PAUSE_MS, stops reading\n"
                 "                       that long once per upload when AT_PERCENT of it has arrived\n"
                 "                       (default 50); e.g. --slow-read 400:12000:50\n"
                 "  --command-socket P   control interface on the Unix socket P: one command per line\n"
                 "                       (alarm DEV [N], heartbeat DEV mvk|aux, unknown DEV,\n"
                 "                       bad DEV magic|truncated|huge-length|bad-xml, fault DEV KIND on|off,\n"
                 "                       drop DEV, reboot DEV, plug DEV in|out, status; DEV = index,\n"
                 "                       serial or all)\n"
                 "  --status FILE        keep a JSON status file of everything received and sent\n"
                 "  --bind A             local address of the UDP socket (default 0.0.0.0)\n"
                 "  --port N             UDP port (default 3001; 0 = any free port)\n"
                 "  --spread MS          spread each round of answers over MS milliseconds\n"
                 "  --no-source-addr     answer from the host's address, not from each recorder's own\n"
                 "  --verbose            events on standard error\n"
                 "  --help               this text\n",
                 sim::fault_names().c_str(), sim::link_fault_names().c_str());
}

bool parse_uint(const char* s, long max, long* out)
{
    if (!s || !*s)
        return false;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (*end != '\0' || v < 0 || v > max)
        return false;
    *out = v;
    return true;
}

int bad(const std::string& message)
{
    std::fprintf(stderr, "dravlin-sim: %s\nTry 'dravlin-sim --help'.\n", message.c_str());
    return 2;
}

// --fault KIND:I[,I..]. "" when taken, else what bad() says.
std::string add_faults(const char* v, sim::FleetOptions& opt)
{
    std::string arg = v ? v : "";
    auto colon = arg.find(':');
    sim::AnswerFault fault;
    if (colon == std::string::npos || !sim::fault_from_name(arg.substr(0, colon), &fault))
        return "--fault needs KIND:INDEX[,INDEX...] with KIND one of " + sim::fault_names();
    std::string list = arg.substr(colon + 1);
    long n = 0;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (!parse_uint(item.c_str(), 59999, &n))
            return "--fault: '" + item + "' is not a recorder index";
        opt.faults.emplace_back(fault, static_cast<int>(n));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return "";
}

// --link-fault KIND:D[,D..] (or SERIAL=KIND). "" when taken, else what bad() says.
std::string add_link_faults(const char* v, sim::FleetOptions& opt)
{
    std::string arg = v ? v : "";
    // SERIAL=KIND is accepted too, for a single recorder.
    if (auto eq = arg.find('='); eq != std::string::npos && arg.find(':') == std::string::npos)
        arg = arg.substr(eq + 1) + ":" + arg.substr(0, eq);
    auto colon = arg.find(':');
    sim::LinkFault fault;
    if (colon == std::string::npos || !sim::link_fault_from_name(arg.substr(0, colon), &fault))
        return "--link-fault needs KIND:DEVICE[,DEVICE...] with KIND one of " + sim::link_fault_names();
    std::string list = arg.substr(colon + 1);
    size_t pos = 0;
    for (;;) {
        size_t comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (item.empty())
            return "--link-fault: empty device in '" + arg + "'";
        opt.link_faults.emplace_back(fault, item);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return "";
}

// --slow-read KBPS[:PAUSE_MS[:AT_PERCENT]]. "" when taken, else what bad() says.
std::string set_slow_read(const char* v, sim::FleetOptions& opt)
{
    std::string arg = v ? v : "";
    long parts[3] = {0, 0, 50};
    size_t pos = 0;
    int count = 0;
    bool ok = !arg.empty();
    while (ok && count < 3) {
        size_t colon = arg.find(':', pos);
        std::string item = arg.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
        ok = parse_uint(item.c_str(), count == 0 ? 1000000 : count == 1 ? 3600000 : 100, &parts[count]);
        ++count;
        if (colon == std::string::npos)
            break;
        pos = colon + 1;
        ok = ok && count < 3;
    }
    if (!ok || parts[0] == 0)
        return "--slow-read needs KBPS[:PAUSE_MS[:AT_PERCENT]], e.g. 400:12000:50";
    opt.slow_read_bps = static_cast<int>(parts[0] * 1000);
    opt.slow_read_pause_ms = static_cast<int>(parts[1]);
    opt.slow_read_pause_at = static_cast<int>(parts[2]);
    return "";
}

}  // namespace

int main(int argc, char** argv)
{
    sim::FleetOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long n = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--devices") {
            if (!parse_uint(value(), 60000, &n))
                return bad("--devices needs a number from 0 to 60000");
            opt.devices = static_cast<int>(n);
        } else if (a == "--base-ip" || a == "--netmask" || a == "--gateway" || a == "--bind") {
            const char* v = value();
            uint32_t addr = 0;
            if (!v || !sim::parse_ip(v, &addr))
                return bad(a + " needs a dotted IPv4 address");
            (a == "--base-ip"       ? opt.base_ip
                 : a == "--netmask" ? opt.netmask
                 : a == "--gateway" ? opt.gateway
                                    : opt.bind_addr) = addr;
        } else if (a == "--serial-prefix" || a == "--type" || a == "--fleet" || a == "--status") {
            const char* v = value();
            if (!v)
                return bad(a + " needs a value");
            (a == "--serial-prefix" ? opt.serial_prefix
                 : a == "--type"    ? opt.type
                 : a == "--fleet"   ? opt.fleet_file
                                    : opt.status_file) = v;
        } else if (a == "--ptz-port" || a == "--web-port" || a == "--video-port") {
            if (!parse_uint(value(), 65535, &n))
                return bad(a + " needs a port number");
            (a == "--ptz-port"       ? opt.ptz_port
                 : a == "--web-port" ? opt.web_port
                                     : opt.video_port) = static_cast<int>(n);
        } else if (a == "--port") {
            if (!parse_uint(value(), 65535, &n))
                return bad("--port needs a port number");
            opt.port = static_cast<uint16_t>(n);
        } else if (a == "--spread") {
            if (!parse_uint(value(), 60000, &n))
                return bad("--spread needs milliseconds");
            opt.spread_ms = static_cast<int>(n);
        } else if (a == "--fault") {
            if (std::string why = add_faults(value(), opt); !why.empty())
                return bad(why);
        } else if (a == "--link-fault") {
            if (std::string why = add_link_faults(value(), opt); !why.empty())
                return bad(why);
        } else if (a == "--no-control") {
            opt.control = false;
        } else if (a == "--control-bind") {
            const char* v = value();
            if (!v || !sim::parse_ip(v, &opt.control_bind))
                return bad("--control-bind needs a dotted IPv4 address");
        } else if (a == "--reboot-ms" || a == "--download-chunk" || a == "--slow-read-bps") {
            if (!parse_uint(value(), 1000000000, &n) || (a != "--reboot-ms" && n == 0))
                return bad(a + " needs a positive number");
            (a == "--reboot-ms"            ? opt.reboot_ms
                 : a == "--download-chunk" ? opt.link.download_chunk
                                           : opt.slow_read_bps) = static_cast<int>(n);
        } else if (a == "--reboot-after-firmware") {
            opt.link.reboot_after_firmware = true;
        } else if (a == "--online-spread") {
            const char* v = value();
            if (!v || !sim::parse_seconds(v, &opt.online_spread_ms))
                return bad("--online-spread needs seconds from 0 to 1000000, e.g. 10 or 0.5");
        } else if (a == "--slow-read") {
            if (std::string why = set_slow_read(value(), opt); !why.empty())
                return bad(why);
        } else if (a == "--store" || a == "--command-socket") {
            const char* v = value();
            if (!v || !*v)
                return bad(a + " needs a path");
            (a == "--store" ? opt.link.store_dir : opt.command_socket) = v;
        } else if (a == "--no-source-addr") {
            opt.source_addr = false;
        } else if (a == "--verbose" || a == "-v") {
            opt.verbose = true;
        } else {
            return bad("unknown option '" + a + "'");
        }
    }

    sim::Fleet fleet(opt);
    if (fleet.open() != 0) {
        std::fprintf(stderr, "dravlin-sim: %s\n", fleet.error().c_str());
        return 1;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::fprintf(stderr, "dravlin-sim: %zu recorders, listening on UDP port %u%s\n", fleet.devices().size(),
                 static_cast<unsigned>(fleet.port()), opt.control ? " and their control ports" : "");
    fleet.run(g_stop);
    return 0;
}

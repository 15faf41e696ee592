// The fleet's devices before anything listens: the generated fleet, and a fleet file's lines
// with their keys. A fleet file comes from the user, so every malformed word is refused with a
// message naming its line, and nothing here touches a socket.
#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/answer.h"
#include "sim/config_docs.h"
#include "sim/nvr.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr int kMaxDevices = 60000;
constexpr size_t kMaxAccounts = 64;

std::string mac_for(int index)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "02:77:00:%02X:%02X:%02X", (index >> 16) & 0xFF, (index >> 8) & 0xFF, index & 0xFF);
    return buf;
}

bool parse_int(const std::string& s, int* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < -1000000 || v > 1000000)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// What the words of one device line gather before the device's channel table is set up.
struct LineState {
    bool own_accounts = false;
    int channels = -1;
    bool own_cameras = false;
    std::vector<Camera> cameras;
};

// config.CODE=PATH: that configuration get answers with the file's text. "" or why not.
std::string apply_config_key(Device& d, const std::string& key, const std::string& value, const FleetOptions& opt)
{
    int code = -1;
    if (!parse_int(key.substr(7), &code) || code < 0)
        return "'" + key + "': config. takes a message code";
    if (code >= 3801 && code <= 3808)
        return "'" + key + "': the channel table answers that code";
    // A relative path is taken from the fleet file's folder, so a fleet and its documents move together.
    std::string path = value;
    if (!path.empty() && path[0] != '/' && !opt.fleet_file.empty())
        if (auto slash = opt.fleet_file.rfind('/'); slash != std::string::npos)
            path = opt.fleet_file.substr(0, slash + 1) + path;
    std::string why;
    if (value.empty() || !read_config_body(path, &d.docs.bodies[code], &why))
        return "bad value for '" + key + "': " + (value.empty() ? "no file named" : why);
    return "";
}

// account=user:password:group:status; the first one replaces the generated accounts.
std::string apply_account(Device& d, const std::string& value, LineState& st)
{
    if (!st.own_accounts)
        d.accounts.clear();
    st.own_accounts = true;
    if (d.accounts.size() >= kMaxAccounts)
        return "more than 64 accounts";
    Account a;
    std::istringstream parts(value);
    std::getline(parts, a.user, ':');
    std::getline(parts, a.password, ':');
    std::getline(parts, a.group, ':');
    std::getline(parts, a.status, ':');
    d.accounts.push_back(a);
    return "";
}

// One key=value word of a device line. "" when taken, else what is wrong with it.
std::string apply_key(Device& d, const std::string& key, const std::string& value, const FleetOptions& opt,
                      LineState& st)
{
    bool ok = true;
    if (key == "serial")
        d.serial = value;
    else if (key == "type")
        d.type = value;
    else if (key == "ip") {
        ok = parse_ip(value, &d.addr);
        d.lan.ip = value;
    } else if (key == "mac")
        d.lan.mac = value;
    else if (key == "netmask")
        d.lan.netmask = value;
    else if (key == "gateway")
        d.lan.gateway = value;
    else if (key == "dns1")
        d.lan.dns1 = value;
    else if (key == "dns2")
        d.lan.dns2 = value;
    else if (key == "dhcp")
        ok = parse_int(value, &d.lan.dhcp);
    else if (key == "ptz")
        ok = parse_int(value, &d.ptz_port);
    else if (key == "web")
        ok = parse_int(value, &d.web_port);
    else if (key == "video")
        ok = parse_int(value, &d.video_port);
    else if (key == "auth")
        ok = parse_int(value, &d.auth);
    else if (key == "fault")
        ok = fault_from_name(value, &d.fault);
    else if (key == "link-fault") {
        LinkFault lf;
        ok = link_fault_from_name(value, &lf);
        if (ok)
            d.set(lf, true);
    } else if (key == "channels")
        ok = parse_int(value, &st.channels) && st.channels >= 0 && st.channels <= kMaxChannels;
    else if (key == "camera") {
        st.own_cameras = true;
        if (value != "none") {
            if (st.cameras.size() >= kMaxCameras)
                return "more than " + std::to_string(kMaxCameras) + " cameras";
            Camera c;
            ok = parse_camera(value, &c);
            st.cameras.push_back(c);
        }
    } else if (key == "vendor") {
        ok = !value.empty() && value.size() <= 255;
        d.docs.vendor = value;
    } else if (key == "resolution") {
        int w = 0, h = 0;
        ok = resolution_size(value, &w, &h);
        d.docs.resolution = value;
    } else if (key == "online_after")
        ok = parse_seconds(value, &d.online_after_ms);
    else if (key.rfind("config.", 0) == 0)
        return apply_config_key(d, key, value, opt);
    else if (key == "account")
        return apply_account(d, value, st);
    else
        return "unknown key '" + key + "'";
    return ok ? "" : "bad value for '" + key + "'";
}

}  // namespace

bool parse_seconds(const std::string& text, int64_t* ms)
{
    // Digits and at most one decimal point: no sign, exponent or spaces, which strtod would take.
    int64_t whole = 0, frac = 0, scale = 100;
    size_t i = 0, digits = 0;
    auto digit = [&] { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    for (; digit(); ++i, ++digits) {
        whole = whole * 10 + (text[i] - '0');
        if (whole > 1000000)
            return false;
    }
    if (i < text.size() && text[i] == '.')
        for (++i; digit(); ++i, ++digits, scale /= 10)
            frac += (text[i] - '0') * scale;  // what lies below a millisecond drops out
    if (i != text.size() || digits == 0 || whole * 1000 + frac > 1000000000)
        return false;
    *ms = whole * 1000 + frac;
    return true;
}

bool parse_ip(const std::string& text, uint32_t* out) { return ipv4_parse(text.c_str(), out); }

std::string format_ip(uint32_t addr)
{
    char buf[16];
    ipv4_format(addr, buf, sizeof buf);
    return buf;
}

int generate_fleet(const FleetOptions& opt, std::vector<Device>* out, std::string* error)
{
    if (opt.devices < 0 || opt.devices > kMaxDevices) {
        *error = "--devices must be between 0 and 60000";
        return -1;
    }
    std::vector<Device>& devices = *out;
    devices.clear();
    devices.reserve(static_cast<size_t>(opt.devices));
    for (int i = 0; i < opt.devices; ++i) {
        Device d;
        d.index = i;
        char serial[64];
        std::snprintf(serial, sizeof serial, "%.40s%06d", opt.serial_prefix.c_str(), i + 1);
        d.serial = serial;
        d.type = opt.type;
        d.addr = opt.base_ip + static_cast<uint32_t>(i);
        d.lan.mac = mac_for(i + 1);
        d.lan.ip = format_ip(d.addr);
        d.lan.netmask = format_ip(opt.netmask);
        d.lan.gateway = format_ip(opt.gateway);
        d.lan.dns1 = format_ip(opt.gateway);
        d.lan.dns2 = "0.0.0.0";
        d.ptz_port = opt.ptz_port;
        d.web_port = opt.web_port;
        d.video_port = opt.video_port;
        d.accounts = {{"admin", "admin123", "Administrators", "Enable"}, {"guest", "guest", "Users", "Enable"}};
        d.online_after_ms = opt.online_spread_ms * i / opt.devices;
        setup_nvr(d);
        devices.push_back(std::move(d));
    }
    return 0;
}

// Keys: serial type ip mac netmask gateway dns1 dns2 dhcp ptz web video auth fault link-fault,
// account=user:password:group:status (repeatable; the first replaces the default accounts),
// channels=N (the channel table's size; by type otherwise) and
// camera=PROTO:IP:PORT[:USER[:PASSWORD[:SN[:OSD]]]] (repeatable; the first replaces the default
// cameras; camera=none leaves none), vendor=TEXT and resolution=NAME (configuration documents),
// config.CODE=PATH (that configuration get answered with the file's text) and online_after=SECONDS
// (plugged in that long after the fleet opens). Unnamed keys keep the generated values.
int parse_fleet_text(const std::string& text, const FleetOptions& opt, std::vector<Device>* out, std::string* error)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (lines.size() >= static_cast<size_t>(kMaxDevices)) {
            *error = "fleet file: more than 60000 devices";
            return -1;
        }
        lines.push_back(line);
    }
    FleetOptions gen = opt;
    gen.devices = static_cast<int>(lines.size());
    if (generate_fleet(gen, out, error) != 0)
        return -1;
    for (size_t n = 0; n < lines.size(); ++n) {
        Device& d = (*out)[n];
        LineState st;
        std::istringstream words(lines[n]);
        std::string word;
        while (words >> word) {
            std::string why;
            if (auto eq = word.find('='); eq == std::string::npos)
                why = "'" + word + "' is not key=value";
            else
                why = apply_key(d, word.substr(0, eq), word.substr(eq + 1), opt, st);
            if (!why.empty()) {
                *error = "fleet file line " + std::to_string(n + 1) + ": " + why;
                return -1;
            }
        }
        setup_nvr(d, st.channels, st.own_cameras ? &st.cameras : nullptr);
    }
    return 0;
}

int Fleet::load_fleet_file()
{
    std::ifstream in(opt_.fleet_file, std::ios::binary);
    if (!in) {
        error_ = "cannot read fleet file " + opt_.fleet_file;
        return -1;
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse_fleet_text(text.str(), opt_, &devices_, &error_);
}

}  // namespace sim

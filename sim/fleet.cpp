#include "sim/fleet.h"

#include "base/sock.h"
#include "sim/answer.h"
#include "sim/request.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t kLogKeep = 400;       // datagrams kept in the status file
constexpr int64_t kStatusEveryMs = 100;  // status file rewritten at most this often
constexpr int kMaxDatagram = 65536;

int64_t mono_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// JSON string: quotes, backslashes and control characters escaped; bytes of 0x80 and above
// become \u0080..\u00ff so that the file stays valid UTF-8 and a reader gets the bytes back.
std::string json_str(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

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

}  // namespace

bool parse_ip(const std::string& text, uint32_t* out) { return ipv4_parse(text.c_str(), out); }

std::string format_ip(uint32_t addr)
{
    char buf[16];
    ipv4_format(addr, buf, sizeof buf);
    return buf;
}

Fleet::Fleet(FleetOptions opt) : opt_(std::move(opt)) {}

Fleet::~Fleet() { sock_close(sock_); }

void Fleet::note(const char* fmt, ...)
{
    if (!opt_.verbose)
        return;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "dravlin-sim: %s\n", buf);
}

int Fleet::build_generated()
{
    if (opt_.devices < 0 || opt_.devices > 60000) {
        error_ = "--devices must be between 0 and 60000";
        return -1;
    }
    devices_.clear();
    devices_.reserve(static_cast<size_t>(opt_.devices));
    for (int i = 0; i < opt_.devices; ++i) {
        Device d;
        d.index = i;
        char serial[64];
        std::snprintf(serial, sizeof serial, "%s%06d", opt_.serial_prefix.c_str(), i + 1);
        d.serial = serial;
        d.type = opt_.type;
        d.addr = opt_.base_ip + static_cast<uint32_t>(i);
        d.lan.mac = mac_for(i + 1);
        d.lan.ip = format_ip(d.addr);
        d.lan.netmask = format_ip(opt_.netmask);
        d.lan.gateway = format_ip(opt_.gateway);
        d.lan.dns1 = format_ip(opt_.gateway);
        d.lan.dns2 = "0.0.0.0";
        d.ptz_port = opt_.ptz_port;
        d.web_port = opt_.web_port;
        d.video_port = opt_.video_port;
        d.accounts = {{"admin", "admin123", "Administrators", "Enable"}, {"guest", "guest", "Users", "Enable"}};
        devices_.push_back(std::move(d));
    }
    return 0;
}

// One device per line, "key=value" words; '#' starts a comment. Keys: serial type ip mac
// netmask gateway dns1 dns2 dhcp ptz web video auth fault, and account=user:password:group:status
// (repeatable; the first replaces the default accounts). Unnamed keys keep the generated values.
int Fleet::load_fleet_file()
{
    std::ifstream in(opt_.fleet_file, std::ios::binary);
    if (!in) {
        error_ = "cannot read fleet file " + opt_.fleet_file;
        return -1;
    }
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        lines.push_back(line);
    }
    opt_.devices = static_cast<int>(lines.size());
    if (build_generated() != 0)
        return -1;
    for (size_t n = 0; n < lines.size(); ++n) {
        Device& d = devices_[n];
        bool own_accounts = false;
        std::istringstream words(lines[n]);
        std::string word;
        while (words >> word) {
            auto eq = word.find('=');
            if (eq == std::string::npos) {
                error_ = "fleet file line " + std::to_string(n + 1) + ": '" + word + "' is not key=value";
                return -1;
            }
            std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            bool ok = true;
            if (key == "serial") d.serial = value;
            else if (key == "type") d.type = value;
            else if (key == "ip") { ok = parse_ip(value, &d.addr); d.lan.ip = value; }
            else if (key == "mac") d.lan.mac = value;
            else if (key == "netmask") d.lan.netmask = value;
            else if (key == "gateway") d.lan.gateway = value;
            else if (key == "dns1") d.lan.dns1 = value;
            else if (key == "dns2") d.lan.dns2 = value;
            else if (key == "dhcp") ok = parse_int(value, &d.lan.dhcp);
            else if (key == "ptz") ok = parse_int(value, &d.ptz_port);
            else if (key == "web") ok = parse_int(value, &d.web_port);
            else if (key == "video") ok = parse_int(value, &d.video_port);
            else if (key == "auth") ok = parse_int(value, &d.auth);
            else if (key == "fault") ok = fault_from_name(value, &d.fault);
            else if (key == "account") {
                if (!own_accounts)
                    d.accounts.clear();
                own_accounts = true;
                Account a;
                std::istringstream parts(value);
                std::getline(parts, a.user, ':');
                std::getline(parts, a.password, ':');
                std::getline(parts, a.group, ':');
                std::getline(parts, a.status, ':');
                d.accounts.push_back(a);
            } else {
                error_ = "fleet file line " + std::to_string(n + 1) + ": unknown key '" + key + "'";
                return -1;
            }
            if (!ok) {
                error_ = "fleet file line " + std::to_string(n + 1) + ": bad value for '" + key + "'";
                return -1;
            }
        }
    }
    return 0;
}

int Fleet::open()
{
    if ((opt_.fleet_file.empty() ? build_generated() : load_fleet_file()) != 0)
        return -1;
    for (const auto& [fault, index] : opt_.faults) {
        if (index < 0 || index >= static_cast<int>(devices_.size())) {
            error_ = "fault for device " + std::to_string(index) + ", but the fleet has " +
                     std::to_string(devices_.size()) + " devices";
            return -1;
        }
        devices_[static_cast<size_t>(index)].fault = fault;
    }
    for (Device& d : devices_)
        d.lan_initial = d.lan;
    if (opt_.spread_ms < 0)
        opt_.spread_ms = std::min(500, static_cast<int>(devices_.size()) / 2);

    sock_ = udp_bind(opt_.bind_addr, opt_.port, true);
    if (sock_ < 0) {
        error_ = "cannot bind UDP " + format_ip(opt_.bind_addr) + ":" + std::to_string(opt_.port);
        return -1;
    }
    // Room for a burst of requests while answers are being sent.
    sock_setrcvbuf(sock_, 1 << 20);
    port_ = sock_local_port(sock_);
    source_ok_ = opt_.source_addr;
    dirty_ = true;
    write_status();
    return 0;
}

void Fleet::handle(const char* data, int len, uint32_t from_addr, uint16_t from_port)
{
    Request req = parse_request(data, static_cast<size_t>(len));
    Datagram dg;
    dg.wall_ms = wall_ms();
    dg.from_addr = from_addr;
    dg.from_port = from_port;
    dg.code = req.ok ? req.code : -1;
    dg.text.assign(data, static_cast<size_t>(len));
    ++datagrams_total_;
    ++per_code_[dg.code];
    dirty_ = true;
    note("datagram code %d from %s:%u, %d bytes", dg.code, format_ip(from_addr).c_str(), from_port, len);

    if (req.ok && req.code == 1) {
        // Real devices answer independently; spreading the answers keeps a big fleet from
        // arriving as one burst that no receive buffer holds.
        int64_t now = mono_ms();
        std::vector<Pending> batch;
        for (const Device& d : devices_) {
            if (d.fault == AnswerFault::Silent)
                continue;
            rng_ = rng_ * 1664525u + 1013904223u;
            int64_t delay = opt_.spread_ms > 0 ? static_cast<int64_t>((rng_ >> 8) % static_cast<uint32_t>(opt_.spread_ms + 1)) : 0;
            batch.push_back({now + delay, d.index, from_addr, from_port});
        }
        pending_.insert(pending_.end(), batch.begin(), batch.end());
        std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) { return a.due_ms < b.due_ms; });
    } else if (req.ok && req.code == 2) {
        for (Device& d : devices_) {
            if (d.serial != req.serial)
                continue;
            d.received.push_back({2, dg.wall_ms, dg.text});
            ++d.network_changes;
            auto set = [&](const char* key, std::string& field) {
                if (auto it = req.lan.find(key); it != req.lan.end())
                    field = it->second;
            };
            set("MacAddress", d.lan.mac);
            set("IPAddress", d.lan.ip);
            set("Netmask", d.lan.netmask);
            set("Gateway", d.lan.gateway);
            set("DNS1", d.lan.dns1);
            set("DNS2", d.lan.dns2);
            if (auto it = req.lan.find("DHCP"); it != req.lan.end())
                d.lan.dhcp = std::atoi(it->second.c_str());
            note("device %d (%s) takes ip %s", d.index, d.serial.c_str(), d.lan.ip.c_str());
        }
    } else if (req.ok && req.code == 5) {
        for (Device& d : devices_) {
            if (d.serial != req.serial)
                continue;
            d.received.push_back({5, dg.wall_ms, dg.text});
            ++d.restores;
            d.lan = d.lan_initial;
            note("device %d (%s) restores its configuration", d.index, d.serial.c_str());
        }
    } else if (req.ok && req.code == 101) {
        for (Device& d : devices_) {
            ++d.clock_datagrams;
            d.last_time = req.time;
        }
    }

    log_.push_back(std::move(dg));
    while (log_.size() > kLogKeep)
        log_.pop_front();
}

void Fleet::send_due(int64_t now)
{
    while (!pending_.empty() && pending_.front().due_ms <= now) {
        Pending p = pending_.front();
        pending_.pop_front();
        Device& d = devices_[static_cast<size_t>(p.device)];
        std::string answer = build_answer(d);
        if (answer.empty())
            continue;
        int n = udp_sendto(sock_, answer.data(), static_cast<int>(answer.size()), p.addr, p.port, source_ok_ ? d.addr : 0);
        if (n < 0 && source_ok_) {
            // The device's address is not on this host (e.g. outside the lab network): answer
            // from the host's own address from now on.
            note("cannot send from %s, answering from the host address", format_ip(d.addr).c_str());
            source_ok_ = false;
            n = udp_sendto(sock_, answer.data(), static_cast<int>(answer.size()), p.addr, p.port, 0);
        }
        if (n == static_cast<int>(answer.size())) {
            ++d.answers_sent;
            ++answers_total_;
        } else {
            ++send_failures_;
        }
        dirty_ = true;
    }
}

void Fleet::step(int timeout_ms)
{
    int64_t now = mono_ms();
    int wait = timeout_ms;
    if (!pending_.empty())
        wait = static_cast<int>(std::clamp<int64_t>(pending_.front().due_ms - now, 0, timeout_ms));
    unsigned char ready = 0;
    if (sock_poll_readable(&sock_, 1, wait, &ready) > 0 && ready) {
        static thread_local std::vector<char> buf(kMaxDatagram + 1);
        for (int i = 0; i < 256; ++i) {  // drain what is queued, bounded
            UdpPeer from;
            int n = udp_recvfrom(sock_, buf.data(), kMaxDatagram, &from);
            if (n < 0)
                break;
            handle(buf.data(), std::min(n, kMaxDatagram), from.addr, from.port);
        }
    }
    now = mono_ms();
    send_due(now);
    if (dirty_ && now - last_status_ms_ >= kStatusEveryMs)
        write_status();
}

void Fleet::run(const std::atomic<bool>& stop)
{
    while (!stop.load(std::memory_order_acquire))
        step(50);
    write_status();
}

void Fleet::write_status()
{
    dirty_ = false;
    last_status_ms_ = mono_ms();
    if (opt_.status_file.empty())
        return;
    std::string j;
    j.reserve(4096 + devices_.size() * 512);
    j += "{\n\"pid\": " + std::to_string(::getpid());
    j += ",\n\"port\": " + std::to_string(port_);
    j += ",\n\"wall_ms\": " + std::to_string(wall_ms());
    j += ",\n\"datagrams_total\": " + std::to_string(datagrams_total_);
    j += ",\n\"answers_total\": " + std::to_string(answers_total_);
    j += ",\n\"send_failures\": " + std::to_string(send_failures_);
    j += ",\n\"source_addresses\": ";
    j += source_ok_ ? "true" : "false";
    j += ",\n\"codes\": {";
    bool first = true;
    for (const auto& [code, n] : per_code_) {
        j += first ? "" : ", ";
        j += "\"" + std::to_string(code) + "\": " + std::to_string(n);
        first = false;
    }
    j += "},\n\"datagrams\": [";
    first = true;
    for (const Datagram& dg : log_) {
        j += first ? "\n" : ",\n";
        first = false;
        j += "{\"wall_ms\": " + std::to_string(dg.wall_ms) + ", \"from\": " +
             json_str(format_ip(dg.from_addr) + ":" + std::to_string(dg.from_port)) +
             ", \"code\": " + std::to_string(dg.code) + ", \"text\": " + json_str(dg.text) + "}";
    }
    j += "],\n\"devices\": [";
    first = true;
    for (const Device& d : devices_) {
        j += first ? "\n" : ",\n";
        first = false;
        j += "{\"index\": " + std::to_string(d.index) + ", \"serial\": " + json_str(d.serial) +
             ", \"type\": " + json_str(d.type) + ", \"fault\": " + json_str(fault_name(d.fault)) +
             ", \"ip\": " + json_str(d.lan.ip) + ", \"mac\": " + json_str(d.lan.mac) +
             ", \"netmask\": " + json_str(d.lan.netmask) + ", \"gateway\": " + json_str(d.lan.gateway) +
             ", \"dhcp\": " + std::to_string(d.lan.dhcp) + ", \"ptz_port\": " + std::to_string(d.ptz_port) +
             ", \"answers_sent\": " + std::to_string(d.answers_sent) +
             ", \"clock_datagrams\": " + std::to_string(d.clock_datagrams) +
             ", \"last_time\": " + json_str(d.last_time) +
             ", \"network_changes\": " + std::to_string(d.network_changes) +
             ", \"restores\": " + std::to_string(d.restores) + ", \"received\": [";
        bool rfirst = true;
        for (const Received& r : d.received) {
            j += rfirst ? "" : ", ";
            rfirst = false;
            j += "{\"code\": " + std::to_string(r.code) + ", \"wall_ms\": " + std::to_string(r.wall_ms) +
                 ", \"text\": " + json_str(r.body) + "}";
        }
        j += "]}";
    }
    j += "]\n}\n";

    // Written beside the target and renamed over it, so a reader never sees half a file.
    std::string tmp = opt_.status_file + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
        bool ok = std::fwrite(j.data(), 1, j.size(), f) == j.size();
        ok = std::fclose(f) == 0 && ok;
        if (ok)
            std::rename(tmp.c_str(), opt_.status_file.c_str());
    }
}

}  // namespace sim

// The fleet's status as JSON: counters of the search protocol, the latest datagrams, and per
// device what it answered, received and noted on its control link. Tests and scripts read it
// from the status file (rewritten whole, at most every 100 ms) or through the command "status";
// every text is escaped so that any bytes a peer sent come back out unchanged.
#include "sim/fleet.h"

#include "base/sock.h"

#include <cstdio>
#include <map>
#include <unistd.h>

namespace sim {

namespace {

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

std::string json_list(const std::vector<std::string>& v)
{
    std::string j = "[";
    for (size_t i = 0; i < v.size(); ++i)
        j += (i ? ", " : "") + json_str(v[i]);
    return j + "]";
}

// The channel table (ChannelId 1-based, as the recorder reports it) and the camera search.
std::string nvr_json(const Device& d)
{
    const LinkStats& l = d.link;
    std::string j = "{\"channels\": [";
    for (size_t i = 0; i < d.channels.size(); ++i) {
        const Channel& c = d.channels[i];
        j += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i + 1) +
            ", \"used\": " + (c.used ? "true" : "false") + ", \"protocol\": " + json_str(c.protocol ? "ONVIF" : "MVK") +
            ", \"ip\": " + json_str(c.ip) + ", \"port\": " + std::to_string(c.port) +
            ", \"user\": " + json_str(c.user) + ", \"password\": " + json_str(c.password) + "}";
    }
    j += "], \"cameras\": [";
    for (size_t i = 0; i < d.cameras.size(); ++i) {
        const Camera& c = d.cameras[i];
        j += (i ? ", " : "") + std::string("{\"protocol\": ") + json_str(c.protocol ? "ONVIF" : "MVK") +
            ", \"ip\": " + json_str(c.ip) + ", \"port\": " + std::to_string(c.port) + ", \"sn\": " + json_str(c.sn) +
            ", \"osd\": " + json_str(c.osd) + "}";
    }
    j += "], \"searches\": " + std::to_string(l.nvr_searches) +
        ", \"search_stops\": " + std::to_string(l.nvr_search_stops) +
        ", \"searching\": " + (l.nvr_searching ? "true" : "false") +
        ", \"refused\": " + std::to_string(l.chan_refused) + ", \"picnum\": " + std::to_string(l.picnum) +
        ", \"page_turns\": [";
    for (size_t i = 0; i < l.page_turns.size(); ++i)
        j += (i ? ", " : "") + std::to_string(l.page_turns[i]);
    return j + "]}";
}

std::string link_json(const Device& d, bool listening, int open)
{
    const LinkStats& l = d.link;
    std::string j = "{\"listening\": ";
    j += listening ? "true" : "false";
    j += ", \"control_port\": " + std::to_string(d.ptz_port);
    j += ", \"open_connections\": " + std::to_string(open);
    std::vector<std::string> faults;
    for (int f = 0; f < static_cast<int>(LinkFault::Count); ++f)
        if (d.has(static_cast<LinkFault>(f)))
            faults.push_back(link_fault_name(static_cast<LinkFault>(f)));
    j += ", \"faults\": " + json_list(faults);
    auto num = [&](const char* key, uint64_t v) { j += std::string(", \"") + key + "\": " + std::to_string(v); };
    auto sint = [&](const char* key, int64_t v) { j += std::string(", \"") + key + "\": " + std::to_string(v); };
    num("connections", l.connections);
    num("logins_accepted", l.logins_accepted);
    num("logins_refused", l.logins_refused);
    j += ", \"last_user\": " + json_str(l.last_user);
    num("heartbeats", l.heartbeats);
    num("frames_in", l.frames_in);
    num("bad_frames", l.bad_frames);
    j += ", \"requests\": " + json_list(l.requests);
    j += ", \"texts\": " + json_list(std::vector<std::string>(l.texts.begin(), l.texts.end()));
    j += ", \"files\": {";
    bool first = true;
    for (const auto& [type, f] : l.files) {
        j += first ? "" : ", ";
        first = false;
        j += "\"" + std::to_string(type) + "\": {\"name\": " + json_str(f.name) +
            ", \"length\": " + std::to_string(f.length) + ", \"size\": " + std::to_string(f.size) +
            ", \"md5\": " + json_str(f.md5) + ", \"path\": " + json_str(f.path) +
            ", \"wall_ms\": " + std::to_string(f.wall_ms) + "}";
    }
    j += "}";
    num("uploads_announced", l.uploads_announced);
    num("uploads_refused", l.uploads_refused);
    num("uploads_completed", l.uploads_completed);
    num("uploads_failed", l.uploads_failed);
    num("upload_bytes", l.upload_bytes);
    num("reboots", l.reboots);
    j += std::string(", \"rebooting\": ") + (l.rebooting ? "true" : "false");
    j += ", \"picture_restores\": [";
    for (size_t i = 0; i < l.restores.size(); ++i)
        j += (i ? ", " : "") + std::to_string(l.restores[i]);
    j += "]";
    sint("buzzer", l.buzzer);
    sint("chn_ctrl", l.chn_ctrl);
    sint("chn_mode", l.chn_mode);
    j += ", \"userdata\": " + json_str(l.userdata);
    j += ", \"formats\": " + json_list(l.formats);
    num("iframes", l.iframes);
    j += ", \"ptz\": " + json_list(l.ptz);
    num("talk_starts", l.talk_starts);
    num("talk_stops", l.talk_stops);
    num("audio_frames", l.audio_frames);
    num("audio_bytes", l.audio_bytes);
    j += ", \"replays\": " + json_list(l.replays);
    j += ", \"removed\": " + json_list(l.removed);
    num("downloads", l.downloads);
    num("config_gets", l.config_gets);
    num("config_sets", l.config_sets);
    num("unsolicited", l.unsolicited);
    j += ", \"nvr\": " + nvr_json(d);
    j += ", \"errors\": " + json_list(l.errors);
    return j + "}";
}

// One device's entry: what it says in the search, what the network sent it, and its link.
std::string device_json(const Device& d, bool listening, int open)
{
    std::string j = "{\"index\": " + std::to_string(d.index) + ", \"serial\": " + json_str(d.serial) +
        ", \"type\": " + json_str(d.type) + ", \"fault\": " + json_str(fault_name(d.fault)) +
        ", \"ip\": " + json_str(d.lan.ip) + ", \"mac\": " + json_str(d.lan.mac) +
        ", \"netmask\": " + json_str(d.lan.netmask) + ", \"gateway\": " + json_str(d.lan.gateway) +
        ", \"dhcp\": " + std::to_string(d.lan.dhcp) + ", \"ptz_port\": " + std::to_string(d.ptz_port) +
        ", \"online\": " + (d.online() ? "true" : "false") + ", \"plugged\": " + (d.plugged ? "true" : "false") +
        ", \"online_after_ms\": " + std::to_string(d.online_after_ms) +
        ", \"answers_sent\": " + std::to_string(d.answers_sent) +
        ", \"clock_datagrams\": " + std::to_string(d.clock_datagrams) + ", \"last_time\": " + json_str(d.last_time) +
        ", \"network_changes\": " + std::to_string(d.network_changes) +
        ", \"restores\": " + std::to_string(d.restores) + ", \"received\": [";
    bool rfirst = true;
    for (const Received& r : d.received) {
        j += rfirst ? "" : ", ";
        rfirst = false;
        j += "{\"code\": " + std::to_string(r.code) + ", \"wall_ms\": " + std::to_string(r.wall_ms) +
            ", \"text\": " + json_str(r.body) + "}";
    }
    j += "], \"link\": " + link_json(d, listening, open) + "}";
    return j;
}

}  // namespace

std::string Fleet::status_json()
{
    std::lock_guard<std::mutex> lk(mu_);
    return build_status();
}

Device Fleet::device_copy(int index)
{
    std::lock_guard<std::mutex> lk(mu_);
    return devices_.at(static_cast<size_t>(index));
}

int Fleet::open_connections()
{
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(conns_.size());
}

std::string Fleet::build_status()
{
    std::map<int, int> open;
    for (const auto& [fd, c] : conns_)
        ++open[c.device];
    std::string j;
    j.reserve(4096 + devices_.size() * 1024);
    j += "{\n\"pid\": " + std::to_string(::getpid());
    j += ",\n\"port\": " + std::to_string(port_);
    j += ",\n\"wall_ms\": " + std::to_string(wall_now_ms());
    j += ",\n\"datagrams_total\": " + std::to_string(datagrams_total_);
    j += ",\n\"answers_total\": " + std::to_string(answers_total_);
    j += ",\n\"send_failures\": " + std::to_string(send_failures_);
    j += ",\n\"open_connections\": " + std::to_string(conns_.size());
    j += ",\n\"peak_connections\": " + std::to_string(peak_connections_);
    j += ",\n\"listen_failures\": " + std::to_string(listen_failures_);
    j += ",\n\"codes_other\": " + std::to_string(other_codes_);
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
        j += "{\"wall_ms\": " + std::to_string(dg.wall_ms) +
            ", \"from\": " + json_str(format_ip(dg.from_addr) + ":" + std::to_string(dg.from_port)) +
            ", \"code\": " + std::to_string(dg.code) + ", \"text\": " + json_str(dg.text) + "}";
    }
    j += "],\n\"devices\": [";
    first = true;
    for (const Device& d : devices_) {
        j += first ? "\n" : ",\n";
        first = false;
        size_t idx = static_cast<size_t>(d.index);
        bool listening = idx < listen_fd_.size() && listen_fd_[idx] >= 0;
        auto it = open.find(d.index);
        j += device_json(d, listening, it == open.end() ? 0 : it->second);
    }
    j += "]\n}\n";
    return j;
}

void Fleet::write_status()
{
    dirty_ = false;
    last_status_ms_ = mono_now_ms();
    if (opt_.status_file.empty())
        return;
    std::string j = build_status();
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

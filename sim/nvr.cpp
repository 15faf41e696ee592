#include "sim/nvr.h"

#include "sim/wire.h"

#include <tinyxml.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <sstream>

namespace sim {

namespace {

bool to_int(const char* s, long lo, long hi, int* out)
{
    if (!s || !*s)
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (*end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool is_ipv4(const std::string& s)
{
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool protocol_code(const std::string& s, int* out)
{
    if (s == "MVK")
        *out = 0;
    else if (s == "ONVIF")
        *out = 1;
    else
        return false;
    return true;
}

const char* protocol_name(int p) { return p ? "ONVIF" : "MVK"; }

std::string attr(const char* name, const std::string& value)
{
    return std::string(name) + "=\"" + attr_escape(value) + "\"\n";
}

}  // namespace

int channels_for_type(const std::string& type)
{
    if (type.find("NVR") == std::string::npos)
        return 0;
    return type.find("32") != std::string::npos ? 32 : 16;
}

std::vector<Camera> default_cameras()
{
    auto cam = [](int proto, const char* ip, int port, const char* sn, const char* osd) {
        return Camera{proto, ip, port, "admin", "470213", sn, osd};
    };
    return {
        cam(0, "192.168.1.101", 8091, "MVKIPC000101", "Gate"), cam(1, "192.168.1.103", 80, "ONV000103", "Hall"),
        cam(1, "192.168.1.102", 80, "ONV000102", "Yard"),      cam(0, "192.168.1.104", 8091, "MVKIPC000104", "Stairs"),
        cam(0, "192.168.1.103", 8091, "MVKIPC000103", "Hall"), cam(1, "192.168.1.105", 80, "ONV000105", "Garage"),
    };
}

void setup_nvr(Device& d, int channels, const std::vector<Camera>* cameras)
{
    int n = channels >= 0 ? channels : channels_for_type(d.type);
    d.channels.assign(static_cast<size_t>(n), Channel{});
    // channels=0 on an NVR is a table without a channel; a camera has no table at all.
    d.channel_table = n > 0 || channels_for_type(d.type) > 0;
    if (cameras)
        d.cameras = *cameras;
    else if (n > 0)
        d.cameras = default_cameras();
    else
        d.cameras.clear();
}

bool parse_camera(const std::string& text, Camera* out)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string p;
    while (std::getline(in, p, ':'))
        parts.push_back(p);
    if (parts.size() < 3 || parts.size() > 7)
        return false;
    Camera c;
    if (!protocol_code(parts[0], &c.protocol) || !is_ipv4(parts[1]) || !to_int(parts[2].c_str(), 1, 65535, &c.port))
        return false;
    c.ip = parts[1];
    std::string* rest[] = {&c.user, &c.password, &c.sn, &c.osd};
    for (size_t i = 3; i < parts.size(); ++i)
        *rest[i - 3] = parts[i];
    *out = c;
    return true;
}

std::vector<std::string> search_batches(const Device& d, size_t per_batch)
{
    std::vector<std::string> out;
    if (per_batch == 0)
        per_batch = 1;
    for (size_t i = 0; i < d.cameras.size(); i += per_batch) {
        std::string body;
        for (size_t k = i; k < d.cameras.size() && k < i + per_batch; ++k) {
            const Camera& c = d.cameras[k];
            body += "<IPCINFO\n" + attr("Protocol", protocol_name(c.protocol)) + attr("IPAddress", c.ip) +
                attr("Username", c.user) + attr("Password", c.password) + attr("CtrlPort", std::to_string(c.port)) +
                attr("SN", c.sn) + attr("OsdName", c.osd) + "/>\n";
        }
        out.push_back(std::move(body));
    }
    return out;
}

std::string channel_list_body(const Device& d)
{
    std::string body;
    for (size_t i = 0; i < d.channels.size(); ++i) {
        const Channel& ch = d.channels[i];
        std::string name;
        if (ch.used) {
            // The camera's own name when the recorder has seen it, else one of the recorder's.
            for (const Camera& c : d.cameras)
                if (c.ip == ch.ip && c.protocol == ch.protocol)
                    name = c.osd;
            if (name.empty())
                name = "IPCamera " + std::to_string(i + 1);
        }
        body += "<ChannelInfo\n" + attr("ChannelId", std::to_string(i + 1)) +
            attr("Protocol", protocol_name(ch.protocol)) + attr("Status", ch.used ? "1" : "0") + attr("IpAddr", ch.ip) +
            attr("ChannnelName", name) + "/>\n";
    }
    return body;
}

bool add_channels(Device& d, const TiXmlElement* first, std::string* why)
{
    const int n = static_cast<int>(d.channels.size());
    std::vector<std::pair<int, Channel>> adds;
    std::set<int> seen;
    for (const TiXmlElement* e = first; e; e = e->NextSiblingElement("ChannelInfo")) {
        int id = -1;
        Channel ch;
        ch.used = true;
        const char* ip = e->Attribute("IPAddress");
        const char* proto = e->Attribute("Protocol");
        if (!to_int(e->Attribute("ChannelId"), 0, kMaxChannels, &id) || !proto || !protocol_code(proto, &ch.protocol) ||
            !ip || !is_ipv4(ip) || !to_int(e->Attribute("CtrlPort"), 1, 65535, &ch.port)) {
            *why = "channel add with a missing or malformed ChannelId, Protocol, IPAddress or CtrlPort";
            return false;
        }
        if (id >= n) {
            *why = "channel add for channel " + std::to_string(id) + " of a table of " + std::to_string(n);
            return false;
        }
        if (!seen.insert(id).second) {
            *why = "channel add naming channel " + std::to_string(id) + " twice";
            return false;
        }
        ch.ip = ip;
        if (const char* u = e->Attribute("Username"))
            ch.user = u;
        if (const char* p = e->Attribute("Password"))
            ch.password = p;
        adds.emplace_back(id, std::move(ch));
    }
    if (adds.empty()) {
        *why = "channel add without a ChannelInfo";
        return false;
    }
    // A camera put on a used channel replaces the one there.
    for (auto& [id, ch] : adds)
        d.channels[static_cast<size_t>(id)] = std::move(ch);
    return true;
}

bool delete_channel(Device& d, const std::string& id, std::string* why)
{
    int v = -1;
    if (to_int(id.c_str(), kAllChannels, kAllChannels, &v)) {
        d.channels.assign(d.channels.size(), Channel{});
        return true;
    }
    if (!to_int(id.c_str(), 0, static_cast<long>(d.channels.size()) - 1, &v)) {
        *why = "channel delete of ChannelId '" + id + "'";
        return false;
    }
    d.channels[static_cast<size_t>(v)] = Channel{};
    return true;
}

bool swap_channels(Device& d, const std::string& first, const std::string& second, std::string* why)
{
    int a = -1, b = -1;
    long last = static_cast<long>(d.channels.size()) - 1;
    if (!to_int(first.c_str(), 0, last, &a) || !to_int(second.c_str(), 0, last, &b)) {
        *why = "channel swap of ChannelId1 '" + first + "' and ChannelId2 '" + second + "'";
        return false;
    }
    std::swap(d.channels[static_cast<size_t>(a)], d.channels[static_cast<size_t>(b)]);
    return true;
}

}  // namespace sim

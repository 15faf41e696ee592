#include "sim/config_docs.h"

#include "sim/wire.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

struct Resolution {
    const char* name;
    int width, height;
};

// The names recorders give their resolutions, looked up exactly ("720P" is not "720X480").
constexpr Resolution kResolutions[] = {
    {"256X192", 256, 192},     {"288X192", 288, 192},     {"320X192", 320, 192},     {"352X192", 352, 192},
    {"QVGA", 320, 240},        {"CIF", 352, 288},         {"480X270", 480, 270},     {"480X360", 480, 360},
    {"640X360", 640, 360},     {"VGA", 640, 480},         {"D1", 704, 576},          {"960X540", 960, 540},
    {"448P", 800, 448},        {"720P", 1280, 720},       {"800P", 1280, 800},       {"960P", 1280, 960},
    {"1024P", 1280, 1024},     {"1200P", 1600, 1200},     {"1080P", 1920, 1080},     {"1296P", 2304, 1296},
    {"3MP", 2048, 1536},       {"1440P", 2560, 1440},     {"1512P", 2688, 1512},     {"4MP", 2688, 1520},
    {"5MP", 2592, 1944},       {"8MP", 3840, 2160},       {"2304X1296", 2304, 1296}, {"2048X1520", 2048, 1520},
    {"2560X1440", 2560, 1440}, {"2592X1520", 2592, 1520}, {"2592X1944", 2592, 1944}, {"720X480", 720, 480},
};

std::string attr(const char* name, const std::string& value)
{
    return std::string(" ") + name + "=\"" + attr_escape(value) + "\"";
}

std::string lan_config(const LanConfig& l)
{
    return "<LANConfig\nMacAddress=\"" + attr_escape(l.mac) + "\"\nDHCP=\"" + std::to_string(l.dhcp) +
        "\"\nIPAddress=\"" + attr_escape(l.ip) + "\"\nNetmask=\"" + attr_escape(l.netmask) + "\"\nGateway=\"" +
        attr_escape(l.gateway) + "\"\nDNS1=\"" + attr_escape(l.dns1) + "\"\nDNS2=\"" + attr_escape(l.dns2) + "\"\n/>";
}

// Every document is what a recorder puts in its answer's MESSAGE_BODY: the elements themselves,
// one level down, with no wrapper of their own.

// The main stream follows the recorder's resolution; the sub stream is D1 on every model.
std::string encode_config(const std::string& main)
{
    return "<EncodeConfig Stream=\"1\"" + attr("Resolution", main) +
        " EncodeFormat=\"H264\" BitRateControl=\"CBR\" Initquant=\"28\" BitRate=\"4096\" FrameRate=\"25\" />\n"
        "<EncodeConfig Stream=\"2\" Resolution=\"D1\" EncodeFormat=\"H264\" BitRateControl=\"VBR\" Initquant=\"30\""
        " BitRate=\"512\" FrameRate=\"15\" />";
}

// Its accounts in order, so the one a console logs in with comes first.
std::string user_accounts(const std::vector<Account>& accounts)
{
    std::string s = "<UserConfig>\n";
    for (const Account& a : accounts)
        s += "<Account" + attr("Username", a.user) + attr("Password", a.password) + attr("Group", a.group) +
            attr("Status", a.status) + " />\n";
    return s + "</UserConfig>";
}

std::string live_stream(int width, int height)
{
    // Config carries the start of an H.264 SPS, as recorders send their decoder set-up.
    return "<TRANS_PARAM StreamID=\"0\" VideoStream=\"1\" AudioEnable=\"1\" Multicast=\"0\""
           " MulticastAddress=\"0.0.0.0\" VideoPort=\"8092\" AudioPort=\"8093\" UseTcp=\"1\" />\n"
           "<VIDEO_PARAM Encoder=\"H264\" Width=\"" +
        std::to_string(width) + "\" Height=\"" + std::to_string(height) +
        "\" Framerate=\"25\" Bitrate=\"4096\" Config=\"0000000167640028ac2b40\" />\n"
        "<AUDIO_PARAM Encoder=\"G711\" SampleRate=\"8000\" SampleWidth=\"16\" Channels=\"1\" Bitrate=\"64000\" />";
}

std::string vendor_id(const std::string& vendor) { return "<VENDOR_PARAM" + attr("VendorId", vendor) + " />"; }

// Items of 11 fields: format, resolution, width, height, frame rate, bit rate, stream, then
// four the console does not interpret. CapList stays the first attribute: the console scans
// for the text itself.
std::string video_caps(const std::string& main, int width, int height)
{
    std::string size = std::to_string(width) + "," + std::to_string(height);
    std::string list = "H264," + main + "," + size + ",25,4096,1,0,0,0,0;H265," + main + "," + size +
        ",25,2048,1,0,0,0,0;H264,D1,704,576,15,512,2,0,0,0,0";
    return "<RESPONSE_PARAM>\n<VideoCap CapList=\"" + attr_escape(list) + "\" />\n</RESPONSE_PARAM>";
}

// Items of 7 fields: stream index, resolution, format, rate control, frame rate, bit rate,
// quantiser; the same streams as the encode configuration.
std::string best_params(const std::string& main)
{
    std::string list = "0," + main + ",H264,CBR,25,4096,28;1,D1,H264,VBR,15,512,30";
    return "<RESPONSE_PARAM>\n<VideoBestParameter CapList=\"" + attr_escape(list) + "\" />\n</RESPONSE_PARAM>";
}

}  // namespace

bool resolution_size(const std::string& name, int* width, int* height)
{
    for (const Resolution& r : kResolutions) {
        if (name == r.name) {
            *width = r.width;
            *height = r.height;
            return true;
        }
    }
    return false;
}

std::string config_body(const Device& d, long code)
{
    if (code >= 0 && code <= INT_MAX)
        if (auto it = d.docs.bodies.find(static_cast<int>(code)); it != d.docs.bodies.end())
            return it->second;
    const std::string& main = d.docs.resolution;
    int width = 1920, height = 1080;
    resolution_size(main, &width, &height);
    switch (code) {
    case 301: return encode_config(main);
    case 302: return user_accounts(d.accounts);
    case 303: return live_stream(width, height);
    case 304: return vendor_id(d.docs.vendor);
    case 305: return video_caps(main, width, height);
    case 306: return best_params(main);
    default: return lan_config(d.lan);
    }
}

bool read_config_body(const std::string& path, std::string* body, std::string* why)
{
    // Non-blocking, so a FIFO named by mistake is refused below instead of waiting for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st { };
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        *why = path + " is not a regular file";
    else if (st.st_size > kMaxConfigBody) {
        ok = false;
        *why = path + " is larger than " + std::to_string(kMaxConfigBody) + " bytes";
    }
    body->clear();
    char buf[16384];
    while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            *why = "cannot read " + path + ": " + std::strerror(errno);
        } else if (n == 0) {
            break;
        } else if (body->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxConfigBody)) {
            ok = false;  // grew while being read
            *why = path + " is larger than " + std::to_string(kMaxConfigBody) + " bytes";
        } else {
            body->append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace sim

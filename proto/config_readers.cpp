// Device configuration readers: encoding, accounts, live stream, vendor id, single attributes
// and the two textual caplist scans.
#include "proto/config_readers.h"

#include "proto/envelope.h"
#include "proto/xml_util.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

using link_xml::value_of;

const char* const kEncodeResolutions[kEncodeResolutionCount] = {
    "256X192", "288X192", "320X192",   "352X192",   "QVGA",      "CIF",       "480X270",   "480X360",
    "640X360", "VGA",     "D1",        "960X540",   "448P",      "720P",      "800P",      "960P",
    "1024P",   "1200P",   "1080P",     "1296P",     "3MP",       "1440P",     "1512P",     "4MP",
    "5MP",     "8MP",     "2304X1296", "2048X1520", "2560X1440", "2592X1520", "2592X1944", "720X480",
};

namespace {

bool name_is(const TiXmlAttribute* a, const char* name) { return std::strcmp(a->Name(), name) == 0; }

// A field that always keeps its terminator: at most N - 1 bytes of the value.
template <size_t N>
void copy_terminated(char (&field)[N], std::string_view v)
{
    fixed_copy(field, N - 1, v);
    field[N - 1] = '\0';
}

// Index of the first row that is a prefix of text, or fallback.
int prefix_index(std::string_view text, const char* const* rows, int count, int fallback)
{
    for (int i = 0; i < count; ++i) {
        if (text.substr(0, std::strlen(rows[i])) == rows[i])
            return i;
    }
    return fallback;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

void decode_config(const char* hex, LiveStreamParam& p)
{
    size_t len = std::strlen(hex);
    if (len > 2 * kLiveStreamConfigSize)
        len = 2 * kLiveStreamConfigSize;
    size_t n = len / 2;
    for (size_t i = 0; i < n; ++i)
        p.Config[i] = static_cast<uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
    p.ConfigLength = static_cast<int32_t>(n);
}

const TiXmlElement* next_named(const TiXmlElement* e, const char* name) { return e->NextSiblingElement(name); }

}  // namespace

// ---- encoding -------------------------------------------------------------------------------------

int GetEncodeCfgByXml(const char* text, EncodeCfg& cfg)
{
    std::memset(&cfg, 0, sizeof cfg);
    if (!text)
        return -2;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text)) {
        log_print("GetEncodeCfgByXml: xml error");
        return -4;
    }
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("GetEncodeCfgByXml pRoot Is Null \n");
        return -2;
    }
    const TiXmlElement* e = root->FirstChildElement("EncodeConfig");
    if (!e) {
        log_print("GetEncodeCfgByXml pNodelist Is Null \n");
        return -2;
    }
    int n = 0;
    for (; e && n < kEncodeCfgMaxEntries; e = next_named(e, "EncodeConfig")) {
        EncodeCfgEntry& c = cfg.entries[n++];
        for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
            const char* v = value_of(a);
            if (name_is(a, "Stream"))
                copy_terminated(c.Stream, v);
            else if (name_is(a, "Resolution"))
                copy_terminated(c.Resolution, v);
            else if (name_is(a, "EncodeFormat"))
                copy_terminated(c.EncodeFormat, v);
            else if (name_is(a, "BitRateControl"))
                copy_terminated(c.BitRateControl, v);
            else if (name_is(a, "Initquant"))
                copy_terminated(c.Initquant, v);
            else if (name_is(a, "BitRate"))
                copy_terminated(c.BitRate, v);
            else if (name_is(a, "FrameRate"))
                copy_terminated(c.FrameRate, v);
        }
    }
    cfg.count = n;
    return 0;
}

int GetEncodeParam(const char* text, EncodeParam (&params)[2])
{
    std::memset(params, 0, sizeof params);
    EncodeCfg cfg;
    if (GetEncodeCfgByXml(text, cfg) != 0)
        return -4;
    static const char* const kFormats[] = {"H264", "H265"};
    static const char* const kControls[] = {"CBR", "VBR", "CVBR"};
    int n = cfg.count < 2 ? cfg.count : 2;
    for (int i = 0; i < n; ++i) {
        const EncodeCfgEntry& c = cfg.entries[i];
        std::string_view stream = c.Stream;
        EncodeParam* p = stream == "1" ? &params[0] : stream == "2" ? &params[1] : nullptr;
        if (!p)
            return -1;
        p->resolution =
            prefix_index(c.Resolution, kEncodeResolutions, kEncodeResolutionCount, kEncodeResolutionDefault);
        p->framerate = static_cast<uint8_t>(std::atoi(c.FrameRate));
        p->encode_format = static_cast<uint8_t>(prefix_index(c.EncodeFormat, kFormats, 2, 0));
        p->initquant = static_cast<uint8_t>(std::atoi(c.Initquant));
        p->bitrate = std::atoi(c.BitRate);
        p->bitrate_control = prefix_index(c.BitRateControl, kControls, 3, 0);
    }
    return 0;
}

// ---- accounts -------------------------------------------------------------------------------------

int GetUserAccounts(const char* text, ShortAccount (&accounts)[kShortAccountCount])
{
    std::memset(accounts, 0, sizeof accounts);
    UserCfg cfg;
    if (GetUserCfgByXml(text, cfg) != 0)
        return -4;
    int n = cfg.count < kShortAccountCount ? cfg.count : kShortAccountCount;
    for (int i = 0; i < n; ++i) {
        const UserAccount& u = cfg.accounts[i];
        ShortAccount& s = accounts[i];
        fixed_copy(s.Username, fixed_view(u.Username));
        fixed_copy(s.Password, fixed_view(u.Password));
        fixed_copy(s.Group, fixed_view(u.Group));
        fixed_copy(s.Status, fixed_view(u.Status));
    }
    return 0;
}

// ---- live stream ------------------------------------------------------------------------------------

uint32_t config_inet_addr(const char* text)
{
    constexpr uint32_t kNone = 0xFFFFFFFFu;
    if (!text)
        return kNone;
    unsigned long parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (!((*p >= '0' && *p <= '9')))
            return kNone;
        int base = 10;
        if (*p == '0') {
            base = 8;
            if (p[1] == 'x' || p[1] == 'X') {
                base = 16;
                p += 2;
            }
        }
        unsigned long long v = 0;
        bool digits = base != 16;  // a lone "0" is a number; "0x" needs a digit
        for (;; ++p) {
            int d;
            if (*p >= '0' && *p <= '9')
                d = *p - '0';
            else if (base == 16 && *p >= 'a' && *p <= 'f')
                d = *p - 'a' + 10;
            else if (base == 16 && *p >= 'A' && *p <= 'F')
                d = *p - 'A' + 10;
            else
                break;
            if (d >= base)
                return kNone;
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            if (v > 0xFFFFFFFFull)
                return kNone;
            digits = true;
        }
        if (!digits || count == 4)
            return kNone;
        parts[count++] = static_cast<unsigned long>(v);
        if (*p == '.') {
            ++p;
            continue;
        }
        if (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\f' && *p != '\v')
            return kNone;
        break;
    }
    uint32_t host = 0;
    // The last part fills the bytes the earlier ones leave.
    static const unsigned long kLastMax[] = {0xFFFFFFFFul, 0xFFFFFFul, 0xFFFFul, 0xFFul};
    for (int i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF)
            return kNone;
        host |= static_cast<uint32_t>(parts[i]) << (24 - 8 * i);
    }
    if (parts[count - 1] > kLastMax[count - 1])
        return kNone;
    host |= static_cast<uint32_t>(parts[count - 1]);
    const uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                              static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    uint32_t net;
    std::memcpy(&net, bytes, sizeof net);
    return net;
}

int GetLiveStreamParam(const char* text, LiveStreamParam& p)
{
    std::memset(&p, 0, sizeof p);
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("GetLiveStreamParam xmlDoc.Error\n");
        return -4;
    }
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("GetRequestParamByDoc pRoot Is Null \n");
        return -2;
    }
    const TiXmlElement* trans = link_xml::container(root)->FirstChildElement("TRANS_PARAM");
    if (!trans) {
        log_print("GetLiveStreamParam TRANS_PARAM fail\n");
        return -2;
    }
    for (const TiXmlAttribute* a = trans->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "StreamID"))
            p.StreamID = link_xml::to_int(v);
        else if (name_is(a, "VideoStream"))
            p.VideoStream = link_xml::to_int(v);
        else if (name_is(a, "AudioEnable"))
            p.AudioEnable = link_xml::to_int(v);
        else if (name_is(a, "Multicast"))
            p.Multicast = link_xml::to_int(v);
        else if (name_is(a, "MulticastAddress"))
            p.MulticastAddress = config_inet_addr(v);
        else if (name_is(a, "VideoPort"))
            p.VideoPort = link_xml::to_int(v);
        else if (name_is(a, "AudioPort"))
            p.AudioPort = link_xml::to_int(v);
        else if (name_is(a, "UseTcp"))
            p.UseTcp = link_xml::to_int(v);
    }
    if (!p.UseTcp) {
        if (p.Multicast && p.MulticastAddress == 0) {
            log_print("multicast but no multicast address!\n");
            return -1;
        }
        if (p.AudioEnable && p.AudioPort == 0) {
            log_print("audioenable but no audio port!\n");
            return -1;
        }
    }
    const TiXmlElement* video = next_named(trans, "VIDEO_PARAM");
    if (!video) {
        log_print("GetLiveStreamParam VIDEO_PARAM fail\n");
        return -2;
    }
    for (const TiXmlAttribute* a = video->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "Encoder"))
            fixed_copy(p.VideoEncoder, v);
        else if (name_is(a, "Width"))
            p.Width = link_xml::to_int(v);
        else if (name_is(a, "Height"))
            p.Height = link_xml::to_int(v);
        else if (name_is(a, "Framerate"))
            p.Framerate = link_xml::to_int(v);
        else if (name_is(a, "Bitrate"))
            p.VideoBitrate = link_xml::to_int(v);
        else if (name_is(a, "Config"))
            decode_config(v, p);
        else
            log_print("%s=%s\n", a->Name(), v);
    }
    if (!p.AudioEnable)
        return 0;
    const TiXmlElement* audio = next_named(video, "AUDIO_PARAM");
    if (!audio) {
        log_print("GetLiveStreamParam(): AUDIO_PARAM not found!\n");
        return -2;
    }
    for (const TiXmlAttribute* a = audio->FirstAttribute(); a; a = a->Next()) {
        const char* v = value_of(a);
        if (name_is(a, "Encoder"))
            fixed_copy(p.AudioEncoder, v);
        else if (name_is(a, "SampleRate"))
            p.SampleRate = link_xml::to_int(v);
        else if (name_is(a, "SampleWidth"))
            p.SampleWidth = link_xml::to_int(v);
        else if (name_is(a, "Channels"))
            p.Channels = link_xml::to_int(v);
        else if (name_is(a, "Bitrate"))
            p.AudioBitrate = link_xml::to_int(v);
    }
    return 0;
}

// ---- single values ----------------------------------------------------------------------------------

int GetVendorIdByXml(const char* text, char* buf, int size)
{
    if (!text || !buf || size < 1)
        return -1;
    std::memset(buf, 0, static_cast<size_t>(size));
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text)) {
        log_print("GetVendoridParam xmlDoc.Error\n");
        return -4;
    }
    if (!link_xml::root(doc))
        return -2;
    const TiXmlElement* e = link_xml::body_element(doc, "VENDOR_PARAM");
    if (!e) {
        log_print("GetVendoridParam VENDOR_PARAM fail\n");
        return -2;
    }
    for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "VendorId")) {
            fixed_copy(buf, static_cast<size_t>(size), value_of(a));
            return 0;
        }
    }
    return -4;
}

int GetRequestParamByXml(const char* text, const char* element, const char* attribute, char* buf, int size)
{
    if (!text)
        return -2;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text)) {
        log_print("GetVendoridParam xmlDoc.Error\n");
        return -4;
    }
    return GetRequestParamByDoc(doc, element, attribute, buf, size);
}

int GetRootAttrByXml(const char* text, const char* attribute, char* buf, int size)
{
    if (!text || !attribute || !buf || size < 1)
        return -4;
    TiXmlDocument doc;
    if (!link_xml::parse(doc, text))
        return -4;
    const TiXmlElement* root = link_xml::root(doc);
    if (!root)
        return -4;
    for (const TiXmlAttribute* a = root->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, attribute)) {
            fixed_copy(buf, static_cast<size_t>(size), value_of(a));
            return 0;
        }
    }
    return -4;
}

// ---- video capabilities -----------------------------------------------------------------------------

std::optional<std::string> GetVideoCapListByXml(const char* text)
{
    TiXmlDocument doc;
    if (!text || !link_xml::parse(doc, text)) {
        log_print("receive CMD_GET_MEDIA_CAPABILITY, buf xml error\n");
        log_print("the error xml:%s\n", text ? text : "");
        return std::nullopt;
    }
    const TiXmlElement* root = link_xml::root(doc);
    if (!root) {
        log_print("cannot get root xml:%s\n", text);
        return std::nullopt;
    }
    const TiXmlElement* resp = root->FirstChildElement("RESPONSE_PARAM");
    const TiXmlElement* cap = resp ? resp->FirstChildElement("VideoCap") : nullptr;
    if (!cap) {
        log_print("cannot get VideoCap xml:%s\n", text);
        return std::nullopt;
    }
    for (const TiXmlAttribute* a = cap->FirstAttribute(); a; a = a->Next()) {
        if (name_is(a, "CapList"))
            return std::string(value_of(a));
    }
    return std::nullopt;
}

namespace {

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> out;
    for (;;) {
        size_t at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos)
            return out;
        s.remove_prefix(at + 1);
    }
}

int field_int(std::string_view f) { return std::atoi(std::string(f).c_str()); }

struct CapScan {
    const char* key;        // "VideoCap CapList=\""
    const char* not_found;  // its log lines
    const char* no_end;
    const char* parse_error;
    size_t fields;  // fields an item needs
};

// The caplist value's items with enough fields, each as its fields; false (with the log
// lines) when there is no value or no such item.
bool scan_caplist(const char* text, const CapScan& how, std::vector<std::vector<std::string_view>>& items)
{
    const char* start = text ? std::strstr(text, how.key) : nullptr;
    if (!start) {
        log_print("%s", how.not_found);
        return false;
    }
    start += std::strlen(how.key);
    const char* end = std::strchr(start, '"');
    if (!end) {
        log_print("%s", how.no_end);
        return false;
    }
    std::string_view value(start, static_cast<size_t>(end - start));
    if (value.size() >= static_cast<size_t>(kCapListMaxChars)) {
        log_print("Too long caplist\n ");
        return false;
    }
    for (std::string_view item : split(value, ';')) {
        if (item.empty())
            break;
        std::vector<std::string_view> fields = split(item, ',');
        if (fields.size() < how.fields) {
            log_print("count %d: %.*s\n\n", static_cast<int>(fields.size()), static_cast<int>(item.size()),
                      item.data());
            continue;
        }
        items.push_back(std::move(fields));
    }
    if (items.empty()) {
        std::string v(value);
        log_print("Cannot get video capability from %s", v.c_str());
        log_print(how.parse_error, v.c_str());
        return false;
    }
    return true;
}

}  // namespace

int GetVideoCapList(const char* text, VideoCapEntry* out, int capacity)
{
    static const CapScan how = {"VideoCap CapList=\"", "can't find \"VideoCap CapList=\" when get caplist\n ",
                                "can't find end \" when get caplist\n ", "parse VideoCap error: %s\n", 11};
    std::vector<std::vector<std::string_view>> items;
    if (!scan_caplist(text, how, items))
        return -4;
    for (size_t i = 0; out && i < items.size() && i < static_cast<size_t>(capacity > 0 ? capacity : 0); ++i) {
        const auto& f = items[i];
        VideoCapEntry& e = out[i];
        fixed_copy(e.Item0, f[0]);
        fixed_copy(e.Item1, f[1]);
        for (int k = 0; k < 9; ++k)
            e.Item2to10[k] = field_int(f[2 + static_cast<size_t>(k)]);
    }
    return 0;
}

int GetVideoBestParam(const char* text, VideoBestParamEntry* out, int capacity)
{
    static const CapScan how = {"VideoBestParameter CapList=\"",
                                "can't find \"VideoBestParameter CapList=\" when get optimal encode parameter.\n ",
                                "can't find end \" when get optimal encode parameter.\n ",
                                "parse optimal encode parameter error: %s\n", 7};
    std::vector<std::vector<std::string_view>> items;
    if (!scan_caplist(text, how, items))
        return -4;
    for (size_t i = 0; out && i < items.size() && i < static_cast<size_t>(capacity > 0 ? capacity : 0); ++i) {
        const auto& f = items[i];
        VideoBestParamEntry& e = out[i];
        fixed_copy(e.Item2, f[2]);
        fixed_copy(e.Item1, f[1]);
        fixed_copy(e.Item3, f[3]);
        e.Item0 = field_int(f[0]);
        e.Item6 = field_int(f[6]);
        e.Item4 = field_int(f[4]);
        e.Item5 = field_int(f[5]);
    }
    return 0;
}

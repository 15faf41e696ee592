#include "sim/session.h"

#include "sim/config_docs.h"
#include "sim/nvr.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace sim {

namespace {

constexpr size_t kMinRoom = 64 * 1024;
constexpr size_t kKeepTexts = 32;
constexpr size_t kKeepTextBytes = 4096;
constexpr size_t kKeepRequests = 2000;
constexpr size_t kKeepErrors = 100;
constexpr int64_t kKeepConfigBytes = 1 << 20;
constexpr const char* kConfigPath = "/mnt/nand/config.xml";

bool parse_long(const std::string& s, long* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0)
        return false;
    *out = v;
    return true;
}

std::string safe_name(const std::string& s)
{
    std::string out;
    for (char c : s)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
    return out.empty() ? "device" : out;
}

}  // namespace

int64_t wall_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Session::Session(Device& dev, const LinkOptions& opt, uint64_t serial_number) : dev_(dev), opt_(opt)
{
    char id[96];
    std::snprintf(id, sizeof id, "%s-%llu", dev.serial.c_str(), static_cast<unsigned long long>(serial_number));
    session_id_ = id;
    in_.resize(256 * 1024);
    ++dev_.link.connections;
}

Session::~Session()
{
    if (up_.file)
        std::fclose(up_.file);
}

unsigned char* Session::input_space(size_t* room)
{
    if (in_start_ == in_end_)
        in_start_ = in_end_ = 0;
    if (in_.size() - in_end_ < kMinRoom && in_start_ > 0) {
        // Only a partial frame is left at the front; move it down.
        std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
        in_end_ -= in_start_;
        in_start_ = 0;
    }
    if (in_.size() - in_end_ < kMinRoom)
        in_.resize(in_end_ + kMinRoom);
    *room = in_.size() - in_end_;
    return in_.data() + in_end_;
}

void Session::commit(size_t n)
{
    in_end_ += n;
    while (!dead_ && !close_now_ && in_end_ > in_start_) {
        size_t total = 0;
        auto r = FrameReader::peek(in_.data() + in_start_, in_end_ - in_start_, kMaxInboundFrame, &total);
        if (r == FrameReader::Result::NeedMore) {
            if (total > 0 && in_.size() - in_start_ < total) {
                // A frame longer than the buffer: make room for all of it at once.
                std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
                in_end_ -= in_start_;
                in_start_ = 0;
                in_.resize(total + kMinRoom);
            }
            return;
        }
        if (r == FrameReader::Result::BadMagic || r == FrameReader::Result::TooLong) {
            error(r == FrameReader::Result::BadMagic ? "frame with a wrong magic" : "frame length above the limit");
            ++dev_.link.bad_frames;
            dead_ = true;
            close_now_ = true;
            return;
        }
        const unsigned char* payload = in_.data() + in_start_ + kHeaderSize;
        in_start_ += total;
        handle(payload, total - kHeaderSize);
    }
}

void Session::feed(const void* data, size_t n)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0 && !dead_ && !close_now_) {
        size_t room = 0;
        unsigned char* dst = input_space(&room);
        size_t k = n < room ? n : room;
        std::memcpy(dst, p, k);
        commit(k);
        p += k;
        n -= k;
    }
}

void Session::consumed(size_t n)
{
    out_off_ += n;
    if (out_off_ >= out_.size()) {
        out_.clear();
        out_off_ = 0;
    } else if (out_off_ > (1u << 20) && out_off_ > out_.size() / 2) {
        out_.erase(0, out_off_);
        out_off_ = 0;
    }
}

void Session::closed()
{
    if (up_.active)
        end_upload(false, "connection closed during the upload");
}

void Session::emit(std::string bytes)
{
    if (dev_.has(LinkFault::NoAnswer))
        return;
    if (dev_.has(LinkFault::SilentAfterLogin) && logged_in_)
        return;
    out_ += bytes;
}

void Session::answer(std::string_view type, std::string_view code, int flag, std::string_view body)
{
    emit(frame(envelope(type, code, std::to_string(flag), body)));
}

void Session::error(const std::string& what)
{
    auto& errors = dev_.link.errors;
    if (errors.size() < kKeepErrors)
        errors.push_back(what);
}

void Session::note_text(std::string_view text)
{
    auto& texts = dev_.link.texts;
    texts.emplace_back(text.substr(0, kKeepTextBytes));
    while (texts.size() > kKeepTexts)
        texts.pop_front();
}

void Session::handle(const unsigned char* payload, size_t len)
{
    ++dev_.link.frames_in;
    Message m = parse_message(reinterpret_cast<const char*>(payload), len);
    bool media = m.ok && m.type == "MEDIA_DATA_MESSAGE";
    if (!media) {
        // The whole text up to its NUL, as sent (the heartbeat's text goes on past its root).
        const void* nul = std::memchr(payload, '\0', len);
        size_t n = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - payload) : len;
        note_text(std::string_view(reinterpret_cast<const char*>(payload), n));
    }
    if (dev_.has(LinkFault::NoAnswer))
        return;  // takes everything in, does nothing with it
    if (!m.ok) {
        ++dev_.link.bad_frames;
        error("unreadable message: " + m.error);
        return;
    }
    if (m.flag != "0")
        error("request " + m.type + " " + m.code + " with Msg_flag " + m.flag);

    bool heartbeat = (m.type == "AUXPTZ_HEARTBEAT_MESSAGE" || m.type == "MVK_HEARTBEAT_MESSAGE") &&
                     m.code == "CMD_HEARTBEAT";
    if (heartbeat) {
        ++dev_.link.heartbeats;
        if (logged_in_)
            answer("AUXPTZ_HEARTBEAT_MESSAGE", "CMD_HEARTBEAT", 0, "");
        return;
    }
    if (m.type == "USER_AUTH_MESSAGE") {
        handle_login(m);
        return;
    }
    if (!logged_in_) {
        error("request before the login: " + m.type + " " + m.code);
        answer(m.type, m.code, -1, "");
        return;
    }
    bool chunk = media && (m.code == "1" || m.code == "3");
    if (!chunk) {
        auto& req = dev_.link.requests;
        if (req.size() < kKeepRequests)
            req.push_back(m.type + " " + m.code);
    }
    long code = 0;
    bool numeric = parse_long(m.code, &code);

    if (media) {
        if (m.code == "1") {
            handle_chunk(m);
        } else if (m.code == "3") {
            // Talk audio: 4 zero bytes, a 20-byte media header, the audio.
            long datalen = 0;
            bool ok = parse_long(m.attr("POS", "DataLen"), &datalen);
            ++dev_.link.audio_frames;
            if (!ok || m.after_text.size() < 4 || static_cast<long>(m.after_text.size() - 4) != datalen)
                error("audio frame whose DataLen does not match its bytes");
            else
                dev_.link.audio_bytes += static_cast<uint64_t>(datalen > 20 ? datalen - 20 : 0);
        } else {
            error("media data with code " + m.code);
        }
        return;
    }
    const bool refuse = dev_.has(LinkFault::RefuseControl);
    if (m.type == "SYSTEM_CONTROL_MESSAGE" && numeric) {
        handle_control(m, code);
    } else if (m.type == "SYSTEM_CONFIG_GET_MESSAGE" && numeric && code >= 3801 && code <= 3808) {
        handle_nvr(m, code);
    } else if (m.type == "SYSTEM_CONFIG_GET_MESSAGE") {
        ++dev_.link.config_gets;
        answer(m.type, m.code, refuse ? -1 : 0, refuse ? "" : config_body(dev_, numeric ? code : -1));
    } else if (m.type == "SYSTEM_CONFIG_SET_MESSAGE") {
        ++dev_.link.config_sets;
        if (!refuse) {
            if (const TiXmlElement* lan = m.element("LANConfig")) {
                auto set = [&](const char* key, std::string& field) {
                    if (const char* v = lan->Attribute(key))
                        field = v;
                };
                set("MacAddress", dev_.lan.mac);
                set("IPAddress", dev_.lan.ip);
                set("Netmask", dev_.lan.netmask);
                set("Gateway", dev_.lan.gateway);
                set("DNS1", dev_.lan.dns1);
                set("DNS2", dev_.lan.dns2);
                if (const char* v = lan->Attribute("DHCP"))
                    dev_.lan.dhcp = std::atoi(v);
            }
        }
        answer(m.type, m.code, refuse ? -1 : 0, "");
    } else if (m.type == "PTZ_CONTROL_MESSAGE") {
        std::string cmd = m.child_text("xml", "cmd");
        dev_.link.ptz.push_back(cmd);
        std::string body = cmd == "GetPresetList" ? "<xml>\n<cmd>GetPresetList</cmd><presetlist>1,2,3</presetlist></xml>"
                                                  : "<xml>\n<cmd>" + cmd + "</cmd><result>0</result></xml>";
        answer(m.type, m.code, refuse ? -1 : 0, body);
    } else if (m.type == "REVERSE_AUDIO_MESSAGE") {
        if (m.code == "CMD_RA_START") {
            ++dev_.link.talk_starts;
            int flag = dev_.has(LinkFault::TalkBusy) ? -1 : dev_.has(LinkFault::TalkParam) ? -2
                     : dev_.has(LinkFault::TalkDisabled) ? -3 : 0;
            std::string body = flag != 0 ? "" : "<RA_START_RESPONSE\nRTPRecvPort=\"" + std::to_string(opt_.talk_port) +
                                                    "\"\nAudioCodec=\"G711\"\nSamplerate=\"8000\"\nBitsPerSample=\"16\""
                                                    "\nChannels=\"1\"\nConnectionType=\"1\"\n/>";
            answer(m.type, m.code, flag, body);
        } else if (m.code == "CMD_RA_STOP") {
            ++dev_.link.talk_stops;
            std::string sid = m.attr("RA_STOP_PARAM", "Sessionid");
            if (sid != session_id_)
                error("talk stop with Sessionid '" + sid + "', the login gave '" + session_id_ + "'");
            answer(m.type, m.code, refuse ? -1 : 0, "");
        } else if (m.code == "CMD_RA_DATA") {
            ++dev_.link.audio_frames;
        } else {
            error("talk request " + m.code);
        }
    } else if (m.type == "REPLAY_CONTROL_MESSAGE") {
        dev_.link.replays.push_back(m.attr("REQUEST_PARAM", "FileName"));
        answer(m.type, m.code, refuse ? -1 : 0, "");
    } else {
        error("message of a type the recorder does not know: " + m.type + " " + m.code);
    }
}

void Session::handle_login(const Message& m)
{
    if (m.code != "CMD_USER_AUTH") {
        error("USER_AUTH_MESSAGE with code " + m.code);
        answer(m.type, m.code, -1, "");
        return;
    }
    bool has_user = false, has_pass = false;
    std::string user = m.attr("USER_AUTH_PARAM", "Username", &has_user);
    std::string pass = m.attr("USER_AUTH_PARAM", "Password", &has_pass);
    dev_.link.last_user = user;
    bool ok = has_user && has_pass && !dev_.has(LinkFault::RefuseLogin);
    if (ok) {
        ok = false;
        for (const Account& a : dev_.accounts)
            if (a.user == user && a.password == pass)
                ok = true;
    }
    if (!ok) {
        ++dev_.link.logins_refused;
        answer(m.type, m.code, -1, "");
        return;
    }
    ++dev_.link.logins_accepted;
    answer(m.type, m.code, 0, "<USER_AUTH_RESPONSE\nSessionid=\"" + attr_escape(session_id_) + "\"\n/>");
    logged_in_ = true;
    after_login_faults();
}

void Session::after_login_faults()
{
    if (dev_.has(LinkFault::BadMagic))
        send_bad(BadFrame::Magic);
    if (dev_.has(LinkFault::Truncated))
        send_bad(BadFrame::Truncated);
    if (dev_.has(LinkFault::HugeLength))
        send_bad(BadFrame::HugeLength);
    if (dev_.has(LinkFault::BadXml))
        send_bad(BadFrame::Xml);
    if (dev_.has(LinkFault::CloseAfterLogin))
        close_after_flush_ = true;
}

void Session::handle_control(const Message& m, long code)
{
    const bool refuse = dev_.has(LinkFault::RefuseControl);
    int flag = refuse ? -1 : 0;
    switch (code) {
    case 1022:
        start_upload(m);
        return;
    case 1023:
        handle_download(m);
        return;
    case 1004: {
        long type = -1;
        if (!parse_long(m.attr("REQUEST_PARAM", "FileType"), &type))
            error("picture restore without a FileType");
        dev_.link.restores.push_back(static_cast<int>(type));
        answer(m.type, m.code, flag, "");
        return;
    }
    case 1006: {
        long ctrl = -1, mode = -1;
        if (!parse_long(m.attr("REQUEST_PARAM", "CrtlEnable"), &ctrl) ||
            !parse_long(m.attr("REQUEST_PARAM", "ChnAddCfg"), &mode))
            error("channel-add mode without CrtlEnable or ChnAddCfg");
        dev_.link.chn_ctrl = static_cast<int>(ctrl);
        dev_.link.chn_mode = static_cast<int>(mode);
        answer(m.type, m.code, flag, "");
        return;
    }
    case 1007:
        answer(m.type, m.code, flag, "");
        if (!refuse) {
            ++dev_.link.reboots;
            reboot_ = true;
        }
        return;
    case 1017: {
        std::string dev = m.attr("REQUEST_PARAM", "DevName");
        dev_.link.formats.push_back(dev);
        answer(m.type, m.code, flag, "<RESPONSE_PARAM\nDevName=\"" + attr_escape(dev) + "\"\nProgress=\"100\"\n/>");
        return;
    }
    case 1024:
        dev_.link.removed.push_back(m.attr("REQUEST_PARAM", "FileName"));
        answer(m.type, m.code, flag, "");
        return;
    case 1032:
        ++dev_.link.iframes;
        answer(m.type, m.code, flag, "");
        return;
    case 1033:
        dev_.link.userdata = m.attr("REQUEST_PARAM", "UserDevData");
        answer(m.type, m.code, flag, "");
        return;
    case 3026: {
        long v = -1;
        if (!parse_long(m.attr("REQUEST_PARAM", "CtrlBuzzerEnable"), &v))
            error("buzzer request without CtrlBuzzerEnable");
        dev_.link.buzzer = static_cast<int>(v);
        // Recorders confirm the buzzer setting with 1 (2: the model has no buzzer button).
        answer(m.type, m.code, refuse ? 2 : 1, "");
        return;
    }
    default:
        answer(m.type, m.code, flag,
               "<RESPONSE_PARAM\nSerialNumber=\"" + attr_escape(dev_.serial) + "\"\nDeviceType=\"" +
                   attr_escape(dev_.type) + "\"\n/>");
        return;
    }
}

void Session::handle_nvr(const Message& m, long code)
{
    LinkStats& l = dev_.link;
    if (dev_.has(LinkFault::RefuseControl) || dev_.channels.empty()) {
        if (dev_.channels.empty())
            error("channel request " + m.code + " to a device without a channel table");
        answer(m.type, m.code, -1, "");
        return;
    }
    bool ok = true;
    std::string why;
    switch (code) {
    case 3801: {
        ++l.nvr_searches;
        l.nvr_searching = true;
        // What the recorder finds comes back in a few answers, as its own search runs.
        std::vector<std::string> batches = search_batches(dev_);
        if (batches.empty())
            answer(m.type, m.code, 0, "");
        for (const std::string& b : batches)
            answer(m.type, m.code, 0, b);
        return;
    }
    case 3802:
        ++l.nvr_search_stops;
        l.nvr_searching = false;
        break;
    case 3803:
        answer(m.type, m.code, 0, channel_list_body(dev_));
        return;
    case 3804:
        ok = add_channels(dev_, m.element("ChannelInfo"), &why);
        break;
    case 3805:
        ok = delete_channel(dev_, m.attr("REQUEST_PARAM", "ChannelId"), &why);
        break;
    case 3806:
        ok = swap_channels(dev_, m.attr("REQUEST_PARAM", "ChannelId1"), m.attr("REQUEST_PARAM", "ChannelId2"), &why);
        break;
    case 3807: {
        long v = -1;
        if (!parse_long(m.attr("REQUEST_PARAM", "PicNum"), &v))
            error("picture count request without a PicNum");
        l.picnum = static_cast<int>(v);
        break;
    }
    case 3808: {
        long v = -1;
        if (!parse_long(m.attr("REQUEST_PARAM", "PrevOrNext"), &v))
            error("page turn without a PrevOrNext");
        if (l.page_turns.size() < kKeepRequests)
            l.page_turns.push_back(static_cast<int>(v));
        break;
    }
    }
    if (!ok) {
        ++l.chan_refused;
        error(why);
    }
    answer(m.type, m.code, ok ? 0 : 1, "");
}

void Session::start_upload(const Message& m)
{
    ++dev_.link.uploads_announced;
    if (up_.active)
        end_upload(false, "a new upload was announced before the last one ended");
    up_ = Upload{};
    long type = 0, length = 0, start = 0;
    bool ok = parse_long(m.attr("REQUEST_PARAM", "FileType"), &type) &&
              parse_long(m.attr("REQUEST_PARAM", "FileLength"), &length) && length >= 0 &&
              parse_long(m.attr("REQUEST_PARAM", "StartPos"), &start) && start == 0;
    bool has_path = false;
    std::string name = m.attr("REQUEST_PARAM", "FilePath", &has_path);
    if (!ok || !has_path) {
        error("upload announcement without FileType, FilePath, StartPos 0 or FileLength");
        ++dev_.link.uploads_refused;
        answer(m.type, m.code, -1, "");
        return;
    }
    if (dev_.has(LinkFault::RefuseUpload) || dev_.has(LinkFault::RefuseControl)) {
        ++dev_.link.uploads_refused;
        answer(m.type, m.code, -1, "");
        return;
    }
    up_.active = true;
    up_.type = static_cast<int>(type);
    up_.name = name;
    up_.length = length;
    md5_init(&up_.md5);
    up_.keep = type == 0 && length <= kKeepConfigBytes;
    if (!opt_.store_dir.empty()) {
        std::string dir = opt_.store_dir + "/" + safe_name(dev_.serial);
        ::mkdir(opt_.store_dir.c_str(), 0755);
        ::mkdir(dir.c_str(), 0755);
        up_.path = dir + "/type" + std::to_string(type) + ".bin";
        up_.file = std::fopen(up_.path.c_str(), "wb");
        if (!up_.file) {
            error("cannot write " + up_.path);
            up_.path.clear();
        }
    }
    answer(m.type, m.code, 0,
           "<RESPONSE_PARAM\nFileType=\"" + std::to_string(type) + "\"\nStartPos=\"0\"\n/>");
}

void Session::end_upload(bool ok, const std::string& why)
{
    if (up_.file) {
        if (std::fclose(up_.file) != 0 && ok) {
            ok = false;
            error("cannot write " + up_.path);
        }
        up_.file = nullptr;
    }
    up_.active = false;
    if (!ok) {
        ++dev_.link.uploads_failed;
        error("upload of " + up_.name + " failed: " + why);
        up_.draining = true;
        return;
    }
    StoredFile f;
    f.name = up_.name;
    f.length = up_.length;
    f.size = up_.received;
    char hex[kMd5HexSize];
    md5_final_hex(&up_.md5, hex);
    f.md5 = hex;
    f.path = up_.path;
    f.wall_ms = wall_now_ms();
    dev_.link.files[up_.type] = f;
    ++dev_.link.uploads_completed;
    if (up_.keep)
        dev_.config_xml = std::move(up_.bytes);
    last_total_ = up_.length;
}

void Session::handle_chunk(const Message& m)
{
    long start = 0, datalen = 0;
    bool ok = parse_long(m.attr("POS", "StartPos"), &start) && parse_long(m.attr("POS", "DataLen"), &datalen);
    if (!up_.active) {
        if (up_.draining) {
            if (ok && datalen == 0)
                up_.draining = false;
            return;
        }
        if (ok && datalen == 0 && start == last_total_)
            return;  // the closing frame once more (a source that ended on a whole chunk)
        error("upload data without an upload");
        return;
    }
    std::string_view tail = m.after_text;
    if (!ok || datalen < 0) {
        end_upload(false, "chunk without StartPos or DataLen");
    } else if (tail.size() < 4 || tail.substr(0, 4) != std::string_view("\0\0\0\0", 4)) {
        end_upload(false, "chunk without its 4 zero bytes behind the text");
    } else if (static_cast<long>(tail.size() - 4) != datalen) {
        end_upload(false, "chunk carries " + std::to_string(tail.size() - 4) + " bytes, DataLen says " +
                              std::to_string(datalen));
    } else if (start != up_.received) {
        end_upload(false, "chunk at StartPos " + std::to_string(start) + ", expected " + std::to_string(up_.received));
    } else if (up_.received + datalen > up_.length) {
        end_upload(false, "more data than the FileLength of " + std::to_string(up_.length));
    } else if (datalen == 0) {
        if (up_.received == up_.length) {
            end_upload(true, "");
            answer("SYSTEM_CONTROL_MESSAGE", "1022", dev_.has(LinkFault::RejectVerdict) ? -1 : 0, "");
            return;
        }
        end_upload(false, "ended at " + std::to_string(up_.received) + " of " + std::to_string(up_.length));
        up_.draining = false;  // this was its closing frame
    } else {
        const char* data = tail.data() + 4;
        md5_update(&up_.md5, data, static_cast<size_t>(datalen));
        if (up_.file && std::fwrite(data, 1, static_cast<size_t>(datalen), up_.file) != static_cast<size_t>(datalen)) {
            error("cannot write " + up_.path);
            std::fclose(up_.file);
            up_.file = nullptr;
        }
        if (up_.keep)
            up_.bytes.append(data, static_cast<size_t>(datalen));
        up_.received += datalen;
        dev_.link.upload_bytes += static_cast<uint64_t>(datalen);
        if (dev_.has(LinkFault::CloseMidUpload) && up_.received * 2 >= up_.length) {
            close_now_ = true;
            end_upload(false, "the recorder dropped the link on purpose");
        }
        return;
    }
    // Failed: the console learns it from the verdict once it has sent everything.
    answer("SYSTEM_CONTROL_MESSAGE", "1022", -1, "");
}

std::string Session::config_xml() const
{
    if (!dev_.config_xml.empty())
        return dev_.config_xml;
    const LanConfig& l = dev_.lan;
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<Config>\n<NetworkConfig>\n<LANConfig MacAddress=\"" +
           attr_escape(l.mac) + "\" DHCP=\"" + std::to_string(l.dhcp) + "\" IPAddress=\"" + attr_escape(l.ip) +
           "\" Netmask=\"" + attr_escape(l.netmask) + "\" Gateway=\"" + attr_escape(l.gateway) + "\" DNS1=\"" +
           attr_escape(l.dns1) + "\" DNS2=\"" + attr_escape(l.dns2) +
           "\" />\n</NetworkConfig>\n<MediaConfig>\n<Video>\n<Capture Width=\"1920\" Height=\"1080\" "
           "FrameRate=\"25\" />\n</Video>\n</MediaConfig>\n<Device SerialNumber=\"" +
           attr_escape(dev_.serial) + "\" DeviceType=\"" + attr_escape(dev_.type) + "\" />\n</Config>\n";
}

void Session::handle_download(const Message& m)
{
    std::string name = m.attr("REQUEST_PARAM", "FileName");
    if (name != kConfigPath || dev_.has(LinkFault::RefuseControl)) {
        if (name != kConfigPath)
            error("download of an unknown file: " + name);
        answer(m.type, m.code, -1, "");
        return;
    }
    ++dev_.link.downloads;
    answer(m.type, m.code, 0, "");
    const std::string data = config_xml();
    const size_t step = opt_.download_chunk > 0 ? static_cast<size_t>(opt_.download_chunk) : 1024;
    int index = 0;
    for (size_t off = 0; off < data.size(); off += step, ++index) {
        size_t n = std::min(step, data.size() - off);
        long pos = static_cast<long>(off);
        if (dev_.has(LinkFault::BadDownloadPos) && (index == 1 || (index == 0 && off + n >= data.size())))
            pos = index == 1 ? 0 : 1;  // the second chunk claims offset 0 again (or the only one 1)
        std::string text = envelope("MEDIA_DATA_MESSAGE", "2", "0",
                                    "<POS\nStartPos=\"" + std::to_string(pos) + "\"\nDataLen=\"" + std::to_string(n) +
                                        "\"\n/>");
        std::string extra(4, '\0');
        extra.append(data, off, n);
        emit(frame(text, extra));
    }
    std::string end = envelope("MEDIA_DATA_MESSAGE", "2", "0",
                               "<POS\nStartPos=\"" + std::to_string(data.size()) + "\"\nDataLen=\"0\"\n/>");
    emit(frame(end, std::string(4, '\0')));
}

// ---- unsolicited ---------------------------------------------------------------------------

void Session::send_alarm(int items)
{
    if (!logged_in_)
        return;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::string body = "<ALARM_REPORT_PARAM>\n";
    for (int i = 0; i < items; ++i) {
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "<ALARM_ITEM>\n<ALARM_TIME Year=\"%d\" Month=\"%d\" Day=\"%d\" WDay=\"%d\" Hour=\"%d\" "
                      "Minute=\"%d\" Second=\"%d\" />\n<ALARM_INFO Alarm_code=\"%d\" Alarm_flag=\"1\" "
                      "Alarm_level=\"2\" Alarm_data=\"sim alarm %d of %s\" Alarm_absTime=\"%lld\" />\n</ALARM_ITEM>\n",
                      tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      100 + i, i + 1, attr_escape(dev_.serial).c_str(), static_cast<long long>(now));
        body += buf;
    }
    body += "</ALARM_REPORT_PARAM>";
    ++dev_.link.unsolicited;
    emit(frame(envelope("ALARM_REPORT_MESSAGE", "CMD_REPORT_ALARM", "0", body)));
}

void Session::send_heartbeat(bool mvk)
{
    if (!logged_in_)
        return;
    ++dev_.link.unsolicited;
    emit(frame(envelope(mvk ? "MVK_HEARTBEAT_MESSAGE" : "AUXPTZ_HEARTBEAT_MESSAGE", "CMD_HEARTBEAT", "0", "")));
}

void Session::send_unknown()
{
    if (!logged_in_)
        return;
    ++dev_.link.unsolicited;
    emit(frame(envelope("SIM_VENDOR_MESSAGE", "77", "0", "<VENDOR_PARAM\nValue=\"1\"\n/>")));
}

void Session::send_text(const std::string& text)
{
    ++dev_.link.unsolicited;
    emit(frame(text));
}

void Session::send_bad(BadFrame kind)
{
    std::string text = envelope("AUXPTZ_HEARTBEAT_MESSAGE", "CMD_HEARTBEAT", "0", "");
    std::string f;
    switch (kind) {
    case BadFrame::Magic:
        f = frame(text);
        f[0] = 0x12;
        f[1] = 0x34;
        break;
    case BadFrame::Truncated:
        f = frame(text);
        f.resize(kHeaderSize + text.size() / 2);
        close_after_flush_ = true;
        break;
    case BadFrame::HugeLength:
        f = frame_header(0xFFFFFFFFu) + text;
        break;
    case BadFrame::Xml:
        // Root and body tags present, the header element never closed.
        f = frame("<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                  "Msg_type=\"SYSTEM_CONTROL_MESSAGE\"\nMsg_code=\"1007\"\nMsg_flag=\"0\"\n>\n<MESSAGE_BODY>\n"
                  "</MESSAGE_BODY>\n</XML_MORVEK>");
        break;
    }
    ++dev_.link.unsolicited;
    // Broken frames go out even from a device that otherwise stays silent.
    out_ += f;
}

// ---- link fault names -----------------------------------------------------------------------

namespace {

constexpr const char* kLinkFaultNames[] = {
    "refuse-login", "no-answer", "bad-magic", "truncated", "huge-length", "bad-xml", "close-after-login",
    "silent-after-login", "close-mid-upload", "slow-read", "refuse-upload", "reject-verdict", "bad-download-pos",
    "talk-busy", "talk-param", "talk-disabled", "refuse-control",
};
static_assert(sizeof kLinkFaultNames / sizeof kLinkFaultNames[0] == static_cast<size_t>(LinkFault::Count),
              "a name for every link fault");

}  // namespace

const char* link_fault_name(LinkFault f)
{
    int i = static_cast<int>(f);
    return i >= 0 && i < static_cast<int>(LinkFault::Count) ? kLinkFaultNames[i] : "none";
}

bool link_fault_from_name(const std::string& name, LinkFault* out)
{
    for (int i = 0; i < static_cast<int>(LinkFault::Count); ++i) {
        if (name == kLinkFaultNames[i]) {
            *out = static_cast<LinkFault>(i);
            return true;
        }
    }
    return false;
}

std::string link_fault_names()
{
    std::string s;
    for (const char* n : kLinkFaultNames)
        s += (s.empty() ? "" : ", ") + std::string(n);
    return s;
}

}  // namespace sim

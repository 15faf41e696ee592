// File transfer on the control link: an upload announced with 1022 and its chunks checked one
// by one (offset, length, the zero bytes behind the text) up to the verdict, the configuration
// file served to a download (1023) in chunks, and talk audio as media data.
#include "sim/session.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sys/stat.h>

namespace sim {

namespace {

constexpr int64_t kKeepConfigBytes = 1 << 20;
constexpr const char* kConfigPath = "/mnt/nand/config.xml";

std::string safe_name(const std::string& s)
{
    std::string out;
    for (char c : s)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
    return out.empty() ? "device" : out;
}

}  // namespace

// Media data from the console: upload chunks (code 1) and talk audio (code 3).
void Session::handle_media(const Message& m)
{
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
    answer(m.type, m.code, 0, "<RESPONSE_PARAM\nFileType=\"" + std::to_string(type) + "\"\nStartPos=\"0\"\n/>");
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
        end_upload(false,
                   "chunk carries " + std::to_string(tail.size() - 4) + " bytes, DataLen says " +
                       std::to_string(datalen));
    } else if (start != up_.received) {
        end_upload(false, "chunk at StartPos " + std::to_string(start) + ", expected " + std::to_string(up_.received));
    } else if (up_.received + datalen > up_.length) {
        end_upload(false, "more data than the FileLength of " + std::to_string(up_.length));
    } else if (datalen == 0) {
        if (up_.received == up_.length) {
            const bool firmware = up_.type == 1;
            end_upload(true, "");
            const bool accepted = !dev_.has(LinkFault::RejectVerdict);
            answer("SYSTEM_CONTROL_MESSAGE", "1022", accepted ? 0 : -1, "");
            // A recorder installs an image it accepted and starts again, as after a reboot.
            if (firmware && accepted && opt_.reboot_after_firmware) {
                ++dev_.link.reboots;
                reboot_ = true;
            }
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
        std::string text =
            envelope("MEDIA_DATA_MESSAGE", "2", "0",
                     "<POS\nStartPos=\"" + std::to_string(pos) + "\"\nDataLen=\"" + std::to_string(n) + "\"\n/>");
        std::string extra(4, '\0');
        extra.append(data, off, n);
        emit(frame(text, extra));
    }
    std::string end = envelope("MEDIA_DATA_MESSAGE", "2", "0",
                               "<POS\nStartPos=\"" + std::to_string(data.size()) + "\"\nDataLen=\"0\"\n/>");
    emit(frame(end, std::string(4, '\0')));
}

}  // namespace sim

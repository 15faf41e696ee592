// A control-link session's frame handling: bytes in, frames split and read, the login and the
// faults that follow it, answers out, and the messages a recorder sends on its own (alarms,
// heartbeats, broken frames). What each request does lives in session_requests.cpp, uploads and
// downloads in session_transfer.cpp.
#include "sim/session.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace sim {

namespace {

constexpr size_t kMinRoom = 64 * 1024;
constexpr size_t kKeepTexts = 32;
constexpr size_t kKeepTextBytes = 4096;
constexpr size_t kKeepErrors = 100;

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

    bool heartbeat =
        (m.type == "AUXPTZ_HEARTBEAT_MESSAGE" || m.type == "MVK_HEARTBEAT_MESSAGE") && m.code == "CMD_HEARTBEAT";
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

    if (media)
        handle_media(m);
    else
        handle_request(m, numeric, code);
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
    case BadFrame::HugeLength: f = frame_header(0xFFFFFFFFu) + text; break;
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
    "refuse-login",  "no-answer",         "bad-magic",          "truncated",        "huge-length",
    "bad-xml",       "close-after-login", "silent-after-login", "close-mid-upload", "slow-read",
    "refuse-upload", "reject-verdict",    "bad-download-pos",   "talk-busy",        "talk-param",
    "talk-disabled", "refuse-control",    "ignore-network",     "refuse-format",
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

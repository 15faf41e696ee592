// Control, configuration, PTZ, replay and diagnostic requests. Each one checks its arguments,
// formats its body and writes one frame through ipcsendmsg / ipcsendmsg_ (or, for the frames
// built here, ipc_write_locked), so every frame goes out whole under the entry's lock. Also the
// program-wide talk state with its audio frames.
#include "link/requests.h"

#include "link/context.h"
#include "link/frame_io.h"

#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char* kControl = "SYSTEM_CONTROL_MESSAGE";
constexpr const char* kConfigGet = "SYSTEM_CONFIG_GET_MESSAGE";
constexpr const char* kConfigSet = "SYSTEM_CONFIG_SET_MESSAGE";
constexpr const char* kPtz = "PTZ_CONTROL_MESSAGE";
constexpr int kConfigSetCode = 325;

// 0 when the request went out, -4 when it did not.
int written(int r) { return r > 0 ? 0 : -4; }

int control(int chanid, int code, const char* body) { return written(ipcsendmsg(body, chanid, kControl, code)); }

int send_ptz(int chanid, const std::string& body)
{
    return ipcsendmsg_(ipc_entry(chanid), kPtz, "PTZ_CMD", "0", body.c_str());
}

const char* ptz_command_name(int cmd)
{
    switch (cmd) {
    case IPC_PTZ_ZOOM_TELE: return "zoomtele";
    case IPC_PTZ_ZOOM_WIDE: return "zoomwide";
    case IPC_PTZ_FOCUS_NEAR: return "FocusNearAutoOff";
    case IPC_PTZ_FOCUS_FAR: return "FocusFarAutoOff";
    case IPC_PTZ_IRIS_OPEN: return "IrisOpenAutoOff";
    case IPC_PTZ_IRIS_CLOSE: return "IrisCloseAutoOff";
    case IPC_PTZ_UP: return "up";
    case IPC_PTZ_DOWN: return "down";
    case IPC_PTZ_LEFT: return "left";
    case IPC_PTZ_RIGHT: return "right";
    case IPC_PTZ_LEFT_UP: return "left_up";
    case IPC_PTZ_RIGHT_UP: return "right_up";
    case IPC_PTZ_LEFT_DOWN: return "left_down";
    case IPC_PTZ_RIGHT_DOWN: return "right_down";
    case IPC_PTZ_STOP: return "stop";
    default: return nullptr;
    }
}

// The user-data frame's text around the hexadecimal data is 228 characters; the format allows
// 2 * length + 247. Beyond this length 4 * length + 256 no longer fits an int.
constexpr int kUserDataMaxLen = (INT_MAX - 256) / 4;

}  // namespace

// ---- SYSTEM_CONTROL_MESSAGE ------------------------------------------------------------------

int ipc_sys_Control(int chanid, int code, const char* body) { return control(chanid, code, body); }

int ipc_sys_RestorePicture(int chanid, long filetype)
{
    return control(chanid, IPC_CODE_RESTORE_PICTURE,
                   format_text("<REQUEST_PARAM\nFileType=\"%ld\"\n\n/>", filetype).c_str());
}

int ipc_sys_SetChnAddDefMode(int chanid, int ctrl_enable, int chn_add_cfg)
{
    if (ctrl_enable < 0 || ctrl_enable > 1 || chn_add_cfg < 0 || chn_add_cfg > 4) {
        log_print("ipc_sys_SetChnAddDefMode, bCrtlEnable:%d iChnAddCfg:%d\n", ctrl_enable, chn_add_cfg);
        return -1;
    }
    return control(
        chanid, IPC_CODE_CHANADD_MODE,
        format_text("<REQUEST_PARAM\nCrtlEnable=\"%d\"\nChnAddCfg=\"%d\"\n/>\n", ctrl_enable, chn_add_cfg).c_str());
}

int ipc_sys_Reboot(int chanid) { return control(chanid, IPC_CODE_REBOOT, ""); }

int ipc_sys_FormatDisk(int chanid, int disk)
{
    if (!ipc_check_chanid("ipc_sys_FormatDisk", chanid))
        return -1;
    static const char* const kDevices[] = {"sd1", "sd2", "usb"};
    if (disk < 0 || disk > 2) {
        log_print("unsuport disk number:%d\n", disk);
        return -1;
    }
    return control(chanid, IPC_CODE_FORMAT_DISK,
                   format_text("<REQUEST_PARAM\nDevName=\"%s\" \n/>", kDevices[disk]).c_str());
}

int ipc_sys_CreateIFrame(int chanid, int stream)
{
    if (!ipc_check_chanid("ipc_sys_CreateIFrame", chanid))
        return -1;
    if (stream != 0 && stream != 1) {
        log_print("ipc_sys_CreateIFrame, not support video stream:%d\n", stream);
        return -1;
    }
    return control(chanid, IPC_CODE_CREATE_IFRAME,
                   format_text("<REQUEST_PARAM\nCamera=\"0\"\nStream=\"%d\"\n/>\n", stream).c_str());
}

int ipc_sys_SetBuzzerEnable(int chanid, int enable)
{
    return control(chanid, IPC_CODE_BUZZER,
                   format_text("<REQUEST_PARAM\nCtrlBuzzerEnable=\"%d\"\n/>\n", enable).c_str());
}

int ipc_sys_Request1002(int chanid) { return control(chanid, IPC_CODE_REQUEST_1002, ""); }
int ipc_sys_Request1025(int chanid) { return control(chanid, IPC_CODE_REQUEST_1025, ""); }
int ipc_sys_Request1031(int chanid) { return control(chanid, IPC_CODE_REQUEST_1031, ""); }
int ipc_sys_Request1034(int chanid) { return ipcsendmsg("", chanid, kControl, IPC_CODE_REQUEST_1034); }

int ipc_userdata_set(const void* data, int len, int chanid)
{
    if (!data || len < 1 || len > kUserDataMaxLen) {
        log_print("ipc_userdata_set param fail, data:%p, len:%d\n", data, len);
        return -1;
    }
    if (!ipc_check_chanid("ipc_userdata_set", chanid))
        return -1;
    IpcLinkContext* ipc = ipc_entry(chanid);
    if (ipc->sock.load() < 0) {
        log_print("ipc_userdata_set fail, fd(%d)\n", ipc->sock.load());
        return -1;
    }
    int cap = 4 * len + 256;
    console_text("%s%d malloc(%d)\n", "ipc_userdata_set", __LINE__, cap);
    // The whole frame is built in one allocation made up front, so nothing below can fail.
    std::string frame;
    try {
        frame.reserve(static_cast<size_t>(cap));
    } catch (const std::bad_alloc&) {
        log_print("ipc_config_set alloc mem fail:%d\n", cap);
        return -1;
    }
    char head[256];
    std::snprintf(head, sizeof head,
                  "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"%s\"\n"
                  "Msg_code=\"%d\"\nMsg_flag=\"%d\"\n/>\n<MESSAGE_BODY>\n<REQUEST_PARAM\nUserDevData=\"",
                  kControl, static_cast<int>(IPC_CODE_USER_DATA), 0);
    frame.assign(kFrameHeaderSize, '\0');
    frame += head;
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (int i = 0; i < len; ++i) {
        frame += kDigits[p[i] >> 4];
        frame += kDigits[p[i] & 0x0F];
    }
    frame += "\"\n>\n</REQUEST_PARAM>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    unsigned char* hd = reinterpret_cast<unsigned char*>(frame.data());
    frame_put_le32(hd, kFrameMagic);
    frame_put_le32(hd + 4, static_cast<uint32_t>(frame.size() - kFrameHeaderSize));
    return ipc_write_locked(ipc, frame.data(), static_cast<int>(frame.size()));
}

// ---- configuration -----------------------------------------------------------------------------

int ipc_config_get(int chanid, int code, const char* body)
{
    return written(ipcsendmsg(body, chanid, kConfigGet, code));
}

int ipc_config_set(int chanid, const char* body)
{
    return written(ipcsendmsg(body, chanid, kConfigSet, kConfigSetCode));
}

int ipc_set_netconfig(int chanid, const IpcLanSettings* cfg)
{
    if (!ipc_check_chanid("ipc_set_netconfig", chanid))
        return -1;
    if (!cfg) {
        log_print("ipc_set_netconfig param fail, cfg:%p\n", static_cast<const void*>(cfg));
        return -1;
    }
    // The text fields may fill their width without a terminator.
    std::string body = "<LANConfig\r\nMacAddress=\"" + std::string(fixed_view(cfg->MacAddress)) + "\"\r\nDHCP=\"" +
        std::to_string(cfg->DHCP) + "\"\r\nIPAddress=\"" + std::string(fixed_view(cfg->IPAddress)) +
        "\"\r\nNetmask=\"" + std::string(fixed_view(cfg->Netmask)) + "\"\r\nGateway=\"" +
        std::string(fixed_view(cfg->Gateway)) + "\"\r\nDNS1=\"" + std::string(fixed_view(cfg->DNS1)) + "\"\r\nDNS2=\"" +
        std::string(fixed_view(cfg->DNS2)) + "\"\r\n/>\r\n";
    return written(ipcsendmsg(body.c_str(), chanid, kConfigSet, kConfigSetCode));
}

// ---- PTZ ----------------------------------------------------------------------------------------

int ipc_ptz_PTZControl(int chanid, int cmd, int panspeed, int tiltspeed)
{
    if (!ipc_check_chanid("ipc_ptz_PTZControl", chanid))
        return -1;
    if (cmd == IPC_PTZ_PAN_AUTO) {
        log_print("unsupport PAN_AUTO ptz commond\n");
        return -1;
    }
    const char* name = ptz_command_name(cmd);
    if (!name) {
        log_print("ipc_ptz_control, unsupport cmd:%d\n", cmd);
        return IPC_RESULT_PTZ_UNSUPPORTED;
    }
    return send_ptz(chanid,
                    format_text("<xml>\n<cmd>%s</cmd><panspeed>%d</panspeed><tiltspeed>%d</tiltspeed></xml>", name,
                                panspeed, tiltspeed));
}

int ipc_ptz_PTZPreset(int chanid, int cmd, int preset)
{
    if (!ipc_check_chanid("ipc_ptz_PTZPreset", chanid))
        return -1;
    const char* name = nullptr;
    if (cmd == IPC_PTZ_SET_PRESET)
        name = "setpreset";
    else if (cmd == IPC_PTZ_CLEAR_PRESET)
        name = "clearpreset";
    else if (cmd == IPC_PTZ_CALL_PRESET)
        name = "callpreset";
    if (!name) {
        log_print("ipc_ptz_PTZPreset, unsupport cmd:%d\n", cmd);
        return IPC_RESULT_PTZ_UNSUPPORTED;
    }
    // Negative numbers are no presets either.
    if (preset < 0 || preset > 255) {
        log_print("ipc_ptz_PTZPreset, bad preset:%d\n", preset);
        return IPC_RESULT_PTZ_BAD_PRESET;
    }
    return send_ptz(chanid, format_text("<xml>\n<cmd>%s</cmd><preset>%d</preset><flag>1</flag></xml>\n", name, preset));
}

int ipc_ptz_PTZControlEx(int chanid)
{
    if (!ipc_check_chanid("ipc_ptz_PTZControlEx", chanid))
        return -1;
    return send_ptz(chanid, "<xml> \n    <cmd>GetPresetList</cmd>\n</xml>");
}

int ipc_ptz_PTZTrans(int chanid, const void* data, int count)
{
    if (!ipc_check_chanid("ipc_ptz_PTZTrans", chanid))
        return -1;
    if (!data || count < 1) {
        log_print("ipc_ptz_PTZTrans param error\n");
        return -1;
    }
    // Compared as the hexadecimal text with its terminator, without overflowing for large counts.
    if (count > (kIpcPtzTransMaxText - 1) / 2) {
        log_print("bug, too long trans data:%d\n", count);
        return -1;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string hex;
    hex.reserve(static_cast<size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        hex += kDigits[p[i] >> 4];
        hex += kDigits[p[i] & 0x0F];
    }
    return send_ptz(chanid, "<xml>\n<cmd>trans</cmd><data>" + hex + "</data></xml>\n");
}

// ---- talk (reverse audio) -----------------------------------------------------------------------

namespace {

constexpr const char* kTalk = "REVERSE_AUDIO_MESSAGE";

// Program-wide talk state. The talk operations come from one thread at a time, but the link
// threads read it too (a busy refusal stops the talk), so every field is atomic.
std::atomic<int> g_talk_chan{-1};
std::atomic<int> g_broadcasting{0};
std::array<std::atomic<uint8_t>, kIpcMaxLinks> g_member{};
std::atomic<uint16_t> g_audio_seq{0};
std::atomic<uint32_t> g_audio_frames{0};

// Audio blocks up to this size are framed in a fixed buffer of kAudioFixedFrame bytes.
constexpr int kAudioFixedBlock = 1200;
constexpr int kAudioFixedFrame = 1460;
// The media header carries the audio length in 16 bits.
constexpr int kAudioMaxBlock = 65535;
constexpr int kMediaHeaderSize = 20;

int send_talk_start(int chanid)
{
    std::string body = format_text("<RA_START_PARAM\nAudioForamt=\"G711\"\nChannels=\"1\"\nSampleRate=\"8000\"\n"
                                   "Bitrate=\"64000\"\nRTPSendPort=\"%d\"\nConnectType=\"1\"\n/>",
                                   0);
    return ipcsendmsg_(ipc_entry(chanid), kTalk, "CMD_RA_START", "0", body.c_str());
}

int send_talk_stop(int chanid)
{
    IpcLinkContext* ipc = ipc_entry(chanid);
    std::string session;
    {
        std::lock_guard<std::mutex> lk(ipc_lock(ipc));
        session = fixed_str(ipc->sessionid);
    }
    std::string body = "<RA_STOP_PARAM\nSessionid=\"" + session + "\"\n/>\n";
    return ipcsendmsg_(ipc, kTalk, "CMD_RA_STOP", "0", body.c_str());
}

void reset_audio_counters()
{
    g_audio_seq.store(0);
    g_audio_frames.store(0);
}

bool logged_in(const IpcLinkContext* ipc) { return ipc && ipc->state.load() == IPC_STATE_LOGGED_IN; }

void put_le16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

// One audio frame into out (cap bytes): frame header, the
// MEDIA_DATA_MESSAGE text, 4 zero bytes, the 20-byte media header, the audio. Returns its size.
int build_audio_frame(unsigned char* out, size_t cap, const unsigned char* audio, int len, uint32_t stamp, uint16_t seq,
                      uint32_t counter)
{
    char* text = reinterpret_cast<char*>(out + kFrameHeaderSize);
    int t = std::snprintf(text, cap - kFrameHeaderSize,
                          "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\n"
                          "Msg_type=\"MEDIA_DATA_MESSAGE\"\nMsg_code=\"3\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\n"
                          "StartPos=\"0\"\nDataLen=\"%d\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>\n",
                          len + kMediaHeaderSize);
    size_t total = kFrameHeaderSize + static_cast<size_t>(t) + 4 + kMediaHeaderSize + static_cast<size_t>(len);
    if (t < 0 || total > cap)
        return -1;
    frame_put_le32(out, kFrameMagic);
    frame_put_le32(out + 4, static_cast<uint32_t>(t + len + 4 + kMediaHeaderSize));
    unsigned char* p = out + kFrameHeaderSize + t;
    frame_put_le32(p, 0);
    p += 4;
    frame_put_le32(p, stamp);
    frame_put_le32(p + 4, stamp);
    put_le16(p + 8, seq);
    put_le16(p + 10, static_cast<uint16_t>(len));
    p[12] = 17;
    p[13] = 1;
    p[14] = 1;
    p[15] = 1;
    frame_put_le32(p + 16, counter);
    std::memcpy(p + kMediaHeaderSize, audio, static_cast<size_t>(len));
    return static_cast<int>(total);
}

}  // namespace

int ipc_talk_start(int chanid)
{
    if (!ipc_check_chanid("ipc_talk_start", chanid))
        return -1;
    if (g_broadcasting.load()) {
        log_print("ipc_talk_start is now broadcast, can't talk\n");
        return -1;
    }
    int current = g_talk_chan.load();
    if (current >= 0)
        ipc_talk_stop(current);
    g_talk_chan.store(chanid);
    reset_audio_counters();
    return send_talk_start(chanid);
}

int ipc_talk_stop(int chanid)
{
    if (!ipc_check_chanid("ipc_talk_stop", chanid))
        return -1;
    // Only this entry's talk ends: a late refusal from another entry must not silence the
    // talk that runs now.
    int expected = chanid;
    g_talk_chan.compare_exchange_strong(expected, -1);
    return send_talk_stop(chanid);
}

int ipc_talkbroad_add(int chanid)
{
    if (!ipc_check_chanid("ipc_talkbroad_add", chanid))
        return -1;
    int r = send_talk_start(chanid);
    if (r > 0) {
        g_broadcasting.store(1);
        g_member[static_cast<size_t>(chanid)].store(1);
    }
    return r;
}

int ipc_talkbroad_remove(int chanid)
{
    if (!ipc_check_chanid("ipc_talkbroad_remove", chanid))
        return -1;
    g_member[static_cast<size_t>(chanid)].store(0);
    return send_talk_stop(chanid);
}

int ipc_talkbroad_start()
{
    int current = g_talk_chan.load();
    if (current >= 0) {
        ipc_talk_stop(current);
        g_talk_chan.store(-1);
        reset_audio_counters();
    }
    for (int i = 0; i < kIpcMaxLinks; ++i) {
        if (logged_in(ipc_entry(i)) && !g_member[static_cast<size_t>(i)].load())
            ipc_talkbroad_add(i);
    }
    return 1;
}

int ipc_talkbroad_stop()
{
    for (int i = 0; i < kIpcMaxLinks; ++i) {
        if (!g_member[static_cast<size_t>(i)].load())
            continue;
        // An entry that is not logged in now gets no stop request, but it leaves the broadcast
        // all the same: otherwise the next broadcast would skip its start request and still
        // send it audio.
        if (logged_in(ipc_entry(i)))
            ipc_talkbroad_remove(i);
        else
            g_member[static_cast<size_t>(i)].store(0);
    }
    g_broadcasting.store(0);
    return 1;
}

int ipc_talk_mediasend(const void* data, int len)
{
    if (!data || len < 1 || len > kAudioMaxBlock) {
        log_print("ipc_talk_mediasend param fail, data:%p, len:%d\n", data, len);
        return -1;
    }
    int chan = g_talk_chan.load();
    bool broadcasting = g_broadcasting.load() != 0;
    if ((chan >= 0) == broadcasting)
        log_print("Bug! ipc_talk_mediasend :talkchan(%d),isbroading(%d)\n ", chan, broadcasting ? 1 : 0);
    if (!broadcasting && !ipc_check_chanid("ipc_talk_mediasend", chan))
        return -1;

    std::array<unsigned char, kAudioFixedFrame> fixed;
    std::vector<unsigned char> big;
    unsigned char* buf = fixed.data();
    size_t cap = fixed.size();
    if (len > kAudioFixedBlock) {
        // Text (about 210 characters), 4 zero bytes, media header and audio.
        cap = static_cast<size_t>(len) + 512;
        console_text("%s%d malloc(%d)\n", "ipc_talk_mediasend", __LINE__, static_cast<int>(cap));
        try {
            big.resize(cap);
        } catch (const std::bad_alloc&) {
            log_print("ipc_talk_mediasend, alloc mem(%d) fail\n", static_cast<int>(cap));
            return -1;
        }
        buf = big.data();
    }
    uint32_t stamp = static_cast<uint32_t>(get_tick_ms());
    uint16_t seq = g_audio_seq.fetch_add(1);
    uint32_t counter = g_audio_frames.fetch_add(1);
    int n = build_audio_frame(buf, cap, static_cast<const unsigned char*>(data), len, stamp, seq, counter);
    if (n < 0)
        return -1;  // cannot happen: the buffer is sized for the frame

    // Live audio never waits for a full socket: a frame that cannot go now is dropped.
    if (broadcasting) {
        for (int i = 0; i < kIpcMaxLinks; ++i) {
            IpcLinkContext* ipc = ipc_entry(i);
            if (ipc && g_member[static_cast<size_t>(i)].load())
                ipc_write_locked(ipc, buf, n, 0);
        }
    } else {
        IpcLinkContext* ipc = ipc_entry(chan);
        if (logged_in(ipc))
            ipc_write_locked(ipc, buf, n, 0);
    }
    return 1;
}

int ipc_talk_channel() { return g_talk_chan.load(); }

bool ipc_talk_broadcasting() { return g_broadcasting.load() != 0; }

bool ipc_talk_member(int chanid)
{
    return chanid >= 0 && chanid < kIpcMaxLinks && g_member[static_cast<size_t>(chanid)].load() != 0;
}

// ---- replay -------------------------------------------------------------------------------------

int ipc_play_ControlPlay(int chanid, const char* filename)
{
    if (!ipc_check_chanid("ipc_play_ControlPlay", chanid))
        return -1;
    if (!filename) {
        log_print("ipc_play_ControlPlay , param file\n");
        return -1;
    }
    std::string body =
        format_text("<REQUEST_PARAM\nFileName=\"%s\"\nStartPos=\"%d\"\nPlayParam=\"%ld\"\n/>\n", filename, 0, 1L);
    return ipcsendmsg(body.c_str(), chanid, "REPLAY_CONTROL_MESSAGE", 0);
}

// ---- diagnostics --------------------------------------------------------------------------------

int ipc_set_showtime(int chanid, int flag)
{
    if (!ipc_check_chanid("ipc_set_showtime", chanid))
        return -1;
    ipc_entry(chanid)->showtime.store(flag);
    log_print("ipc_set_showtime(%d, %d)\n", chanid, flag);
    return 1;
}

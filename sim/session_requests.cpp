// The recorder's answers to the console's requests on a logged-in link: control codes
// (SYSTEM_CONTROL_MESSAGE), the NVR channel table and its camera search (3801 to 3808),
// configuration get and set, PTZ, two-way audio and replay. Each value a request carries is
// noted in the device's record, so tests can see what arrived.
#include "sim/session.h"

#include "sim/config_docs.h"
#include "sim/nvr.h"

#include <tinyxml.h>

#include <cstdlib>

namespace sim {

// Every request of a logged-in console but the uploads, downloads and media data.
void Session::handle_request(const Message& m, bool numeric, long code)
{
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
        std::string body = cmd == "GetPresetList"
            ? "<xml>\n<cmd>GetPresetList</cmd><presetlist>1,2,3</presetlist></xml>"
            : "<xml>\n<cmd>" + cmd + "</cmd><result>0</result></xml>";
        answer(m.type, m.code, refuse ? -1 : 0, body);
    } else if (m.type == "REVERSE_AUDIO_MESSAGE") {
        handle_talk(m);
    } else if (m.type == "REPLAY_CONTROL_MESSAGE") {
        dev_.link.replays.push_back(m.attr("REQUEST_PARAM", "FileName"));
        answer(m.type, m.code, refuse ? -1 : 0, "");
    } else {
        error("message of a type the recorder does not know: " + m.type + " " + m.code);
    }
}

// Two-way audio: start (answered per the talk faults), stop (its Sessionid checked) and data.
void Session::handle_talk(const Message& m)
{
    const bool refuse = dev_.has(LinkFault::RefuseControl);
    if (m.code == "CMD_RA_START") {
        ++dev_.link.talk_starts;
        int flag = dev_.has(LinkFault::TalkBusy) ? -1
            : dev_.has(LinkFault::TalkParam)     ? -2
            : dev_.has(LinkFault::TalkDisabled)  ? -3
                                                 : 0;
        std::string body = flag != 0 ? ""
                                     : "<RA_START_RESPONSE\nRTPRecvPort=\"" + std::to_string(opt_.talk_port) +
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
}

void Session::handle_control(const Message& m, long code)
{
    const bool refuse = dev_.has(LinkFault::RefuseControl);
    int flag = refuse ? -1 : 0;
    switch (code) {
    case 1022: start_upload(m); return;
    case 1023: handle_download(m); return;
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
        if (dev_.has(LinkFault::RefuseFormat))
            flag = -1;
        answer(m.type, m.code, flag,
               "<RESPONSE_PARAM\nDevName=\"" + attr_escape(dev) + "\"\nProgress=\"" + (flag == 0 ? "100" : "0") +
                   "\"\n/>");
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
    if (dev_.has(LinkFault::RefuseControl) || !dev_.channel_table) {
        if (!dev_.channel_table)
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
    case 3803: answer(m.type, m.code, 0, channel_list_body(dev_)); return;
    case 3804: ok = add_channels(dev_, m.element("ChannelInfo"), &why); break;
    case 3805: ok = delete_channel(dev_, m.attr("REQUEST_PARAM", "ChannelId"), &why); break;
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

}  // namespace sim

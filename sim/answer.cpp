#include "sim/answer.h"
#include "sim/wire.h"

namespace sim {

namespace {

std::string attr(const char* name, const std::string& value)
{
    return std::string(" ") + name + "=\"" + attr_escape(value) + "\"";
}
std::string attr(const char* name, int value) { return attr(name, std::to_string(value)); }

std::string longer(const std::string& base, size_t width)
{
    // Longer than the console's field of `width` bytes.
    std::string s = base;
    while (s.size() <= width + 8)
        s += base.empty() ? std::string("x") : base;
    return s;
}

}  // namespace

std::string build_answer(const Device& d)
{
    const AnswerFault f = d.fault;
    if (f == AnswerFault::Silent)
        return {};
    if (f == AnswerFault::Garbage)
        return "\x01\x02 this is not a search answer \xff\xfe";

    const bool long_fields = f == AnswerFault::LongFields;
    auto text = [&](const std::string& v, size_t width) { return long_fields ? longer(v, width) : v; };

    std::string body;
    if (f != AnswerFault::MissingSerial)
        body += "<IPC_SERIALNUMBER" +
            attr("SerialNumber", f == AnswerFault::EmptySerial ? std::string() : text(d.serial, 32)) + " />\r\n";
    if (f != AnswerFault::MissingType) {
        std::string type = d.type;
        if (f == AnswerFault::Nvs)
            type = "NVS-" + type;
        else if (f == AnswerFault::Dvs)
            type = type + "-DVS";
        if (f == AnswerFault::NoTypeAttr)
            body += "<DEVICE_TYPE />\r\n";
        else
            body += "<DEVICE_TYPE" + attr("DeviceType", text(type, 32)) + " />\r\n";
    }
    if (f != AnswerFault::MissingLan)
        body += "<LANConfig" + attr("MacAddress", text(d.lan.mac, 256)) + attr("DHCP", d.lan.dhcp) +
            attr("IPAddress", text(d.lan.ip, 256)) + attr("Netmask", text(d.lan.netmask, 256)) +
            attr("Gateway", text(d.lan.gateway, 256)) + attr("DNS1", text(d.lan.dns1, 256)) +
            attr("DNS2", text(d.lan.dns2, 256)) + " />\r\n";
    if (f != AnswerFault::MissingStream)
        body += "<MediaStreamConfig>\r\n<StreamAccess" + attr("Auth", d.auth) + attr("VideoPort", d.video_port) +
            attr("RTPOverRTSP", d.rtp_over_rtsp) + attr("PTZPort", d.ptz_port) + attr("WEBPort", d.web_port) +
            " />\r\n</MediaStreamConfig>\r\n";
    if (f != AnswerFault::MissingUser) {
        body += "<UserConfig>\r\n";
        for (const Account& a : d.accounts)
            body += "<Account" + attr("Username", text(a.user, 40)) + attr("Password", text(a.password, 40)) +
                attr("Group", text(a.group, 32)) + attr("Status", text(a.status, 8)) + " />\r\n";
        body += "</UserConfig>\r\n";
    }
    if (f == AnswerFault::Oversized)
        body += "<!-- " + std::string(9000, 'p') + " -->\r\n";

    const char* code = f == AnswerFault::WrongCode ? "4" : "3";
    std::string msg = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<XML_MORVEK>\r\n"
                      "<MESSAGE_HEADER Msg_type=\"SYSTEM_SEARCHIPC_MESSAGE\" Msg_code=\"";
    msg += code;
    msg += "\" Msg_flag=\"0\" />\r\n";
    if (f == AnswerFault::NoBody)
        msg += body;
    else
        msg += "<MESSAGE_BODY>\r\n" + body + "</MESSAGE_BODY>\r\n";
    msg += "</XML_MORVEK>\r\n";
    if (f == AnswerFault::Truncated)
        msg.resize(msg.size() * 3 / 5);
    return msg;
}

namespace {

struct FaultName {
    AnswerFault fault;
    const char* name;
};

constexpr FaultName kFaultNames[] = {
    {AnswerFault::None, "none"},
    {AnswerFault::Silent, "silent"},
    {AnswerFault::MissingSerial, "missing-serial"},
    {AnswerFault::EmptySerial, "empty-serial"},
    {AnswerFault::MissingType, "missing-type"},
    {AnswerFault::NoTypeAttr, "no-type-attr"},
    {AnswerFault::MissingLan, "missing-lan"},
    {AnswerFault::MissingStream, "missing-stream"},
    {AnswerFault::MissingUser, "missing-user"},
    {AnswerFault::WrongCode, "wrong-code"},
    {AnswerFault::Nvs, "nvs"},
    {AnswerFault::Dvs, "dvs"},
    {AnswerFault::Oversized, "oversized"},
    {AnswerFault::Truncated, "truncated"},
    {AnswerFault::NoBody, "no-body"},
    {AnswerFault::LongFields, "long-fields"},
    {AnswerFault::Garbage, "garbage"},
};

}  // namespace

const char* fault_name(AnswerFault f)
{
    for (const auto& n : kFaultNames)
        if (n.fault == f)
            return n.name;
    return "none";
}

bool fault_from_name(const std::string& name, AnswerFault* out)
{
    for (const auto& n : kFaultNames) {
        if (name == n.name) {
            *out = n.fault;
            return true;
        }
    }
    return false;
}

std::string fault_names()
{
    std::string s;
    for (const auto& n : kFaultNames) {
        if (n.fault == AnswerFault::None)
            continue;
        if (!s.empty())
            s += ", ";
        s += n.name;
    }
    return s;
}

}  // namespace sim

// Console-side frames written out literally, and a splitter for what a simulated recorder sends,
// so the recorder's session is checked against the wire texts rather than against its own code.
#pragma once

#include "sim/device.h"
#include "sim/wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

inline std::string text(const std::string& type, const std::string& code, const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"" + type +
        "\"\nMsg_code=\"" + code + "\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n" + body +
        "\n</MESSAGE_BODY>\n</XML_MORVEK>";
}

inline std::string framed(const std::string& payload)
{
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string f = "\x58\x91\x58\x51";
    for (int i = 0; i < 4; ++i)
        f += static_cast<char>((n >> (8 * i)) & 0xFF);
    return f + payload;
}

inline std::string request(const std::string& type, const std::string& code, const std::string& body)
{
    return framed(text(type, code, body));
}

inline std::string control(int code, const std::string& body)
{
    return request("SYSTEM_CONTROL_MESSAGE", std::to_string(code), body);
}

inline std::string login(const std::string& user, const std::string& pass)
{
    return request("USER_AUTH_MESSAGE", "CMD_USER_AUTH",
                   "<USER_AUTH_PARAM\nUsername=\"" + user + "\"\nPassword=\"" + pass + "\"/>");
}

// The console's fixed heartbeat frame, byte for byte.
inline std::string heartbeat()
{
    return framed(
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?><XML_MORVEK>\n<MESSAGE_HEADER\n"
        "Msg_type=\"AUXPTZ_HEARTBEAT_MESSAGE\"\nMsg_code=\"CMD_HEARTBEAT\"\nMsg_flag=\"0\"\n/><MESSAGE_BODY>\n"
        "</MESSAGE_BODY>\n</XML_MORVEK><MESSAGE_BODY/>\n</XML_MORVEK>");
}

inline std::string announce(int type, const std::string& path, long length)
{
    return control(1022,
                   "<REQUEST_PARAM\nFileType=\"" + std::to_string(type) + "\"\nFilePath= \"" + path +
                       "\"\nStartPos= \"0\"\nFileLength=\"" + std::to_string(length) + "\"\n/>");
}

// One upload chunk: text, 4 zero bytes, the data.
inline std::string chunk(long start, const std::string& data, long datalen = -1)
{
    if (datalen < 0)
        datalen = static_cast<long>(data.size());
    std::string t =
        "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<XML_MORVEK>\n<MESSAGE_HEADER\nMsg_type=\"MEDIA_DATA_MESSAGE\"\n"
        "Msg_code=\"1\"\nMsg_flag=\"0\"\n/>\n<MESSAGE_BODY>\n<POS\nStartPos=\"" +
        std::to_string(start) + "\"\nDataLen=\"" + std::to_string(datalen) + "\"\n/>\n</MESSAGE_BODY>\n</XML_MORVEK>";
    return framed(t + std::string(4, '\0') + data);
}

struct Out {
    bool magic_ok = true;
    uint32_t length = 0;
    std::string payload;  // what arrived of it
    sim::Message msg;     // parsed (payload must outlive it: kept in this record)
};

// Splits the recorder's output into frames; a frame with a bad magic or cut short ends the list.
inline std::vector<Out> split(const std::string& bytes)
{
    std::vector<Out> out;
    size_t pos = 0;
    while (pos + 8 <= bytes.size()) {
        Out o;
        o.magic_ok = bytes.compare(pos, 4, "\x58\x91\x58\x51") == 0;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos + 4);
        o.length = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        size_t have = std::min<size_t>(o.length, bytes.size() - pos - 8);
        o.payload = bytes.substr(pos + 8, have);
        out.push_back(std::move(o));
        if (!out.back().magic_ok || have < out.back().length)
            break;
        pos += 8 + have;
    }
    for (Out& o : out)
        o.msg = sim::parse_message(o.payload.data(), o.payload.size());
    return out;
}

inline sim::Device device()
{
    sim::Device d;
    d.index = 0;
    d.serial = "DRVSIM000001";
    d.type = "NVR-SIM16";
    d.lan.ip = "127.0.0.1";
    d.lan.mac = "02:77:00:00:00:01";
    d.accounts = {{"admin", "admin123", "Administrators", "Enable"}, {"guest", "guest", "Users", "Enable"}};
    return d;
}

}  // namespace simtest

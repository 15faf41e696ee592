#include "discovery/reconfig.h"

#include "base/sock.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Appends one formatted piece, bounded by the room left in the buffer; the buffer stays
// terminated. Once full, further pieces are dropped.
class BodyWriter {
public:
    BodyWriter(char* buf, size_t cap) : buf_(buf), cap_(cap) { }

    void put(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (len_ + 1 >= cap_)
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf_ + len_, cap_ - len_, fmt, ap);
        va_end(ap);
        if (n < 0)
            return;
        len_ += static_cast<size_t>(n) < cap_ - len_ ? static_cast<size_t>(n) : cap_ - len_ - 1;
    }

    size_t length() const { return len_; }

private:
    char* buf_;
    size_t cap_;
    size_t len_ = 0;
};

#define FIELD(f) static_cast<int>(fixed_view(f).size()), fixed_view(f).data()

}  // namespace

int MakeNetworkLANCfgXml(const LanCfg* cfg, const char* serial, char* buf)
{
    if (!buf || !cfg || !serial) {
        log_print("MakeNetworkLANCfgXml, param error, buf == NULL(%d) || len < 1500(%d) \n", buf ? 0 : 1, 0);
        return -1;
    }
    std::memset(buf, 0, kLanBodySize);
    BodyWriter w(buf, kLanBodySize);
    w.put("<IPC_SERIALNUMBER\r\nSerialNumber=\"%s\"\r\n/>\r\n", serial);
    w.put("<LANConfig\r\n");
    w.put("MacAddress=\"%.*s\"\r\n", FIELD(cfg->MacAddress));
    w.put("DHCP=\"%d\"\r\n", cfg->DHCP);
    w.put("IPAddress=\"%.*s\"\r\n", FIELD(cfg->IPAddress));
    w.put("Netmask=\"%.*s\"\r\n", FIELD(cfg->Netmask));
    w.put("Gateway=\"%.*s\"\r\n", FIELD(cfg->Gateway));
    w.put("DNS1=\"%.*s\"\r\n", FIELD(cfg->DNS1));
    w.put("DNS2=\"%.*s\"\r\n", FIELD(cfg->DNS2));
    w.put("/>\r\n");
    return 1;
}

int MakeMediaStreamCfgXml(char* buf, int size, const MediaStreamCfg* cfg)
{
    if (!buf || size < kStreamBodyMin || !cfg) {
        log_print("MakeMediaStreamCfgXml, param error, buf == NULL(%d) || len < 1500(%d) \n", buf ? 0 : 1,
                  size < kStreamBodyMin ? 1 : 0);
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(size));
    BodyWriter w(buf, static_cast<size_t>(size));
    w.put("<MediaStreamConfig>\r\n");
    w.put("<StreamAccess\r\n");
    w.put("Auth=\"%d\"\r\n", cfg->Auth);
    w.put("VideoPort=\"%d\"\r\n", cfg->VideoPort);
    w.put("RTPOverRTSP=\"%d\"\r\n", cfg->RTPOverRTSP);
    w.put("PTZPort=\"%d\"\r\n", cfg->PTZPort);
    w.put("WEBPort=\"%d\"\r\n", cfg->WEBPort);
    w.put("/>\r\n");
    w.put("</MediaStreamConfig>\r\n");
    return 1;
}

int MakeUserCfgXml(int size, char* buf, const UserCfg* cfg)
{
    if (!buf || size < kUserBodyMin || !cfg) {
        log_print("MakeUserCfgXml, param error, buf == NULL(%d) || len < 5000(%d) \n", buf ? 0 : 1,
                  size < kUserBodyMin ? 1 : 0);
        return -1;
    }
    std::memset(buf, 0, static_cast<size_t>(size));
    BodyWriter w(buf, static_cast<size_t>(size));
    int count = cfg->count < 0 ? 0 : (cfg->count > kMaxUserAccounts ? kMaxUserAccounts : cfg->count);
    w.put("<UserConfig>\r\n");
    for (int i = 0; i < count; ++i) {
        const UserAccount& a = cfg->accounts[i];
        w.put("<Account\r\n");
        w.put("Username=\"%.*s\"\r\n", FIELD(a.Username));
        w.put("Password=\"%.*s\"\r\n", FIELD(a.Password));
        w.put("Group=\"%.*s\"\r\n", FIELD(a.Group));
        w.put("Status=\"%.*s\"\r\n", FIELD(a.Status));
        w.put("/>\r\n");
    }
    w.put("</UserConfig>\r\n");
    return 1;
}

int MakeRestoreXml(const char* serial, char* buf, int cap)
{
    if (!buf || cap <= 0)
        return 0;
    std::memset(buf, 0, static_cast<size_t>(cap));
    BodyWriter w(buf, static_cast<size_t>(cap));
    w.put("<IPC_SERIALNUMBER\nSerialNumber=\"%s\"\n/>\n", serial ? serial : "");
    return static_cast<int>(w.length());
}

int modify_ipcnetwork(const char* serial, const LanCfg* cfg)
{
    if (!serial || !cfg) {
        log_print("modify_ipcnetwork fail, param error \n");
        return -1;
    }
    char body[kLanBodySize];
    if (MakeNetworkLANCfgXml(cfg, serial, body) < 0) {
        log_print("MakeNetworkLANCfgXml fail, \n");
        return -1;
    }
    int sock = broadcastclient();
    if (sock < 0) {
        log_print("broadcastclient fail\n");
        return -1;
    }
    int r = sendsearchmsg(body, 2, sock);
    sock_close(sock);
    return r;
}

int restore_ipcconfig(const char* serial)
{
    if (!serial) {
        log_print("restore_ipcconfig fail, param error \n");
        return -1;
    }
    char body[kRestoreBodySize];
    MakeRestoreXml(serial, body, sizeof body);
    int sock = broadcastclient();
    if (sock < 0) {
        log_print("broadcastclient fail\n");
        return -1;
    }
    int r = sendsearchmsg(body, 5, sock);
    sock_close(sock);
    return r;
}

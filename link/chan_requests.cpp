// The NVR channel-table requests on top of the link's configuration request.
#include "link/chan_requests.h"

#include "link/context.h"
#include "link/requests.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdio>
#include <cstring>

namespace {

// One record's eight lines; the fields are bounded by their widths even without terminator.
int format_record(char* out, size_t cap, const ChannelParam& r)
{
    std::string_view ip = fixed_view(r.IpAddr), user = fixed_view(r.Username), pass = fixed_view(r.Password);
    return std::snprintf(out, cap,
                         "<ChannelInfo\nChannelId=\"%d\"\nProtocol=\"%s\"\nIPAddress=\"%.*s\"\nCtrlPort=\"%d\"\n"
                         "Username=\"%.*s\"\nPassword=\"%.*s\"\n/>\n",
                         r.ChannelId, nvr_protocol_text(r.Protocol), static_cast<int>(ip.size()), ip.data(), r.CtrlPort,
                         static_cast<int>(user.size()), user.data(), static_cast<int>(pass.size()), pass.data());
}

bool record_acceptable(const ChannelParam& r)
{
    return nvr_text_acceptable(fixed_view(r.IpAddr)) && nvr_text_acceptable(fixed_view(r.Username)) &&
        nvr_text_acceptable(fixed_view(r.Password));
}

}  // namespace

bool nvr_text_acceptable(std::string_view text)
{
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '&')
            return false;
    }
    return true;
}

std::vector<std::string> nvr_chan_add_bodies(int count, const ChannelParam* records)
{
    std::vector<std::string> bodies;
    if (!records || count < 1)
        return bodies;
    // Every body is formatted into this one buffer; a record that would not fit whole starts
    // the next body instead.
    char buf[kNvrBodyBufferSize];
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        char rec[512];
        int n = format_record(rec, sizeof rec, records[i]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof rec)
            continue;  // cannot happen with the fields' widths
        if (used + static_cast<size_t>(n) >= sizeof buf) {
            bodies.emplace_back(buf, used);
            used = 0;
        }
        std::memcpy(buf + used, rec, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
    }
    if (used > 0)
        bodies.emplace_back(buf, used);
    return bodies;
}

int nvr_search_start(int slot) { return ipc_config_get(slot, NVR_CODE_SEARCH_START, nullptr); }

int nvr_search_stop(int slot) { return ipc_config_get(slot, NVR_CODE_SEARCH_STOP, nullptr); }

int nvr_chan_getlist(int slot) { return ipc_config_get(slot, NVR_CODE_GETLIST, nullptr); }

int nvr_chan_add(int count, const ChannelParam* records, int slot)
{
    if (!records || count < 1) {
        log_print("nvr_chan_add param error, count:%d\n", count);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (!record_acceptable(records[i])) {
            log_print("nvr_chan_add refused, record %d holds a character XML cannot carry\n", i);
            return -1;
        }
    }
    std::vector<std::string> bodies = nvr_chan_add_bodies(count, records);
    if (bodies.size() > 1)
        log_print("nvr_chan_add: %d records go out in %d messages\n", count, static_cast<int>(bodies.size()));
    for (const std::string& body : bodies) {
        log_print("xml:\n:%s\n", ipc_log_text(body).c_str());
        if (ipc_config_get(slot, NVR_CODE_ADD, body.c_str()) != 0)
            return -4;
    }
    return 0;
}

int nvr_chan_del(int channel, int slot)
{
    char body[64];
    std::snprintf(body, sizeof body, "<REQUEST_PARAM \nChannelId=\"%d\"\n/>", channel);
    return ipc_config_get(slot, NVR_CODE_DEL, body);
}

int nvr_chan_swap(int first, int second, int slot)
{
    char body[96];
    std::snprintf(body, sizeof body, "<REQUEST_PARAM \nChannelId1=\"%d\"\nChannelId2=\"%d\"\n/>", first, second);
    return ipc_config_get(slot, NVR_CODE_SWAP, body);
}

int nvr_set_picnum(int pictures, int slot)
{
    char body[64];
    std::snprintf(body, sizeof body, "<REQUEST_PARAM \nPicNum=\"%d\"\n/>", pictures);
    return ipc_config_get(slot, NVR_CODE_PICNUM, body);
}

int nvr_page_turn(int next, int slot)
{
    char body[64];
    std::snprintf(body, sizeof body, "<REQUEST_PARAM\nPrevOrNext=\"%d\"\n/>", next);
    return ipc_config_get(slot, NVR_CODE_PAGE_TURN, body);
}

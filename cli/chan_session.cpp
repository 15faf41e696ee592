// The channels command's conversation with its NVR: waits, re-reads, confirmation, listings.
#include "cli/chan_session.h"

#include "cli/command.h"
#include "link/chan_requests.h"
#include "link/link.h"
#include "util/fixedstr.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace dravlinctl {

namespace {

constexpr int kAnswerWaitMs = 10000;  // an answer, or the table after a re-read
constexpr int kSettleMs = 5000;       // re-reads until a slow NVR's table shows the change
constexpr int kSettleStepMs = 500;

}  // namespace

int ToolChannelPort::add(int count, const ChannelParam* records)
{
    int r = d_.add(count, records);
    if (r == 0) {
        added.assign(records, records + count);
        add_messages = static_cast<int>(nvr_chan_add_bodies(count, records).size());
    }
    return r;
}

namespace {

// ChannelInfo elements in a table answer, however many the table keeps.
int count_channel_elements(const char* text, int len)
{
    static constexpr std::string_view kTag = "<ChannelInfo";
    const std::string_view t(text, static_cast<size_t>(len));
    int n = 0;
    for (size_t at = t.find(kTag); at != std::string_view::npos; at = t.find(kTag, at + kTag.size())) {
        const size_t next = at + kTag.size();
        n += next < t.size() && (t[next] == '>' || t[next] == '/' || std::isspace(static_cast<unsigned char>(t[next])));
    }
    return n;
}

}  // namespace

ChanSession::ChanSession()
    : link_([this](int code) { table.on_event(0, code); },
            [this](int kind, const void* d, int len, const void* info) {
                const auto* ai = static_cast<const AuxDataInfo*>(info);
                if (kind == IPC_AUX_RESPONSE && ai && d && len > 0 && ai->code == NVR_CODE_GETLIST && ai->flag == 0 &&
                    fixed_view(ai->msgtype).substr(0, 25) == "SYSTEM_CONFIG_GET_MESSAGE")
                    reported_.store(count_channel_elements(static_cast<const char*>(d), len));
                table.on_aux(0, kind, d, len, info);
            })
{
    table.set_listener([this](int change) {
        if (change == jobs::kChangeChannels)
            ++tables_;
    });
}

int ChanSession::open(const FleetOptions& o)
{
    int r = link_.open("channels", o);
    if (r != kExitOk)
        return r;
    // The controller asks for the table as soon as the login is accepted; a recorder without
    // one refuses the request.
    auto refused = [&] {
        std::vector<int> f = flags(NVR_CODE_GETLIST);
        return std::any_of(f.begin(), f.end(), [](int flag) { return flag != 0; });
    };
    // An answer with flag 0 that made no table: an empty one, or one that cannot be read.
    // Answers are recorded after the table they bring, so no table by then is no table.
    auto unreadable = [&] {
        std::vector<int> f = flags(NVR_CODE_GETLIST);
        return tables_.load() == 0 && std::any_of(f.begin(), f.end(), [](int flag) { return flag == 0; });
    };
    wait([&] { return tables_.load() > 0 || refused() || unreadable(); },
         Clock::now() + std::chrono::milliseconds(kAnswerWaitMs));
    if (tables_.load() > 0) {
        const int reported = reported_.load();
        if (reported > kNvrMaxListEntries)
            std::fprintf(stderr, "dravlinctl channels: the NVR reports %d channels; the first %d are shown\n", reported,
                         kNvrMaxListEntries);
        return kExitOk;
    }
    std::fprintf(stderr, "dravlinctl channels: %s: %s\n", link_.recorder().name.c_str(),
                 !error_.empty()      ? error_.c_str()
                     : refused()      ? "the recorder refused the channel table request (no NVR channel table)"
                     : !unreadable()  ? "the NVR did not send its channel table"
                     : reported_ == 0 ? "the NVR reports no channels (its channel table is empty)"
                                      : "the NVR's channel table answer cannot be read");
    return kExitFailed;
}

bool ChanSession::wait(const std::function<bool()>& pred, Clock::time_point deadline)
{
    for (;;) {
        uint64_t v = table.version();
        if (pred())
            return true;
        if (link_.lost()) {
            error_ = "the link to the NVR was lost";
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        table.wait_change(v, static_cast<int>(std::min<long long>(left, 100)));
    }
}

std::vector<int> ChanSession::flags(int code) const
{
    std::vector<int> out;
    for (const auto& a : table.answers())
        if (a.code == code)
            out.push_back(a.flag);
    return out;
}

bool ChanSession::reread()
{
    int seen = tables_.load();
    if (table.refresh() != 0) {
        error_ = "the table request could not be sent";
        return false;
    }
    if (!wait([&] { return tables_.load() > seen; }, Clock::now() + std::chrono::milliseconds(kAnswerWaitMs))) {
        if (error_.empty())
            error_ = "the NVR did not send its channel table";
        return false;
    }
    return true;
}

bool ChanSession::confirm(int code, bool answered, int reread_after_ms, const std::function<int()>& send,
                          const Check& check)
{
    const size_t before = flags(code).size();
    const int sent = send();
    if (sent < 0) {
        if (sent == -1)
            error_ = "the request could not be sent";
        return false;
    }
    auto news = [&] {
        std::vector<int> f = flags(code);
        f.erase(f.begin(), f.begin() + static_cast<long>(std::min(before, f.size())));
        return f;
    };
    auto refusal = [&] {
        for (int f : news())
            if (f != 0)
                return f;
        return 0;
    };
    // An NVR that never answers this request gets the time the channel page gives it.
    int wait_ms = answered ? kAnswerWaitMs : std::max(reread_after_ms, 0);
    bool all = wait([&] { return refusal() != 0 || static_cast<int>(news().size()) >= sent; },
                    Clock::now() + std::chrono::milliseconds(wait_ms));
    if (!error_.empty())
        return false;
    if (int f = refusal()) {
        error_ = "the NVR refused the request (flag " + std::to_string(f) + ")";
        return false;
    }
    if (answered && !all) {
        error_ = "the NVR did not answer within " + std::to_string(kAnswerWaitMs / 1000) + " s";
        return false;
    }
    auto settle = Clock::now() + std::chrono::milliseconds(kSettleMs);
    for (;;) {
        if (!reread())
            return false;
        // Answers come in order: a refusal sent before the table has arrived by now.
        if (int f = refusal()) {
            error_ = "the NVR refused the request (flag " + std::to_string(f) + ")";
            return false;
        }
        std::string why = check ? check(table.channels()) : "";
        if (why.empty())
            return true;
        if (Clock::now() >= settle) {
            error_ = "the NVR's table does not show the change (" + why + ")";
            return false;
        }
        wait([] { return false; }, Clock::now() + std::chrono::milliseconds(kSettleStepMs));
        if (!error_.empty())
            return false;
    }
}

std::string ip_of(const ChannelEntry& c) { return fixed_str(c.IpAddr); }
std::string ip_of(const IpcRecord& c) { return fixed_str(c.IpAddr); }

void print_channels(const std::vector<ChannelEntry>& list, bool json)
{
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < list.size(); ++i) {
            const ChannelEntry& c = list[i];
            std::printf("%s\n  {\"channel\": %d, \"ip\": %s, \"protocol\": %s, \"name\": %s, \"status\": %d}",
                        i ? "," : "", c.ChannelId, json_quote(device_text(fixed_view(c.IpAddr))).c_str(),
                        json_quote(nvr_protocol_text(c.Protocol)).c_str(),
                        json_quote(device_text(fixed_view(c.ChannnelName))).c_str(), c.Status);
        }
        std::printf("%s]\n", list.empty() ? "" : "\n");
        return;
    }
    std::printf("%-8s %-16s %-9s %-7s %s\n", "CHANNEL", "IP", "PROTOCOL", "STATUS", "NAME");
    for (const ChannelEntry& c : list)
        std::printf("%-8d %-16s %-9s %-7d %s\n", c.ChannelId, printable(device_text(fixed_view(c.IpAddr))).c_str(),
                    nvr_protocol_text(c.Protocol), c.Status,
                    printable(device_text(fixed_view(c.ChannnelName))).c_str());
}

void print_cameras(const std::vector<IpcRecord>& list, bool json)
{
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < list.size(); ++i) {
            const IpcRecord& c = list[i];
            std::printf(
                "%s\n  {\"ip\": %s, \"protocol\": %s, \"port\": %d, \"user\": %s, \"serial\": %s, \"name\": %s}",
                i ? "," : "", json_quote(device_text(fixed_view(c.IpAddr))).c_str(),
                json_quote(nvr_protocol_text(c.Protocol)).c_str(), c.CtrlPort,
                json_quote(device_text(fixed_view(c.Username))).c_str(),
                json_quote(device_text(fixed_view(c.SN))).c_str(),
                json_quote(device_text(fixed_view(c.OsdName))).c_str());
        }
        std::printf("%s]\n", list.empty() ? "" : "\n");
        return;
    }
    std::printf("%-16s %-9s %-6s %-12s %-20s %s\n", "IP", "PROTOCOL", "PORT", "USER", "SERIAL", "NAME");
    for (const IpcRecord& c : list)
        std::printf("%-16s %-9s %-6d %-12s %-20s %s\n", printable(device_text(fixed_view(c.IpAddr))).c_str(),
                    nvr_protocol_text(c.Protocol), c.CtrlPort, printable(device_text(fixed_view(c.Username))).c_str(),
                    printable(device_text(fixed_view(c.SN))).c_str(),
                    printable(device_text(fixed_view(c.OsdName))).c_str());
}

}  // namespace dravlinctl

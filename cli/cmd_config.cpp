// dravlinctl config get: one configuration query to one recorder; prints the answer's body, or
// with --as the record the console's reader makes of it, as JSON.
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/one_link.h"
#include "link/link.h"
#include "link/requests.h"
#include "proto/config_readers.h"
#include "proto/envelope.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravlinctl {
namespace {

const char* const kCmd = "config";
constexpr int kAnswerWaitSeconds = 10;
constexpr size_t kMaxBody = 14400;
constexpr int kMaxCapEntries = 128;  // a caplist under 1536 characters holds fewer items

struct Reader {
    const char* name;
    int args;  // words after the name
};
const Reader kReaders[] = {{"encode", 0},      {"encode-params", 0}, {"accounts", 0},
                           {"live-stream", 0}, {"vendor", 0},        {"request-param", 2},
                           {"root-attr", 1},   {"video-caps", 0},    {"best-params", 0}};

std::string q(std::string_view device) { return json_quote(device_text(device)); }

template <size_t N>
std::string q(const char (&field)[N])
{
    return q(fixed_view(field));
}

std::string hex(const uint8_t* p, int n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// A caplist record left as the marker was not written by the reader.
template <class T>
int written_records(const std::vector<T>& v, const char (T::*field)[32])
{
    int n = 0;
    for (const T& e : v) {
        const char* f = e.*field;
        if (std::all_of(f, f + 32, [](char c) { return c == '\xFF'; }))
            break;
        ++n;
    }
    return n;
}

// The reader's record as JSON; its result, 0 on success.
int read_as(const std::vector<std::string>& as, const char* text, std::string& out)
{
    const std::string& name = as[0];
    int r = 0;
    if (name == "encode") {
        EncodeCfg cfg{};
        if ((r = GetEncodeCfgByXml(text, cfg)) != 0)
            return r;
        out = "{\"count\": " + std::to_string(cfg.count) + ", \"entries\": [";
        for (int i = 0; i < cfg.count && i < kEncodeCfgMaxEntries; ++i) {
            const EncodeCfgEntry& e = cfg.entries[i];
            out += std::string(i ? ", " : "") + "{\"Stream\": " + q(e.Stream) + ", \"Resolution\": " + q(e.Resolution) +
                ", \"EncodeFormat\": " + q(e.EncodeFormat) + ", \"BitRateControl\": " + q(e.BitRateControl) +
                ", \"Initquant\": " + q(e.Initquant) + ", \"BitRate\": " + q(e.BitRate) +
                ", \"FrameRate\": " + q(e.FrameRate) + "}";
        }
        out += "]}";
    } else if (name == "encode-params") {
        EncodeParam p[2]{};
        if ((r = GetEncodeParam(text, p)) != 0)
            return r;
        auto one = [](const EncodeParam& e) {
            bool known = e.resolution >= 0 && e.resolution < kEncodeResolutionCount;
            return "{\"resolution\": " + std::to_string(e.resolution) +
                ", \"resolution_text\": " + json_quote(known ? kEncodeResolutions[e.resolution] : "") +
                ", \"framerate\": " + std::to_string(e.framerate) +
                ", \"encode_format\": " + std::to_string(e.encode_format) +
                ", \"initquant\": " + std::to_string(e.initquant) + ", \"bitrate\": " + std::to_string(e.bitrate) +
                ", \"bitrate_control\": " + std::to_string(e.bitrate_control) + "}";
        };
        out = "{\"main\": " + one(p[0]) + ", \"sub\": " + one(p[1]) + "}";
    } else if (name == "accounts") {
        ShortAccount acc[kShortAccountCount]{};
        if ((r = GetUserAccounts(text, acc)) != 0)
            return r;
        out = "[";
        for (int i = 0; i < kShortAccountCount && !fixed_view(acc[i].Username).empty(); ++i)
            out += std::string(i ? ", " : "") + "{\"Username\": " + q(acc[i].Username) +
                ", \"Password\": " + q(acc[i].Password) + ", \"Group\": " + q(acc[i].Group) +
                ", \"Status\": " + q(acc[i].Status) + "}";
        out += "]";
    } else if (name == "live-stream") {
        auto p = std::make_unique<LiveStreamParam>();
        if ((r = GetLiveStreamParam(text, *p)) != 0)
            return r;
        const uint8_t* m = reinterpret_cast<const uint8_t*>(&p->MulticastAddress);  // network byte order
        char mc[16];
        std::snprintf(mc, sizeof mc, "%u.%u.%u.%u", m[0], m[1], m[2], m[3]);
        auto n = [](const char* key, long v) { return std::string(", \"") + key + "\": " + std::to_string(v); };
        out = "{\"StreamID\": " + std::to_string(p->StreamID) + n("VideoStream", p->VideoStream) +
            n("AudioEnable", p->AudioEnable) + n("Multicast", p->Multicast) +
            ", \"MulticastAddress\": " + json_quote(mc) + n("VideoPort", p->VideoPort) + n("AudioPort", p->AudioPort) +
            n("UseTcp", p->UseTcp) + ", \"VideoEncoder\": " + q(p->VideoEncoder) + n("Width", p->Width) +
            n("Height", p->Height) + n("Framerate", p->Framerate) + n("VideoBitrate", p->VideoBitrate) +
            ", \"Config\": " + json_quote(hex(p->Config, std::clamp(p->ConfigLength, 0, kLiveStreamConfigSize))) +
            n("ConfigLength", p->ConfigLength) + ", \"AudioEncoder\": " + q(p->AudioEncoder) +
            n("SampleRate", p->SampleRate) + n("SampleWidth", p->SampleWidth) + n("Channels", p->Channels) +
            n("AudioBitrate", p->AudioBitrate) + "}";
    } else if (name == "vendor" || name == "request-param" || name == "root-attr") {
        char buf[1024] = {};
        if (name == "vendor")
            r = GetVendorIdByXml(text, buf, sizeof buf);
        else if (name == "request-param")
            r = GetRequestParamByXml(text, as[1].c_str(), as[2].c_str(), buf, sizeof buf);
        else
            r = GetRootAttrByXml(text, as[1].c_str(), buf, sizeof buf);
        if (r != 0)
            return r;
        std::string v = q(fixed_view(buf));
        if (name == "vendor")
            out = "{\"VendorId\": " + v + "}";
        else if (name == "request-param")
            out = "{\"element\": " + json_quote(as[1]) + ", \"attribute\": " + json_quote(as[2]) + ", \"value\": " + v +
                "}";
        else
            out = "{\"attribute\": " + json_quote(as[1]) + ", \"value\": " + v + "}";
    } else if (name == "video-caps") {
        std::optional<std::string> caplist = GetVideoCapListByXml(text);
        std::vector<VideoCapEntry> v(kMaxCapEntries);
        std::memset(v.data(), 0xFF, v.size() * sizeof v[0]);
        if ((r = GetVideoCapList(text, v.data(), kMaxCapEntries)) != 0)
            return r;
        out = "{\"CapList\": " + (caplist ? q(*caplist) : std::string("null")) + ", \"entries\": [";
        for (int i = 0, n = written_records(v, &VideoCapEntry::Item0); i < n; ++i) {
            out += std::string(i ? ", " : "") + "{\"Item0\": " + q(v[i].Item0) + ", \"Item1\": " + q(v[i].Item1) +
                ", \"Item2to10\": [";
            for (int k = 0; k < 9; ++k)
                out += (k ? ", " : "") + std::to_string(v[i].Item2to10[k]);
            out += "]}";
        }
        out += "]}";
    } else {  // best-params
        std::vector<VideoBestParamEntry> v(kMaxCapEntries);
        std::memset(v.data(), 0xFF, v.size() * sizeof v[0]);
        if ((r = GetVideoBestParam(text, v.data(), kMaxCapEntries)) != 0)
            return r;
        out = "[";
        for (int i = 0, n = written_records(v, &VideoBestParamEntry::Item2); i < n; ++i) {
            const VideoBestParamEntry& e = v[i];
            out += std::string(i ? ", " : "") + "{\"Item0\": " + std::to_string(e.Item0) +
                ", \"Item1\": " + q(e.Item1) + ", \"Item2\": " + q(e.Item2) + ", \"Item3\": " + q(e.Item3) +
                ", \"Item4\": " + std::to_string(e.Item4) + ", \"Item5\": " + std::to_string(e.Item5) +
                ", \"Item6\": " + std::to_string(e.Item6) + "}";
        }
        out += "]";
    }
    return 0;
}

// The first answer to the query, taken on the link thread.
struct Answer {
    std::mutex mu;
    std::condition_variable cv;
    int code = 0;
    bool armed = false, have = false;
    int flag = 0;
    std::string body;
};

int run_config(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--code", "--body", "--as"}); !twice.empty())
        return dravlinctl::usage_error("config", twice);
    FleetOptions o;
    long code = -1;
    bool have_body = false, have_get = false;
    std::string body;
    std::vector<std::string> as;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string err;
        int r = parse_fleet_option(args, i, o, err, SharedOptionSet{false, false, false});
        if (r < 0)
            return usage_error(kCmd, err);
        if (r > 0)
            continue;
        if (a == "get" && !have_get) {
            have_get = true;
        } else if (a == "--search-seconds") {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 1, 3600, o.search_seconds))
                return usage_error(kCmd, "--search-seconds needs a whole number from 1 to 3600");
            ++i;
        } else if (a == "--code") {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 0, INT_MAX, code))
                return usage_error(kCmd, "--code needs a message code (a whole number from 0)");
            ++i;
        } else if (a == "--body") {
            if (i + 1 >= args.size() || args[i + 1].size() > kMaxBody)
                return usage_error(kCmd, "--body needs a text of at most " + std::to_string(kMaxBody) + " characters");
            body = args[++i];
            have_body = true;
        } else if (a == "--as") {
            const Reader* rd = nullptr;
            for (const Reader& k : kReaders)
                if (i + 1 < args.size() && args[i + 1] == k.name)
                    rd = &k;
            if (!rd || i + 1 + static_cast<size_t>(rd->args) >= args.size())
                return usage_error(kCmd,
                                   "--as needs a reader: encode, encode-params, accounts, live-stream, vendor, "
                                   "request-param ELEM ATTR, root-attr NAME, video-caps or best-params");
            as.assign(args.begin() + static_cast<long>(i) + 1, args.begin() + static_cast<long>(i) + 2 + rd->args);
            i += 1 + static_cast<size_t>(rd->args);
        } else {
            return usage_error(
                kCmd, "unknown " + std::string(a.rfind("--", 0) == 0 ? "option" : "argument") + " '" + a + "'");
        }
    }
    if (!have_get)
        return usage_error(kCmd, "the sub-command is get");
    if (code < 0)
        return usage_error(kCmd, "get needs --code");
    std::string why = check_one_recorder(o);
    if (!why.empty())
        return usage_error(kCmd, why);

    ConsoleGuard guard(o.verbose);
    if (o.verbose)
        log_set_sink(log_sink_to_debug);
    Answer ans;
    ans.code = static_cast<int>(code);
    // A lost link ends the wait for the answer at once.
    auto wake = [&](int code) {
        if (code == IPC_EVENT_DISCONNECTED) {
            std::lock_guard<std::mutex> lk(ans.mu);
            ans.cv.notify_all();
        }
    };
    OneLink link(wake, [&](int kind, const void* data, int len, const void* info) {
        if (kind != IPC_AUX_RESPONSE || !info || !data || len < 0)
            return;
        const AuxDataInfo& ai = *static_cast<const AuxDataInfo*>(info);
        if (fixed_view(ai.msgtype).substr(0, 25) != "SYSTEM_CONFIG_GET_MESSAGE" || ai.code != ans.code)
            return;
        std::lock_guard<std::mutex> lk(ans.mu);
        if (!ans.armed || ans.have)
            return;
        ans.have = true;
        ans.flag = ai.flag;
        ans.body.assign(static_cast<const char*>(data), static_cast<size_t>(len));
        ans.cv.notify_all();
    });
    int r = link.open(kCmd, o);
    if (r != kExitOk)
        return r;
    {
        std::lock_guard<std::mutex> lk(ans.mu);
        ans.armed = true;
    }
    if (ipc_config_get(0, ans.code, have_body ? body.c_str() : nullptr) != 0) {
        std::fprintf(stderr, "dravlinctl config: the query could not be sent\n");
        return kExitFailed;
    }
    std::unique_lock<std::mutex> lk(ans.mu);
    if (!ans.cv.wait_for(lk, std::chrono::seconds(kAnswerWaitSeconds), [&] { return ans.have || link.lost(); }) ||
        !ans.have) {
        std::fprintf(stderr, "dravlinctl config: %s\n", link.lost() ? "the link was lost" : "no answer within 10 s");
        return kExitFailed;
    }
    if (ans.flag != 0) {
        std::fprintf(stderr, "dravlinctl config: the recorder refused the query (flag %d)\n", ans.flag);
        return kExitFailed;
    }
    // The link hands over the MESSAGE_BODY element: the readers take it as it is (they look into
    // a MESSAGE_BODY themselves), the text output and root-attr what it holds.
    const std::string answer = ans.body;
    std::string inner;
    if (GetMessageBody(answer.c_str(), inner) != 0)
        inner = answer;
    lk.unlock();
    if (as.empty()) {
        std::fputs(inner.c_str(), stdout);
        if (inner.empty() || inner.back() != '\n')
            std::fputc('\n', stdout);
        return kExitOk;
    }
    std::string json;
    r = read_as(as, as[0] == "root-attr" ? inner.c_str() : answer.c_str(), json);
    if (r != 0) {
        std::fprintf(stderr, "dravlinctl config: the %s reader could not read the answer (result %d)\n", as[0].c_str(),
                     r);
        return kExitFailed;
    }
    std::printf("%s\n", json.c_str());
    return kExitOk;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("config", "one configuration query to one recorder; the answer as text or read as JSON",
                "Usage: dravlinctl config get --code N [--body TEXT] [--as READER]\n"
                "                  (--serial S [--search-seconds N] | --target IP[:PORT] --user U --password P)\n"
                "                  [--verbose]\n"
                "\n"
                "Logs in, sends SYSTEM_CONFIG_GET_MESSAGE with code N (and TEXT as its body, as given), and\n"
                "prints the body of the recorder's answer. With --as, the console's reader reads the body as\n"
                "the recorder sent it (MESSAGE_BODY and what it holds) and the record it makes is printed as\n"
                "JSON:\n"
                "  encode                   the EncodeConfig entries (e.g. code 301)\n"
                "  encode-params            main and sub stream as table indexes\n"
                "  accounts                 the accounts of UserConfig (302)\n"
                "  live-stream              TRANS_PARAM, VIDEO_PARAM and AUDIO_PARAM (303)\n"
                "  vendor                   VENDOR_PARAM's VendorId (304)\n"
                "  request-param ELEM ATTR  one attribute of an element of the body\n"
                "  root-attr NAME           one attribute of the first element in the body\n"
                "  video-caps               the VideoCap caplist and its items (305)\n"
                "  best-params              the VideoBestParameter items (306)\n"
                "\n"
                "Every option also takes the form --option=value. The login has 15 s, the answer 10 s.\n"
                "The password may come from --password-file FILE (its first line) or DRAVLIN_PASSWORD\n"
                "instead of --password, which other users of the machine can read; --verbose shows it as ***.\n"
                "Exit status: 0 when the recorder answered with flag 0 (and the reader read it); 1 when it\n"
                "refused, did not answer, the reader failed (its result on standard error), the link failed\n"
                "or the recorder was not found; 2 for bad arguments (nothing is sent).\n",
                dravlinctl::run_config);

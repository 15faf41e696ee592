// dravlinctl channels: one NVR's IP-camera channel table — list it, let the NVR search its own
// network for cameras, fill, add, delete, clear, swap, canvas, page — over the controller the
// channel page uses. A change counts only once the NVR confirmed it (cli/chan_session.h).
#include "base/sock.h"
#include "cli/chan_session.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "link/chan_requests.h"
#include "util/fixedstr.h"
#include "util/gbk.h"
#include "util/log.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace dravlinctl {
namespace {

const char* const kCmd = "channels";
const char* const kSubs[] = {"list", "search", "add", "fill", "delete", "clear", "swap", "canvas", "page"};

struct Args {
    FleetOptions o;
    std::string sub;
    std::vector<std::string> pos;
    long seconds = 5;  // the NVR's camera search
    bool all = false;
    std::vector<std::string> ips;
    int protocol = kNvrProtocolMVK;
    long port = 0, channel = 0;
    std::string user = "admin", password = "470213";  // what the channel page offers too
};

bool is_sub(const std::string& s) { return std::find(std::begin(kSubs), std::end(kSubs), s) != std::end(kSubs); }

// "" when fine, with the text as the NVR takes it (GB2312/GBK) in wire; texts go into the add
// request's XML as they are.
std::string camera_text_problem(const char* what, const std::string& v, size_t max, std::string& wire)
{
    std::string why = xml_text_problem(v);
    if (!why.empty())
        return std::string(what) + ": " + why;
    if (!native_to_gbk(v, wire))
        return std::string(what) + ": it has a character that GB2312/GBK, the NVR's text, cannot hold";
    if (wire.size() > max)
        return std::string(what) + " takes at most " + std::to_string(max) + " characters";
    return "";
}

// Options before the sub-command choose the NVR; after `add`, --user and --password are the
// camera's account.
std::string parse(const std::vector<std::string>& args, Args& a)
{
    // Options are counted apart before and after the sub-command: after `add`, --user and
    // --password are the camera's.
    const size_t sub_at = static_cast<size_t>(
        std::find_if(args.begin(), args.end(), [](const std::string& s) { return is_sub(s); }) - args.begin());
    for (auto [from, to] : {std::pair<size_t, size_t>{0, sub_at}, {sub_at, args.size()}}) {
        std::string twice = repeated_option(args, {"--protocol", "--port", "--channel"}, from, to);
        if (!twice.empty())
            return twice;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& s = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string v, err;
        if (s.rfind("--", 0) != 0) {
            if (a.sub.empty()) {
                if (!is_sub(s))
                    return "unknown sub-command '" + s + "'";
                a.sub = s;
            } else {
                a.pos.push_back(s);
            }
            continue;
        }
        if (a.sub == "add" && (s == "--user" || s == "--password")) {
            if (!value(v))
                return s + " needs a value";
            std::string wire;
            std::string why = camera_text_problem(s.c_str(), v, s == "--user" ? 32 : 128, wire);
            if (!why.empty())
                return why;
            (s == "--user" ? a.user : a.password) = wire;
            continue;
        }
        int r = parse_fleet_option(args, i, a.o, err, SharedOptionSet{false, false, true});
        if (r < 0)
            return err;
        if (r > 0)
            continue;
        if (s == "--search-seconds") {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 1, 3600, a.o.search_seconds))
                return "--search-seconds needs a whole number from 1 to 3600";
            ++i;
        } else if (s == "--seconds" && (a.sub == "search" || a.sub == "fill")) {
            if (i + 1 >= args.size() || !parse_long(args[i + 1], 1, 3600, a.seconds))
                return "--seconds needs a whole number from 1 to 3600";
            ++i;
        } else if (s == "--all" && a.sub == "fill") {
            a.all = true;
        } else if (s == "--ip" && (a.sub == "fill" || a.sub == "add")) {
            if (!value(v) || v.size() > 15 || !ipv4_parse(v.c_str(), nullptr))
                return "--ip needs a dotted IPv4 address";
            if (a.sub == "add" && !a.ips.empty())
                return "add takes one --ip";
            a.ips.push_back(v);
        } else if (s == "--protocol" && a.sub == "add") {
            if (!value(v) || nvr_protocol_code(v.c_str()) < 0)
                return "--protocol needs MVK or ONVIF";
            a.protocol = nvr_protocol_code(v.c_str());
        } else if (s == "--port" && a.sub == "add") {
            if (i + 1 >= args.size() || !parse_long(args[++i], 1, 65535, a.port))
                return "--port needs a port from 1 to 65535";
        } else if (s == "--channel" && a.sub == "add") {
            if (i + 1 >= args.size() || !parse_long(args[++i], 1, 256, a.channel))
                return "--channel needs a channel number from 1 to 256";
        } else {
            return "unknown option '" + s + "'" + (a.sub.empty() ? "" : " for " + a.sub);
        }
    }
    if (a.sub.empty())
        return "name a sub-command: list, search, add, fill, delete, clear, swap, canvas or page";
    if (a.sub == "fill" && a.all == !a.ips.empty())
        return "fill takes --all or --ip A ...";
    if (a.sub == "add" && a.ips.empty())
        return "add needs --ip";
    struct Positional {
        const char* sub;
        size_t min, max;
        const char* what;
    };
    static const Positional kPositional[] = {{"delete", 1, 256, " needs channel numbers"},
                                             {"swap", 2, 2, " needs two channel numbers"},
                                             {"canvas", 1, 1, " needs one picture count"},
                                             {"page", 1, 1, " needs next or prev"}};
    Positional want{a.sub.c_str(), 0, 0, " takes no arguments"};
    for (const Positional& p : kPositional)
        if (a.sub == p.sub)
            want = p;
    if (a.pos.size() < want.min || a.pos.size() > want.max)
        return a.sub + want.what;
    if (a.sub == "page" && a.pos[0] != "next" && a.pos[0] != "prev")
        return "page takes next or prev";
    for (const std::string& p : a.pos) {
        long n;
        if (a.sub != "page" && !parse_long(p, 1, 256, n))
            return a.sub + ": '" + printable(p) + "' is not " +
                (a.sub == "canvas" ? "a picture count" : "a channel number") + " from 1 to 256";
    }
    return check_one_recorder(a.o);
}

// The shown channel numbers as 0-based rows of the table; "" or why not.
std::string rows_of(const std::vector<std::string>& pos, size_t count, std::vector<int>& rows)
{
    for (const std::string& p : pos) {
        long n = std::stol(p);
        if (static_cast<size_t>(n) > count)
            return "channel " + p + " is not in the NVR's table (1 to " + std::to_string(count) + ")";
        if (std::find(rows.begin(), rows.end(), n - 1) == rows.end())
            rows.push_back(static_cast<int>(n - 1));
    }
    return "";
}

bool camera_search(ChanSession& s, long seconds)
{
    size_t before = s.flags(NVR_CODE_SEARCH_START).size();
    if (s.table.start_search() != 0) {
        s.fail("the camera search request could not be sent");
        return false;
    }
    s.wait([] { return false; }, ChanSession::Clock::now() + std::chrono::seconds(seconds));
    if (!s.error().empty())
        return false;
    if (s.table.stop_search() != 0)
        std::fprintf(stderr, "dravlinctl channels: the request to stop the camera search could not be sent\n");
    std::vector<int> f = s.flags(NVR_CODE_SEARCH_START);
    f.erase(f.begin(), f.begin() + static_cast<long>(std::min(before, f.size())));
    if (f.empty())
        s.fail("the NVR did not answer the camera search within " + std::to_string(seconds) + " s");
    for (int flag : f)
        if (flag != 0)
            s.fail("the NVR refused the camera search (flag " + std::to_string(flag) + ")");
    return s.error().empty();
}

// What a controller result that sent nothing means here; exit 0 only for "already there".
int nothing_sent(ChanSession& s, const jobs::ChanOp& op)
{
    if (op.result == jobs::kChanAlreadyAdded) {
        std::fprintf(stderr, "dravlinctl channels: every chosen camera is in the channel table already\n");
        return kExitOk;
    }
    s.fail(jobs::chan_result_text(op.result));
    return kExitFailed;
}

// Sends an add through op and confirms that the table holds every record it sent.
int add_and_confirm(ChanSession& s, const std::function<jobs::ChanOp()>& op)
{
    jobs::ChanOp done;
    bool ok = s.confirm(
        NVR_CODE_ADD, true, 0,
        [&] {
            done = op();
            if (done.result == jobs::kChanNotSent)
                return -1;
            return done.result == jobs::kChanOk ? s.port.add_messages : -2;
        },
        [&](const std::vector<ChannelEntry>& list) -> std::string {
            for (const ChannelParam& p : s.port.added) {
                size_t row = static_cast<size_t>(p.ChannelId);
                if (row >= list.size() || ip_of(list[row]) != fixed_str(p.IpAddr))
                    return "channel " + std::to_string(p.ChannelId + 1) + " does not hold " + fixed_str(p.IpAddr);
            }
            return "";
        });
    if (!ok && s.error().empty())
        return nothing_sent(s, done);
    return ok ? kExitOk : kExitFailed;
}

std::string all_free(const std::vector<ChannelEntry>& list, const std::vector<int>& rows)
{
    for (int row : rows)
        if (static_cast<size_t>(row) < list.size() && !ip_of(list[static_cast<size_t>(row)]).empty())
            return "channel " + std::to_string(row + 1) + " still holds " + ip_of(list[static_cast<size_t>(row)]);
    return "";
}

int run_sub(ChanSession& s, const Args& a)
{
    const std::vector<ChannelEntry> table = s.table.channels();
    std::vector<int> rows;
    if (a.sub == "delete" || a.sub == "swap") {
        std::string why = rows_of(a.pos, table.size(), rows);
        if (!why.empty())
            return usage_error(kCmd, why);
    }
    if (a.sub == "list")
        return kExitOk;
    if (a.sub == "search")
        return camera_search(s, a.seconds) ? kExitOk : kExitFailed;
    if (a.sub == "fill") {
        if (!camera_search(s, a.seconds))
            return kExitFailed;
        std::vector<IpcRecord> cams = s.table.cameras();
        std::vector<int> chosen;
        for (const std::string& ip : a.ips) {
            auto it = std::find_if(cams.begin(), cams.end(), [&](const IpcRecord& c) { return ip_of(c) == ip; });
            if (it == cams.end()) {
                s.fail(ip + " is not among the cameras the NVR found");
                return kExitFailed;
            }
            chosen.push_back(static_cast<int>(it - cams.begin()));
        }
        int r = add_and_confirm(s, [&] { return a.all ? s.table.fill() : s.table.add_cameras(chosen); });
        if (r != kExitOk)
            return r;
        // Cameras left over when the free channels ran out are not added: say which.
        std::vector<ChannelEntry> now = s.table.channels();
        for (size_t k = 0; k < cams.size(); ++k) {
            bool wanted = a.all || std::find(chosen.begin(), chosen.end(), static_cast<int>(k)) != chosen.end();
            bool placed =
                std::any_of(now.begin(), now.end(), [&](const ChannelEntry& c) { return ip_of(c) == ip_of(cams[k]); });
            if (wanted && !placed) {
                std::fprintf(stderr, "dravlinctl channels: %s not added: no free channel\n", ip_of(cams[k]).c_str());
                r = kExitFailed;
            }
        }
        return r;
    }
    if (a.sub == "add") {
        int row = a.channel > 0 ? static_cast<int>(a.channel - 1) : s.table.first_free_row();
        if (a.channel > static_cast<long>(table.size()))
            return usage_error(kCmd,
                               "channel " + std::to_string(a.channel) + " is not in the NVR's table (1 to " +
                                   std::to_string(table.size()) + ")");
        // A camera shows in one channel only, as fill keeps it.
        for (size_t r = 0; r < table.size(); ++r) {
            if (ip_of(table[r]) != a.ips[0])
                continue;
            if (static_cast<int>(r) == row) {
                std::fprintf(stderr, "dravlinctl channels: %s is in channel %zu already\n", a.ips[0].c_str(), r + 1);
                return kExitOk;
            }
            s.fail(a.ips[0] + " is in channel " + std::to_string(r + 1) +
                   " already; delete it there first, or swap the channels");
            return kExitFailed;
        }
        if (row < 0) {
            s.fail(jobs::chan_result_text(jobs::kChanTableFull));
            return kExitFailed;
        }
        const std::string replaced = ip_of(table[static_cast<size_t>(row)]);
        ChannelParam p{};
        p.ChannelId = row;
        p.Protocol = a.protocol;
        const int protocol_port = a.protocol == kNvrProtocolMVK ? kDefaultControlPort : 80;
        p.CtrlPort = static_cast<int32_t>(a.port > 0 ? a.port : protocol_port);
        fixed_copy(p.IpAddr, a.ips[0]);
        fixed_copy(p.Username, a.user);
        fixed_copy(p.Password, a.password);
        int r = add_and_confirm(s, [&] { return s.table.set_channel(p); });
        if (r == kExitOk && !replaced.empty())
            std::fprintf(stderr, "dravlinctl channels: channel %d held %s; it now holds %s\n", row + 1,
                         printable(replaced).c_str(), a.ips[0].c_str());
        return r;
    }
    if (a.sub == "delete" || a.sub == "clear") {
        if (a.sub == "clear")
            for (size_t r = 0; r < table.size(); ++r)
                rows.push_back(static_cast<int>(r));
        if (rows.empty())
            return kExitOk;  // an empty table is clear already
        jobs::ChanOp op;
        bool ok = s.confirm(
            NVR_CODE_DEL, false, 0,
            [&] {
                op = a.sub == "clear" ? s.table.clear() : s.table.delete_channels(rows);
                return op.result == jobs::kChanOk ? op.sent : -1;
            },
            [&](const std::vector<ChannelEntry>& list) { return all_free(list, rows); });
        return ok ? kExitOk : kExitFailed;
    }
    if (a.sub == "swap") {
        if (rows.size() != 2)
            return usage_error(kCmd, "swap needs two different channels");
        const std::string first = ip_of(table[static_cast<size_t>(rows[0])]);
        const std::string second = ip_of(table[static_cast<size_t>(rows[1])]);
        bool ok = s.confirm(
            NVR_CODE_SWAP, true, 0, [&] { return s.table.swap(rows).result == jobs::kChanOk ? 1 : -1; },
            [&](const std::vector<ChannelEntry>& list) -> std::string {
                size_t x = static_cast<size_t>(rows[0]), y = static_cast<size_t>(rows[1]);
                if (x < list.size() && y < list.size() && ip_of(list[x]) == second && ip_of(list[y]) == first)
                    return "";
                return "channels " + a.pos[0] + " and " + a.pos[1] + " are not swapped";
            });
        return ok ? kExitOk : kExitFailed;
    }
    // canvas and page change nothing the table shows: the NVR's answer or the re-read that
    // follows the request on the link is the confirmation.
    if (a.sub == "canvas") {
        int n = std::stoi(a.pos[0]);
        std::vector<int> choices = jobs::ChannelTable::canvas_choices(static_cast<int>(table.size()));
        if (std::find(choices.begin(), choices.end(), n) == choices.end()) {
            std::string list;
            for (int c : choices)
                list += (list.empty() ? "" : ", ") + std::to_string(c);
            return usage_error(kCmd,
                               "a table of " + std::to_string(table.size()) + " channels offers the canvas sizes " +
                                   (list.empty() ? "(none)" : list));
        }
        return s.confirm(
                   NVR_CODE_PICNUM, false, 0, [&] { return s.table.set_canvas(n) == 0 ? 1 : -1; }, nullptr)
            ? kExitOk
            : kExitFailed;
    }
    bool next = a.pos[0] == "next";
    return s.confirm(
               NVR_CODE_PAGE_TURN, false, 0, [&] { return s.table.turn_page(next) == 0 ? 1 : -1; }, nullptr)
        ? kExitOk
        : kExitFailed;
}

int run_channels(const std::vector<std::string>& args)
{
    Args a;
    std::string why = parse(args, a);
    if (!why.empty())
        return usage_error(kCmd, why);
    ConsoleGuard guard(a.o.verbose);
    if (a.o.verbose)
        log_set_sink(log_sink_to_debug);
    ChanSession s;
    int r = s.open(a.o);
    if (r != kExitOk)
        return r;
    r = run_sub(s, a);
    if (r == kExitFailed && !s.error().empty())
        std::fprintf(stderr, "dravlinctl channels: %s\n", s.error().c_str());
    if (r == kExitOk || r == kExitFailed) {
        if (a.sub == "search")
            print_cameras(s.table.cameras(), a.o.json);
        else
            print_channels(s.table.channels(), a.o.json);
    }
    std::fflush(stdout);
    return r;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND(
    "channels", "one NVR's camera channel table: list, camera search, fill, add, delete, swap ...",
    "Usage: dravlinctl channels (--serial S [--search-seconds N] | --target IP[:PORT] --user U --password P)\n"
    "                           SUB-COMMAND [--json] [--verbose]\n"
    "\n"
    "The NVR's password may come from --password-file FILE (its first line) or DRAVLIN_PASSWORD\n"
    "instead of --password, which other users of the machine can read.\n"
    "\n"
    "Logs in to one NVR (found by serial number with a LAN search, or at the given address), reads\n"
    "its channel table and works on it as the console's channel page does. Channels are numbered\n"
    "from 1, as the NVR shows them. Options before the sub-command choose the NVR.\n"
    "\n"
    "Sub-commands:\n"
    "  list                     print the channel table\n"
    "  search [--seconds N]     let the NVR search its network for N seconds (default 5) and print\n"
    "                           the cameras it found, one row per address (an MVK answer wins)\n"
    "  fill (--all | --ip A ...) [--seconds N]\n"
    "                           search first, then put the found cameras (all, or those addresses)\n"
    "                           into the free channels in camera-list order\n"
    "  add --ip A [--protocol MVK|ONVIF] [--port P] [--user U] [--password W] [--channel N]\n"
    "                           one camera into channel N (default: the first free one), replacing\n"
    "                           the camera it holds (standard error names it); a camera already in\n"
    "                           another channel is not added (exit 1, naming that channel);\n"
    "                           defaults MVK, port 8091 (ONVIF 80), user admin, password 470213\n"
    "  delete N ...             free those channels\n"
    "  clear                    free every channel\n"
    "  swap A B                 exchange two channels\n"
    "  canvas N                 show N pictures (the sizes the table's length offers)\n"
    "  page next|prev           turn the NVR's page\n"
    "\n"
    "Output: the channel table as the NVR reports it after the work (search: the camera list);\n"
    "--json gives an array of {\"channel\", \"ip\", \"protocol\", \"name\", \"status\"} (cameras:\n"
    "{\"ip\", \"protocol\", \"port\", \"user\", \"serial\", \"name\"}). Every option also takes the form\n"
    "--option=value; --verbose puts the link's diagnostic lines on standard error (passwords shown\n"
    "as ***). The table shows at most 96 channels; standard error says when the NVR reports more,\n"
    "and an NVR with no channels at all is told at once (exit 1). Device texts are shown as UTF-8,\n"
    "with control characters escaped (\\x1b) in the tables.\n"
    "\n"
    "Texts that travel in the NVR's XML (addresses, user names, passwords) may not hold '\"', '<',\n"
    "'>', '&' or control characters; user names and passwords go as GB2312/GBK (one without a\n"
    "GB2312/GBK form is refused). Every wait is bounded: the login 15 s, an answer 10 s.\n"
    "Exit status: 0 when the NVR confirmed the work (its answer with flag 0 and a re-read table\n"
    "that shows the change; for a request it does not answer, the re-read table); 1 when it\n"
    "refused, did not answer, the table does not show the change, the link failed or the NVR was\n"
    "not found; 2 for bad arguments (nothing is sent).\n",
    dravlinctl::run_channels);

// dravlinctl's shared options: parsing, the XML text and upload file checks, target addresses.
#include "cli/fleet.h"
#include "cli/fleet_files.h"
#include "jobs/upload_file.h"
#include "util/gbk.h"

#include "base/sock.h"
#include "jobs/results.h"
#include "link/link.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace dravlinctl {

bool parse_long(const std::string& text, long lo, long hi, long& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::string xml_text_problem(const std::string& text)
{
    for (unsigned char c : text) {
        if (c == '"' || c == '<' || c == '>' || c == '&')
            return std::string("it holds '") + static_cast<char>(c) + "', which cannot travel in the recorder's XML";
        if (c < 0x20 || c == 0x7F)
            return "it holds a control character, which cannot travel in the recorder's XML";
    }
    return "";
}

std::string account_text_problem(const std::string& what, const std::string& text, bool native, std::string& wire)
{
    std::string why = xml_text_problem(text);
    if (!why.empty())
        return what + ": " + why;
    if (!(native ? native_to_gbk(text, wire) : utf8_to_gbk(text, wire)))
        return what + ": it has a character that GB2312/GBK, the recorder's text, cannot hold" +
            (native ? "" : " (the file is read as UTF-8)");
    // The name of --password-file FILE says where; the value itself is never shown.
    const size_t max = what == "--user" ? 31 : 40;  // what a login carries
    if (wire.size() > max)
        return what + " takes at most " + std::to_string(max) + " bytes as GB2312/GBK";
    return "";
}

bool password_from_environment(FleetOptions& o, std::string& error)
{
    error.clear();
    if (o.have_password)
        return false;
    const char* env = std::getenv(kPasswordVariable);
    if (!env)
        return false;
    std::string wire;
    error = account_text_problem(kPasswordVariable, env, true, wire);
    if (!error.empty())
        return false;
    o.password = wire;
    o.have_password = true;
    return true;
}

std::string upload_file_problem(const std::string& path)
{
    return jobs::upload_file_problem_text(jobs::check_upload_file(path));
}

std::vector<std::string> split_option_values(const std::vector<std::string>& args)
{
    std::vector<std::string> out;
    bool options_done = false;
    for (const auto& a : args) {
        if (options_done || a.rfind("--", 0) != 0) {
            out.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            out.push_back(a);
            continue;
        }
        auto eq = a.find('=');
        if (eq == std::string::npos) {
            out.push_back(a);
        } else {
            out.push_back(a.substr(0, eq));
            out.push_back(a.substr(eq + 1));
        }
    }
    return out;
}

const std::vector<std::string>& shared_single_options()
{
    static const std::vector<std::string> v = {
        "--user",         "--password", "--password-file", "--seconds",        "--timeout", "--parallel", "--report",
        "--retry-failed", "--history",  "--station",       "--search-seconds", "--count",   "--for"};
    return v;
}

std::string repeated_option(const std::vector<std::string>& args, const std::vector<std::string>& single, size_t from,
                            size_t to)
{
    std::vector<std::string> seen;
    auto is_single = [&](const std::string& a) {
        const auto& shared = shared_single_options();
        return std::find(single.begin(), single.end(), a) != single.end() ||
            std::find(shared.begin(), shared.end(), a) != shared.end();
    };
    for (size_t i = from; i < std::min(to, args.size()); ++i) {
        const std::string& a = args[i];
        if (a == "--")
            break;
        if (!is_single(a))
            continue;
        if (std::find(seen.begin(), seen.end(), a) != seen.end())
            return a + " is given twice";
        seen.push_back(a);
        ++i;  // its value, whatever it looks like
    }
    return "";
}

bool parse_target_address(const std::string& text, TargetAddress& out)
{
    std::string ip = text;
    long port = kDefaultControlPort;
    auto colon = text.find(':');
    if (colon != std::string::npos) {
        ip = text.substr(0, colon);
        if (!parse_long(text.substr(colon + 1), 1, 65535, port))
            return false;
    }
    uint32_t addr = 0;
    // The link entry holds at most 15 characters: a dotted address always fits.
    if (ip.size() > 15 || !ipv4_parse(ip.c_str(), &addr))
        return false;
    out.ip = ip;
    out.port = static_cast<uint16_t>(port);
    return true;
}

int parse_fleet_option(const std::vector<std::string>& args, size_t& i, FleetOptions& o, std::string& error,
                       SharedOptionSet accept)
{
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    auto value = [&]() -> const std::string& { return args[++i]; };
    if (a == "--serial") {
        if (!has_value || args[i + 1].empty()) {
            error = "--serial needs a serial number";
            return -1;
        }
        const std::string& s = value();
        if (std::find(o.serials.begin(), o.serials.end(), s) == o.serials.end())
            o.serials.push_back(s);
        return 1;
    }
    if (a == "--target") {
        TargetAddress t;
        if (!has_value || !parse_target_address(args[i + 1], t)) {
            error = "--target needs IP[:PORT] with a dotted IPv4 address and a port from 1 to 65535";
            return -1;
        }
        ++i;
        bool dup = std::any_of(o.targets.begin(), o.targets.end(),
                               [&](const TargetAddress& x) { return x.ip == t.ip && x.port == t.port; });
        if (!dup)
            o.targets.push_back(t);
        return 1;
    }
    if (a == "--user" || a == "--password" || a == "--password-file") {
        if (!has_value) {
            error = a + (a == "--password-file" ? " needs a file" : " needs a value");
            return -1;
        }
        const std::string& v = value();
        const bool user = a == "--user";
        if (user && o.have_user) {
            error = "--user is given twice";
            return -1;
        }
        if (!user && o.have_password) {
            error = "give the password once: --password or --password-file";
            return -1;
        }
        std::string wire;
        if (a == "--password-file") {
            std::string text;
            std::string why = read_small_file(v, text);
            if (!why.empty()) {
                error = "--password-file " + v + ": " + why;
                return -1;
            }
            // The first line; a file written on Windows ends it with CR LF.
            text = text.substr(0, text.find('\n'));
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            error = account_text_problem("--password-file " + v, text, false, wire);
        } else {
            error = account_text_problem(a, v, true, wire);
        }
        if (!error.empty())
            return -1;
        if (user) {
            o.user = wire;
            o.have_user = true;
        } else {
            o.password = wire;
            o.have_password = true;
        }
        return 1;
    }
    if (a == "--seconds" && accept.seconds) {
        if (!has_value || !parse_long(args[i + 1], 1, 3600, o.search_seconds)) {
            error = "--seconds needs a whole number from 1 to 3600";
            return -1;
        }
        ++i;
        return 1;
    }
    if (a == "--timeout" && accept.timeout) {
        if (!has_value || !parse_long(args[i + 1], 1, 86400, o.timeout_seconds)) {
            error = "--timeout needs a whole number of seconds from 1 to 86400";
            return -1;
        }
        ++i;
        return 1;
    }
    if (a == "--json" && accept.json) {
        o.json = true;
        return 1;
    }
    if (a == "--verbose" || a == "-v") {
        o.verbose = true;
        return 1;
    }
    if (a == "--parallel" && accept.run) {
        if (!has_value || !parse_long(args[i + 1], 1, kMaxFleetLinks, o.parallel)) {
            error =
                "--parallel needs a whole number from 1 to " + std::to_string(kMaxFleetLinks) + " (the links at once)";
            return -1;
        }
        ++i;
        return 1;
    }
    if ((a == "--history" || a == "--station") && accept.run) {
        const bool hist = a == "--history";
        if (!has_value || args[i + 1].empty()) {
            error = a + (hist ? " needs a store (a file, postgresql://..., or off)" : " needs a name");
            return -1;
        }
        if (hist ? o.have_history : o.have_station) {
            error = a + " is given twice";
            return -1;
        }
        (hist ? o.history : o.station) = value();
        (hist ? o.have_history : o.have_station) = true;
        return 1;
    }
    if ((a == "--watch" || a == "--again") && accept.run) {
        (a == "--watch" ? o.watch : o.again) = true;
        return 1;
    }
    if ((a == "--count" || a == "--for") && accept.run) {
        const bool count = a == "--count";
        long& v = count ? o.watch_count : o.watch_seconds;
        if (v != 0) {
            error = a + " is given twice";
            return -1;
        }
        if (!has_value || !parse_long(args[i + 1], 1, count ? 1000000 : 7 * 86400, v)) {
            error = a + (count ? " needs a number of recorders from 1" : " needs a number of seconds from 1");
            return -1;
        }
        ++i;
        return 1;
    }
    if ((a == "--report" || a == "--retry-failed") && accept.run) {
        if (!has_value || args[i + 1].empty()) {
            error = a + " needs a file";
            return -1;
        }
        (a == "--report" ? o.report : o.retry_failed) = value();
        return 1;
    }
    return 0;
}

std::string check_fleet_options(FleetOptions& o, SharedOptionSet accept)
{
    if ((o.watch_count || o.watch_seconds || o.again) && !o.watch)
        return "--count, --for and --again go with --watch";
    if (o.watch && (!o.targets.empty() || !o.retry_failed.empty()))
        return "--watch works on the recorders the search finds; it does not go with --target or --retry-failed";
    if (!o.retry_failed.empty()) {
        // The report chooses; whether it needs an account shows once it is read.
        if (!o.serials.empty() || !o.targets.empty())
            return "--retry-failed chooses the recorders; it does not go with --serial or --target";
        return "";
    }
    if (!o.targets.empty()) {
        if (!o.serials.empty())
            return "--serial chooses among searched recorders; it does not go with --target";
        std::string why;
        if (!password_from_environment(o, why) && !why.empty())
            return why;
        if (!o.have_user || !o.have_password)
            return "--target needs --user and --password (or --password-file, or " + std::string(kPasswordVariable) +
                " in the environment)";
        if (!accept.run && o.targets.size() > static_cast<size_t>(kMaxFleetLinks))
            return "at most " + std::to_string(kMaxFleetLinks) + " --target addresses at once";
    } else if (o.have_user || o.have_password) {
        return "--user and --password go with --target (searched recorders use their own account)";
    }
    return "";
}

}  // namespace dravlinctl

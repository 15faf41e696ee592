// Shared machinery of dravlinctl's commands over recorders: see fleet.h.
#include "cli/fleet.h"

#include "base/sock.h"
#include "cli/command.h"
#include "discovery/search.h"
#include "link/link.h"
#include "util/fixedstr.h"
#include "util/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

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

std::string upload_file_problem(const std::string& path)
{
    if (path.size() > 255)
        return "the path is longer than 255 characters";
    errno = 0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::string("cannot be opened: ") + std::strerror(errno ? errno : ENOENT);
    struct stat st {};
    std::string why;
    if (::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (st.st_size == 0) {
        why = "the file is empty";
    } else if (st.st_size > INT_MAX) {
        why = "the file is larger than 2 GiB";  // the upload announces a 32-bit length
    } else {
        char byte;
        errno = 0;
        if (std::fread(&byte, 1, 1, f) != 1)
            why = std::string("cannot be read: ") + std::strerror(errno ? errno : EIO);
    }
    std::fclose(f);
    return why;
}

std::string upload_result_text(int value, const char* what)
{
    switch (value) {
    case IPC_UPLOAD_OK: return "";
    case IPC_UPLOAD_FILE_NOT_FOUND: return "the local file was not found";
    case IPC_UPLOAD_NO_FILE_NAME: return "no local file name";
    case IPC_UPLOAD_NO_MEMORY: return "out of memory";
    case IPC_UPLOAD_READ_ERROR: return "the local file could not be read";
    case IPC_UPLOAD_REFUSED: return std::string("the recorder refused the ") + what;
    case IPC_UPLOAD_LINK_FAILED: return "the link failed while sending";
    default: return "the upload failed (" + std::to_string(value) + ")";
    }
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
    if (a == "--user" || a == "--password") {
        if (!has_value) {
            error = a + " needs a value";
            return -1;
        }
        const std::string& v = value();
        size_t max = a == "--user" ? 31 : 40;  // what a login carries
        if (v.size() > max) {
            error = a + " takes at most " + std::to_string(max) + " characters";
            return -1;
        }
        std::string why = xml_text_problem(v);
        if (!why.empty()) {
            error = a + ": " + why;
            return -1;
        }
        if (a == "--user") {
            o.user = v;
            o.have_user = true;
        } else {
            o.password = v;
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
    return 0;
}

std::string check_fleet_options(const FleetOptions& o)
{
    if (!o.targets.empty()) {
        if (!o.serials.empty())
            return "--serial chooses among searched recorders; it does not go with --target";
        if (!o.have_user || !o.have_password)
            return "--target needs --user and --password";
        if (o.targets.size() > static_cast<size_t>(kMaxFleetLinks))
            return "at most " + std::to_string(kMaxFleetLinks) + " --target addresses at once";
    } else if (o.have_user || o.have_password) {
        return "--user and --password go with --target (searched recorders use their own account)";
    }
    return "";
}

// ---- choosing recorders -------------------------------------------------------------------

namespace {

std::atomic<int> g_searches{0};

}  // namespace

int fleet_searches_started() { return g_searches.load(); }

int choose_recorders(const char* command, const FleetOptions& o, FleetChoice& out)
{
    out = FleetChoice{};
    if (!o.targets.empty()) {
        // Direct addresses: nothing is broadcast and no search socket is opened.
        for (const auto& t : o.targets) {
            Recorder r;
            r.name = t.ip + ":" + std::to_string(t.port);
            r.address = t.ip;
            r.port = t.port;
            r.user = o.user;
            r.password = o.password;
            out.recorders.push_back(std::move(r));
        }
        return kExitOk;
    }

    ++g_searches;
    if (startsearchipc() != 1) {
        std::fprintf(stderr, "dravlinctl %s: the search could not be started\n", command);
        return kExitFailed;
    }
    std::set<std::string> pending(o.serials.begin(), o.serials.end());
    std::vector<IPCSearchInfo> found;
    auto rec = std::make_unique<IPCSearchInfo>();
    auto collect = [&] {
        found.clear();
        int count = getipccount();
        for (int i = 0; i < count; ++i)
            if (getipcinfo_copy(i, rec.get()) == 1)
                found.push_back(*rec);
    };
    auto search_end = std::chrono::steady_clock::now() + std::chrono::seconds(o.search_seconds);
    int send_errno = 0;
    while (std::chrono::steady_clock::now() < search_end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (int e = searchipc_send_errno())
            send_errno = e;
        if (!o.serials.empty()) {
            collect();
            for (const auto& r : found)
                pending.erase(std::string(fixed_view(r.devid.SerialNumber)));
            if (pending.empty())
                break;
        }
    }
    collect();
    if (int e = searchipc_send_errno())
        send_errno = e;
    stopsearchipc();
    if (send_errno && found.empty()) {
        std::fprintf(stderr, "dravlinctl %s: the search request could not be broadcast: %s\n", command,
                     std::strerror(send_errno));
        return kExitFailed;
    }

    std::set<std::string> seen;
    for (const auto& r : found) {
        std::string serial(fixed_view(r.devid.SerialNumber));
        bool want = o.serials.empty() || std::find(o.serials.begin(), o.serials.end(), serial) != o.serials.end();
        if (!want || !seen.insert(serial).second)
            continue;
        // As the console does: the answer's address, its control port and its first account.
        Recorder c;
        c.name = serial;
        c.serial = serial;
        c.address = std::string(fixed_view(r.lancfg.IPAddress));
        c.port = static_cast<uint16_t>(r.streamcfg.PTZPort);
        // The address is the recorder's own text: only a dotted IPv4 address is used, never a
        // name to look up.
        if (c.address.size() > 15 || !ipv4_parse(c.address.c_str(), nullptr)) {
            out.unusable.push_back({serial, "its search answer gives no IPv4 address"});
            continue;
        }
        if (r.usercfg.count > 0) {
            c.user = std::string(fixed_view(r.usercfg.accounts[0].Username)).substr(0, 31);
            c.password = std::string(fixed_view(r.usercfg.accounts[0].Password)).substr(0, 40);
        }
        out.recorders.push_back(std::move(c));
    }
    for (const auto& w : o.serials)
        if (!seen.count(w))
            out.missing.push_back(w);
    if (out.recorders.size() > static_cast<size_t>(kMaxFleetLinks)) {
        std::fprintf(stderr, "dravlinctl %s: %zu recorders found, at most %d links at once; choose with --serial\n",
                     command, out.recorders.size(), kMaxFleetLinks);
        return kExitFailed;
    }
    return kExitOk;
}

// ---- link events --------------------------------------------------------------------------

namespace {

std::mutex g_ev_mu;
std::condition_variable g_ev_cv;
std::deque<LinkEvent> g_events;

// The link reports every failed login step as the same event; its thread's log lines say
// which step failed. Each link thread logs in on itself, so the last such line of the thread
// that emits the event is the one that belongs to it.
thread_local int t_login_problem = kLoginProblemNone;
std::atomic<bool> g_log_verbose{false};

void link_log_sink(int level, const char* text)
{
    std::string_view t(text);
    if (t.find("=ipc_login[") != std::string_view::npos)
        t_login_problem = kLoginProblemNone;
    else if (t.find("ipcauth long time wait") != std::string_view::npos)
        t_login_problem = kLoginProblemNoAnswer;
    else if (t.find("[ipcauth] ") != std::string_view::npos)  // wrong magic, length above the cap
        t_login_problem = kLoginProblemBadFrame;
    if (g_log_verbose.load())
        log_sink_to_debug(level, text);
}

// Events whose data is text; the others carry nothing or one 32-bit value.
bool text_event(int code)
{
    switch (code) {
    case IPC_EVENT_TALK_OK: case IPC_EVENT_TALK_FAIL: case IPC_EVENT_TALK_STOP_OK: case IPC_EVENT_TALK_STOP_FAIL:
    case IPC_EVENT_PTZ_OK: case IPC_EVENT_PTZ_FAIL: case IPC_EVENT_DOWNLOAD_OK: case IPC_EVENT_DOWNLOAD_FAIL:
    case IPC_EVENT_TALK_BUSY: case IPC_EVENT_TALK_PARAM: case IPC_EVENT_TALK_DISABLED:
        return true;
    default:
        return false;
    }
}

// Runs on the link threads: only queues, so a link thread never waits for the main thread.
int queue_event(int chanid, int code, const void* data, int len)
{
    LinkEvent ev;
    ev.chanid = chanid;
    ev.code = code;
    if (code == IPC_EVENT_DISCONNECTED || code == IPC_EVENT_LOGIN_FAIL) {
        ev.login_problem = t_login_problem;
        t_login_problem = kLoginProblemNone;
    }
    if (data && len == 4 && !text_event(code)) {
        ev.has_value = true;
        std::memcpy(&ev.value, data, 4);
    } else if (data && len > 0 && text_event(code)) {
        ev.text.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    }
    {
        std::lock_guard<std::mutex> lk(g_ev_mu);
        g_events.push_back(std::move(ev));
    }
    g_ev_cv.notify_all();
    return 0;
}

void drop_events(int chanid)
{
    std::lock_guard<std::mutex> lk(g_ev_mu);
    g_events.erase(std::remove_if(g_events.begin(), g_events.end(),
                                  [&](const LinkEvent& e) { return chanid < 0 || e.chanid == chanid; }),
                   g_events.end());
}

}  // namespace

void watch_link_log(bool verbose)
{
    g_log_verbose.store(verbose);
    log_set_sink(link_log_sink);
}

bool link_lost_event_pending(int chanid, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lk(g_ev_mu);
    return g_ev_cv.wait_for(lk, wait, [&] {
        return std::any_of(g_events.begin(), g_events.end(), [&](const LinkEvent& e) {
            return e.chanid == chanid && e.code == IPC_EVENT_DISCONNECTED;
        });
    });
}

FleetLinks::FleetLinks() { drop_events(-1); }

FleetLinks::~FleetLinks() { logout_all(); }

bool FleetLinks::init() { return ipc_init() == 1; }

bool FleetLinks::login(int chanid, const Recorder& r)
{
    IpcLoginParam p{};
    p.chanid = chanid;
    fixed_copy(p.address, sizeof p.address - 1, r.address);
    p.port = r.port;
    p.autoreconnect = 1;
    p.evcb = queue_event;
    fixed_copy(p.username, sizeof p.username - 1, r.user);
    fixed_copy(p.password, sizeof p.password - 1, r.password);
    return ipc_login_delay(&p) == 1;
}

bool FleetLinks::next(LinkEvent& ev, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lk(g_ev_mu);
    if (!g_ev_cv.wait_for(lk, wait, [] { return !g_events.empty(); }))
        return false;
    ev = std::move(g_events.front());
    g_events.pop_front();
    return true;
}

void FleetLinks::logout(int chanid)
{
    ipc_logout(chanid);
    drop_events(chanid);
}

void FleetLinks::logout_all()
{
    ipc_logout_all();
    drop_events(-1);
}

// ---- standard output ----------------------------------------------------------------------

StdoutGuard::StdoutGuard(bool verbose)
{
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ < 0)
        return;
    int fd = ::dup(saved_);
    out_ = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!out_) {
        if (fd >= 0)
            ::close(fd);
        ::close(saved_);
        saved_ = -1;
        return;
    }
    int sink = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        ::dup2(sink, STDOUT_FILENO);
        ::close(sink);
    }
}

StdoutGuard::~StdoutGuard() { restore(); }

void StdoutGuard::restore()
{
    if (saved_ < 0)
        return;
    std::fflush(stdout);
    std::fflush(out_);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    std::fclose(out_);
    out_ = nullptr;
}

// ---- one recorder's run -------------------------------------------------------------------

namespace {

std::mutex g_err_mu;

}  // namespace

void RecorderRun::progress(const std::string& text)
{
    std::lock_guard<std::mutex> lk(g_err_mu);
    std::fprintf(stderr, "%s %s\n", rec_.name.c_str(), text.c_str());
    std::fflush(stderr);
}

void RecorderRun::finish(bool ok, const std::string& message)
{
    if (finished_)
        return;
    finished_ = true;
    ok_ = ok;
    message_ = message;
    if (result_.empty())
        result_ = ok ? "ok" : "failed";
    progress(ok ? "done" : result_ + (message.empty() ? "" : ": " + message));
}

bool RecorderRun::steps_ok() const
{
    return std::all_of(steps_.begin(), steps_.end(), [](const StepResult& s) { return s.ok; });
}

bool progress_worth_showing(int percent, int& last_shown)
{
    if (percent <= last_shown)
        return false;
    bool show = percent >= 100 || percent / 20 > (last_shown < 0 ? 0 : last_shown / 20);
    if (show)
        last_shown = percent;
    return show;
}

std::string json_quote(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {

std::string step_text(const StepResult& s)
{
    std::string t = s.step + (s.ok ? " ok" : " failed");
    if (!s.ok && !s.detail.empty())
        t += " (" + s.detail + ")";
    return t;
}

struct SummaryRow {
    std::string name, serial, address;
    int port = 0;
    bool ok = false;
    std::string result, message;
    std::vector<StepResult> steps;
};

std::string detail_of(const SummaryRow& r)
{
    std::string d;
    for (const auto& s : r.steps)
        d += (d.empty() ? "" : ", ") + step_text(s);
    // A failure's message goes in front unless a step already says it.
    if (!r.ok && !r.message.empty() && d.find(r.message) == std::string::npos)
        d = r.message + (d.empty() ? "" : "; " + d);
    return d;
}

void print_summary(FILE* out, const char* command, bool json, bool all_ok, const std::vector<SummaryRow>& rows)
{
    if (json) {
        std::fprintf(out, "{\"command\": %s, \"ok\": %s, \"recorders\": [", json_quote(command).c_str(),
                     all_ok ? "true" : "false");
        for (size_t i = 0; i < rows.size(); ++i) {
            const SummaryRow& r = rows[i];
            std::fprintf(out,
                         "%s\n  {\"name\": %s, \"serial\": %s, \"address\": %s, \"port\": %d, \"ok\": %s, "
                         "\"result\": %s, \"message\": %s, \"steps\": [",
                         i ? "," : "", json_quote(r.name).c_str(), json_quote(r.serial).c_str(),
                         json_quote(r.address).c_str(), r.port, r.ok ? "true" : "false", json_quote(r.result).c_str(),
                         json_quote(r.message).c_str());
            for (size_t k = 0; k < r.steps.size(); ++k) {
                const StepResult& s = r.steps[k];
                std::fprintf(out, "%s{\"step\": %s, \"ok\": %s, \"value\": ", k ? ", " : "", json_quote(s.step).c_str(),
                             s.ok ? "true" : "false");
                if (s.has_value)
                    std::fprintf(out, "%d", s.value);
                else
                    std::fprintf(out, "null");
                std::fprintf(out, ", \"detail\": %s}", json_quote(s.detail).c_str());
            }
            std::fprintf(out, "]}");
        }
        std::fprintf(out, "%s]}\n", rows.empty() ? "" : "\n");
    } else {
        std::fprintf(out, "%-24s %-21s %-13s %s\n", "RECORDER", "ADDRESS", "RESULT", "DETAIL");
        for (const auto& r : rows) {
            std::string addr = r.address.empty() ? "-" : r.address + ":" + std::to_string(r.port);
            std::fprintf(out, "%-24s %-21s %-13s %s\n", r.name.c_str(), addr.c_str(), r.result.c_str(),
                         detail_of(r).c_str());
        }
    }
    std::fflush(out);
}

}  // namespace

namespace {

class RequestJob : public Job {
public:
    explicit RequestJob(const RequestPlan& plan) : plan_(plan) {}

    void start(RecorderRun& run) override
    {
        if (!plan_.send(run.chanid())) {
            run.add_step({plan_.step, false, false, 0, "request not sent"});
            fail_unsent(run, plan_.step);
            return;
        }
        run.progress(std::string(plan_.step) + " sent");
        if (plan_.answer_event == IPC_EVENT_UPLOAD_RESULT)
            run.expect_progress_within(std::chrono::seconds(kUploadStallSeconds));
    }

    void on_event(RecorderRun& run, const LinkEvent& ev) override
    {
        if (ev.code == IPC_EVENT_UPLOAD_PROGRESS) {
            if (ev.has_value && progress_worth_showing(ev.value, last_percent_))
                run.progress(std::string(plan_.step) + " " + std::to_string(ev.value) + "%");
            // Once every byte is handed over, the recorder's own check before its verdict is
            // covered by the command's --timeout.
            if (ev.has_value && ev.value >= 100)
                run.progress_not_awaited();
            else
                run.expect_progress_within(std::chrono::seconds(kUploadStallSeconds));
            return;
        }
        if (ev.code != plan_.answer_event)
            return;
        run.progress_not_awaited();
        int v = ev.has_value ? ev.value : -1;
        bool ok = ev.has_value && plan_.success(v);
        std::string detail = ok ? "" : plan_.describe(v);
        run.add_step({plan_.step, ok, ev.has_value, v, detail});
        run.finish(ok, detail);
    }

private:
    RequestPlan plan_;
    int last_percent_ = -1;
};

}  // namespace

std::unique_ptr<Job> make_request_job(const RequestPlan& plan) { return std::make_unique<RequestJob>(plan); }

void fail_unsent(RecorderRun& run, const std::string& step, const std::string& otherwise)
{
    // A request that cannot be written to a link that just broke is the loss, not the request.
    if (link_lost_event_pending(run.chanid(), std::chrono::milliseconds(500))) {
        run.set_result("link lost");
        run.finish(false, "the link broke before the " + step + " request went out");
        return;
    }
    run.finish(false, otherwise.empty() ? "the " + step + " request could not be written" : otherwise);
}

int run_fleet(const char* command, const FleetOptions& o, const JobFactory& make_job)
{
    StdoutGuard guard(o.verbose);
    watch_link_log(o.verbose);

    FleetChoice choice;
    int r = choose_recorders(command, o, choice);
    if (r != kExitOk)
        return r;
    if (choice.recorders.empty() && choice.missing.empty() && choice.unusable.empty()) {
        std::fprintf(stderr, "dravlinctl %s: no recorder found\n", command);
        return kExitFailed;
    }

    std::vector<std::unique_ptr<RecorderRun>> runs;
    {
        FleetLinks links;
        if (!choice.recorders.empty() && !links.init()) {
            std::fprintf(stderr, "dravlinctl %s: the link table could not be allocated\n", command);
            return kExitFailed;
        }
        const auto timeout = std::chrono::seconds(o.timeout_seconds);
        const auto login_window = std::min<std::chrono::seconds>(timeout, std::chrono::seconds(kLoginWindowSeconds));
        for (size_t i = 0; i < choice.recorders.size(); ++i) {
            const Recorder& rec = choice.recorders[i];
            auto run = std::make_unique<RecorderRun>(static_cast<int>(i), rec);
            run->job = make_job(rec);
            run->started = std::chrono::steady_clock::now();
            run->progress("logging in to " + rec.address + ":" + std::to_string(rec.port));
            if (!links.login(run->chanid(), rec))
                run->finish(false, "the link could not be started");
            runs.push_back(std::move(run));
        }
        std::vector<bool> released(runs.size(), false);
        auto release_finished = [&] {
            for (size_t i = 0; i < runs.size(); ++i) {
                if (runs[i]->finished() && !released[i]) {
                    links.logout(runs[i]->chanid());
                    released[i] = true;
                }
            }
        };
        release_finished();

        for (;;) {
            auto now = std::chrono::steady_clock::now();
            auto next_deadline = now + std::chrono::milliseconds(200);
            bool busy = false;
            for (auto& run : runs) {
                if (run->finished())
                    continue;
                auto deadline = run->started + (run->logged_in ? timeout : login_window);
                if (now >= deadline) {
                    run->set_result("timed out");
                    std::string why;
                    if (run->logged_in)
                        why = "no result within " + std::to_string(o.timeout_seconds) + " s";
                    else
                        why = "not logged in within " + std::to_string(login_window.count()) + " s" +
                              (run->connect_failures > 0 ? " (could not connect)" : " (no login answer)");
                    run->finish(false, why);
                    continue;
                }
                if (run->stall_deadline != std::chrono::steady_clock::time_point{} && now >= run->stall_deadline) {
                    run->set_result("stalled");
                    run->finish(false, "the upload made no progress for " + std::to_string(kUploadStallSeconds) + " s");
                    continue;
                }
                busy = true;
                next_deadline = std::min(next_deadline, deadline);
                if (run->stall_deadline != std::chrono::steady_clock::time_point{})
                    next_deadline = std::min(next_deadline, run->stall_deadline);
            }
            release_finished();
            if (!busy)
                break;

            LinkEvent ev;
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_deadline - now);
            if (!links.next(ev, std::max(wait, std::chrono::milliseconds(1))))
                continue;
            if (ev.chanid < 0 || ev.chanid >= static_cast<int>(runs.size()))
                continue;
            RecorderRun& run = *runs[static_cast<size_t>(ev.chanid)];
            if (run.finished())
                continue;
            switch (ev.code) {
            case IPC_EVENT_LOGIN_OK:
                if (!run.logged_in) {
                    run.logged_in = true;
                    run.progress("logged in");
                    if (run.job)
                        run.job->start(run);
                    else
                        run.finish(true, "");
                }
                break;
            case IPC_EVENT_LOGIN_FAIL:
            case IPC_EVENT_DISCONNECTED:
                if (run.logged_in) {
                    // The link reconnects by itself, but whatever was in flight is lost with it.
                    run.set_result("link lost");
                    run.finish(false, "the link broke before the work was done");
                } else if (ev.login_problem == kLoginProblemNoAnswer) {
                    run.set_result("no login answer");
                    run.finish(false, "the recorder did not answer the login");
                } else if (ev.login_problem == kLoginProblemBadFrame) {
                    run.set_result("bad login answer");
                    run.finish(false, "the recorder's login answer is not a valid frame");
                } else if (ev.code == IPC_EVENT_LOGIN_FAIL) {
                    run.set_result("login refused");
                    run.finish(false, "the recorder refused the account");
                } else if (run.connect_failures++ == 0) {
                    run.progress("cannot connect, retrying");
                }
                break;
            case IPC_EVENT_THREAD_END:
                break;
            default:
                if (run.job)
                    run.job->on_event(run, ev);
                break;
            }
            release_finished();
        }
        links.logout_all();
    }
    guard.restore();

    std::vector<SummaryRow> rows;
    bool all_ok = true;
    int succeeded = 0;
    for (const auto& run : runs) {
        SummaryRow row;
        row.name = run->recorder().name;
        row.serial = run->recorder().serial;
        row.address = run->recorder().address;
        row.port = run->recorder().port;
        row.ok = run->ok();
        row.result = run->result();
        row.message = run->message();
        row.steps = run->steps();
        all_ok = all_ok && row.ok;
        succeeded += row.ok;
        rows.push_back(std::move(row));
    }
    for (const auto& [serial, why] : choice.unusable) {
        SummaryRow row;
        row.name = serial;
        row.serial = serial;
        row.result = "bad answer";
        row.message = why;
        all_ok = false;
        rows.push_back(std::move(row));
    }
    for (const auto& s : choice.missing) {
        SummaryRow row;
        row.name = s;
        row.serial = s;
        row.result = "not found";
        row.message = "no answer to the search";
        all_ok = false;
        rows.push_back(std::move(row));
    }
    print_summary(stdout, command, o.json, all_ok, rows);
    std::fprintf(stderr, "%d of %zu recorder(s) succeeded\n", succeeded, rows.size());
    return all_ok ? kExitOk : kExitFailed;
}

}  // namespace dravlinctl

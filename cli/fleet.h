// The part every dravlinctl command over recorders shares: the common options, choosing the
// recorders (a LAN search, or direct addresses with --target), logging in to them in parallel,
// collecting their link events on the main thread, a per-recorder time-out, progress lines on
// standard error and the closing summary on standard output (text or JSON).
//
// A command supplies a Job per recorder: it is started once the recorder is logged in and is
// fed that recorder's link events until it calls finish(). Jobs run on dravlinctl's main thread
// only, so they need no locks; the link threads just queue events.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dravlinctl {

struct TargetAddress {
    std::string ip;
    uint16_t port = 8091;
};

struct FleetOptions {
    std::vector<std::string> serials;       // --serial, empty: every recorder found
    std::vector<TargetAddress> targets;     // --target: no search at all
    std::string user, password;             // accounts for --target
    bool have_user = false, have_password = false;
    long search_seconds = 3;                // --seconds
    long timeout_seconds = 15;              // --timeout, per recorder (from the login on)
    bool json = false;
    bool verbose = false;
};

constexpr uint16_t kDefaultControlPort = 8091;
constexpr int kMaxFleetLinks = 64;  // the link table's size
// A recorder that is not logged in this long after its login started fails, whatever the
// command's --timeout (which also covers the work after the login).
constexpr int kLoginWindowSeconds = 15;
// An upload whose progress stops this long fails: the link's own silence rule.
constexpr int kUploadStallSeconds = 50;

// "" when text may go into an XML message as it is; otherwise why not (a quote, an angle
// bracket, an ampersand or a control character).
std::string xml_text_problem(const std::string& text);
// "" when the file at path can be sent as an upload: a readable regular file of 1 byte to
// 2 GiB with a path the link keeps whole (255 characters); otherwise why not, with the
// system's reason where there is one. An empty picture would blank the recorder's picture,
// an empty image is no firmware.
std::string upload_file_problem(const std::string& path);
// The text of one event 56 value for a step ("firmware", "boot picture", ...).
std::string upload_result_text(int value, const char* what);

// Splits "--name=value" into "--name" and "value" (arguments after a lone "--" stay as they
// are), so that every command takes both spellings.
std::vector<std::string> split_option_values(const std::vector<std::string>& args);

// Tries args[i] as one of the shared options (--serial, --target, --user, --password, --seconds,
// --timeout, --json, --verbose), moving i past a value it takes. 1 taken, 0 not a shared option,
// -1 bad value (error says why). `accept` lists which of --seconds/--timeout/--json the command
// takes; the others are left to the caller (0).
struct SharedOptionSet {
    bool seconds = true;
    bool timeout = true;
    bool json = true;
};
int parse_fleet_option(const std::vector<std::string>& args, size_t& i, FleetOptions& o, std::string& error,
                       SharedOptionSet accept = {});
// Cross-checks once every option is read; "" when the combination is fine.
std::string check_fleet_options(const FleetOptions& o);

// "IP[:PORT]" with a dotted IPv4 address and a port from 1 to 65535 (default 8091).
bool parse_target_address(const std::string& text, TargetAddress& out);

// Help text of the shared options, appended to the commands' usage texts.
#define DRAVLIN_FLEET_OPTIONS_HELP                                                                   \
    "Choosing recorders (default: every recorder that answers the LAN search, at most 64):\n"       \
    "  --serial S          only the recorder with this serial number (repeatable); the search\n"   \
    "                      ends as soon as every one answered\n"                                    \
    "  --seconds N         search time in seconds (1 to 3600, default 3)\n"                         \
    "  --target IP[:PORT]  skip the search and log in to this address (repeatable; port\n"          \
    "                      default 8091); needs --user and --password\n"                            \
    "  --user U            the account for --target addresses\n"                                    \
    "  --password P\n"                                                                              \
    "Output:\n"                                                                                     \
    "  --json              the closing summary as JSON: {\"command\", \"ok\", \"recorders\": [{\"name\",\n" \
    "                      \"serial\", \"address\", \"port\", \"ok\", \"result\", \"message\", \"steps\":\n"  \
    "                      [{\"step\", \"ok\", \"value\", \"detail\"}]}]}\n"                              \
    "  --verbose           the link's diagnostic lines on standard error\n"                         \
    "Every option also takes the form --option=value.\n"                                            \
    "Progress lines ('<recorder> <what>') go to standard error, the summary to standard output.\n"  \
    "Exit status: 0 when every chosen recorder succeeded, 1 when one did not (or a --serial was\n"  \
    "not found), 2 for bad arguments.\n"


// One chosen recorder. The name is its serial number, or "IP:PORT" for a --target address.
struct Recorder {
    std::string name;
    std::string serial;
    std::string address;
    uint16_t port = 0;
    std::string user, password;
};

struct FleetChoice {
    std::vector<Recorder> recorders;
    std::vector<std::string> missing;  // --serial values no recorder answered for
    std::vector<std::pair<std::string, std::string>> unusable;  // serial, why it cannot be used
};

// --target: the addresses as given. Otherwise a search for search_seconds (or until every
// --serial answered), in the order the recorders answered. kExitOk, or kExitFailed after a
// line on standard error (search not started, more than 64 recorders).
int choose_recorders(const char* command, const FleetOptions& o, FleetChoice& out);

// Searches started by this process (a --target run must leave it at 0).
int fleet_searches_started();

// One link event as the main thread sees it.
struct LinkEvent {
    int chanid = -1;
    int code = 0;
    bool has_value = false;  // a 32-bit value (progress, verdicts, answers' flags)
    int32_t value = 0;
    std::string text;        // text events (talk, PTZ, download results)
    int login_problem = 0;   // events 2 and 5: what the link's login step logged (below)
};

// What went wrong in a login, as the link thread's log lines told (kLoginProblem...).
constexpr int kLoginProblemNone = 0;
constexpr int kLoginProblemNoAnswer = 1;   // the recorder did not answer the login
constexpr int kLoginProblemBadFrame = 2;   // its answer was not a valid frame
// Installs the log sink that watches the link threads' login lines (and copies every line to
// standard error with verbose). Every command over links calls it once.
void watch_link_log(bool verbose);

// The link table used by one run: recorder i on chanid i, auto reconnect, events queued for
// the main thread. Logs everything out when destroyed.
class FleetLinks {
public:
    FleetLinks();
    ~FleetLinks();
    FleetLinks(const FleetLinks&) = delete;
    FleetLinks& operator=(const FleetLinks&) = delete;

    // ipc_init; false when the table could not be allocated.
    bool init();
    // ipc_login_delay for recorder r on chanid; false when the link could not be started.
    bool login(int chanid, const Recorder& r);
    // Waits up to `wait` for the next event of any link. false when none came.
    bool next(LinkEvent& ev, std::chrono::milliseconds wait);
    // Ends one link (waits for its thread) and drops its queued events.
    void logout(int chanid);
    void logout_all();
};

// Keeps the link library's console lines off the real standard output, so that the summary
// (or --json) stays clean: standard output goes to standard error with --verbose and nowhere
// otherwise, until restored. out() writes to the real standard output meanwhile.
class StdoutGuard {
public:
    explicit StdoutGuard(bool verbose);
    ~StdoutGuard();
    StdoutGuard(const StdoutGuard&) = delete;
    StdoutGuard& operator=(const StdoutGuard&) = delete;
    FILE* out() const { return out_ ? out_ : stdout; }
    void restore();

private:
    int saved_ = -1;
    FILE* out_ = nullptr;
};

struct StepResult {
    std::string step;
    bool ok = false;
    bool has_value = false;
    int value = 0;
    std::string detail;
};

class RecorderRun;

// What a command does on one logged-in recorder.
class Job {
public:
    virtual ~Job() = default;
    // The recorder just logged in.
    virtual void start(RecorderRun& run) = 0;
    // One of its link events (login, connection and thread-end events are handled by the runner).
    virtual void on_event(RecorderRun& run, const LinkEvent& ev) = 0;
};

class RecorderRun {
public:
    RecorderRun(int chanid, Recorder rec) : chanid_(chanid), rec_(std::move(rec)) {}

    int chanid() const { return chanid_; }
    const Recorder& recorder() const { return rec_; }

    // "<name> <text>" on standard error.
    void progress(const std::string& text);
    void add_step(StepResult s) { steps_.push_back(std::move(s)); }
    // The recorder is done; a failure keeps the message as its summary detail.
    void finish(bool ok, const std::string& message);

    bool finished() const { return finished_; }
    bool ok() const { return ok_; }
    const std::string& result() const { return result_; }
    const std::string& message() const { return message_; }
    const std::vector<StepResult>& steps() const { return steps_; }
    // Whether every step so far succeeded.
    bool steps_ok() const;

    // Runner's bookkeeping.
    void set_result(const std::string& result) { result_ = result; }
    // A job that waits on upload progress arms this; the runner fails the recorder as
    // "stalled" when it passes. Cleared (default) when no progress is awaited.
    void expect_progress_within(std::chrono::seconds s) { stall_deadline = std::chrono::steady_clock::now() + s; }
    void progress_not_awaited() { stall_deadline = {}; }
    std::chrono::steady_clock::time_point stall_deadline{};
    std::chrono::steady_clock::time_point started{};
    bool logged_in = false;
    int connect_failures = 0;
    std::unique_ptr<Job> job;

private:
    int chanid_;
    Recorder rec_;
    bool finished_ = false;
    bool ok_ = false;
    std::string result_;
    std::string message_;
    std::vector<StepResult> steps_;
};

// A job that sends one request and waits for the event that answers it (the upload progress,
// event 50, is shown on the way).
struct RequestPlan {
    const char* step;                     // "reboot", "firmware", ...
    std::function<bool(int chanid)> send; // true when the request was written
    int answer_event;                     // the event that carries the answer's value
    std::function<bool(int value)> success;
    std::function<std::string(int value)> describe;  // text of a failed answer
};
std::unique_ptr<Job> make_request_job(const RequestPlan& plan);

// Whether the link of chanid reported a loss (event 2) that is still queued, waiting up to
// `wait` for one.
bool link_lost_event_pending(int chanid, std::chrono::milliseconds wait);
// Finishes a recorder whose `step` request could not be written: "link lost" when the link
// just broke, else failed with `otherwise` (default: "the <step> request could not be written").
void fail_unsent(RecorderRun& run, const std::string& step, const std::string& otherwise = "");

using JobFactory = std::function<std::unique_ptr<Job>(const Recorder&)>;

// The whole command: choose the recorders, log in to all of them in parallel, run a job on each
// until it finishes or its time-out passes, log out, print the summary. Returns kExitOk only
// when every chosen recorder (and every --serial) succeeded.
int run_fleet(const char* command, const FleetOptions& o, const JobFactory& make_job);

// Upload progress comes in steps of 5 %; with many recorders a line each would drown the
// terminal, so a line is shown each time a multiple of 20 % is passed and at 100 %.
bool progress_worth_showing(int percent, int& last_shown);

// Text of a JSON string.
std::string json_quote(const std::string& s);

// A whole number from lo to hi; false otherwise.
bool parse_long(const std::string& text, long lo, long hi, long& out);

}  // namespace dravlinctl

// The part every dravlinctl command over recorders shares: the common options, choosing the
// recorders (a LAN search, or direct addresses with --target), and turning the fleet runner's
// news (jobs/runner.h) into progress lines on standard error and the closing summary on standard
// output (text or JSON). The sequences themselves, their time-outs and results live in jobs/.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "jobs/runner.h"
#include "discovery/search.h"
#include "jobs/job.h"
#include "proto/frame.h"

namespace dravlinctl {

struct TargetAddress {
    std::string ip;
    uint16_t port = kDefaultControlPort;
};

struct FleetOptions {
    std::vector<std::string> serials;    // --serial, empty: every recorder found
    std::vector<TargetAddress> targets;  // --target: no search at all
    std::string user, password;          // accounts for --target, as GB2312/GBK bytes
    bool have_user = false, have_password = false;
    long search_seconds = 3;    // --seconds
    long timeout_seconds = 15;  // --timeout, per recorder (from the login on)
    bool json = false;
    bool verbose = false;
    long parallel = 64;        // --parallel: recorders at once
    std::string report;        // --report FILE
    std::string retry_failed;  // --retry-failed FILE
    std::string history;       // --history STORE: "" the station's file, "off", a path, postgresql://...
    std::string station;       // --station NAME; "" the host name
    bool have_history = false, have_station = false;
    bool watch = false;      // --watch: recorders are worked on as they appear
    long watch_count = 0;    // --count N: stop after N recorders; 0 no limit
    long watch_seconds = 0;  // --for SECONDS: stop looking after so long; 0 no limit
    bool again = false;      // --again: also recorders the history shows as done
};

constexpr int kMaxFleetLinks = jobs::kMaxLinks;  // the link table's size
// A recorder that is not logged in this long after its login started fails, whatever the
// command's --timeout (which also covers the work after the login).
constexpr int kLoginWindowSeconds = 15;
// An upload whose progress stops this long fails: the link's own silence rule.
constexpr int kUploadStallSeconds = 50;
// After a first SIGINT or SIGTERM, a recorder whose request is out (a reboot, a setting, the
// verdict of an image it holds whole) has this long for the answer.
constexpr int kStopGraceSeconds = 10;

// "" when text may go into an XML message as it is; otherwise why not (a quote, an angle
// bracket, an ampersand or a control character).
std::string xml_text_problem(const std::string& text);

// The environment variable that gives the password when neither --password nor
// --password-file does (the options win).
constexpr const char* kPasswordVariable = "DRAVLIN_PASSWORD";

// An account text (a user name or a password) as a recorder takes it: GB2312/GBK bytes (from
// the command line's own text when native, else from UTF-8), within what a login carries (31
// bytes for "--user", 40 for a password), without XML markup. "" with wire set, otherwise why
// not, naming `what` and never the value.
std::string account_text_problem(const std::string& what, const std::string& text, bool native, std::string& wire);
// "" when the file at path can be sent as an upload: a readable regular file of 1 byte to
// 2 GiB (never a FIFO or a device, which is not even opened) with a path the system opens;
// otherwise why not, with the system's reason where there is one. An empty picture would
// blank the recorder's picture, an empty image is no firmware.
std::string upload_file_problem(const std::string& path);

// "" when no option that takes one value appears twice in args[from, to) (before a lone "--"):
// the shared ones (--user, --password, --password-file, --seconds, --timeout, --parallel,
// --report, --retry-failed, --search-seconds) and those in single. Otherwise "OPTION is given
// twice": the tool never silently takes the last.
std::string repeated_option(const std::vector<std::string>& args, const std::vector<std::string>& single = {},
                            size_t from = 0, size_t to = SIZE_MAX);

// Splits "--name=value" into "--name" and "value" (arguments after a lone "--" stay as they
// are), so that every command takes both spellings.
std::vector<std::string> split_option_values(const std::vector<std::string>& args);

// Tries args[i] as one of the shared options (--serial, --target, --user, --password, --seconds,
// --timeout, --json, --verbose; with `run` also --parallel, --report and --retry-failed),
// moving i past a value it takes. 1 taken, 0 not a shared option, -1 bad value (error says
// why). `accept` lists which of the optional ones the command takes; the others are left to
// the caller (0).
struct SharedOptionSet {
    bool seconds = true;
    bool timeout = true;
    bool json = true;
    bool run = false;  // the command runs on run_fleet
};
// What the commands on run_fleet take.
constexpr SharedOptionSet kRunFleetOptions{true, true, true, true};
int parse_fleet_option(const std::vector<std::string>& args, size_t& i, FleetOptions& o, std::string& error,
                       SharedOptionSet accept = {});
// Cross-checks once every option is read; "" when the combination is fine. Commands on
// run_fleet (accept.run) take any number of --target addresses, the others at most 64.
// Takes DRAVLIN_PASSWORD as the password when none was given: true when it did; false with
// error set when the variable's text cannot be one, with error empty when there is none.
bool password_from_environment(FleetOptions& o, std::string& error);

// A --target account without a password given takes DRAVLIN_PASSWORD here.
std::string check_fleet_options(FleetOptions& o, SharedOptionSet accept = {});

// "IP[:PORT]" with a dotted IPv4 address and a port from 1 to 65535 (default 8091).
bool parse_target_address(const std::string& text, TargetAddress& out);

// Help text of the shared options, appended to the commands' usage texts.
#define DRAVLIN_FLEET_OPTIONS_HELP                                                                               \
    "Choosing recorders (default: every recorder that answers the LAN search):\n"                                \
    "  --serial S          only the recorder with this serial number (repeatable); the search\n"                 \
    "                      ends as soon as every one answered\n"                                                 \
    "  --seconds N         search time in seconds (1 to 3600, default 3)\n"                                      \
    "  --target IP[:PORT]  skip the search and log in to this address (repeatable; port\n"                       \
    "                      default 8091); needs --user and a password\n"                                         \
    "  --user U            the account for --target addresses\n"                                                 \
    "  --password P        its password; other users of this machine can read it while the tool\n"               \
    "                      runs: prefer --password-file or DRAVLIN_PASSWORD\n"                                   \
    "  --password-file F   the password is the first line of file F (UTF-8)\n"                                   \
    "                      (DRAVLIN_PASSWORD in the environment gives it when neither option does;\n"            \
    "                      user and password go to the recorder as GB2312/GBK)\n"                                \
    "  --retry-failed FILE only the recorders that failed in FILE, a --report of the same command\n"             \
    "                      (searched again by serial; --target ones need --user and --password)\n"               \
    "  --parallel N        recorders at once (1 to 64, default 64); more recorders run in waves,\n"              \
    "                      each taking a link as soon as one is free\n"                                          \
    "  --watch             keep searching and work on each recorder as it appears (a production\n"               \
    "                      line): once per recorder and run, and not at all when the history shows\n"            \
    "                      this command with the same files done on it (--again does it anyway);\n"              \
    "                      ends with --count N recorders, after --for SECONDS, or at Ctrl-C\n"                   \
    "History (every recorder's job is recorded; a write that fails is said, nothing else fails):\n"              \
    "  --history STORE     the station's SQLite file by default ($XDG_DATA_HOME/dravlin/history.sqlite),\n"      \
    "                      another SQLite file, a PostgreSQL connection string (postgresql://...;\n"             \
    "                      Linux only) shared by a line's stations, or off\n"                                    \
    "  --station NAME      the station's name in the history (default: the host name)\n"                         \
    "Output:\n"                                                                                                  \
    "  --json              the closing summary as JSON: {\"command\", \"ok\", \"started\", \"ended\",\n"         \
    "                      \"recorders\": [{\"name\", \"serial\", \"address\", \"port\", \"ok\", \"result\",\n"  \
    "                      \"message\", \"login_ms\", \"total_ms\", \"steps\": [{\"step\", \"ok\", \"value\",\n" \
    "                      \"detail\"}]}]} (times in UTC, milliseconds from the recorder's start;\n"             \
    "                      null when it never got that far)\n"                                                   \
    "  --report FILE       the same JSON written to FILE, whole, through a new file in its folder;\n"            \
    "                      checked before any recorder is touched (a folder, FIFO, device or symbolic\n"         \
    "                      link there, or a folder that is missing or takes no new file: exit 2);\n"             \
    "                      written also when nothing was found or the run was interrupted\n"                     \
    "  --verbose           the link's diagnostic lines on standard error (passwords as ***)\n"                   \
    "Every option also takes the form --option=value.\n"                                                         \
    "Progress lines ('<recorder> <what>') go to standard error, the summary to standard output.\n"               \
    "Signals: the first SIGINT or SIGTERM (Ctrl-C) starts no more recorders, lets those under way\n"             \
    "end their current request (10 s at most) or cuts their upload, logs out, prints the summary and\n"          \
    "writes the report with the unfinished recorders as \"interrupted\" (what --retry-failed takes);\n"          \
    "a second signal ends at once.\n"                                                                            \
    "Exit status: 0 when every chosen recorder succeeded, 1 when one did not (or a --serial was\n"               \
    "not found), 2 for bad arguments, 130 (SIGINT) or 143 (SIGTERM) when interrupted.\n"

// One chosen recorder. The name is its serial number, or "IP:PORT" for a --target address.
struct Recorder {
    std::string name;
    std::string serial;
    std::string address;
    uint16_t port = 0;
    std::string user, password;
    std::string type;  // device type of its search answer
    std::string mac;   // MAC address of its search answer
};

struct FleetChoice {
    std::vector<Recorder> recorders;
    std::vector<std::string> missing;                           // --serial values no recorder answered for
    std::vector<std::pair<std::string, std::string>> unusable;  // serial, why it cannot be used
};

// --target: the addresses as given. Otherwise a search for search_seconds (or until every
// --serial answered), in the order the recorders answered; only what a login needs is kept of
// each answer, never the whole search record. kExitOk, or kExitFailed after a line on standard
// error (search not started, more than `max` recorders).
int choose_recorders(const char* command, const FleetOptions& o, FleetChoice& out,
                     size_t max = static_cast<size_t>(kMaxFleetLinks));

// The search answer of the recorder with this serial number, searching up to `seconds` (the
// search ends as soon as it answered). 1 found, 0 not found, -1 the search could not run
// (error says why, with the system's reason where there is one).
int find_one_recorder(const std::string& serial, long seconds, IPCSearchInfo* out, std::string& error);

// The recorder a search answer names; false with why when it cannot be used (no IPv4 address).
bool recorder_from(const IPCSearchInfo& r, Recorder& out, std::string& why);

// Searches started by this process (a --target run must leave it at 0).
int fleet_searches_started();

// Keeps the libraries' console lines off standard output while a command runs, so that its
// results (the summary, --json) stay clean: the log's console sink goes to standard error with
// --verbose and nowhere otherwise, until restore() or the end of the guard.
class ConsoleGuard {
public:
    explicit ConsoleGuard(bool verbose);
    ~ConsoleGuard() { restore(); }
    ConsoleGuard(const ConsoleGuard&) = delete;
    ConsoleGuard& operator=(const ConsoleGuard&) = delete;
    void restore();
};

// One line of a recorder's summary: a step and how it ended.
struct StepResult {
    std::string step;
    bool ok = false;
    bool has_value = false;
    int value = 0;
    std::string detail;
};

// One recorder's row of a command's closing summary.
struct SummaryRow {
    std::string name, serial, address;
    int port = 0;
    bool ok = false;
    std::string result, message;
    int64_t login_ms = -1, total_ms = -1;  // -1: it never got that far
    std::vector<StepResult> steps;
};

struct Summary {
    const char* command = "";
    bool all_ok = true;
    std::string started, ended;  // UTC
    std::string history;         // what went wrong with the history, "" nothing
    std::vector<SummaryRow> rows;
};

// The summary as a table or as JSON (what --json prints and --report keeps).
void print_summary(FILE* out, bool json, const Summary& sum);
// The report is written whole or not at all, and never in place of anything but a report.
// "" when written, otherwise why not.
std::string write_report(const std::string& path, const Summary& sum);
// "2024-05-01T09:30:12.345Z", now.
std::string utc_now_text();

// How a command words its steps: refresh runs a sequence (pictures, then the reboot); the
// other commands send one request and take its answer as the recorder's result.
enum class FleetWording { kSequence, kRequest };

// The whole command on the fleet runner: choose the recorders (--retry-failed: those that
// failed in the report), log in to them in parallel (in waves of --parallel), run the steps on
// each until they are done or the recorder's time-out passes, log out, print the summary and
// write the --report. Returns kExitOk only when every chosen recorder (and every --serial)
// succeeded; kExitUsage for a report that cannot be written or read back.
int run_fleet(const char* command, const FleetOptions& o, const std::vector<jobs::Step>& steps, FleetWording wording);

// Upload progress comes in steps of 5 %; with many recorders a line each would drown the
// terminal, so a line is shown each time a multiple of 20 % is passed and at 100 %.
bool progress_worth_showing(int percent, int& last_shown);

// Text of a JSON string.
std::string json_quote(const std::string& s);

// A text for a table or CSV cell on a terminal: control characters (C0, DEL and the C1 range)
// written as \x1b or \u009b, so a device text cannot move the cursor or set the terminal's
// title. A backslash stays as it is.
std::string printable(const std::string& utf8);

// A whole number from lo to hi; false otherwise.
bool parse_long(const std::string& text, long lo, long hi, long& out);

}  // namespace dravlinctl

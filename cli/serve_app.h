// What `dravlinctl serve` does behind its API: the list of found recorders, the jobs on them
// (one runner, pumped by a thread of its own, so every runner call comes from that one thread),
// the clock broadcast, and the news the pages follow. HTTP threads hand it requests; each
// answer is an HTTP status and a JSON body. It knows no HTTP.
#pragma once

#include "cli/json_reader.h"
#include "cli/serve_uploads.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dravlinctl::serve {

struct Reply {
    int status = 200;
    std::string body;  // JSON, or the text of a CSV export
};

struct AppOptions {
    std::string history;     // "" the station's file, "off", a path, postgresql://...
    std::string upload_dir;  // "" the system's temporary folder
    int parallel = 64;       // recorders on links at once
};

class App {
public:
    App();
    ~App();  // stops everything under way
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Opens the history and the upload folder, starts the link table and the runner's thread.
    bool start(const AppOptions& o, std::string& why);
    // Cancels what runs, stops the search and the clock, ends the thread. Any thread, once.
    void stop();

    Uploads& uploads() { return uploads_; }

    // {"on": true|false, "clear": bool}: starts or stops the LAN search.
    Reply search(const JsonValue& body);
    // {"kind": "refresh"|"reboot"|"firmware", "serials": [...], "boot"/"channel"/"shutdown":
    // upload id or "factory", "firmware": upload id}.
    Reply start_jobs(const JsonValue& body);
    // {"serials": [...]} or {} for every busy one: their jobs are given up.
    Reply cancel_jobs(const JsonValue& body);
    // {"on": true|false}
    Reply clock(const JsonValue& body);
    Reply devices() const;
    Reply devices_csv() const;
    Reply state() const;
    Reply history(int limit) const;

    // The news after `cursor` as Server-Sent Events, waiting up to wait_ms for some; cursor moves
    // past them. "" when none came (or the server stops: stopping() says).
    std::string events_after(uint64_t& cursor, int wait_ms);
    uint64_t events_now() const;
    // Ends every wait for news now and from here on (the server is going away). Any thread.
    void close_events();
    bool stopping() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    Uploads uploads_;
};

}  // namespace dravlinctl::serve

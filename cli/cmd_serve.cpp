// dravlinctl serve: the console in a browser, for PCs where the Qt console does not run. One
// page and a JSON API over the runner, on loopback by default; every API call carries the
// token.
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/interrupt.h"
#include "cli/json_reader.h"
#include "cli/serve_app.h"
#include "cli/serve_assets.h"
#include "cli/serve_guard.h"
#include "cli/serve_usage.h"
#include "imaging/jpeg_decoder.h"
#include "util/log.h"

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace dravlinctl {
namespace {

using serve::App;
using serve::Reply;

constexpr size_t kMaxJsonBody = 64 * 1024;

void send_json(httplib::Response& res, const Reply& r)
{
    res.status = r.status;
    res.set_content(r.body, "application/json; charset=utf-8");
}

void send_error(httplib::Response& res, int status, const std::string& code, const std::string& message)
{
    send_json(res, {status, serve::error_json(code, message)});
}

// The request's body as JSON; false after a 400 when it is none.
bool body_json(const std::string& text, httplib::Response& res, JsonValue& out)
{
    if (text.empty()) {
        out.type = JsonValue::kObject;
        return true;
    }
    if (!JsonReader(text).parse(out) || out.type != JsonValue::kObject) {
        send_error(res, 400, "bad_json", "the body is not a JSON object");
        return false;
    }
    return true;
}

std::string read_token_file(const std::string& path, std::string& why)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot be opened";
        return "";
    }
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

void open_browser(const std::string& url)
{
#ifdef _WIN32
    ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
#else
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        std::fprintf(stderr, "dravlinctl serve: no browser could be started (xdg-open); open the address above\n");
        return;
    }
    // xdg-open ends once the browser is handed the address; it is reaped, not left a zombie.
    std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
#endif
}

int run_serve(const std::vector<std::string>& args)
{
    const char* name = "serve";
    if (std::string twice = repeated_option(args, {"--listen", "--token", "--token-file", "--history"}); !twice.empty())
        return usage_error(name, twice);
    serve::ListenAddress listen;
    std::string token, token_file;
    bool have_token = false, open = false, verbose = false;
    serve::AppOptions opts;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--listen" && has_value) {
            if (!serve::parse_listen(args[++i], listen))
                return usage_error(name, "--listen needs ADDR:PORT with an IPv4 address (e.g. 127.0.0.1:8765)");
        } else if (a == "--token" && has_value) {
            token = args[++i];
            have_token = true;
        } else if (a == "--token-file" && has_value) {
            token_file = args[++i];
        } else if (a == "--history" && has_value) {
            opts.history = args[++i];
        } else if (a == "--parallel" && has_value) {
            long n = 0;
            if (!parse_long(args[++i], 1, 64, n))
                return usage_error(name, "--parallel needs a number from 1 to 64");
            opts.parallel = static_cast<int>(n);
        } else if (a == "--open") {
            open = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            return usage_error(
                name,
                "unknown option '" + a + "'" +
                    (a == "--listen" || a == "--token" || a == "--token-file" || a == "--history" || a == "--parallel"
                         ? " (it needs a value)"
                         : ""));
        }
    }
    if (have_token && !token_file.empty())
        return usage_error(name, "choose one of --token and --token-file");
    if (!token_file.empty()) {
        std::string why;
        token = read_token_file(token_file, why);
        if (!why.empty())
            return usage_error(name, "--token-file " + token_file + " " + why);
    }
    const bool made = token.empty() && token_file.empty() && !have_token;
    if (made)
        token = serve::new_token();
    if (std::string why = serve::token_problem(token); !why.empty())
        return usage_error(name, made ? "no token could be made: the system gave no random bytes" : why);

    ConsoleGuard guard(verbose);
    log_set_sink(verbose ? log_sink_to_debug : nullptr);
    jpeg_set_trace_sink(jpeg_trace_silent);

    App app;
    std::string why;
    if (!app.start(opts, why)) {
        std::fprintf(stderr, "dravlinctl serve: %s\n", why.c_str());
        return kExitFailed;
    }

    httplib::Server svr;
    svr.new_task_queue = [] { return new httplib::ThreadPool(32); };
    // Every request passes the guard before anything of its body is read.
    svr.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        const bool api = req.path.rfind("/api/", 0) == 0;
        const int refused = serve::refusal(listen, token, api, req.get_header_value("Host"), req.has_header("Origin"),
                                           req.get_header_value("Origin"), req.get_header_value("Authorization"));
        if (refused == 0)
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("Connection", "close");
        if (refused == 401) {
            res.set_header("WWW-Authenticate", "Bearer");
            send_error(res, 401, "unauthorized", "every API call needs 'Authorization: Bearer TOKEN'");
        } else {
            send_error(res, 403, "foreign_host", "Host or Origin is not this server");
        }
        return httplib::Server::HandlerResponse::Handled;
    });

    for (const serve::Asset* a = serve::kAssets; a->path; ++a) {
        const std::string path = a->path;
        const char* type = path.size() > 3 && path.compare(path.size() - 3, 3, ".js") == 0
            ? "text/javascript; charset=utf-8"
            : path.size() > 4 && path.compare(path.size() - 4, 4, ".css") == 0 ? "text/css; charset=utf-8"
                                                                               : "text/html; charset=utf-8";
        auto handler = [a, type](const httplib::Request&, httplib::Response& res) {
            res.set_content(reinterpret_cast<const char*>(a->data), a->size, type);
            // The page takes nothing from elsewhere, and no other site may frame it.
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Cache-Control", "no-store");
        };
        svr.Get(path, handler);
        if (path == "/index.html")
            svr.Get("/", handler);
    }

    svr.Get("/api/state", [&](const httplib::Request&, httplib::Response& res) { send_json(res, app.state()); });
    svr.Get("/api/devices", [&](const httplib::Request&, httplib::Response& res) { send_json(res, app.devices()); });
    svr.Get("/api/devices.csv", [&](const httplib::Request&, httplib::Response& res) {
        Reply r = app.devices_csv();
        res.set_content(r.body, "text/csv; charset=utf-8");
        res.set_header("Content-Disposition", "attachment; filename=\"nvr-list.csv\"");
    });
    svr.Get("/api/history", [&](const httplib::Request& req, httplib::Response& res) {
        long limit = 200;
        if (req.has_param("limit") && !parse_long(req.get_param_value("limit"), 1, 100000, limit))
            return send_error(res, 400, "bad_request", "limit is a number from 1 to 100000");
        send_json(res, app.history(static_cast<int>(limit)));
    });
    // A JSON body is read through a reader of its own, so it is bounded while it arrives (the
    // server's own limit has to let firmware images through).
    auto post_json = [&](const char* path, Reply (App::*fn)(const JsonValue&)) {
        svr.Post(path,
                 [&app, fn](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
                     std::string text;
                     bool too_long = false;
                     reader([&](const char* data, size_t n) {
                         too_long = text.size() + n > kMaxJsonBody;
                         if (!too_long)
                             text.append(data, n);
                         return !too_long;
                     });
                     if (too_long) {
                         res.set_header("Connection", "close");
                         return send_error(res, 413, "too_large", "a request's JSON is at most 64 KB");
                     }
                     JsonValue body;
                     if (body_json(text, res, body))
                         send_json(res, (app.*fn)(body));
                 });
    };
    post_json("/api/search", &App::search);
    post_json("/api/jobs", &App::start_jobs);
    post_json("/api/jobs/cancel", &App::cancel_jobs);
    post_json("/api/clock", &App::clock);

    svr.Post(R"(/api/uploads/(\w+))",
             [&](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                 int kind = 0;
                 if (!serve::upload_kind_of(req.matches[1], kind))
                     return send_error(res, 404, "unknown_kind", "uploads are boot, channel, shutdown or firmware");
                 if (req.is_multipart_form_data())
                     return send_error(res, 415, "bad_type", "send the file's bytes as the body, not a form");
                 int64_t length = -1;
                 if (req.has_header("Content-Length")) {
                     long n = 0;
                     length = parse_long(req.get_header_value("Content-Length"), 0, 0x7fffffffL, n) ? n : INT64_MAX;
                 }
                 serve::UploadReply r =
                     app.uploads().receive(kind, req.get_param_value("name"), length, [&](const auto& sink) {
                         return reader([&](const char* data, size_t n) { return sink(data, n); });
                     });
                 if (r.status >= 400 && r.status != 422)
                     res.set_header("Connection", "close");  // what was not read of the body goes with it
                 send_json(res, {r.status, r.json});
             });

    svr.Get("/api/events", [&](const httplib::Request&, httplib::Response& res) {
        auto cursor = std::make_shared<uint64_t>(app.events_now());
        auto hello = std::make_shared<bool>(true);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider("text/event-stream", [&app, cursor, hello](size_t, httplib::DataSink& sink) {
            std::string out;
            if (*hello) {
                // Sent at once, so the page knows it is connected before any news comes.
                out = "event: hello\ndata: {}\n\n";
                *hello = false;
            } else {
                out = app.events_after(*cursor, 15000);
                if (app.stopping()) {
                    sink.done();
                    return true;
                }
                if (out.empty())
                    out = ": still here\n\n";
            }
            return sink.write(out.data(), out.size());
        });
    });

    if (!svr.bind_to_port(listen.host, listen.port)) {
        std::fprintf(stderr, "dravlinctl serve: cannot listen on %s:%u (in use, or not an address of this PC)\n",
                     listen.host.c_str(), static_cast<unsigned>(listen.port));
        app.stop();
        return kExitFailed;
    }
    const std::string url = "http://" + listen.host + ":" + std::to_string(listen.port) + "/";
    // A token made here is said once, in the address that hands it to the page.
    std::printf("dravlinctl serve: %s%s\n", url.c_str(), made ? ("#token=" + token).c_str() : "");
    std::fflush(stdout);
    if (open)
        open_browser(url + "#token=" + token);

    InterruptScope scope([&] {
        app.close_events();
        svr.stop();
    });
    if (!interrupt_signal())
        svr.listen_after_bind();
    app.stop();
    std::fprintf(stderr, "dravlinctl serve: stopped\n");
    return kExitOk;
}

}  // namespace
}  // namespace dravlinctl

DRAVLIN_COMMAND("serve", dravlinctl::kServeSummary, dravlinctl::kServeUsage, dravlinctl::run_serve);

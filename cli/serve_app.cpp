// The browser console's work: the found recorders, their jobs on the one runner, the clock.
#include "cli/serve_app.h"
#include "cli/serve_work.h"

#include "cli/fleet.h"
#include "cli/fleet_files.h"
#include "discovery/search.h"
#include "discovery/sendtime.h"
#include "history/history.h"
#include "imaging/picture_check.h"
#include "jobs/journal.h"
#include "jobs/runner.h"
#include "link/link.h"
#include "util/fixedstr.h"
#include "util/gbk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>
#include <vector>

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace dravlinctl::serve {

namespace {

constexpr size_t kMaxEvents = 20000;    // news kept for pages that fall behind
constexpr int64_t kSearchPollMs = 250;  // the device table is read this often while searching

Reply bad(int status, const std::string& code, const std::string& message)
{
    return {status, error_json(code, message)};
}

}  // namespace

struct App::Impl {
    App& app;
    AppOptions opts;
    std::unique_ptr<jobs::RunnerLinkPort> port;
    std::unique_ptr<jobs::Runner> runner;
    std::unique_ptr<history::Store> store;
    std::unique_ptr<jobs::Journal> journal;
    std::string history_problem;
    FactoryPicture factory;
    std::thread owner;
    std::atomic<bool> stop{false};
    std::atomic<bool> searching{false};  // written by the owner thread, read by any
    std::atomic<bool> clock_on{false};
    int64_t next_poll = 0;

    // Work handed to the owner thread.
    std::mutex task_mu;
    std::deque<std::function<void()>> tasks;

    // The list, written by the owner thread, read by any.
    mutable std::mutex mu;
    std::vector<Device> devices;
    std::map<std::string, size_t> by_serial;
    std::vector<jobs::JobId> ended;  // jobs whose on_ended came: forgotten by the owner

    // News for the pages.
    mutable std::mutex ev_mu;
    std::condition_variable ev_cv;
    std::deque<std::string> events;
    uint64_t first_event = 1;  // number of events.front()
    bool closed = false;

    explicit Impl(App& a) : app(a) { }

    void emit(const std::string& type, const std::string& json)
    {
        std::lock_guard<std::mutex> lock(ev_mu);
        events.push_back("event: " + type + "\ndata: " + json + "\n\n");
        if (events.size() > kMaxEvents) {
            events.pop_front();
            ++first_event;
        }
        ev_cv.notify_all();
    }

    std::string state_json() const
    {
        int busy = 0;
        size_t listed = 0;
        {
            std::lock_guard<std::mutex> lock(mu);
            listed = devices.size();
            for (const Device& d : devices)
                busy += d.state == "busy";
        }
        return "{\"searching\": " + std::string(searching ? "true" : "false") +
            ", \"clock\": " + (clock_on ? "true" : "false") + ", \"listed\": " + std::to_string(listed) +
            ", \"busy\": " + std::to_string(busy) + ", \"history\": " + (store ? "true" : "false") +
            ", \"history_problem\": " + json_quote(history_problem) + "}";
    }

    // Runs fn on the owner thread and waits for its answer.
    Reply on_owner(std::function<Reply()> fn)
    {
        auto task = std::make_shared<std::packaged_task<Reply()>>(std::move(fn));
        std::future<Reply> answer = task->get_future();
        {
            std::lock_guard<std::mutex> lock(task_mu);
            if (stop)
                return bad(503, "stopping", "the server is stopping");
            tasks.push_back([task] { (*task)(); });
        }
        port->wake();
        return answer.get();
    }

    void run_tasks()
    {
        std::deque<std::function<void()>> now;
        {
            std::lock_guard<std::mutex> lock(task_mu);
            now.swap(tasks);
        }
        for (auto& t : now)
            t();
    }

    void loop()
    {
        while (!stop) {
            run_tasks();
            poll_search();
            forget_ended();
            runner->step(searching ? kSearchPollMs : 500);
        }
        // What was handed over after the stop still gets its answer.
        run_tasks();
    }

    void poll_search()
    {
        if (!searching)
            return;
        const int64_t now = runner ? static_cast<int64_t>(port->now_ms()) : 0;
        if (now < next_poll)
            return;
        next_poll = now + kSearchPollMs;
        const int count = getipccount();
        for (int i = 0; i < count && i < kMaxSearchDevices; ++i) {
            IPCSearchInfo info{};
            if (getipcinfo_copy(i, &info) != 1)
                continue;
            Recorder rec;
            std::string why;
            if (!recorder_from(info, rec, why))
                continue;
            Device d;
            d.rec = rec;
            d.serial = gbk_to_utf8(fixed_view(info.devid.SerialNumber));
            d.type = gbk_to_utf8(fixed_view(info.devid.DeviceType));
            d.ip = gbk_to_utf8(fixed_view(info.lancfg.IPAddress));
            d.gateway = gbk_to_utf8(fixed_view(info.lancfg.Gateway));
            d.mac = gbk_to_utf8(fixed_view(info.lancfg.MacAddress));
            std::string json;
            {
                std::lock_guard<std::mutex> lock(mu);
                auto it = by_serial.find(d.serial);
                if (it == by_serial.end()) {
                    by_serial[d.serial] = devices.size();
                    devices.push_back(d);
                    json = device_json(devices.back(), devices.size() - 1);
                } else {
                    Device& old = devices[it->second];
                    // A recorder at work keeps the address its job logged in to.
                    if (old.state == "busy" ||
                        (old.ip == d.ip && old.gateway == d.gateway && old.type == d.type &&
                         old.rec.port == d.rec.port))
                        continue;
                    old.rec = d.rec;
                    old.ip = d.ip;
                    old.gateway = d.gateway;
                    old.type = d.type;
                    old.mac = d.mac;
                    json = device_json(old, it->second);
                }
            }
            emit("device", json);
        }
    }

    void forget_ended()
    {
        std::vector<jobs::JobId> done;
        {
            std::lock_guard<std::mutex> lock(mu);
            done.swap(ended);
        }
        for (jobs::JobId id : done)
            runner->forget(id);
    }

    // Changes the row of a recorder (rows move when the list is cleared: found by serial).
    void update(const std::string& serial, const std::function<void(Device&)>& fn)
    {
        std::string json;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = by_serial.find(serial);
            if (it == by_serial.end())
                return;
            fn(devices[it->second]);
            json = device_json(devices[it->second], it->second);
        }
        emit("device", json);
    }

    std::string devices_serial(size_t index) const
    {
        std::lock_guard<std::mutex> lock(mu);
        return devices[index].serial;
    }

    Reply start_jobs(const JsonValue& body)
    {
        const JsonValue* serials = body.get("serials");
        WorkRequest req;
        if (!work_of(body, req.work))
            return bad(400, "bad_request", "\"kind\" is refresh, reboot or firmware");
        if (!serials || serials->type != JsonValue::kArray || serials->items.empty())
            return bad(400, "bad_request", "\"serials\" lists the recorders (at least one)");
        Reply error;
        if (!steps_of(body, app.uploads_, journal.get(), factory, req, error))
            return error;
        const Work work = req.work;
        const std::vector<jobs::Step>& steps = req.steps;
        const std::vector<std::shared_ptr<Upload>>& held = req.held;

        // Every recorder listed and idle, or nothing starts.
        std::vector<size_t> chosen;
        {
            std::lock_guard<std::mutex> lock(mu);
            for (const JsonValue& s : serials->items) {
                auto it = s.type == JsonValue::kString ? by_serial.find(s.str) : by_serial.end();
                if (it == by_serial.end())
                    return bad(404, "unknown_recorder",
                               "no recorder " + (s.type == JsonValue::kString ? s.str : std::string("?")) +
                                   " in the list");
                if (devices[it->second].state == "busy")
                    return bad(409, "busy", "recorder " + s.str + " is still at work");
                if (std::find(chosen.begin(), chosen.end(), it->second) == chosen.end())
                    chosen.push_back(it->second);
            }
        }
        const std::string run_id = history::new_id();
        if (journal)
            journal->prepare(steps);
        const jobs::JobPolicy policy =
            work == Work::kFirmware ? jobs::JobPolicy::upgrade_page() : jobs::JobPolicy::page();
        for (size_t index : chosen) {
            Recorder rec;
            {
                std::lock_guard<std::mutex> lock(mu);
                rec = devices[index].rec;
            }
            jobs::JobOrder order;
            order.target = {rec.address, rec.port, rec.user, rec.password};
            order.steps = steps;
            order.policy = policy;
            order.front = this;
            order.label.front = "browser";
            order.label.command = command_of(work);
            order.label.run_id = run_id;
            order.label.serial = gbk_to_utf8(rec.serial);
            order.label.device_type = gbk_to_utf8(rec.type);
            order.label.mac = rec.mac;
            const std::string serial = devices_serial(index);
            auto id_of = std::make_shared<jobs::JobId>(0);
            order.before_start = [this, serial, work](jobs::Job&) {
                if (work == Work::kFirmware)
                    update(serial, [](Device& d) { d.status = "开始连接NVR..."; });
            };
            order.on_event = [this, serial, work](const jobs::Job& job, const jobs::LinkEvent& ev) {
                if (ev.code == jobs::kEventAuxData)
                    return;
                int percent = -1;
                const std::string text = event_text(work, job, ev, percent);
                if (text.empty())
                    return;
                update(serial, [&](Device& d) {
                    d.status = text;
                    if (percent >= 0)
                        d.percent = percent;
                });
            };
            order.news = [this, serial, work, id_of](const jobs::Job& job, const jobs::JobNews& n) {
                const std::string text = news_text(work, job, n);
                const bool finished = n.kind == jobs::kNewsFinished;
                if (finished && !job.started()) {
                    // Never started, so no ended hook: forgotten at once.
                    std::lock_guard<std::mutex> lock(mu);
                    ended.push_back(*id_of);
                }
                if (text.empty() && !finished)
                    return;
                update(serial, [&](Device& d) {
                    if (!text.empty())
                        d.status = text;
                    if (finished) {
                        d.state = n.result == jobs::kJobOk ? "ok" : "failed";
                        d.result = jobs::job_result_text(n.result);
                    }
                });
                if (finished)
                    emit("state", state_json());
            };
            // The files stay until the job's record (with their MD5) is written; the owner
            // forgets the job after that, and the files go with it.
            order.on_ended = [this, held, id_of](int) {
                std::lock_guard<std::mutex> lock(mu);
                ended.push_back(*id_of);
            };
            update(serial, [&](Device& d) {
                d.state = "busy";
                d.status = "空闲";
                d.result.clear();
                d.percent = -1;
                d.command = command_of(work);
            });
            *id_of = runner->submit(std::move(order));
            update(serial, [&](Device& d) { d.job = *id_of; });
        }
        emit("state", state_json());
        return {202, "{\"started\": " + std::to_string(chosen.size()) + ", \"run\": " + json_quote(run_id) + "}"};
    }
};

App::App() : d_(std::make_unique<Impl>(*this)) { }

App::~App() { stop(); }

bool App::start(const AppOptions& o, std::string& why)
{
    d_->opts = o;
    if (!uploads_.open(o.upload_dir, why))
        return false;
    if (o.history != "off") {
        auto store = std::make_unique<history::Store>();
        std::string problem;
        const int r = store->open(o.history, &problem);
        if (r >= 0) {
            d_->store = std::move(store);
            d_->journal = std::make_unique<jobs::Journal>(d_->store.get(), history::station_name(), DRAVLIN_VERSION);
        } else if (r != history::kHistoryDisabled) {
            d_->history_problem = "the history cannot be kept: " +
                (problem.empty() ? std::string(history::history_result_text(r)) : problem);
        }
    }
    d_->port = std::make_unique<jobs::RunnerLinkPort>();
    if (!d_->port->init()) {
        why = "the link table could not be allocated";
        return false;
    }
    d_->runner = std::make_unique<jobs::Runner>(*d_->port, *d_->port);
    d_->runner->set_parallel(std::clamp(o.parallel, 1, jobs::kMaxLinks));
    if (d_->journal)
        d_->runner->set_ended_hook(d_->journal->hook());
    d_->owner = std::thread([this] { d_->loop(); });
    return true;
}

void App::stop()
{
    if (!d_->owner.joinable())
        return;
    // The jobs under way are given up and their links logged out before the thread ends.
    {
        std::promise<void> done;
        auto fut = done.get_future();
        {
            std::lock_guard<std::mutex> lock(d_->task_mu);
            d_->tasks.push_back([this, &done] {
                d_->runner->cancel_all();
                for (int i = 0; i < 200 && !d_->runner->idle(); ++i)
                    d_->runner->step(50);
                if (d_->searching)
                    stopsearchipc();
                d_->searching = false;
                if (d_->clock_on)
                    stopSendtime();
                d_->clock_on = false;
                done.set_value();
            });
        }
        d_->port->wake();
        fut.wait();
    }
    {
        std::lock_guard<std::mutex> lock(d_->task_mu);
        d_->stop = true;
    }
    d_->port->wake();
    d_->owner.join();
    if (d_->journal)
        d_->journal->drain();
    d_->port->logout_all();
    std::lock_guard<std::mutex> lock(d_->ev_mu);
    d_->ev_cv.notify_all();
}

Reply App::search(const JsonValue& body)
{
    const JsonValue* on = body.get("on");
    if (!on || on->type != JsonValue::kBool)
        return bad(400, "bad_request", "\"on\" is true or false");
    const JsonValue* clear = body.get("clear");
    const bool wipe = clear && clear->type == JsonValue::kBool && clear->b;
    return d_->on_owner([this, start = on->b, wipe] {
        Impl& d = *d_;
        if (start && wipe) {
            // Recorders at work stay; the others go until they answer again.
            std::lock_guard<std::mutex> lock(d.mu);
            std::vector<Device> kept;
            d.by_serial.clear();
            for (Device& dev : d.devices) {
                if (dev.state != "busy")
                    continue;
                d.by_serial[dev.serial] = kept.size();
                kept.push_back(std::move(dev));
            }
            d.devices.swap(kept);
        }
        if (start && !d.searching) {
            if (startsearchipc() < 0)
                return bad(500, "search_failed", "启动搜索NVR线程失败");
            d.searching = true;
            d.next_poll = 0;
        } else if (!start && d.searching) {
            d.next_poll = 0;
            d.poll_search();  // what answered last is listed too
            stopsearchipc();
            d.searching = false;
        }
        if (start && wipe)
            d.emit("list", "{}");
        d.emit("state", d.state_json());
        return Reply{200, d.state_json()};
    });
}

Reply App::start_jobs(const JsonValue& body)
{
    return d_->on_owner([this, &body] { return d_->start_jobs(body); });
}

Reply App::cancel_jobs(const JsonValue& body)
{
    const JsonValue* serials = body.get("serials");
    if (serials && serials->type != JsonValue::kArray)
        return bad(400, "bad_request", "\"serials\" is a list");
    std::vector<std::string> chosen;
    if (serials)
        for (const JsonValue& s : serials->items)
            if (s.type == JsonValue::kString)
                chosen.push_back(s.str);
    return d_->on_owner([this, chosen, all = !serials] {
        Impl& d = *d_;
        // Job by job, so each row hears how its job ended and the job is forgotten after.
        std::vector<jobs::JobId> ids;
        {
            std::lock_guard<std::mutex> lock(d.mu);
            for (const Device& dev : d.devices)
                if (dev.state == "busy" && (all || std::find(chosen.begin(), chosen.end(), dev.serial) != chosen.end()))
                    ids.push_back(dev.job);
        }
        for (jobs::JobId id : ids)
            d.runner->cancel(id);
        d.emit("state", d.state_json());
        return Reply{200, "{\"cancelled\": " + std::to_string(ids.size()) + "}"};
    });
}

Reply App::clock(const JsonValue& body)
{
    const JsonValue* on = body.get("on");
    if (!on || on->type != JsonValue::kBool)
        return bad(400, "bad_request", "\"on\" is true or false");
    return d_->on_owner([this, start = on->b] {
        Impl& d = *d_;
        if (start && !d.clock_on) {
            if (startSendtime() < 0)
                return bad(500, "clock_failed", "the clock broadcast could not be started");
            d.clock_on = true;
        } else if (!start && d.clock_on) {
            stopSendtime();
            d.clock_on = false;
        }
        d.emit("state", d.state_json());
        return Reply{200, d.state_json()};
    });
}

Reply App::devices() const
{
    std::lock_guard<std::mutex> lock(d_->mu);
    std::string out = "[";
    for (size_t i = 0; i < d_->devices.size(); ++i)
        out += (i ? ",\n " : "") + device_json(d_->devices[i], i);
    return {200, out + "]"};
}

Reply App::devices_csv() const
{
    // The console's list export: its columns, its header; a byte-order mark for spreadsheets.
    std::string out = "\xEF\xBB\xBF序列号,型号,IP地址,网关,MAC,状态\r\n";
    std::lock_guard<std::mutex> lock(d_->mu);
    for (const Device& d : d_->devices)
        out += csv_field(d.serial) + "," + csv_field(d.type) + "," + csv_field(d.ip) + "," + csv_field(d.gateway) +
            "," + csv_field(d.mac) + "," + csv_field(d.status) + "\r\n";
    return {200, out};
}

Reply App::state() const { return {200, d_->state_json()}; }

Reply App::history(int limit) const
{
    if (!d_->store)
        return bad(404, "no_history", d_->history_problem.empty() ? "生产记录未开启" : d_->history_problem);
    history::Filter f;
    f.limit = limit;
    std::vector<history::JobRecord> rows;
    std::string why;
    // The store is read on the calling thread: the journal writes on its own connection's lock.
    if (d_->store->query(f, &rows, &why) < 0)
        return bad(500, "history_failed", why);
    std::string out = "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        std::string files;
        for (const auto& file : r.files)
            files += (files.empty() ? "" : ", ") + std::string("{\"kind\": ") + json_quote(file.kind) +
                ", \"name\": " + json_quote(file.name) + ", \"md5\": " + json_quote(file.md5) + "}";
        out += (i ? ",\n " : "") + std::string("{\"started\": ") + json_quote(r.started) +
            ", \"ended\": " + json_quote(r.ended) + ", \"station\": " + json_quote(r.station) +
            ", \"front\": " + json_quote(r.front) + ", \"command\": " + json_quote(r.command) +
            ", \"serial\": " + json_quote(r.serial) + ", \"address\": " + json_quote(r.address) +
            ", \"ok\": " + (r.result == "ok" ? "true" : "false") + ", \"result\": " + json_quote(r.result) +
            ", \"message\": " + json_quote(r.message) + ", \"files\": [" + files + "]}";
    }
    return {200, out + "]"};
}

std::string App::events_after(uint64_t& cursor, int wait_ms)
{
    Impl& d = *d_;
    std::unique_lock<std::mutex> lock(d.ev_mu);
    auto have = [&] { return d.stop || d.closed || cursor < d.first_event + d.events.size(); };
    if (!have())
        d.ev_cv.wait_for(lock, std::chrono::milliseconds(wait_ms), have);
    std::string out;
    if (cursor < d.first_event) {
        // Fallen behind what is kept: the page reads the whole list again.
        out = "event: list\ndata: {}\n\n";
        cursor = d.first_event;
    }
    for (; cursor < d.first_event + d.events.size(); ++cursor)
        out += d.events[static_cast<size_t>(cursor - d.first_event)];
    return out;
}

uint64_t App::events_now() const
{
    std::lock_guard<std::mutex> lock(d_->ev_mu);
    return d_->first_event + d_->events.size();
}

void App::close_events()
{
    std::lock_guard<std::mutex> lock(d_->ev_mu);
    d_->closed = true;
    d_->ev_cv.notify_all();
}

bool App::stopping() const
{
    std::lock_guard<std::mutex> lock(d_->ev_mu);
    return d_->stop || d_->closed;
}

}  // namespace dravlinctl::serve

#include "cli/fleet_history.h"

#include "util/gbk.h"

#include <algorithm>
#include <cstdio>

#ifndef DRAVLIN_VERSION
#define DRAVLIN_VERSION "0.0.0"
#endif

namespace dravlinctl {

namespace {

// The options of the run as the history keeps them: no account, no password.
std::string options_text(const FleetOptions& o)
{
    std::string t;
    auto add = [&t](const std::string& s) {
        if (!t.empty())
            t += ' ';
        t += s;
    };
    for (const auto& s : o.serials)
        add("--serial " + s);
    for (const auto& a : o.targets)
        add("--target " + a.ip + ":" + std::to_string(a.port));
    add("--parallel " + std::to_string(o.parallel));
    add("--timeout " + std::to_string(o.timeout_seconds));
    if (o.watch)
        add("--watch");
    if (o.watch_count)
        add("--count " + std::to_string(o.watch_count));
    if (o.watch_seconds)
        add("--for " + std::to_string(o.watch_seconds));
    if (o.again)
        add("--again");
    return t;
}

bool same_files(std::vector<history::FileSent> a, std::vector<history::FileSent> b)
{
    auto key = [](const history::FileSent& f) { return f.kind + "/" + f.md5 + "/" + std::to_string(f.size); };
    auto less = [&](const history::FileSent& x, const history::FileSent& y) { return key(x) < key(y); };
    std::sort(a.begin(), a.end(), less);
    std::sort(b.begin(), b.end(), less);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](const history::FileSent& x, const history::FileSent& y) { return key(x) == key(y); });
}

}  // namespace

RunHistory::RunHistory(const char* command, const FleetOptions& o, const std::vector<jobs::Step>& steps)
    : command_(command)
{
    if (o.history == "off")
        return;
    store_ = std::make_unique<history::Store>();
    const std::string station = o.station.empty() ? history::station_name() : o.station;
    journal_ = std::make_unique<jobs::Journal>(store_.get(), station, DRAVLIN_VERSION);
    journal_->set_after_write([this](int result) { said(result); });
    // Opened on the journal's thread while the recorders log in: a long journal file to read
    // back, or a shared server slow to answer, does not hold the logins up. The run goes on
    // without a store that cannot be opened; its records are dropped by the journal.
    journal_->post([this, location = o.history] {
        std::string why;
        const int r = store_->open(location, &why);
        if (r < 0)
            fail("the history cannot be kept: " + (why.empty() ? std::string(history::history_result_text(r)) : why));
    });
    journal_->prepare(steps);
    steps_ = steps;
    run_.run_id = history::new_id();
    run_.station = station;
    run_.front = "tool";
    run_.command = command;
    run_.options = options_text(o);
    run_.started = history::utc_now();
    // Written beside the logins, not before them: the jobs' records follow it on the same thread.
    journal_->post([this, run = run_] {
        std::string why;
        if (store_->is_open() && store_->add_run(run, &why) < 0)
            fail("the history could not be written: " + why);
    });
}

void RunHistory::fail(const std::string& why)
{
    std::lock_guard<std::mutex> lk(problem_mu_);
    if (!problem_.empty())
        return;
    problem_ = why;
    std::fprintf(stderr, "dravlinctl %s: %s\n", command_, why.c_str());
}

jobs::EndedHook RunHistory::hook() { return journal_ ? journal_->hook() : nullptr; }

// The journal's writer thread, after each record.
void RunHistory::said(int result)
{
    if (result < 0)
        fail("the history could not be written: " + journal_->last_problem());
    else if (result == history::kHistoryQueued)
        fail("the shared history did not take the records; they wait on this station until it does: " +
             journal_->last_problem());
}

void RunHistory::drain()
{
    if (journal_)
        journal_->drain();
}

jobs::JobLabel RunHistory::label_of(const Recorder& rec) const
{
    jobs::JobLabel l;
    l.front = "tool";
    l.command = command_;
    l.run_id = run_.run_id;
    // Device texts are GBK; the history keeps UTF-8.
    l.serial = gbk_to_utf8(rec.serial);
    l.device_type = gbk_to_utf8(rec.type);
    l.mac = rec.mac;
    return l;
}

bool RunHistory::done_before(const std::string& serial)
{
    if (!store_)
        return false;
    drain();  // the store is opened on the journal's thread
    if (!store_->is_open())
        return false;
    if (!files_known_) {
        files_ = journal_->files_of(steps_);
        files_known_ = true;
    }
    history::Filter f;
    f.serial = gbk_to_utf8(serial);
    f.command = command_;
    f.limit = 50;
    std::vector<history::JobRecord> rows;
    std::string why;
    if (store_->query(f, &rows, &why) < 0) {
        fail("the history could not be read: " + why);
        return false;
    }
    return std::any_of(rows.begin(), rows.end(),
                       [&](const history::JobRecord& r) { return r.result == "ok" && same_files(r.files, files_); });
}

void RunHistory::finish(int recorders, int ok, int failed)
{
    if (!store_)
        return;
    drain();  // the run's first row goes before its last
    if (!store_->is_open())
        return;
    run_.ended = history::utc_now();
    run_.recorders = recorders;
    run_.ok = ok;
    run_.failed = failed;
    std::string why;
    if (store_->add_run(run_, &why) < 0)
        fail("the history could not be written: " + why);
    // A shared store that was away gets what waited for it.
    store_->flush();
}

std::string RunHistory::problem() const
{
    if (journal_)
        journal_->drain();  // an open that failed says so first
    std::lock_guard<std::mutex> lk(problem_mu_);
    return problem_;
}

}  // namespace dravlinctl

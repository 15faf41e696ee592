// The runner's record of every recorder job in the history store: once a started job has ended,
// one history::JobRecord with the station, the front and command, the recorder (serial, type,
// address, MAC), each file sent (kind, name, size, MD5), the result and its reason, the times
// and the product's version. Never a password. Its writes are the ended hook of a runner; a
// write that fails fails nothing else: the journal keeps the reason for its front to say.
//
// The records are written on a thread of the journal's own, in the order the jobs ended, so the
// runner never waits for the store (or for the MD5 of a large image); a job's ended callback
// (JobOrder::on_ended) is called once its record is written, so whatever a front says there is
// in the history, whatever happens to the program after.
#pragma once

#include "history/history.h"
#include "jobs/runner.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace jobs {

class Journal {
public:
    // store: where the records go; null writes nothing, and one that is not open when a record's
    // turn comes (a post()ed task may open it first) keeps nothing. The station's name and the
    // product's version go into every record.
    Journal(history::Store* store, std::string station, std::string version);
    ~Journal();  // writes what is left first
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // The runner's ended hook (Runner::set_ended_hook).
    EndedHook hook();
    // Hands one ended job's record to the writer; done (if any) is called on the writer's thread
    // once it is written (or its write failed).
    void write(const Job& job, const JobOrder& order, const JobTimes& times, std::function<void()> done = nullptr);
    // Returns once every record handed over is written.
    void drain();
    // Starts reading the files of these steps (their MD5) on the writer's thread now, while the
    // recorders take them, so no record waits for a large image's MD5 at the end.
    void prepare(const std::vector<Step>& steps);
    // Runs fn on the writer's thread, in turn with the records (work on the store that nothing
    // needs to wait for, such as the run's own row).
    void post(std::function<void()> fn);

    // Records written (kept on the station for a shared store that is away included), records
    // that failed, and the reason of the last that failed or was kept back ("" none). Any thread.
    int written() const;
    int failed() const;
    std::string last_problem() const;
    // Called on the writer's thread after each write with the store's result (the console posts
    // a reading of the history to its UI thread). Set it before the first write.
    void set_after_write(std::function<void(int result)> fn) { after_write_ = std::move(fn); }

    // The files of these steps, as the history keeps them; each file's MD5 is computed once for
    // a given size and modification time, however many recorders it goes to.
    std::vector<history::FileSent> files_of(const std::vector<Step>& steps);

    // The name the history keeps for a file sent from `path` (a front that stores what it was
    // given under a temporary path records the operator's own name instead).
    void name_file(const std::string& path, const std::string& name);

private:
    struct Known {
        int64_t size = -1;
        int64_t mtime = 0;
        std::string md5;
    };
    struct Pending {
        history::JobRecord record;
        std::vector<Step> steps;  // their files are read on the writer's thread
        std::function<void()> done;
        bool prepare_only = false;   // read the files, write nothing
        std::function<void()> task;  // run first (post())
        std::chrono::steady_clock::time_point queued;
    };
    void push(Pending p);
    history::FileSent file_of(const std::string& kind, const std::string& path);
    void run();

    history::Store* store_;
    std::string station_, version_;
    std::map<std::string, Known> known_;        // under known_mu_
    std::map<std::string, std::string> names_;  // under known_mu_
    std::mutex known_mu_;
    std::function<void(int)> after_write_;

    mutable std::mutex mu_;
    std::condition_variable cv_, idle_cv_;
    std::deque<Pending> queue_;
    bool busy_ = false, stop_ = false;
    int draining_ = 0;  // drain() calls waiting: no gathering meanwhile
    int written_ = 0, failed_ = 0;
    std::string last_problem_;
    std::thread writer_;
};

// "boot", "channel", "shutdown", "firmware", or "" for steps that send no file.
const char* file_kind_of(int step_kind);

}  // namespace jobs

// The runner's record of every recorder job in the history store: once a started job has ended,
// one history::JobRecord with the station, the front and command, the recorder (serial, type,
// address, MAC), each file sent (kind, name, size, MD5), the result and its reason, the times
// and the product's version. Never a password. Its write is the ended hook of a runner; a write
// that fails fails nothing else: the journal keeps the reason for its front to say.
#pragma once

#include "history/history.h"
#include "jobs/runner.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace jobs {

class Journal {
public:
    // store: where the records go; null writes nothing. The station's name and the product's
    // version go into every record.
    Journal(history::Store* store, std::string station, std::string version);

    // The runner's ended hook (Runner::set_ended_hook).
    EndedHook hook();
    // Writes the record of one ended job: the store's result (negative: failed, why in
    // last_problem()).
    int write(const Job& job, const JobSpec& spec, const JobTimes& times);
    // The record write() writes.
    history::JobRecord record_of(const Job& job, const JobLabel& label, const JobTimes& times);

    // Records written (kept on the station for a shared store that is away included), records
    // that failed, and the reason of the last that failed or was kept back ("" none).
    int written() const { return written_; }
    int failed() const { return failed_; }
    const std::string& last_problem() const { return last_problem_; }
    // Called after each write (the console reads the history again).
    void set_after_write(std::function<void(int result)> fn) { after_write_ = std::move(fn); }

    // The files a job sends, as the history keeps them; each file's MD5 is computed once for a
    // given size and modification time, however many recorders it goes to.
    std::vector<history::FileSent> files_of(const std::vector<Step>& steps);

private:
    struct Known {
        int64_t size = -1;
        int64_t mtime = 0;
        std::string md5;
    };
    history::FileSent file_of(const std::string& kind, const std::string& path);

    history::Store* store_;
    std::string station_, version_;
    std::map<std::string, Known> known_;
    int written_ = 0, failed_ = 0;
    std::string last_problem_;
    std::function<void(int)> after_write_;
};

// "boot", "channel", "shutdown", "firmware", or "" for steps that send no file.
const char* file_kind_of(int step_kind);

}  // namespace jobs

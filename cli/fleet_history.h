// The history of a fleet command's run: the store chosen by --history (the station's SQLite file
// by default), the journal the runner writes each recorder's record through, the run's own
// record, and what --watch asks of it (was this recorder done before?). A store that cannot be
// opened or written is said once on standard error and in the report; the run goes on.
#pragma once

#include "cli/fleet.h"
#include "history/history.h"
#include "jobs/journal.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dravlinctl {

class RunHistory {
public:
    // Opens the store (on the journal's thread); the run goes on without it when it cannot be
    // opened.
    RunHistory(const char* command, const FleetOptions& o, const std::vector<jobs::Step>& steps);

    // The runner's ended hook (null when the history is off).
    jobs::EndedHook hook();
    // The label of a recorder's job.
    jobs::JobLabel label_of(const Recorder& rec) const;
    // Whether the history shows this command with the same files done on the recorder.
    bool done_before(const std::string& serial);
    // Returns once every recorder's record handed over is written.
    void drain();
    // The run's record, with its counts, at its end.
    void finish(int recorders, int ok, int failed);
    // What went wrong with the history, "" when nothing did (once what was handed over is done).
    std::string problem() const;

private:
    void fail(const std::string& why);
    void said(int result);

    const char* command_;
    std::unique_ptr<history::Store> store_;
    std::unique_ptr<jobs::Journal> journal_;
    history::RunRecord run_;
    std::vector<jobs::Step> steps_;
    std::vector<history::FileSent> files_;  // what this run sends to each recorder (--watch)
    bool files_known_ = false;
    mutable std::mutex problem_mu_;  // fail() runs on the journal's writer thread too
    std::string problem_;
};

}  // namespace dravlinctl

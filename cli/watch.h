// --watch: the search keeps running and every recorder that appears is handed to the runner as
// it does (a production line's units plugged in one after another), once per run, unless the
// history shows it done already.
#pragma once

#include "cli/fleet.h"
#include "cli/fleet_history.h"
#include "jobs/runner.h"

#include <functional>
#include <vector>

namespace dravlinctl {

// Watches until --count recorders were started, --for seconds passed or the run is interrupted,
// pumping the runner meanwhile; submit hands it a recorder. ids: the jobs submitted so far (for
// the running count on standard error). skipped counts the recorders the history showed done.
// kExitOk, or kExitFailed when the search could not be started.
int watch_recorders(const char* command, const FleetOptions& o, jobs::Runner& runner, jobs::EventSource& events,
                    RunHistory& hist, const std::vector<jobs::JobId>& ids, int& skipped,
                    const std::function<void(Recorder)>& submit);

// The running count's line once the watch's last recorder has ended.
void print_watch_tally(const jobs::Runner& runner, const std::vector<jobs::JobId>& ids);

}  // namespace dravlinctl

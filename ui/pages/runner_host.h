// The console's one runner (jobs/runner.h) over the one link table, pumped on the UI thread:
// every page hands it its jobs and shows their news; link threads only queue their events and
// wake the UI thread through a post, and a timer brings the runner back at its next deadline.
// No page addresses a link entry itself, so the pages work side by side while entries are free.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "history/history.h"
#include "jobs/runner.h"

namespace runner_host {

// The runner, made (with the link table) on the first call; UI thread only, like every call
// into it. News and event hooks of the pages' jobs run on the UI thread too.
jobs::Runner& Runner();

// Pumps soon (after a page submitted or cancelled jobs).
void Wake();
// Pumps now (UI thread): tests that moved the clock.
void PumpNow();

// Jobs of every page that have not ended, held sessions (the channel page's NVR) not counted:
// what closing the window would cut.
int BusyJobs();

// The window closes: every job ends (reset: nothing queued is waited for).
void CancelAll();

// Returns once the links of the jobs already ended have been logged out (a page going away
// whose jobs read its memory, e.g. the built-in picture).
void WaitForLogouts();

// Ends every job and link and waits for the link threads; the runner is ready for new jobs
// afterwards (the main window's end; tests between cases).
void Shutdown();

// The history store the pages' jobs are written to (dravlin --history): "" the station's default
// file, "off", a path or a PostgreSQL connection string. Off until opened. 0, or a negative
// history result with why set.
int OpenHistory(const std::string& location, std::string* why);
// The station's name in the records (dravlin --station); the host name by default.
void SetStation(const std::string& name);
std::string Station();
// What the history keeps of a page's job for a found recorder: the console as front, the
// command, the page's run (one press of its button) and the recorder's serial, type and MAC.
jobs::JobLabel LabelOf(const IPCSearchInfo& info, const char* command, const std::string& run_id);
// The open store, or null when the history is off.
history::Store* History();
// Called on the UI thread after each record written; the id for RemoveHistoryListener.
int AddHistoryListener(std::function<void()> listener);
void RemoveHistoryListener(int id);
// Tells the listeners (after a record was written).
void HistoryChanged();

// The clock the runner's deadlines are measured on; tests move their own. Null: the monotonic
// clock.
void SetClockForTest(int64_t (*now)());

}  // namespace runner_host

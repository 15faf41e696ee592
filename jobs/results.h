// Results of the maintenance jobs and the short texts the tool shows beside a failure. The
// values are the tool's own (they appear in its summaries only as the texts below).
#pragma once

namespace jobs {

// How one recorder's job ended.
enum JobResult : int {
    kJobRunning = -1,  // not finished yet
    kJobOk = 0,
    kJobStepFailed = 1,      // the recorder answered a step with a failure
    kJobUnsent = 2,          // a request could not be written to a logged-in link
    kJobLoginRefused = 3,    // event 5: the recorder refused the account
    kJobNoLoginAnswer = 4,   // the recorder accepted the connection but never answered the login
    kJobBadLoginAnswer = 5,  // its login answer was not a valid frame
    kJobLinkLost = 6,        // the link broke after the login, before the work was done
    kJobStalled = 7,         // an upload made no progress within the stall limit
    kJobTimedOut = 8,        // the time limit passed (logged in or not)
    kJobNotStarted = 9,      // the link could not be started (table full, entry in use)
    kJobCancelled = 10,      // its owner gave it up (a new search, a page closed)
    kJobInterrupted = 11,    // the run was stopped (a signal) before this job had ended
    kJobNoVerdict = 12,      // the whole upload went out, and its verdict did not come in time
};

// "ok", "failed", "login refused", "no login answer", "bad login answer", "link lost",
// "stalled", "timed out", "cancelled", "interrupted", "no verdict"; "running" for kJobRunning;
// "failed" for anything else.
const char* job_result_text(int result);

// The text of one event 56 value (upload or factory restore result) for a step ("picture",
// "firmware"): "" for success, else what went wrong.
const char* upload_value_text(int value);

}  // namespace jobs

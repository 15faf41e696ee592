// The words of a job's end, the same for every front that shows them in English (the tool's
// progress lines, summaries and reports, the history's records): the name of each step, what a
// refused answer or a failed upload means, and why a job did not succeed.
#pragma once

#include "jobs/job.h"

#include <string>

namespace jobs {

// "boot picture", "channel picture", "shutdown picture", "channel mode", "buzzer setting",
// "reboot", "firmware"; "step" for anything else.
const char* step_name(int kind);

// The text of one event 56 value for a step's file ("firmware", "picture", ...).
std::string upload_result_text(int value, const char* what);

// The text of a refused answer to a single request of this kind.
std::string request_refusal(int kind, int value);

// Whether a job's steps are a sequence of pictures before a reboot (worded step by step) rather
// than one request whose answer is the job's result.
bool is_sequence(const Job& job);

// Why an ended job did not succeed, "" when it did: its result in a sentence, with the time
// limits of its policy.
std::string job_message(const Job& job);

}  // namespace jobs

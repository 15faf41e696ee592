#include "jobs/results.h"

#include "link/link.h"

namespace jobs {

const char* job_result_text(int result)
{
    switch (result) {
    case kJobRunning: return "running";
    case kJobOk: return "ok";
    case kJobLoginRefused: return "login refused";
    case kJobNoLoginAnswer: return "no login answer";
    case kJobBadLoginAnswer: return "bad login answer";
    case kJobLinkLost: return "link lost";
    case kJobStalled: return "stalled";
    case kJobTimedOut: return "timed out";
    case kJobCancelled: return "cancelled";
    case kJobInterrupted: return "interrupted";
    case kJobNoVerdict: return "no verdict";
    default: return "failed";
    }
}

const char* upload_value_text(int value)
{
    switch (value) {
    case IPC_UPLOAD_OK: return "";
    case IPC_UPLOAD_FILE_NOT_FOUND: return "the local file was not found";
    case IPC_UPLOAD_NO_FILE_NAME: return "no local file name";
    case IPC_UPLOAD_NO_MEMORY: return "out of memory";
    case IPC_UPLOAD_READ_ERROR: return "the local file could not be read";
    case IPC_UPLOAD_REFUSED: return "the recorder refused the upload";
    case IPC_UPLOAD_LINK_FAILED: return "the link failed while sending";
    case IPC_UPLOAD_FILE_CHANGED: return "the file changed while it was sent";
    default: return "the upload failed";
    }
}

}  // namespace jobs

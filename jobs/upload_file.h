// Whether a file can be sent as an upload (a picture or a firmware image), checked before the
// first request to any recorder, so that nothing is sent for a file that cannot be: every front
// asks here and words the answer its own way.
#pragma once

#include <cstdint>
#include <string>

namespace jobs {

enum UploadFileProblem : int {
    kUploadFileOk = 0,
    kUploadPathTooLong,  // longer than the caller's limit
    kUploadCannotOpen,   // missing, or no permission (err says why)
    kUploadNotRegular,   // a folder, a device, a FIFO: never opened, so nothing blocks
    kUploadEmpty,        // 0 bytes: an empty picture would blank the recorder's, no image is no firmware
    kUploadTooLarge,     // over 2 GiB: the upload announces a 32-bit length
    kUploadUnreadable,   // opened, but the first byte cannot be read (err says why)
};

struct UploadFileCheck {
    int problem = kUploadFileOk;
    int err = 0;          // the system's error number where there is one
    int64_t size = 0;     // bytes, when known
    size_t max_path = 0;  // the limit a path too long went over
};

// The longest path the system opens: the link announces the whole path and streams from the file
// it opened, so nothing shorter is needed.
#ifdef _WIN32
constexpr size_t kUploadPathMax = 259;  // MAX_PATH without its terminator
#else
constexpr size_t kUploadPathMax = 4095;  // PATH_MAX without its terminator
#endif

UploadFileCheck check_upload_file(const std::string& path, size_t max_path = kUploadPathMax);

// The problem in the tool's words ("the file is empty", "cannot be opened: No such file or
// directory", ...); "" for none.
std::string upload_file_problem_text(const UploadFileCheck& check);

}  // namespace jobs

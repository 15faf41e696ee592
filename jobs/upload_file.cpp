#include "jobs/upload_file.h"

#include "util/log.h"
#include "util/regular_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>

namespace jobs {

UploadFileCheck check_upload_file(const std::string& path, size_t max_path)
{
    UploadFileCheck c;
    if (path.size() > max_path) {
        c.problem = kUploadPathTooLong;
        c.max_path = max_path;
        return c;
    }
    // A FIFO, a device or a folder is never opened for reading: it could block or never end.
    int err = 0;
    FILE* f = open_regular_file(path.c_str(), &c.size, &err);
    if (!f) {
        c.problem = err == kNotRegularFile ? kUploadNotRegular : kUploadCannotOpen;
        c.err = err == kNotRegularFile ? 0 : err;
        return c;
    }
    if (c.size == 0)
        c.problem = kUploadEmpty;
    else if (c.size > INT_MAX)
        c.problem = kUploadTooLarge;
    if (c.problem != kUploadFileOk) {
        std::fclose(f);
        return c;
    }
    char byte;
    errno = 0;
    if (std::fread(&byte, 1, 1, f) != 1) {
        c.problem = kUploadUnreadable;
        c.err = errno ? errno : EIO;
    }
    std::fclose(f);
    return c;
}

std::string upload_file_problem_text(const UploadFileCheck& c)
{
    switch (c.problem) {
    case kUploadFileOk: return "";
    case kUploadPathTooLong: return "the path is longer than " + std::to_string(c.max_path) + " characters";
    case kUploadCannotOpen: return std::string("cannot be opened: ") + log_error_text(c.err);
    case kUploadNotRegular: return "not a regular file";
    case kUploadEmpty: return "the file is empty";
    case kUploadTooLarge: return "the file is larger than 2 GiB";
    case kUploadUnreadable: return std::string("cannot be read: ") + log_error_text(c.err);
    }
    return "cannot be sent";
}

}  // namespace jobs

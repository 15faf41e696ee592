#include "jobs/upload_file.h"

#include "util/log.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace jobs {

UploadFileCheck check_upload_file(const std::string& path)
{
    UploadFileCheck c;
    if (path.size() > kUploadPathMax) {
        c.problem = kUploadPathTooLong;
        return c;
    }
    // Looked at before it is opened: opening a FIFO for reading would wait for a writer.
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0) {
        c.problem = kUploadCannotOpen;
        c.err = errno ? errno : ENOENT;
        return c;
    }
    if (!S_ISREG(st.st_mode)) {
        c.problem = kUploadNotRegular;
        return c;
    }
    c.size = static_cast<int64_t>(st.st_size);
    if (c.size == 0) {
        c.problem = kUploadEmpty;
        return c;
    }
    if (c.size > INT_MAX) {
        c.problem = kUploadTooLarge;
        return c;
    }
    errno = 0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        c.problem = kUploadCannotOpen;
        c.err = errno ? errno : EACCES;
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
    case kUploadPathTooLong: return "the path is longer than 255 characters";
    case kUploadCannotOpen: return std::string("cannot be opened: ") + log_error_text(c.err);
    case kUploadNotRegular: return "not a regular file";
    case kUploadEmpty: return "the file is empty";
    case kUploadTooLarge: return "the file is larger than 2 GiB";
    case kUploadUnreadable: return std::string("cannot be read: ") + log_error_text(c.err);
    }
    return "cannot be sent";
}

}  // namespace jobs

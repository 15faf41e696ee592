#include "util/regular_file.h"

#include <sys/stat.h>

#include <cerrno>

#ifdef _WIN32

// Windows has no FIFOs a path can name; a folder or a device is refused by its type.
FILE* open_regular_file(const char* path, int64_t* size, int* error)
{
    struct _stat64 st { };
    if (::_stat64(path, &st) != 0) {
        *error = errno ? errno : ENOENT;
        return nullptr;
    }
    if ((st.st_mode & _S_IFMT) != _S_IFREG) {
        *error = kNotRegularFile;
        return nullptr;
    }
    errno = 0;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        *error = errno ? errno : EACCES;
        return nullptr;
    }
    *size = static_cast<int64_t>(st.st_size);
    return f;
}

#else
#include <fcntl.h>
#include <unistd.h>

FILE* open_regular_file(const char* path, int64_t* size, int* error)
{
    // Looked at first, so a device is never opened; opened without blocking and looked at
    // again, so a FIFO put in its place meanwhile does not hold the open up either.
    struct stat st { };
    if (::stat(path, &st) != 0) {
        *error = errno ? errno : ENOENT;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = kNotRegularFile;
        return nullptr;
    }
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = errno ? errno : EACCES;
        return nullptr;
    }
    int bad = ::fstat(fd, &st) != 0 ? (errno ? errno : EIO) : S_ISREG(st.st_mode) ? 0 : kNotRegularFile;
    if (bad != 0) {
        *error = bad;
        ::close(fd);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        *error = errno ? errno : ENOMEM;
        ::close(fd);
        return nullptr;
    }
    *size = static_cast<int64_t>(st.st_size);
    return f;
}

#endif

// Files private to the user (a folder of mode 0700, a file of mode 0600) and paths as text for
// messages and for SQLite.
#include "history/backend.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace history {

namespace {

#ifdef _WIN32
// A path as the caller's text again, for messages.
std::string native_text(const std::filesystem::path& path)
{
    std::string text;
    native_from_wide(path.wstring(), &text);
    return text;
}

#endif

// The system's message as the end of a line: first letter small (unless the first word is in
// capitals), without Windows' full stop and line end.
std::string reason_text(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z' && (s.size() < 2 || !(s[1] >= 'A' && s[1] <= 'Z')))
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

}  // namespace

int make_private_dirs(const std::filesystem::path& dir, std::string* why)
{
    if (dir.empty())
        return kHistoryOk;
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec))
        return kHistoryOk;
#ifdef _WIN32
    // A new folder takes the access rights of the one it is made in: below %LOCALAPPDATA%, the
    // user's alone.
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *why = "could not create " + native_text(dir) + ": " + reason_text(ec.message());
        return kHistoryOpenFailed;
    }
#else
    if (dir.has_parent_path() && dir.parent_path() != dir) {
        int rc = make_private_dirs(dir.parent_path(), why);
        if (rc != kHistoryOk)
            return rc;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "could not create " + dir.string() + ": " + system_reason(errno);
        return kHistoryOpenFailed;
    }
#endif
    return kHistoryOk;
}

int create_private_file(const std::string& path, std::string* why)
{
#ifdef _WIN32
    // SQLite would only say it cannot open a folder; the file's rights come from its folder.
    const DWORD attributes = ::GetFileAttributesW(wide_from_native(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = "could not open " + path + ": " + system_reason(EISDIR);
        return kHistoryOpenFailed;
    }
#else
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "could not open " + path + ": " + system_reason(errno);
        return kHistoryOpenFailed;
    }
    ::close(fd);
#endif
    return kHistoryOk;
}

#ifdef _WIN32
std::string utf8_from_native(const std::string& text)
{
    const std::wstring wide = wide_from_native(text);
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}
#endif

std::string system_reason(int error_number) { return reason_text(std::generic_category().message(error_number)); }

#ifdef _WIN32
std::wstring wide_from_native(const std::string& text)
{
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(n, 0)), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

bool native_from_wide(const std::wstring& text, std::string* out)
{
    // The UTF-8 code page holds every character and takes no question about lost ones.
    BOOL lost = FALSE;
    BOOL* ask = ::GetACP() == CP_UTF8 ? nullptr : &lost;
    const DWORD flags = ask ? WC_NO_BEST_FIT_CHARS : 0;
    const int n =
        ::WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, ask);
    out->assign(static_cast<size_t>(std::max(n, 0)), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, text.data(), static_cast<int>(text.size()), out->data(), n, nullptr, ask);
    return !lost && (n > 0 || text.empty());
}
#endif

}  // namespace history

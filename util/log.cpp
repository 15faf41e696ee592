#include "util/log.h"

#include "util/clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::atomic<LogSink> g_sink{nullptr};
std::atomic<ConsoleSink> g_console{nullptr};

// One write(2) per text, so lines from different threads never interleave mid-line.
void write_whole(int fd, const char* text, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, text, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void sink_vprint(int level, const char* fmt, va_list ap)
{
    LogSink sink = g_sink.load(std::memory_order_acquire);
    if (!sink)
        return;  // nothing is formatted without a sink
    char buf[kLogBufferSize];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    sink(level, buf);
}

#ifdef _WIN32
// The C runtime knows texts only for the classic codes; the socket layer's codes get the
// texts they have on Linux, so that a line reads the same on both.
const char* error_text(int code, char* msg, size_t size)
{
    struct Known {
        int code;
        const char* text;
    };
    static const Known known[] = {
        {EWOULDBLOCK, "Resource temporarily unavailable"},
        {EINPROGRESS, "Operation now in progress"},
        {EALREADY, "Operation already in progress"},
        {ENOTSOCK, "Socket operation on non-socket"},
        {EMSGSIZE, "Message too long"},
        {ENOPROTOOPT, "Protocol not available"},
        {EOPNOTSUPP, "Operation not supported"},
        {EAFNOSUPPORT, "Address family not supported by protocol"},
        {EADDRINUSE, "Address already in use"},
        {EADDRNOTAVAIL, "Cannot assign requested address"},
        {ENETDOWN, "Network is down"},
        {ENETUNREACH, "Network is unreachable"},
        {ENETRESET, "Connection reset by network"},
        {ECONNABORTED, "Software caused connection abort"},
        {ECONNRESET, "Connection reset by peer"},
        {ENOBUFS, "No buffer space available"},
        {EISCONN, "Transport endpoint is already connected"},
        {ENOTCONN, "Transport endpoint is not connected"},
        {ETIMEDOUT, "Connection timed out"},
        {ECONNREFUSED, "Connection refused"},
        {EHOSTUNREACH, "No route to host"},
    };
    for (const Known& k : known) {
        if (k.code == code)
            return k.text;
    }
    if (strerror_s(msg, size, code) != 0)
        std::snprintf(msg, size, "Unknown error %d", code);
    return msg;
}
#else
const char* error_text(int code, char* msg, size_t size)
{
    // The GNU strerror_r returns a pointer that may or may not be msg; both are thread-safe.
    return strerror_r(code, msg, size);
}
#endif

void console_write(const char* text, size_t len)
{
    ConsoleSink sink = g_console.load(std::memory_order_acquire);
    if (sink) {
        sink(text, len);
        return;
    }
    std::fflush(stdout);
    write_whole(STDOUT_FILENO, text, len);
}

}  // namespace

const char* log_error_text(int code)
{
    thread_local char msg[128];
    return error_text(code, msg, sizeof msg);
}

void log_set_console_sink(ConsoleSink sink) { g_console.store(sink, std::memory_order_release); }
void console_to_stderr(const char* text, size_t len) { write_whole(STDERR_FILENO, text, len); }
void console_discard(const char*, size_t) { }

void log_set_sink(LogSink sink) { g_sink.store(sink, std::memory_order_release); }
LogSink log_get_sink() { return g_sink.load(std::memory_order_acquire); }

void log_print(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sink_vprint(0, fmt, ap);
    va_end(ap);
}

void log_print_info(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sink_vprint(1, fmt, ap);
    va_end(ap);
}

void debug_print(const char* fmt, ...)
{
    char buf[kDebugBufferSize];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof buf - 1);
#ifdef _WIN32
    // The debugger's channel, as a Windows program's debug lines go; standard error as well,
    // or the tool's diagnostic lines (its --verbose) would be seen by no one at a console.
    ::OutputDebugStringA(buf);
#endif
    write_whole(STDERR_FILENO, buf, len);
}

void console_print(const char* fmt, ...)
{
    // Room for 2047 characters plus CR LF and the terminator.
    char buf[kConsoleMaxChars + 3];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, kConsoleMaxChars + 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), static_cast<size_t>(kConsoleMaxChars));
    buf[len++] = '\r';
    buf[len++] = '\n';
    console_write(buf, len);
}

void console_text(const char* fmt, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        console_write(small, static_cast<size_t>(n));
        return;
    }
    // Whole request texts are written here: no cut.
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, again);
    va_end(again);
    console_write(big.data(), static_cast<size_t>(n));
}

void log_last_error(const char* file, int line, const char* text)
{
    int code = errno;
    char msg[256];
    const char* desc = error_text(code, msg, sizeof msg);
    log_print("[%s-%d]%s, error(%d): %s\n", file ? file : "", line, text ? text : "", code, desc ? desc : "");
}

void log_step(const char* name, int position, int chanid)
{
    if (!log_get_sink())
        return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    WallTime wall = wall_clock_now();
    unsigned long ms =
        static_cast<uint32_t>(static_cast<uint64_t>(wall.sec) * 1000u + static_cast<uint64_t>(wall.usec) / 1000u);
    log_print("[%d][%s][%d]%04d%02d%02d %02d:%02d:%02d[%lu]\n", chanid, name ? name : "", position,
              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
}

void log_sink_to_debug(int /*level*/, const char* text) { debug_print("%s", text); }

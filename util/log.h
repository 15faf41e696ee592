// Diagnostic output for developers: the link library's sink, the pages' debug channel,
// the readers' console lines and the link thread's time-stamped step lines.
// Every function may be called from any thread; each formats into its own stack buffer and
// hands the text on in one piece.
#pragma once

#include <cstdarg>
#include <cstddef>

#if defined(__MINGW32__)
// mingw's own printf family (__USE_MINGW_ANSI_STDIO), which knows %zu and %lld.
#define DRAVLIN_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define DRAVLIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DRAVLIN_PRINTF(fmt, args)
#endif

// Level 0 for log_print, 1 for log_print_info. The text is NUL-terminated and valid only
// during the call.
using LogSink = void (*)(int level, const char* text);

// The one program-wide sink slot, empty at start. Install it before any link thread exists.
void log_set_sink(LogSink sink);
LogSink log_get_sink();

constexpr int kLogBufferSize = 1500;    // log_print, log_print_info: at most 1499 characters
constexpr int kDebugBufferSize = 4096;  // debug_print: at most 4095 characters
constexpr int kConsoleMaxChars = 2047;  // console_print

void log_print(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);
void log_print_info(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);

// The pages' debugger output channel; on this platform it is standard error, one write per text.
void debug_print(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);

// The console lines: the readers' and the link's lines meant for standard output. They all
// leave through one console sink, standard output unless a program points it elsewhere (the
// command-line tool keeps its standard output for results). The text is valid only during
// the call.
using ConsoleSink = void (*)(const char* text, size_t len);
void log_set_console_sink(ConsoleSink sink);  // nullptr restores standard output
void console_to_stderr(const char* text, size_t len);
void console_discard(const char* text, size_t len);

// A console line with CR LF appended.
void console_print(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);
// Console text exactly as formatted, whatever its length.
void console_text(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);

// "[file-line]text, error(code): message" for the calling thread's last system error (errno).
void log_last_error(const char* file, int line, const char* text);

// The message of an error number as log_last_error writes it: the C library's text on Linux,
// and on Windows the same texts for the socket layer's codes, which its C runtime does not
// know ("Network is unreachable", not "Unknown error"). Valid until this thread calls it again.
const char* log_error_text(int code);
#define LOG_LAST_ERROR(text) log_last_error(__FILE__, __LINE__, (text))

// "[chanid][name][position]YYYYMMDD hh:mm:ss[wall-clock ms]" through log_print.
void log_step(const char* name, int position, int chanid);

// The sink the console installs: hands the text unchanged to debug_print.
void log_sink_to_debug(int level, const char* text);

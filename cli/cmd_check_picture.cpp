// dravlinctl check-picture: the console's picture checks, for scripts and production lines.
#include "cli/command.h"
#include "cli/fleet.h"
#include "imaging/jpeg_decoder.h"
#include "imaging/picture_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "Usage: dravlinctl check-picture [--kind boot|channel|shutdown] [--trace] FILE...\n"
                      "\n"
                      "Checks each FILE as the console does before sending it to recorders (default kind: boot).\n"
                      "A boot picture is a baseline JPEG of at most 240 KByte and 1920 x 1080 pixels; a channel\n"
                      "background or shutdown picture may be at most 64 KByte.\n"
                      "\n"
                      "Prints one line per file: path, result code, width and height, separated by tabs\n"
                      "(width and height are '-' unless the file is a boot picture that decoded). In the path,\n"
                      "a backslash, tab, newline or carriage return is written as \\\\, \\t, \\n or \\r, so every\n"
                      "file is one line of four fields. The message the console would show goes to standard\n"
                      "error, with the system's reason when the file cannot be opened or read.\n"
                      "\n"
                      "Result codes:\n"
                      "   0   the picture passed\n"
                      "  -2   out of memory\n"
                      "  -4   the file cannot be opened\n"
                      "  -5   the file cannot be read\n"
                      "  -6   no such file, or no file name\n"
                      "  -7   the file is larger than its kind allows\n"
                      "  -8   not a baseline JPEG the recorders can decode (boot)\n"
                      "  -9   more than 1920 x 1080 pixels (boot)\n"
                      "\n"
                      "Options:\n"
                      "  --kind KIND   boot, channel or shutdown\n"
                      "  --trace       copy the decoder's trace lines to standard error\n"
                      "\n"
                      "Exit status: 0 when every file passed, 1 when any failed, 2 for bad arguments (also for\n"
                      "a FILE that is a FIFO or a device: nothing is checked then).\n";

// The path as one TSV field: nothing in it can start a new field or line.
std::string tsv_field(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

// Why the system cannot give the file's bytes, or "" when it can open and read it.
std::string os_reason(const std::string& path)
{
    errno = 0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::strerror(errno ? errno : ENOENT);
    char byte;
    errno = 0;
    int e = 0;
    if (std::fread(&byte, 1, 1, f) != 1 && std::ferror(f))
        e = errno ? errno : EIO;
    std::fclose(f);
    return e ? std::strerror(e) : "";
}

bool parse_kind(const std::string& s, int* kind)
{
    if (s == "boot")
        *kind = kPictureBoot;
    else if (s == "channel")
        *kind = kPictureChannel;
    else if (s == "shutdown")
        *kind = kPictureShutdown;
    else
        return false;
    return true;
}

int run_check_picture(const std::vector<std::string>& args)
{
    if (std::string twice = dravlinctl::repeated_option(args, {"--kind"}); !twice.empty())
        return dravlinctl::usage_error("check-picture", twice);
    int kind = kPictureBoot;
    bool trace = false;
    std::vector<std::string> files;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            files.push_back(a);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "--kind" || a.rfind("--kind=", 0) == 0) {
            std::string value;
            if (a == "--kind") {
                if (i + 1 >= args.size())
                    return dravlinctl::usage_error("check-picture", "--kind needs a value");
                value = args[++i];
            } else {
                value = a.substr(7);
            }
            if (!parse_kind(value, &kind))
                return dravlinctl::usage_error("check-picture",
                                               "unknown kind '" + value + "' (boot, channel or shutdown)");
        } else if (a == "--trace") {
            trace = true;
        } else {
            return dravlinctl::usage_error("check-picture", "unknown option '" + a + "'");
        }
    }
    if (files.empty())
        return dravlinctl::usage_error("check-picture", "no picture file given");
    // A FIFO or a device would block the check or never end: refused before any is read. (A
    // folder reads as no file, as in the console.)
    for (const auto& file : files) {
        struct stat st { };
        if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            return dravlinctl::usage_error("check-picture",
                                           tsv_field(file) + ": not a regular file (a FIFO or a device)");
    }

    // Standard output carries the result lines, so the decoder's trace must not land there.
    jpeg_set_trace_sink(trace ? jpeg_trace_stderr : jpeg_trace_silent);

    bool all_ok = true;
    for (const auto& file : files) {
        PictureCheckReport report;
        int rc = CheckPictureFile(kind, file.c_str(), nullptr, &report);
        std::string field = tsv_field(file);
        if (report.decoded)
            std::printf("%s\t%d\t%d\t%d\n", field.c_str(), rc, report.width, report.height);
        else
            std::printf("%s\t%d\t-\t-\n", field.c_str(), rc);
        std::fflush(stdout);
        if (!report.message.empty()) {
            std::string why;
            if (rc == kPictureNoFile || rc == kPictureOpenFailed || rc == kPictureReadFailed)
                why = os_reason(file);
            std::fprintf(stderr, "%s: %s%s%s\n", field.c_str(), report.message.c_str(), why.empty() ? "" : " (",
                         why.empty() ? "" : (why + ")").c_str());
        }
        all_ok = all_ok && rc == kPictureOk;
    }
    return all_ok ? dravlinctl::kExitOk : dravlinctl::kExitFailed;
}

}  // namespace

DRAVLIN_COMMAND("check-picture", "check picture files as the console does before sending them", kUsage,
                run_check_picture);

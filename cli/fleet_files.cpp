// Reading reports and expect files back: a small JSON reader (only what these files hold),
// the CSV header lookup and the plain serial list.
#include "cli/fleet_files.h"

#include "cli/json_reader.h"

#include "util/log.h"
#include "util/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace dravlinctl {

namespace {

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r' || s[a] == '\n'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n'))
        --b;
    return s.substr(a, b - a);
}

// A spreadsheet's UTF-8 export often starts with a byte order mark.
std::string without_bom(const std::string& text)
{
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (start < text.size())
                out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// One CSV row (quoted fields with "" inside them; a row is one line).
std::vector<std::string> csv_fields(const std::string& line)
{
    std::vector<std::string> out;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out.push_back(trim(field));
            field.clear();
        } else {
            field += c;
        }
    }
    out.push_back(trim(field));
    return out;
}

}  // namespace

std::string csv_field(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

namespace {

bool is_serial_header(const std::string& name)
{
    if (name.size() != 6)
        return false;
    for (size_t i = 0; i < 6; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != "serial"[i])
            return false;
    return true;
}

void add_serial(const std::string& s, std::vector<std::string>& serials, std::set<std::string>& seen)
{
    if (!s.empty() && seen.insert(s).second)
        serials.push_back(s);
}

std::string expect_from_json(const std::string& text, std::vector<std::string>& serials)
{
    JsonValue root;
    if (!JsonReader(text).parse(root))
        return "not valid JSON";
    const JsonValue* list = &root;
    if (root.type == JsonValue::kObject) {
        list = root.get("recorders");
        if (!list)
            return "a JSON object without a \"recorders\" array";
    }
    if (list->type != JsonValue::kArray)
        return "JSON that holds no array of recorders";
    std::set<std::string> seen;
    for (const JsonValue& item : list->items) {
        if (item.type == JsonValue::kString) {
            add_serial(trim(item.str), serials, seen);
            continue;
        }
        const JsonValue* s = item.get("serial");
        if (!s || s->type != JsonValue::kString)
            return "a JSON entry without a \"serial\" text";
        add_serial(trim(s->str), serials, seen);
    }
    return "";
}

}  // namespace

std::string read_small_file(const std::string& path, std::string& text)
{
    text.clear();
    int64_t size = 0;
    int err = 0;
    std::unique_ptr<FILE, int (*)(FILE*)> f(open_regular_file(path.c_str(), &size, &err), std::fclose);
    if (!f)
        return err == kNotRegularFile ? std::string("not a regular file")
                                      : std::string("cannot be opened: ") + log_error_text(err);
    if (size > static_cast<int64_t>(kMaxReadBackBytes))
        return "larger than " + std::to_string(kMaxReadBackBytes >> 20) + " MiB";
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        if (text.size() + n > kMaxReadBackBytes)
            return "larger than " + std::to_string(kMaxReadBackBytes >> 20) + " MiB";
        text.append(buf, n);
    }
    if (std::ferror(f.get()))
        return std::string("cannot be read: ") + log_error_text(errno ? errno : EIO);
    return "";
}

namespace {

enum class PathKind { kMissing, kRegular, kFolder, kLink, kOther, kUnknown };

PathKind path_kind(const std::string& path, int* err)
{
    *err = 0;
#ifdef _WIN32
    struct _stat64 st { };
    if (::_stat64(path.c_str(), &st) != 0) {
#else
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0) {
#endif
        *err = errno;
        return errno == ENOENT ? PathKind::kMissing : PathKind::kUnknown;
    }
#ifdef _WIN32
    const int type = st.st_mode & _S_IFMT;
    return type == _S_IFREG ? PathKind::kRegular : type == _S_IFDIR ? PathKind::kFolder : PathKind::kOther;
#else
    return S_ISREG(st.st_mode) ? PathKind::kRegular
        : S_ISDIR(st.st_mode)  ? PathKind::kFolder
        : S_ISLNK(st.st_mode)  ? PathKind::kLink
                               : PathKind::kOther;
#endif
}

std::string folder_of(const std::string& path)
{
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.rfind('/');
#endif
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// A new file of the tool's own in folder: a name nobody else has, created exclusively (an
// existing file of that name is never opened). Its stream, or null with errno set.
FILE* create_own_file(const std::string& folder, std::string& name)
{
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned pid = static_cast<unsigned>(::_getpid());
#else
    const unsigned pid = static_cast<unsigned>(::getpid());
#endif
    const auto clock = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%u-%08x%02x", pid, clock ^ (counter.fetch_add(1) * 2654435761u),
                      static_cast<unsigned>(attempt));
        name = folder + "/.dravlinctl-" + suffix + ".tmp";
#ifdef _WIN32
        int fd = ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
#endif
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
#ifdef _WIN32
        FILE* f = ::_fdopen(fd, "wb");
#else
        FILE* f = ::fdopen(fd, "wb");
#endif
        if (!f) {
            int e = errno;
#ifdef _WIN32
            ::_close(fd);
#else
            ::close(fd);
#endif
            std::remove(name.c_str());
            errno = e;
        }
        return f;
    }
    errno = EEXIST;
    return nullptr;
}

// Why a report may not take the place of what is at path, or "".
std::string existing_problem(const std::string& path)
{
    int err = 0;
    switch (path_kind(path, &err)) {
    case PathKind::kMissing:
    case PathKind::kRegular: return "";
    case PathKind::kFolder: return "it is a folder";
    case PathKind::kLink: return "it is a symbolic link (give the file it points to)";
    case PathKind::kOther: return "it exists and is not a regular file";
    case PathKind::kUnknown: break;
    }
    return log_error_text(err);
}

bool replace_path(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    // rename does not replace a file there.
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

std::string report_path_problem(const std::string& path)
{
    std::string why = existing_problem(path);
    if (!why.empty())
        return why;
    const std::string folder = folder_of(path);
    int err = 0;
    PathKind kind = path_kind(folder, &err);
    if (kind == PathKind::kLink) {
        struct stat st { };
        kind = ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
    }
    if (kind == PathKind::kMissing)
        return "its folder " + folder + " does not exist";
    if (kind != PathKind::kFolder)
        return err ? std::string(log_error_text(err)) : folder + " is not a folder";
    std::string own;
    errno = 0;
    FILE* f = create_own_file(folder, own);
    if (!f)
        return "its folder " + folder + " takes no new file: " + log_error_text(errno ? errno : EACCES);
    std::fclose(f);
    std::remove(own.c_str());
    return "";
}

std::string replace_file(const std::string& path, const std::function<bool(FILE*)>& write)
{
    std::string own;
    errno = 0;
    FILE* f = create_own_file(folder_of(path), own);
    if (!f)
        return log_error_text(errno ? errno : EACCES);
    errno = 0;
    bool ok = write(f) && std::fflush(f) == 0 && !std::ferror(f);
    int err = errno;
#ifndef _WIN32
    ok = ok && ::fsync(::fileno(f)) == 0;  // whole on the disk before it takes the name
    if (!ok && !err)
        err = errno;
#endif
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(own.c_str());
        return log_error_text(err ? err : EIO);
    }
    // Looked at again: what is at the path may have changed since the run began.
    std::string why = existing_problem(path);
    if (why.empty() && !replace_path(own, path))
        why = log_error_text(errno ? errno : EIO);
    if (!why.empty())
        std::remove(own.c_str());
    return why;
}

std::string parse_fleet_report(const std::string& text, FleetReport& out)
{
    out = FleetReport{};
    JsonValue root;
    if (!JsonReader(without_bom(text)).parse(root))
        return "not a dravlinctl report (not valid JSON)";
    const JsonValue* command = root.get("command");
    const JsonValue* recorders = root.get("recorders");
    if (!command || command->type != JsonValue::kString || !recorders || recorders->type != JsonValue::kArray)
        return "not a dravlinctl report (no \"command\" and \"recorders\")";
    out.command = command->str;
    for (size_t i = 0; i < recorders->items.size(); ++i) {
        const JsonValue& r = recorders->items[i];
        const JsonValue* serial = r.get("serial");
        const JsonValue* address = r.get("address");
        const JsonValue* port = r.get("port");
        const JsonValue* ok = r.get("ok");
        if (!serial || serial->type != JsonValue::kString || !address || address->type != JsonValue::kString || !port ||
            port->type != JsonValue::kNumber || !ok || ok->type != JsonValue::kBool)
            return "recorder " + std::to_string(i + 1) +
                " of the report lacks \"serial\", \"address\", \"port\" or \"ok\"";
        if (port->number < 0 || port->number > 65535)
            return "recorder " + std::to_string(i + 1) + " of the report has no valid port";
        ReportEntry e;
        if (const JsonValue* name = r.get("name"); name && name->type == JsonValue::kString)
            e.name = name->str;
        if (const JsonValue* result = r.get("result"); result && result->type == JsonValue::kString)
            e.result = result->str;
        e.serial = serial->str;
        e.address = address->str;
        e.port = static_cast<uint16_t>(port->number);
        e.ok = ok->b;
        out.recorders.push_back(std::move(e));
    }
    return "";
}

std::string read_fleet_report(const std::string& path, FleetReport& out)
{
    std::string text;
    std::string why = read_small_file(path, text);
    return why.empty() ? parse_fleet_report(text, out) : why;
}

std::string parse_expect_list(const std::string& raw, std::vector<std::string>& serials)
{
    serials.clear();
    const std::string text = without_bom(raw);
    const std::string start = trim(text.substr(0, 64));
    std::string why;
    if (!start.empty() && (start[0] == '[' || start[0] == '{')) {
        why = expect_from_json(text, serials);
    } else {
        std::set<std::string> seen;
        int column = -1;  // the serial column of a CSV
        bool first = true;
        for (const std::string& raw_line : lines_of(text)) {
            std::string line = trim(raw_line);
            // In a list of serials '#' starts a comment anywhere ("S1  # shelf 3").
            if (column < 0 && line.find('#') != std::string::npos)
                line = trim(line.substr(0, line.find('#')));
            if (line.empty() || line[0] == '#')
                continue;
            if (first) {
                first = false;
                std::vector<std::string> header = csv_fields(line);
                for (size_t i = 0; i < header.size(); ++i)
                    if (is_serial_header(header[i]))
                        column = static_cast<int>(i);
                if (column >= 0)
                    continue;
                if (header.size() > 1)
                    return "a CSV needs a header row with a column named \"serial\"";
            }
            if (column < 0) {
                add_serial(line, serials, seen);
                continue;
            }
            std::vector<std::string> fields = csv_fields(line);
            if (static_cast<size_t>(column) < fields.size())
                add_serial(fields[static_cast<size_t>(column)], serials, seen);
        }
    }
    if (why.empty() && serials.empty())
        why = "no serial number in it";
    return why;
}

std::string parse_network_plan(const std::string& raw, std::vector<PlanRow>& rows)
{
    static const std::set<std::string> kColumns = {"serial", "ip", "netmask", "gateway", "dns1", "dns2", "dhcp"};
    rows.clear();
    std::vector<std::string> header;
    std::set<std::string> serials;
    int number = 0;
    for (const std::string& raw_line : lines_of(without_bom(raw))) {
        ++number;
        const std::string line = trim(raw_line);
        if (line.empty() || line[0] == '#')
            continue;
        const std::string at = "plan line " + std::to_string(number);
        std::vector<std::string> cells = csv_fields(line);
        for (std::string& c : cells)
            c = trim(c);
        if (header.empty()) {
            for (std::string c : cells) {
                for (char& ch : c)
                    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                if (!kColumns.count(c))
                    return at + ": unknown column '" + c +
                        "' (the columns are serial, ip, netmask, gateway, dns1, dns2, dhcp)";
                if (std::find(header.begin(), header.end(), c) != header.end())
                    return at + ": column " + c + " is named twice";
                header.push_back(c);
            }
            if (std::find(header.begin(), header.end(), "serial") == header.end())
                return at + ": the header row names no serial column";
            continue;
        }
        if (cells.size() > header.size())
            return at + ": " + std::to_string(cells.size()) + " cells, the header row names " +
                std::to_string(header.size());
        PlanRow row;
        row.line = number;
        for (size_t i = 0; i < cells.size(); ++i) {
            if (header[i] == "serial")
                row.serial = cells[i];
            else if (!cells[i].empty())
                row.values[header[i]] = cells[i];
        }
        if (row.serial.empty() || row.serial.size() > 32)
            return at + ": the serial number needs 1 to 32 characters";
        if (!serials.insert(row.serial).second)
            return at + ": serial number " + row.serial + " is planned twice";
        rows.push_back(std::move(row));
    }
    if (rows.empty())
        return "the plan names no recorder";
    return "";
}

std::string read_expect_file(const std::string& path, std::vector<std::string>& serials)
{
    std::string text;
    std::string why = read_small_file(path, text);
    return why.empty() ? parse_expect_list(text, serials) : why;
}

}  // namespace dravlinctl

// Files the browser console's pages hand the tool, in a folder of the server's own.
#include "cli/serve_uploads.h"

#include "cli/fleet.h"
#include "cli/serve_guard.h"
#include "imaging/picture_check.h"
#include "jobs/upload_file.h"
#include "util/digest.h"
#include "util/log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace dravlinctl::serve {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxReceiving = 4;  // files arriving at once
constexpr size_t kMaxNameBytes = 200;

const char* const kKindNames[] = {"boot", "channel", "shutdown", "firmware"};

// The name the file keeps in the folder: the page's name without any folder, its bytes outside
// printable ASCII written as '_' (the link opens the path with the system's code page, and the
// recorder sees only the name). "" when nothing usable is left.
std::string stored_name(const std::string& name)
{
    std::string base = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    if (base.empty() || base == "." || base == ".." || base.size() > kMaxNameBytes)
        return "";
    for (char& c : base) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
            c = '_';
    }
    return base;
}

// The firmware page's words for an image that cannot be sent.
std::string firmware_problem(const jobs::UploadFileCheck& c)
{
    switch (c.problem) {
    case jobs::kUploadFileOk: return "";
    case jobs::kUploadEmpty: return "固件文件为空";
    case jobs::kUploadTooLarge: return "固件文件大于2GB";
    case jobs::kUploadCannotOpen:
        return c.err == ENOENT ? "固件文件不存在" : std::string("固件文件无法打开: ") + log_error_text(c.err);
    case jobs::kUploadUnreadable: return std::string("固件文件无法读取: ") + log_error_text(c.err);
    case jobs::kUploadNotRegular: return "所选路径不是固件文件";
    default: return "固件文件无法使用";
    }
}

void remove_quietly(const std::string& path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

}  // namespace

bool upload_kind_of(const std::string& name, int& kind)
{
    for (int k = 0; k < 4; ++k) {
        if (name == kKindNames[k]) {
            kind = k;
            return true;
        }
    }
    return false;
}

const char* upload_kind_name(int kind) { return kind >= 0 && kind < 4 ? kKindNames[kind] : "file"; }

int64_t upload_limit(int kind)
{
    switch (kind) {
    case kUploadBoot: return kBootPictureMaxBytes;
    case kUploadChannel:
    case kUploadShutdown: return kOtherPictureMaxBytes;
    default: return INT_MAX;  // the upload announces a 32-bit length
    }
}

Upload::~Upload()
{
    if (!path.empty())
        remove_quietly(fs::path(path).parent_path().string());
}

Uploads::~Uploads()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        current_.clear();
    }
    if (!folder_.empty())
        remove_quietly(folder_);
}

bool Uploads::open(const std::string& dir, std::string& why)
{
    std::error_code ec;
    fs::path base = dir.empty() ? fs::temp_directory_path(ec) : fs::path(dir);
    if (ec) {
        why = "no temporary folder: " + ec.message();
        return false;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string token = new_token();
        if (token.empty()) {
            why = "the system gave no random bytes";
            return false;
        }
        fs::path p = base / ("dravlin-serve-" + token.substr(0, 16));
        if (fs::create_directory(p, ec)) {
            fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace, ec);
            folder_ = p.string();
            return true;
        }
        if (ec) {
            why = p.string() + ": " + ec.message();
            return false;
        }
    }
    why = "no new folder could be made in " + base.string();
    return false;
}

UploadReply Uploads::receive(int kind, const std::string& name, int64_t length,
                             const std::function<bool(const std::function<bool(const char*, size_t)>&)>& read)
{
    UploadReply reply;
    const std::string stored = stored_name(name);
    if (stored.empty())
        return {400, error_json("bad_name", "the file needs a name (at most 200 bytes, no folder)")};
    if (length < 0)
        return {411, error_json("length_required", "the upload needs a Content-Length")};
    if (length > upload_limit(kind)) {
        const std::string message =
            kind == kUploadFirmware ? std::string("固件文件大于2GB") : PictureCheckMessage(kPictureTooLarge, kind);
        return {413, error_json("too_large", message)};
    }
    std::string id;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (receiving_ >= kMaxReceiving)
            return {503, error_json("busy", "too many files arriving at once; try again")};
        ++receiving_;
        // Appended, not "u" + to_string(): GCC 12 at -O3 warns (-Wrestrict) on the latter.
        id = "u";
        id += std::to_string(next_++);
    }
    struct Done {
        Uploads* u;
        ~Done()
        {
            std::lock_guard<std::mutex> lock(u->mu_);
            --u->receiving_;
        }
    } done{this};

    auto up = std::make_shared<Upload>();
    up->id = id;
    up->kind = kind;
    up->name = name;
    std::error_code ec;
    const fs::path sub = fs::path(folder_) / id;
    if (!fs::create_directory(sub, ec))
        return {500, error_json("no_room", "the server's folder takes no new file: " + ec.message())};
    up->path = (sub / stored).string();  // from here the folder goes with up
    FILE* f = std::fopen(up->path.c_str(), "wb");
    if (!f)
        return {500, error_json("no_room", up->path + ": " + log_error_text(errno))};
    Md5Context md5;
    md5_init(&md5);
    int64_t got = 0;
    bool write_failed = false;
    const bool whole = read([&](const char* data, size_t n) {
        got += static_cast<int64_t>(n);
        // Never more than was announced: a body that goes on is cut here.
        if (got > length || std::fwrite(data, 1, n, f) != n) {
            write_failed = got <= length;
            return false;
        }
        md5_update(&md5, data, n);
        return true;
    });
    const bool closed = std::fclose(f) == 0;
    if (write_failed || !closed)
        return {500, error_json("no_room", "the file could not be written in the server's folder")};
    if (!whole || got != length)
        return {400, error_json("incomplete", "the file did not arrive whole")};
    char hex[33];
    up->md5 = md5_final_hex(&md5, hex);
    up->size = got;

    if (kind == kUploadFirmware) {
        const std::string why = firmware_problem(jobs::check_upload_file(up->path));
        if (!why.empty())
            return {422, error_json("bad_file", why)};
    } else {
        PictureCheckReport report;
        CheckPictureFile(kind, up->path.c_str(), nullptr, &report);
        if (report.result != kPictureOk)
            return {422, error_json("bad_file", report.message)};
        up->width = report.width;
        up->height = report.height;
    }
    reply.json = "{\"id\": " + json_quote(up->id) + ", \"kind\": " + json_quote(upload_kind_name(kind)) +
        ", \"name\": " + json_quote(up->name) + ", \"size\": " + std::to_string(up->size) +
        ", \"md5\": " + json_quote(up->md5) + "}";
    std::lock_guard<std::mutex> lock(mu_);
    current_[kind] = std::move(up);
    return reply;
}

std::shared_ptr<Upload> Uploads::find(const std::string& id, int kind) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = current_.find(kind);
    return it != current_.end() && it->second->id == id ? it->second : nullptr;
}

std::string error_json(const std::string& code, const std::string& message)
{
    return "{\"error\": " + json_quote(code) + ", \"message\": " + json_quote(message) + "}";
}

}  // namespace dravlinctl::serve

// Files the browser console's pages hand the tool (pictures and firmware images): each is
// streamed into the server's own temporary folder, bounded by its kind's limit while it
// arrives, and checked as `dravlinctl check-picture` and the firmware page check them before
// any recorder may get it. A file is removed once nothing holds it any more: a newer file of
// the same kind replaces it, and the runs that send it let it go when they end.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace dravlinctl::serve {

enum UploadKind : int { kUploadBoot = 0, kUploadChannel = 1, kUploadShutdown = 2, kUploadFirmware = 3 };

// "boot", "channel", "shutdown", "firmware"; false for any other name.
bool upload_kind_of(const std::string& name, int& kind);
const char* upload_kind_name(int kind);
// The most bytes a file of the kind may have: the picture limits, and for an image what an
// upload can announce.
int64_t upload_limit(int kind);

// One file that arrived whole and passed its check.
struct Upload {
    std::string id;  // "u1", "u2", ...
    int kind = kUploadBoot;
    std::string name;  // as the page named it (UTF-8, no folder)
    std::string path;  // in the server's folder
    int64_t size = 0;
    std::string md5;
    int width = 0, height = 0;  // a boot picture's
    Upload() = default;
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    ~Upload();  // removes the file
};

// What receiving a file came to: an HTTP status and its JSON body.
struct UploadReply {
    int status = 201;
    std::string json;
};

class Uploads {
public:
    Uploads() = default;
    ~Uploads();  // removes the folder with whatever is left in it
    Uploads(const Uploads&) = delete;
    Uploads& operator=(const Uploads&) = delete;

    // Makes a folder of the server's own (mode 0700) in dir, or in the system's temporary
    // folder when dir is "". false with why when it cannot.
    bool open(const std::string& dir, std::string& why);
    const std::string& folder() const { return folder_; }

    // Receives one file of `length` bytes: read(sink) hands every piece that arrives to sink
    // and returns false when the transfer broke or sink refused a piece. A length over the
    // kind's limit is refused before anything is read (413), as is a fifth file at once (503).
    UploadReply receive(int kind, const std::string& name, int64_t length,
                        const std::function<bool(const std::function<bool(const char*, size_t)>&)>& read);

    // The newest file of that id and kind, or null (unknown, or replaced since).
    std::shared_ptr<Upload> find(const std::string& id, int kind) const;

private:
    mutable std::mutex mu_;
    std::string folder_;
    std::map<int, std::shared_ptr<Upload>> current_;  // per kind
    int next_ = 1;
    int receiving_ = 0;
};

// The JSON of an error: {"error": code, "message": message}.
std::string error_json(const std::string& code, const std::string& message);

}  // namespace dravlinctl::serve

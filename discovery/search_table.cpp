#include "discovery/search_table.h"

#include <tinyxml.h>

#include "util/fixedstr.h"
#include "util/log.h"

#include <cstring>
#include <new>
#include <string_view>

namespace {

// Device fields may fill their width without a terminator: always print them bounded.
#define FIELD(f) static_cast<int>(fixed_view(f).size()), fixed_view(f).data()

bool unlisted_type(std::string_view type)
{
    // Video servers are not listed, and neither is a device whose answer names no type (it
    // keeps the default).
    return type.find("NVS") != std::string_view::npos || type.find("DVS") != std::string_view::npos ||
        type == kDefaultDeviceType;
}

}  // namespace

std::mutex& discovery_flag_lock()
{
    static std::mutex m;
    return m;
}

// Room for a full table up front: the map never rehashes while a burst of answers is listed.
SearchTable::SearchTable() { by_serial_.reserve(kMaxSearchDevices); }
SearchTable::~SearchTable() = default;

IPCSearchInfo* SearchTable::slot(int index)
{
    if (index < 0 || index >= count())
        return nullptr;
    return slots_[index].get();
}

int SearchTable::copy(int index, IPCSearchInfo* out)
{
    if (!out || index < 0 || index >= kMaxSearchDevices)
        return -1;
    if (index >= count())
        return 0;
    std::lock_guard<std::mutex> guard(lock_);
    std::memcpy(out, slots_[index].get(), sizeof *out);
    return 1;
}

bool SearchTable::overwrite(int index, const IPCSearchInfo& rec)
{
    if (index < 0 || index >= count())
        return false;
    std::lock_guard<std::mutex> guard(lock_);
    std::string before(fixed_view(slots_[index]->devid.SerialNumber));
    std::memcpy(slots_[index].get(), &rec, sizeof rec);
    std::string after(fixed_view(rec.devid.SerialNumber));
    if (after != before) {
        auto it = by_serial_.find(before);
        if (it != by_serial_.end() && it->second == index)
            by_serial_.erase(it);
        by_serial_.emplace(std::move(after), index);
    }
    return true;
}

int SearchTable::handle_datagram(const char* text)
{
    char type[kMsgFieldSize], code[kMsgFieldSize], flag[kMsgFieldSize];
    // One parse serves the header and the four device description readers.
    TiXmlDocument doc;
    if (GetMessageHeaderDoc(text, doc, type, code, flag) != 0) {
        log_print("GetMessageHeader fail\n");
        return 0;
    }
    // The usual code is the bare digit; any other spelling is read as before.
    if (!(code[0] == '3' && code[1] == '\0') && std::atol(code) != 3)
        return 0;

    // Read into a local record; the table is touched only once the answer is complete. Nearly
    // every answer refreshes a listed device, so the record lives on the stack and only a new
    // device gets a heap slot. The readers fill every part they succeed on.
    IPCSearchInfo rec;
    // The header reader's envelope checks were the device id reader's own, and one walk of the
    // body finds the elements of all four readers.
    DeviceDescElements elements;
    FindDeviceDescElements(doc, elements);
    if (GetDeviceIdByElements(elements, rec.devid) != 0 || fixed_view(rec.devid.SerialNumber).empty()) {
        log_print("serial number not found\n, msg=%s", text);
        return 0;
    }
    if (unlisted_type(fixed_view(rec.devid.DeviceType)))
        return 0;
    if (GetLANCfgByElement(elements.lan, rec.lancfg) != 0) {
        log_print("lan config not found.\n");
        return 0;
    }
    if (GetMediaStreamCfgByElement(elements.stream, rec.streamcfg) != 0) {
        log_print("stream config not found.\n");
        return 0;
    }
    if (GetUserCfgByElement(elements.users, rec.usercfg) != 0) {
        log_print("user config not found.\n");
        return 0;
    }

    std::string_view serial = fixed_view(rec.devid.SerialNumber);
    int n = count();
    {
        // modifyipc may overwrite a record from another thread: compare under the lock too.
        std::lock_guard<std::mutex> guard(lock_);
        auto it = by_serial_.find(std::string(serial));
        if (it != by_serial_.end()) {
            std::memcpy(slots_[it->second].get(), &rec, sizeof rec);
            return 2;
        }
    }
    if (n >= kMaxSearchDevices) {
        log_print("found mac=[%.*s], ip=[%.*s], but ipc count exceed %d\n", FIELD(rec.lancfg.MacAddress),
                  FIELD(rec.lancfg.IPAddress), kMaxSearchDevices);
        return 0;
    }
    auto fresh = std::unique_ptr<IPCSearchInfo>(new (std::nothrow) IPCSearchInfo(rec));
    if (!fresh)
        return 0;
    log_print("found mac=[%.*s], ip=[%.*s]\n", FIELD(rec.lancfg.MacAddress), FIELD(rec.lancfg.IPAddress));
    {
        std::lock_guard<std::mutex> guard(lock_);
        by_serial_.emplace(std::string(serial), n);
        slots_[n] = std::move(fresh);
    }
    // The record is complete before the count covers it.
    count_.store(n + 1, std::memory_order_release);
    // Once counted, the slot may be overwritten by modifyipc from another thread at any time:
    // the callback reads the local record, never the slot itself.
    if (SearchCB cb = callback())
        cb(&rec);
    return 1;
}

// The device table behind the search, separated from the thread so that answer handling can be
// driven directly (tests, fuzzing).
#pragma once

#include "discovery/search.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class SearchTable {
public:
    SearchTable();
    ~SearchTable();
    SearchTable(const SearchTable&) = delete;
    SearchTable& operator=(const SearchTable&) = delete;

    // Handles one received datagram: text holds exactly the bytes received followed by a NUL.
    // Returns 1 new device listed, 2 listed device refreshed, 0 dropped.
    int handle_datagram(const char* text);

    int count() const { return count_.load(std::memory_order_acquire); }
    IPCSearchInfo* slot(int index);
    int copy(int index, IPCSearchInfo* out);
    // Overwrites an existing slot with a whole record (modifyipc). false for an empty slot.
    bool overwrite(int index, const IPCSearchInfo& rec);

    void set_callback(SearchCB cb) { callback_.store(cb, std::memory_order_release); }
    SearchCB callback() const { return callback_.load(std::memory_order_acquire); }

private:
    // Guards record contents against a concurrent overwrite; slots are only ever added.
    mutable std::mutex lock_;
    std::unique_ptr<IPCSearchInfo> slots_[kMaxSearchDevices];
    // Slot of each listed serial number (under lock_), so a refreshed answer is found without
    // walking the table: every answer of every device arrives once a second.
    std::unordered_map<std::string, int> by_serial_;
    std::atomic<int> count_{0};
    std::atomic<SearchCB> callback_{nullptr};
};

// The one lock guarding the "searching" and "sendtime started" flags.
std::mutex& discovery_flag_lock();

// The conversation of `dravlinctl channels` with one NVR: the channel-table controller on link
// slot 0, bounded waits, and the confirmation of a change (the NVR's answer with flag 0 where
// it answers, then a re-read table that shows the change). Also the two listings.
#pragma once

#include "cli/one_link.h"
#include "jobs/channel_table.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace dravlinctl {

// The link's channel requests, noting what the adds sent so the table can be checked for it.
class ToolChannelPort final : public jobs::ChannelPort {
public:
    int search_start() override { return d_.search_start(); }
    int search_stop() override { return d_.search_stop(); }
    int get_list(int slot) override { return d_.get_list(slot); }
    int add(int count, const ChannelParam* records) override;
    int del(int channel) override { return d_.del(channel); }
    int swap(int first, int second) override { return d_.swap(first, second); }
    int set_picnum(int pictures) override { return d_.set_picnum(pictures); }
    int page_turn(int next) override { return d_.page_turn(next); }

    std::vector<ChannelParam> added;  // the records of the last add that was written
    int add_messages = 0;             // the messages they went out in (one answer each)

private:
    jobs::DirectChannelPort d_;
};

class ChanSession {
public:
    using Clock = std::chrono::steady_clock;
    // "" when the table shows the change, else what it shows instead.
    using Check = std::function<std::string(const std::vector<ChannelEntry>&)>;

    ChanSession();

    // Logs in and reads the table; kExitOk, or kExitFailed after a line on standard error.
    int open(const FleetOptions& o);

    // Waits for pred until deadline; false at the deadline or once the link is lost (error()).
    bool wait(const std::function<bool()>& pred, Clock::time_point deadline);
    // Reads the table again and waits for it.
    bool reread();
    // Runs send (how many requests of that code went out, -1 when one was not written, below
    // -1 when the caller has nothing to send: false with no error()),
    // then: any answer with a nonzero flag fails; an NVR that answers this code must answer
    // every request in time; one that does not is given reread_after_ms. Then the table is
    // re-read until check finds the change, for a few seconds at most.
    bool confirm(int code, bool answered, int reread_after_ms, const std::function<int()>& send, const Check& check);
    // Flags of every answer with that code so far, in order.
    std::vector<int> flags(int code) const;

    const std::string& error() const { return error_; }
    void fail(std::string why) { error_ = std::move(why); }
    // ChannelInfo elements in the NVR's last table answer (the table keeps the first 96), -1
    // before one came.
    int reported_channels() const { return reported_.load(); }

    ToolChannelPort port;
    jobs::ChannelTable table{port};

private:
    OneLink link_;
    std::atomic<int> tables_{0};
    std::atomic<int> reported_{-1};
    std::string error_;
};

std::string ip_of(const ChannelEntry& c);
std::string ip_of(const IpcRecord& c);
void print_channels(const std::vector<ChannelEntry>& list, bool json);
void print_cameras(const std::vector<IpcRecord>& list, bool json);

}  // namespace dravlinctl

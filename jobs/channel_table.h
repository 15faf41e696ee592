// The NVR channel-table controller shared by the channel page and the tool: it keeps the
// cameras the NVR found (one row per address, an MVK answer winning over ONVIF) and the NVR's
// channel table as last reported, routes the link's answers (3801 merge, 3803 refresh, 3804 and
// 3806 re-read or failure), and turns the operator's choices (rows, not screen texts) into the
// channel requests. It sends through a small port, so tests use a fake. No Qt.
//
// Threads: answers and events come in on a link thread, operations on the caller's thread; the
// state is guarded by one lock, never held while a request is written. Readers get copies.
#pragma once

#include "link/chan_requests.h"
#include "proto/chanlist.h"
#include "proto/frame.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace jobs {

// The channel requests (link/chan_requests.h), with their results: 0 written, -4 not written,
// -1 refused argument.
class ChannelPort {
public:
    virtual ~ChannelPort() = default;
    virtual int search_start() = 0;
    virtual int search_stop() = 0;
    virtual int get_list(int slot) = 0;
    virtual int add(int count, const ChannelParam* records) = 0;
    virtual int del(int channel) = 0;
    virtual int swap(int first, int second) = 0;
    virtual int set_picnum(int pictures) = 0;
    virtual int page_turn(int next) = 0;
    // The link entry the requests go out on.
    virtual int slot() const { return kNvrChanSlot; }
};

// The port straight onto the link library, on one entry (slot 0 unless told otherwise: the
// console's runner gives the channel page whichever entry is free).
class DirectChannelPort final : public ChannelPort {
public:
    explicit DirectChannelPort(int slot = kNvrChanSlot) : slot_(slot) { }
    void set_slot(int slot) { slot_.store(slot); }
    int slot() const override { return slot_.load(); }
    int search_start() override;
    int search_stop() override;
    int get_list(int slot) override;
    int add(int count, const ChannelParam* records) override;
    int del(int channel) override;
    int swap(int first, int second) override;
    int set_picnum(int pictures) override;
    int page_turn(int next) override;

private:
    std::atomic<int> slot_;
};

// Results of the controller's operations besides 0, -1 and -4.
enum ChanResult : int {
    kChanOk = 0,
    kChanBadArgument = -1,    // a row or number out of range
    kChanNotSent = -4,        // a request could not be written
    kChanNoSelection = -20,   // no camera chosen
    kChanAlreadyAdded = -21,  // every chosen camera is in the channel table already
    kChanTableFull = -22,     // no free (or ticked) channel for a camera
    kChanBadText = -23,       // an address, user name or password holds '"', '<', '>', '&' or a control character
    kChanNoCamera = -24,      // no camera record behind that row
    kChanNeedTwo = -25,       // a swap needs exactly two channels
    kChanBadAddress = -26,    // the channel's address is not four dotted numbers
};

// A short English text for each result ("ok", "not sent", "no camera chosen", ...).
const char* chan_result_text(int result);

// What an operation did: its result, how many records or requests went out, and after how
// many milliseconds the caller should re-read the table (-1: no re-read; the NVR's answer
// brings one, or none is wanted).
struct ChanOp {
    int result = kChanOk;
    int sent = 0;
    int reread_after_ms = -1;
};

// What changed, as told to the listener.
enum ChannelChange : int {
    kChangeCameras = 1,   // the camera list (a 3801 answer merged, or cleared by a search start)
    kChangeChannels = 2,  // the channel table (a 3803 answer)
    kChangeAnswer = 3,    // an answer to a request 3801 to 3808 arrived (see answers())
    kChangeLogin = 4,     // event 4 or 5 (see login_state())
};

// One answer of the NVR to a channel request.
struct ChannelAnswer {
    int slot = 0;
    int code = 0;
    int flag = 0;
};

// The edit path's starting values for one channel row.
struct ChannelEditForm {
    std::string ip;
    bool ip_editable = false;
    int protocol = kNvrProtocolMVK;
    int port = kDefaultControlPort;
    std::string user, password;
};

class ChannelTable {
public:
    using Listener = std::function<void(int change)>;

    explicit ChannelTable(ChannelPort& port) : port_(port) { }

    // Called after each change on the thread that applied it, without the lock held. Set it
    // before the link runs.
    void set_listener(Listener listener) { listener_ = std::move(listener); }

    // ---- link input (the page's or the tool's callbacks hand these on) ----------------------

    // Event callback: 4 reads the table on that slot; 4 and 5 set the login state. 0, or -1
    // for a slot outside the link table.
    int on_event(int slot, int code);
    // Auxiliary-data callback (same arguments): acts on SYSTEM_CONFIG_GET_MESSAGE answers only.
    // Always 0.
    int on_aux(int slot, int kind, const void* data, int len, const void* info);

    // Forgets the NVR: no cameras, no channels, no search, no login (another NVR is chosen, or
    // its link ended). Tells the listener of the cameras and the channels.
    void reset();

    // ---- requests ------------------------------------------------------------------------------

    // Empties the camera list and starts the NVR's search; searching() once it went out.
    int start_search();
    // Stops it; searching() turns false once the request went out.
    int stop_search();
    // Reads the channel table on slot 0.
    int refresh();
    // The chosen camera rows (in the order given) into free channels in row order. Cameras
    // already in the table are skipped; those left when the free channels run out are not added.
    ChanOp add_cameras(const std::vector<int>& camera_rows);
    // Every camera row, as add_cameras.
    ChanOp fill();
    // One camera into the first ticked channel row (replacing what it holds), else into the
    // first free one.
    ChanOp add_camera(int camera_row, const std::vector<int>& ticked_channel_rows);
    // One record as given (its ChannelId is the 0-based channel index).
    ChanOp set_channel(const ChannelParam& record);
    // Deletes the rows (in the order given); re-read 500 ms per channel later.
    ChanOp delete_channels(const std::vector<int>& rows);
    // Deletes every channel; re-read 800 ms per row later. Nothing for an empty table.
    ChanOp clear();
    // Swaps the two ticked rows (lower first); re-read 300 ms later.
    ChanOp swap(const std::vector<int>& ticked_rows);
    // A canvas of that many pictures, one of canvas_choices() for the current table.
    int set_canvas(int pictures);
    int turn_page(bool next);

    // The edit path: starting values for row's channel (a free row: 192.168.1.0, editable).
    // 0, kChanBadArgument, or kChanBadAddress when the row's address is not four dotted numbers.
    int edit_form(int row, ChannelEditForm& form) const;  // form untouched on failure
    // Sends the edited channel of row (its shown number minus 1).
    ChanOp apply_edit(int row, const ChannelEditForm& form);

    // ---- state (copies, any thread) ------------------------------------------------------------

    std::vector<IpcRecord> cameras() const;
    std::vector<ChannelEntry> channels() const;
    // The 0-based row of the first free channel, or -1.
    int first_free_row() const;
    bool searching() const;
    // The last of events 4 and 5 seen, 0 before either.
    int login_state() const;
    // Every answer since the table was made (at most the last 256).
    std::vector<ChannelAnswer> answers() const;
    // Grows with every change; wait_change returns once it differs from seen (true) or after
    // timeout_ms (false).
    uint64_t version() const;
    bool wait_change(uint64_t seen, int timeout_ms) const;

    // The canvas sizes offered for a table of that many rows; none beyond 36 rows.
    static std::vector<int> canvas_choices(int rows);

private:
    void changed(int change);
    void merge(const IpcList& list);
    void refresh_from(const ChannelList& list);
    ChanOp add_entries(const std::vector<IpcRecord>& to_add);
    ChanOp send_records(const std::vector<ChannelParam>& records);

    ChannelPort& port_;
    Listener listener_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    uint64_t version_ = 0;
    std::vector<IpcRecord> cameras_;
    std::vector<ChannelEntry> channels_;
    std::vector<ChannelAnswer> answers_;
    bool searching_ = false;
    int login_state_ = 0;
};

}  // namespace jobs

// The channel-table controller: answer routing, the camera-list merge, free-channel filling and
// the other channel operations over a ChannelPort.
#include "jobs/channel_table.h"

#include "link/chan_requests.h"
#include "link/link.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace jobs {

// ---- port onto the link --------------------------------------------------------------------------

int DirectChannelPort::search_start() { return nvr_search_start(slot()); }
int DirectChannelPort::search_stop() { return nvr_search_stop(slot()); }
int DirectChannelPort::get_list(int slot) { return nvr_chan_getlist(slot); }
int DirectChannelPort::add(int count, const ChannelParam* records) { return nvr_chan_add(count, records, slot()); }
int DirectChannelPort::del(int channel) { return nvr_chan_del(channel, slot()); }
int DirectChannelPort::swap(int first, int second) { return nvr_chan_swap(first, second, slot()); }
int DirectChannelPort::set_picnum(int pictures) { return nvr_set_picnum(pictures, slot()); }
int DirectChannelPort::page_turn(int next) { return nvr_page_turn(next, slot()); }

const char* chan_result_text(int result)
{
    switch (result) {
    case kChanOk: return "ok";
    case kChanBadArgument: return "bad argument";
    case kChanNotSent: return "not sent";
    case kChanNoSelection: return "no camera chosen";
    case kChanAlreadyAdded: return "already in the channel table";
    case kChanTableFull: return "no free channel";
    case kChanBadText: return "text holds a character the request cannot carry";
    case kChanNoCamera: return "no such camera";
    case kChanNeedTwo: return "choose exactly two channels";
    case kChanBadAddress: return "bad channel address";
    default: return "failed";
    }
}

namespace {

constexpr size_t kMaxAnswers = 256;
constexpr int kDeletePauseMs = 500;
constexpr int kClearPauseMs = 800;
constexpr int kSwapPauseMs = 300;
constexpr const char* kConfigGetType = "SYSTEM_CONFIG_GET_MESSAGE";

std::string ip_of(const IpcRecord& r) { return fixed_str(r.IpAddr); }
std::string ip_of(const ChannelEntry& c) { return fixed_str(c.IpAddr); }

bool valid_row(int row, size_t count) { return row >= 0 && static_cast<size_t>(row) < count; }

ChannelParam param_of(const IpcRecord& r, int channel)
{
    ChannelParam p{};
    p.ChannelId = channel;
    p.Protocol = r.Protocol;
    p.CtrlPort = r.CtrlPort;
    fixed_copy(p.IpAddr, fixed_view(r.IpAddr));
    fixed_copy(p.Username, fixed_view(r.Username));
    fixed_copy(p.Password, fixed_view(r.Password));
    return p;
}

// Four decimal numbers of 0 to 255 separated by dots, nothing else.
bool dotted_quad(const std::string& s)
{
    int parts = 0, digits = 0, value = 0;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (++digits > 3 || value > 255)
                return false;
        } else if (c == '.' && digits > 0 && parts < 3) {
            ++parts;
            digits = value = 0;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}

}  // namespace

// ---- link input ------------------------------------------------------------------------------------

int ChannelTable::on_event(int slot, int code)
{
    log_print("OnEventCB:chanid(%d)statecode(%d)\n", slot, code);
    if (slot < 0 || slot >= kIpcMaxLinks) {
        log_print("pDlg == NULL chanid(%d)statecode(%d)\n", slot, code);
        return -1;
    }
    if (code == 1) {
        log_print("connet ok[%d]\n", slot);
    } else if (code == IPC_EVENT_LOGIN_OK) {
        log_print("EVENT_LOGINOK\n");
        port_.get_list(slot);
        {
            std::lock_guard<std::mutex> lk(mu_);
            login_state_ = code;
        }
        changed(kChangeLogin);
    } else if (code == IPC_EVENT_LOGIN_FAIL) {
        log_print("EVENT_LOGIN Fail\n");
        {
            std::lock_guard<std::mutex> lk(mu_);
            login_state_ = code;
        }
        changed(kChangeLogin);
    }
    return 0;
}

void ChannelTable::reset()
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        cameras_.clear();
        channels_.clear();
        searching_ = false;
        login_state_ = 0;
    }
    changed(kChangeCameras);
    changed(kChangeChannels);
}

int ChannelTable::on_aux(int slot, int kind, const void* data, int len, const void* info)
{
    // Media deliveries carry another record than AuxDataInfo.
    if (kind != IPC_AUX_RESPONSE)
        return 0;
    std::string text = data && len > 0 ? std::string(static_cast<const char*>(data), static_cast<size_t>(len)) : "";
    if (!info) {
        log_print("pExtData is NULL, AuxDataCB:\n%s\n", text.c_str());
        return 0;
    }
    const AuxDataInfo& ai = *static_cast<const AuxDataInfo*>(info);
    std::string_view type = fixed_view(ai.msgtype);
    if (type.substr(0, 25) != kConfigGetType)
        return 0;
    if (ai.code < NVR_CODE_SEARCH_START || ai.code > NVR_CODE_PAGE_TURN)
        return 0;
    switch (ai.code) {
    case NVR_CODE_SEARCH_START: {
        auto list = std::make_unique<IpcList>();
        if (GetSearchIpc(text.c_str(), *list) == 0)
            merge(*list);
        else
            log_print("xml parase error\n");
        break;
    }
    case NVR_CODE_GETLIST: {
        auto list = std::make_unique<ChannelList>();
        if (GetChannellist(text.c_str(), *list) == 0)
            refresh_from(*list);
        else
            log_print("xml parase error\n");
        break;
    }
    case NVR_CODE_ADD:
    case NVR_CODE_SWAP:
        if (ai.flag == 0)
            port_.get_list(slot);
        else
            log_print("add channel fail\n");
        break;
    default: break;
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (answers_.size() >= kMaxAnswers)
            answers_.erase(answers_.begin());
        answers_.push_back({slot, ai.code, ai.flag});
    }
    changed(kChangeAnswer);
    return 0;
}

void ChannelTable::merge(const IpcList& list)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        log_print("pList->nIpcCnt:%d\n", list.nIpcCnt);
        int n = std::clamp(list.nIpcCnt, 0, kNvrMaxListEntries);
        for (int i = 0; i < n; ++i) {
            const IpcRecord& p = list.entries[i];
            std::string ip = ip_of(p);
            bool found = false;
            for (IpcRecord& row : cameras_) {
                std::string stored = ip_of(row);
                bool same = stored == ip;
                log_print("IPCInfo.m_IPCEntry.IpAddr:%s, pEntry->IpAddr:%s, same(%d)\n", stored.c_str(), ip.c_str(),
                          same ? 1 : 0);
                if (same) {
                    // An MVK answer replaces an ONVIF one for the same camera, never the reverse.
                    if (p.Protocol != kNvrProtocolONVIF)
                        row = p;
                    found = true;
                    break;
                }
            }
            if (!found)
                cameras_.push_back(p);
        }
    }
    changed(kChangeCameras);
}

void ChannelTable::refresh_from(const ChannelList& list)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        int n = std::clamp(list.nChanCnt, 0, kNvrMaxListEntries);
        channels_.assign(list.entries, list.entries + n);
    }
    changed(kChangeChannels);
}

void ChannelTable::changed(int change)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++version_;
    }
    cv_.notify_all();
    if (listener_)
        listener_(change);
}

// ---- requests ----------------------------------------------------------------------------------------

int ChannelTable::start_search()
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        cameras_.clear();
    }
    changed(kChangeCameras);
    int r = port_.search_start();
    log_print("Func:nvr_search_start....\n");
    if (r == 0) {
        std::lock_guard<std::mutex> lk(mu_);
        searching_ = true;
    }
    return r;
}

int ChannelTable::stop_search()
{
    int r = port_.search_stop();
    if (r == 0) {
        log_print("Func:stopsearchipc....\n");
        std::lock_guard<std::mutex> lk(mu_);
        searching_ = false;
    }
    return r;
}

int ChannelTable::refresh() { return port_.get_list(port_.slot()); }

ChanOp ChannelTable::add_cameras(const std::vector<int>& camera_rows)
{
    std::vector<IpcRecord> to_add;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (int row : camera_rows) {
            if (!valid_row(row, cameras_.size()))
                return {kChanBadArgument, 0, -1};
        }
        if (camera_rows.empty())
            return {kChanNoSelection, 0, -1};
        for (int row : camera_rows) {
            std::string ip = ip_of(cameras_[static_cast<size_t>(row)]);
            log_print("checked ip:%s\n", ip.c_str());
            bool present = std::any_of(channels_.begin(), channels_.end(), [&](const ChannelEntry& c) {
                std::string cip = ip_of(c);
                return !cip.empty() && cip == ip;
            });
            if (present) {
                log_print("has sampe ip:%s\n", ip.c_str());
                continue;
            }
            to_add.push_back(cameras_[static_cast<size_t>(row)]);
        }
    }
    if (to_add.empty())
        return {kChanAlreadyAdded, 0, -1};
    return add_entries(to_add);
}

ChanOp ChannelTable::fill()
{
    std::vector<int> rows;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (size_t i = 0; i < cameras_.size(); ++i)
            rows.push_back(static_cast<int>(i));
    }
    return add_cameras(rows);
}

ChanOp ChannelTable::add_entries(const std::vector<IpcRecord>& to_add)
{
    std::vector<ChannelParam> records;
    {
        std::lock_guard<std::mutex> lk(mu_);
        size_t next = 0;
        for (size_t row = 0; row < channels_.size() && next < to_add.size(); ++row) {
            if (!fixed_view(channels_[row].IpAddr).empty())
                continue;
            const IpcRecord& e = to_add[next++];
            log_print("to add:%s to %d\n", ip_of(e).c_str(), static_cast<int>(row));
            records.push_back(param_of(e, static_cast<int>(row)));
        }
    }
    if (records.empty())
        return {kChanTableFull, 0, -1};
    return send_records(records);
}

ChanOp ChannelTable::send_records(const std::vector<ChannelParam>& records)
{
    for (const ChannelParam& r : records) {
        if (!nvr_text_acceptable(fixed_view(r.IpAddr)) || !nvr_text_acceptable(fixed_view(r.Username)) ||
            !nvr_text_acceptable(fixed_view(r.Password)))
            return {kChanBadText, 0, -1};
    }
    if (port_.add(static_cast<int>(records.size()), records.data()) != 0) {
        log_print("nvr_chan_add return fail\n");
        return {kChanNotSent, 0, -1};
    }
    return {kChanOk, static_cast<int>(records.size()), -1};
}

ChanOp ChannelTable::add_camera(int camera_row, const std::vector<int>& ticked_channel_rows)
{
    ChannelParam p{};
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!valid_row(camera_row, cameras_.size()))
            return {kChanNoCamera, 0, -1};
        int target = -1;
        for (int row : ticked_channel_rows) {
            if (valid_row(row, channels_.size()) && (target < 0 || row < target))
                target = row;
        }
        for (size_t row = 0; target < 0 && row < channels_.size(); ++row) {
            if (fixed_view(channels_[row].IpAddr).empty())
                target = static_cast<int>(row);
        }
        if (target < 0)
            return {kChanTableFull, 0, -1};
        p = param_of(cameras_[static_cast<size_t>(camera_row)], target);
    }
    return send_records({p});
}

ChanOp ChannelTable::set_channel(const ChannelParam& record)
{
    if (record.ChannelId < 0)
        return {kChanBadArgument, 0, -1};
    return send_records({record});
}

ChanOp ChannelTable::delete_channels(const std::vector<int>& rows)
{
    size_t count;
    {
        std::lock_guard<std::mutex> lk(mu_);
        count = channels_.size();
    }
    ChanOp op;
    for (int row : rows) {
        if (!valid_row(row, count))
            continue;
        if (port_.del(row) != 0)
            op.result = kChanNotSent;
        ++op.sent;
    }
    if (op.sent > 0)
        op.reread_after_ms = kDeletePauseMs * op.sent;
    return op;
}

ChanOp ChannelTable::clear()
{
    size_t count;
    {
        std::lock_guard<std::mutex> lk(mu_);
        count = channels_.size();
    }
    if (count == 0)
        return {};
    ChanOp op;
    op.result = port_.del(kNvrChanAll) == 0 ? kChanOk : kChanNotSent;
    op.sent = 1;
    op.reread_after_ms = kClearPauseMs * static_cast<int>(count);
    return op;
}

ChanOp ChannelTable::swap(const std::vector<int>& ticked_rows)
{
    std::vector<int> rows;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (int row : ticked_rows) {
            if (valid_row(row, channels_.size()) && std::find(rows.begin(), rows.end(), row) == rows.end())
                rows.push_back(row);
        }
    }
    if (rows.size() != 2)
        return {kChanNeedTwo, 0, -1};
    int lo = std::min(rows[0], rows[1]), hi = std::max(rows[0], rows[1]);
    ChanOp op;
    op.result = port_.swap(lo, hi) == 0 ? kChanOk : kChanNotSent;
    op.sent = 1;
    op.reread_after_ms = kSwapPauseMs;
    return op;
}

std::vector<int> ChannelTable::canvas_choices(int rows)
{
    static const int kAll[] = {1, 2, 4, 6, 8, 9, 10, 16, 25, 32, 36};
    int offered;  // how many of kAll the menu for this table offers
    if (rows < 0)
        return {};
    if (rows <= 4)
        offered = 3;
    else if (rows <= 8)
        offered = 6;
    else if (rows <= 16)
        offered = 8;
    else if (rows <= 25)
        offered = 9;
    else if (rows <= 32)
        offered = 10;
    else if (rows <= 36)
        offered = 11;
    else {
        log_print("bug, :%d\n", rows);
        return {};
    }
    return std::vector<int>(kAll, kAll + offered);
}

int ChannelTable::set_canvas(int pictures)
{
    int rows;
    {
        std::lock_guard<std::mutex> lk(mu_);
        rows = static_cast<int>(channels_.size());
    }
    std::vector<int> choices = canvas_choices(rows);
    if (std::find(choices.begin(), choices.end(), pictures) == choices.end())
        return kChanBadArgument;
    return port_.set_picnum(pictures);
}

int ChannelTable::turn_page(bool next) { return port_.page_turn(next ? 1 : 0); }

int ChannelTable::edit_form(int row, ChannelEditForm& out) const
{
    std::lock_guard<std::mutex> lk(mu_);
    if (!valid_row(row, channels_.size()))
        return kChanBadArgument;
    const ChannelEntry& c = channels_[static_cast<size_t>(row)];
    ChannelEditForm form;
    form.user = "admin";
    form.password = "470213";
    std::string ip = ip_of(c);
    if (ip.empty()) {
        form.ip = "192.168.1.0";
        form.ip_editable = true;
    } else {
        if (!dotted_quad(ip))
            return kChanBadAddress;
        form.ip = ip;
        form.protocol = c.Protocol ? kNvrProtocolONVIF : kNvrProtocolMVK;
        form.port = form.protocol == kNvrProtocolMVK ? kDefaultControlPort : 80;
    }
    out = form;
    return kChanOk;
}

ChanOp ChannelTable::apply_edit(int row, const ChannelEditForm& form)
{
    ChannelParam p{};
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!valid_row(row, channels_.size()))
            return {kChanBadArgument, 0, -1};
        p.ChannelId = channels_[static_cast<size_t>(row)].ChannelId - 1;
    }
    if (!dotted_quad(form.ip))
        return {kChanBadAddress, 0, -1};
    p.CtrlPort = form.port;
    p.Protocol = form.protocol == kNvrProtocolMVK ? kNvrProtocolMVK : kNvrProtocolONVIF;
    fixed_copy(p.IpAddr, form.ip);
    fixed_copy(p.Username, form.user);
    fixed_copy(p.Password, form.password);
    // The record's fields keep whole texts only: a longer name or password is refused, not cut.
    if (form.user.size() > sizeof p.Username || form.password.size() > sizeof p.Password)
        return {kChanBadArgument, 0, -1};
    log_print("tmp.IpAddr:%s\n", form.ip.c_str());
    if (p.ChannelId < 0)
        return {kChanBadArgument, 0, -1};
    return send_records({p});
}

// ---- state -------------------------------------------------------------------------------------------

std::vector<IpcRecord> ChannelTable::cameras() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return cameras_;
}

std::vector<ChannelEntry> ChannelTable::channels() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return channels_;
}

int ChannelTable::first_free_row() const
{
    std::lock_guard<std::mutex> lk(mu_);
    for (size_t row = 0; row < channels_.size(); ++row) {
        if (fixed_view(channels_[row].IpAddr).empty())
            return static_cast<int>(row);
    }
    return -1;
}

bool ChannelTable::searching() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return searching_;
}

int ChannelTable::login_state() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return login_state_;
}

std::vector<ChannelAnswer> ChannelTable::answers() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return answers_;
}

uint64_t ChannelTable::version() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return version_;
}

bool ChannelTable::wait_change(uint64_t seen, int timeout_ms) const
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                        [&] { return version_ != seen; });
}

}  // namespace jobs

// The NVR channel-table requests (codes 3801 to 3808): camera search on the NVR's network,
// reading and editing the channel table, canvas layout and page turns. All of them travel as
// SYSTEM_CONFIG_GET_MESSAGE and go out on link slot 0 unless the caller names another slot (the
// console's runner gives the channel page whichever entry is free). Answers arrive through the auxiliary-data callback; nothing here waits for one.
//
// Results: 0 when the request was written, -4 when it was not (bad slot, no link, socket not
// writable), -1 for a refused argument (nothing sent).
#pragma once

#include "proto/chanlist.h"

#include <string>
#include <string_view>
#include <vector>

enum NvrChanCode : int {
    NVR_CODE_SEARCH_START = 3801,
    NVR_CODE_SEARCH_STOP = 3802,
    NVR_CODE_GETLIST = 3803,
    NVR_CODE_ADD = 3804,
    NVR_CODE_DEL = 3805,
    NVR_CODE_SWAP = 3806,
    NVR_CODE_PICNUM = 3807,
    NVR_CODE_PAGE_TURN = 3808,
};

// The slot every request but nvr_chan_getlist goes out on.
constexpr int kNvrChanSlot = 0;
// nvr_chan_del's index for every channel.
constexpr int kNvrChanAll = 255;
// Request bodies are formatted into a buffer of this size (text plus terminator).
constexpr int kNvrBodyBufferSize = 14400;

int nvr_search_start(int slot = kNvrChanSlot);
int nvr_search_stop(int slot = kNvrChanSlot);
int nvr_chan_getlist(int slot);
// One ChannelInfo element per record, in array order. When the records do not fit one body
// buffer they go out as several messages of whole records, in order; the result is -4 as soon
// as one of them is not written (the later ones are then not sent). -1 for no records, or a
// record whose address, user name or password nvr_text_acceptable refuses.
int nvr_chan_add(int count, const ChannelParam* records, int slot = kNvrChanSlot);
int nvr_chan_del(int channel, int slot = kNvrChanSlot);
int nvr_chan_swap(int first, int second, int slot = kNvrChanSlot);
int nvr_set_picnum(int pictures, int slot = kNvrChanSlot);
// 0 previous page, 1 next page.
int nvr_page_turn(int next, int slot = kNvrChanSlot);

// Attribute values go into the requests as they are (devices expect raw text), so a text that
// would break the XML is refused instead: true when text holds none of '"', '<', '>', '&' and
// no control character (below 0x20, or 0x7F).
bool nvr_text_acceptable(std::string_view text);

// The nvr_chan_add bodies for these records, in sending order: each is at most
// kNvrBodyBufferSize - 1 characters and made of whole records. Empty for no records.
std::vector<std::string> nvr_chan_add_bodies(int count, const ChannelParam* records);

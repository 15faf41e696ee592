// A recorder's IP-camera channel table and the camera search it runs on its own network
// (control-link codes 3801 to 3808, all under SYSTEM_CONFIG_GET_MESSAGE).
#pragma once

#include "sim/device.h"

#include <string>
#include <vector>

class TiXmlElement;

namespace sim {

inline constexpr int kMaxChannels = 256;
inline constexpr int kAllChannels = 255;  // ChannelId of a delete meaning every channel
inline constexpr size_t kMaxCameras = 256;

// Channels of a device type: 32 for a type naming 32 (NVR-SIM32), 16 for any other NVR, 0 else.
int channels_for_type(const std::string& type);
// The cameras every simulated recorder finds unless told otherwise; 192.168.1.103 answers both
// as ONVIF and (later) as MVK, as dual-protocol cameras do.
std::vector<Camera> default_cameras();
// An empty table of the given size (-1: by type) and the given cameras (null: for a recorder
// the default ones).
void setup_nvr(Device& d, int channels = -1, const std::vector<Camera>* cameras = nullptr);
// PROTO:IP:PORT[:USER[:PASSWORD[:SN[:OSD]]]] with PROTO MVK or ONVIF. false when malformed.
bool parse_camera(const std::string& text, Camera* out);

// Bodies of the 3801 answers: the camera list, a few cameras per answer.
std::vector<std::string> search_batches(const Device& d, size_t per_batch = 2);
// Body of the 3803 answer: every channel, ChannelId 1-based, free ones with empty texts.
std::string channel_list_body(const Device& d);
// 3804 (first: the body's first ChannelInfo element, its siblings follow), 3805, 3806: apply to the table. true when done;
// false (the answer's flag 1) with *why for a malformed request or one the table cannot hold,
// which leaves the table as it was.
bool add_channels(Device& d, const TiXmlElement* first, std::string* why);
bool delete_channel(Device& d, const std::string& id, std::string* why);
bool swap_channels(Device& d, const std::string& first, const std::string& second, std::string* why);

}  // namespace sim

// What a recorder answers to SYSTEM_CONFIG_GET_MESSAGE besides its channel table: the documents
// behind the console's configuration readers (301 encode configuration, 302 accounts, 303 live
// stream, 304 vendor id, 305 video capabilities, 306 best parameters), its LANConfig for every
// other code, and whatever body a fleet file puts in their place.
#pragma once

#include "sim/device.h"

#include <string>

namespace sim {

inline constexpr int kFirstConfigDoc = 301;
inline constexpr int kLastConfigDoc = 306;
// A body from a file is at most this large: the whole answer goes out as one frame.
inline constexpr long kMaxConfigBody = 1L << 20;

// The body answering a configuration get with this code (-1: a code that is not a number).
std::string config_body(const Device& d, long code);

// Width and height of a resolution name the recorders use ("1080P", "D1", "720X480"...);
// false for any other text.
bool resolution_size(const std::string& name, int* width, int* height);

// A body for config.CODE=PATH: the whole of a regular file of at most kMaxConfigBody bytes.
// false with *why otherwise (a device, a pipe or a missing file is never waited on).
bool read_config_body(const std::string& path, std::string* body, std::string* why);

}  // namespace sim

// The device side's own encoder of the search answer (code 3). It shares no code with the
// console's envelope or readers, so a mistake made on one side is caught by the other.
#pragma once

#include "sim/device.h"

#include <string>

namespace sim {

// The answer datagram of a device, including its fault (if any). Empty for a silent device.
std::string build_answer(const Device& dev);

}  // namespace sim

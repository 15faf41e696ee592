// Byte-level frame helpers of the link (internal).
#pragma once

#include "proto/frame.h"

#include "util/log.h"

#include <cstdint>
#include <string>

struct IpcLinkContext;

// frame_recv_exact results besides the byte count, 0 (peer closed) and receive errors.
constexpr int kRecvStopped = -100;   // the entry's running flag went to 0
constexpr int kRecvTimedOut = -101;  // max_silent_waits 100 ms waits (or the silence limit) passed without a byte

// Receives exactly n bytes with sockrecv. max_silent_waits < 0: wait as long as the entry runs,
// but give up (kRecvTimedOut) once no byte has arrived for more than the link's silence limit.
int frame_recv_exact(IpcLinkContext* ipc, int fd, void* buffer, int n, int max_silent_waits);

// printf into a string of the length the text needs (request bodies around file names).
std::string format_text(const char* fmt, ...) DRAVLIN_PRINTF(1, 2);

// Clock broadcast: while switched on, a worker thread broadcasts the PC's local time once per
// wall-clock second (search-protocol code 101) so that recorders without Internet access keep
// the PC's time.
#pragma once

#include <ctime>

// 1 thread started; 0 already running ("isSendtime is working...\n"); -1 no thread.
int startSendtime();
// Stops and waits for the thread if it runs. Always 0.
int stopSendtime();
// Broadcasts the local time now on sock. 1 sent, -1 / -2 on failure.
int SendTime(int sock);

// The TimeConfig body for a local calendar time (no zero padding). Returns the length.
int FormatTimeBody(const std::tm& local, char* out, int cap);

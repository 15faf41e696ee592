// Clock broadcast: while switched on, a worker thread broadcasts the PC's local time once per
// wall-clock second (search-protocol code 101) so that recorders without Internet access keep
// the PC's time.
#pragma once

#include <ctime>

// Start and stop may be called from any threads at once: they take turns, one start wins and
// the others get 0.
// 1 thread started; 0 already running ("isSendtime is working...\n"); -1 no thread.
int startSendtime();
// The same, but the thread ends once `datagrams` clock messages went out (0: no limit);
// stopSendtime is still what joins it and clears the started flag.
int startSendtimeFor(long datagrams);
// Clock messages that went out since the last start.
long sendtime_sent();
// The OS error (errno) of the last clock message or socket that failed, 0 when the last one
// went out.
int sendtime_send_errno();
// Stops and waits for the thread if it runs. Always 0.
int stopSendtime();
// Broadcasts the local time now on sock. 1 sent, -1 / -2 on failure.
int SendTime(int sock);

// The TimeConfig body for a local calendar time (no zero padding). Returns the length.
int FormatTimeBody(const std::tm& local, char* out, int cap);

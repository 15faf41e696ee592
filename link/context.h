// The link entry and the link's internal interfaces shared by the session, the message
// handler, file transfer and the requests. Not for pages: they use link/link.h.
#pragma once

#include "link/link.h"
#include "proto/frame.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// Payloads below this size are read into the entry's own buffer.
constexpr int kRecvBufferSize = 1500;

constexpr int kHeartbeatIntervalMs = 10000;
constexpr int kSilenceLimitMs = 50000;
// A link thread waits for input until its next check falls due (heartbeat, silence, download
// time-out), or this long while the rest of a frame waits to go out.
constexpr int kPollWaitMs = 40;
constexpr int kDownloadTimeoutMs = 10000;
constexpr int kReconnectPauseSec = 3;
constexpr int kKeepaliveIdle = 1000;
// How long a request waits, at most, for the entry's socket to take its frame.
constexpr int kSendWaitMs = 100;

enum IpcLinkState : int {
    IPC_STATE_LOGGED_IN = 3,
    IPC_STATE_AUTH_FAILED = 4,
};

struct IpcLinkContext {
    std::atomic<int> sock{-1};
    std::atomic<uint64_t> last_heartbeat{0};  // ms, monotonic
    std::atomic<int> state{0};
    int chanid = 0;
    char address[16] = {};
    uint16_t port = 0;
    std::atomic<int> autoreconnect{0};
    char username[32] = {};
    char password[41] = {};
    IpcEventCallback evcb = nullptr;
    IpcAuxDataCallback auxcb = nullptr;
    std::atomic<void*> userdata{nullptr};
    char recvbuf[kRecvBufferSize + 1] = {};  // + 1 for the terminator behind the payload
    // File transfer state.
    char localfile[256] = {};
    char remotefile[1024] = {};  // download source on the device
    char dlpath[256] = {};       // download target, apart from the upload's name
    FILE* file = nullptr;        // the pending upload's source
    FILE* dlfile = nullptr;      // the running download's target
    const unsigned char* resource = nullptr;
    int translen = 0;
    int bytesdone = 0;
    int lastprogress = 0;
    int bytessent = 0;
    int filetype = 0;
    std::atomic<int> downloading{0};
    std::atomic<uint64_t> last_recv{0};  // ms, monotonic
    char sessionid[64] = {};
    std::atomic<int64_t> last_connect_try{0};  // wall-clock seconds
    std::thread thread;
    std::atomic<int> running{0};
    std::atomic<int> alive{0};  // 1 from thread start until its last statement
    // Set to 0 under end_mu, so that a logout waiting on end_cv for the thread's end never
    // misses it (std::atomic::wait lost it under MinGW).
    std::mutex end_mu;
    std::condition_variable end_cv;
    std::atomic<int> showtime{0};
    std::atomic<int> login_problem{IPC_LOGIN_PROBLEM_NONE};  // set before a login's event 2 or 5
    // The rest of a frame whose start is already on the socket (entry lock): it leaves before
    // anything else, so a frame that could not go whole at once is never cut.
    std::string out_tail;
    std::atomic<int> writers_waiting{0};    // requests of other threads waiting to send
    std::atomic<int> abort_close{0};        // the coming close resets instead of draining
    std::atomic<bool> beat_claimed{false};  // a thread is sending the heartbeat
    std::atomic<int> beat_failed{0};        // the clock thread's heartbeat could not go out
    int wake[2] = {-1, -1};                 // wakes the link thread (table entries only)
};

// The table entry for chanid, or null (no table, bad chanid; nothing logged).
IpcLinkContext* ipc_entry(int chanid);
// The lock that every whole frame written on the entry's socket is written under.
std::mutex& ipc_lock(const IpcLinkContext* ipc);

// An event without data to the entry's callback.
inline void ipc_emit(IpcLinkContext* ipc, int code)
{
    if (ipc->evcb)
        ipc->evcb(ipc->chanid, code, nullptr, 0);
}
// A numbered step of a link function, logged when the entry's show-time flag is set.
void ipc_step(IpcLinkContext* ipc, const char* name, int position);
// Keeps the login's user name and password in the entry (for reconnections).
void ipc_store_credentials(IpcLinkContext* ipc, const IpcLoginParam* param);
// Connects the entry and logs in (the link thread's first step and each reconnection).
int ipc_login(const IpcLoginParam* param);
// Closes the entry's socket after what is queued has reached the device, bounded by the
// silence window (a logout after completed work).
void ipc_close_draining(IpcLinkContext* ipc);

// Whether the caller is the entry's own link thread.
bool ipc_on_own_thread(const IpcLinkContext* ipc);

// Wakes the entry's thread from its wait (a logout, a frame rest to move on, a moved clock).
void ipc_wake(IpcLinkContext* ipc);

// The clock thread that sends the heartbeats of the table's entries (started with the table,
// stopped before it goes). A poke makes it look again: after a moved clock, or after a login
// (logged_in: only when it sleeps past the new link's first heartbeat).
void ipc_heartbeat_start(IpcLinkContext* table, int max);
void ipc_heartbeat_stop();
void ipc_heartbeat_poke(bool logged_in);
// Whether the clock thread sends this entry's heartbeats (entries outside the table send their
// own from their link thread).
bool ipc_heartbeat_by_clock(const IpcLinkContext* ipc);
// When the entry's next heartbeat falls due (ms of the monotonic clock).
uint64_t ipc_heartbeat_due(const IpcLinkContext* ipc);
// The link thread's heartbeat check: sends it when due and nobody else is at it, and reports
// a heartbeat that failed to go out (its own or the clock thread's) as the link's loss.
void ipchearbeat(IpcLinkContext* ipc);

// Closes the entry's socket under its lock and marks it -1; the connection is reset, and
// whatever was queued is dropped (failures and aborts).
void ipc_close_socket(IpcLinkContext* ipc);
// A failure on a working link: reset close, then (unless the thread is stopping) event 2 and
// reconnect pacing.
void ipc_drop_link(IpcLinkContext* ipc);

// Under the entry's lock: sends what the socket takes of the pending frame rest. The bytes
// sent (the rest is gone once out_tail is empty), or -1 on a socket error.
int ipc_flush_tail_locked(IpcLinkContext* ipc, int fd);
// Under the entry's lock and with no rest pending: starts the frame a + b; what the socket
// cannot take now is kept as the rest. The bytes the socket took (the frame is then handed
// over whole), 0 when it took nothing (nothing kept), -1 on a socket error.
int ipc_send_frame_locked(IpcLinkContext* ipc, int fd, const void* a, int alen, const void* b, int blen);

// Builds the long-form frame and writes it under the entry's lock. Bytes written, 0 when the
// socket was not writable, -1 for bad parameters / no socket / stopped thread, or a negative
// send result (the connection is then shut down: part of the frame may be on the stream).
int ipcsendmsg_(IpcLinkContext* ipc, const char* type, const char* code, const char* flag, const char* body);
// The login frame on a socket that is not stored in an entry yet (no lock).
int ipcsendmsgbyfd(const char* body, int sock);

// Writes a prepared buffer (one or more whole frames) under the entry's lock. Waits up to
// wait_ms, without the lock, while the socket is full; then gives up with 0 and a log line
// (the link stays up). len once handed over, 0, or -1 (no socket, or a send error: the
// connection is then shut down).
int ipc_write_locked(IpcLinkContext* ipc, const void* data, int len, int wait_ms = kSendWaitMs);

// Reads one frame from the entry's socket and hands it to ipcdealmsg. 1 handled; -1 refused;
// 0 unreadable (bad magic, oversize, or stopped while waiting); < 0 receive error / closed.
// After a 0, a running flag of 0 tells a stop apart from an unreadable frame.
int sockrecv_onemsg(IpcLinkContext* ipc);

// The message handler: 1 handled, -1 bad or refused (the link then drops the connection).
// text is NUL-terminated at the payload's end; len is the payload length.
int ipcdealmsg(const char* text, IpcLinkContext* ipc, int len);
// Answers of the control and configuration families.
int ipcdealresponse(const char* body, const char* type, IpcLinkContext* ipc, int code, int flag);

// File transfer hooks called by the handler and the link thread. The transfer fields of the
// entry are read and written under the entry's lock.
// The device's answer 1022: refusal, acceptance (streams the pending upload) or final verdict.
void ipc_upload_answer(IpcLinkContext* ipc, int flag);
// Streams the pending upload: IPC_RESULT_OK, a local failure (IPC_STREAM_FILE_NOT_FOUND to
// IPC_STREAM_READ_ERROR), IPC_STREAM_LINK_FAILED (our stream failed) or IPC_STREAM_FILE_CHANGED
// (the file's length changed while it was sent).
IpcResult uploadfile2ipc(IpcLinkContext* ipc, int filetype);
IpcResult uploadfilefromresource(IpcLinkContext* ipc);
// MEDIA_DATA_MESSAGE code 2: 1 handled, -1 the download failed (the link drops the connection).
int ipcdownloadwrite(IpcLinkContext* ipc, const char* text, int len);
void ipccheckdownloadtimeout(IpcLinkContext* ipc);
// Event 50 for done of total bytes, in steps of 5 per cent, each step at most once.
void ReportLoadProgress(IpcLinkContext* ipc, int64_t done, int64_t total);
// Stream result (IPC_STREAM_...) to the value of event 56.
int ipc_upload_result_to_event(int result);

// Talk stop (sends CMD_RA_STOP).
int ipc_talk_stop(int chanid);

// Sends an event whose data is one 32-bit value.
void ipc_event_int(IpcLinkContext* ipc, int code, int32_t value);

// A message text as the diagnostic lines show it: the value of every Password attribute
// becomes "***", so neither --verbose output nor the console's debugger lines carry one.
std::string ipc_log_text(std::string_view text);

// The device control link: a table of 64 link entries, each with its own thread that connects
// to a recorder, logs in, reads framed XML messages, sends heartbeats and reconnects after a
// loss. Pages start a link with ipc_login_delay, send requests with ipcsendmsg and the request
// builders on top of it, and learn what happens through the two callbacks they register.
#pragma once

#include <cstdint>

// Event codes of the event callback.
enum IpcEvent : int {
    IPC_EVENT_DISCONNECTED = 2,  // connect failed, peer closed, unreadable or refused frame, send
                                 // failed, 50 s of silence
    IPC_EVENT_LOGIN_OK = 4,
    IPC_EVENT_LOGIN_FAIL = 5,
    IPC_EVENT_TALK_OK = 6,
    IPC_EVENT_TALK_FAIL = 7,
    IPC_EVENT_TALK_STOP_OK = 8,
    IPC_EVENT_TALK_STOP_FAIL = 9,
    IPC_EVENT_PTZ_OK = 10,
    IPC_EVENT_PTZ_FAIL = 11,
    IPC_EVENT_DOWNLOAD_OK = 16,
    IPC_EVENT_DOWNLOAD_FAIL = 17,
    IPC_EVENT_PTZ_ANSWER = 21,
    IPC_EVENT_THREAD_END = 32,  // the link thread ends after a logout
    IPC_EVENT_TALK_BUSY = 35,
    IPC_EVENT_TALK_PARAM = 36,
    IPC_EVENT_TALK_DISABLED = 37,
    IPC_EVENT_UPLOAD_PROGRESS = 50,
    IPC_EVENT_UPLOAD_RESULT = 56,
    IPC_EVENT_BUZZER = 57,
    IPC_EVENT_CHANADD_MODE = 58,
    IPC_EVENT_REBOOT = 59,
};

// Values of event 56 (upload or factory-picture restore result, 32-bit). Pages treat any
// value but 0 as a failure.
enum IpcUploadResult : int {
    IPC_UPLOAD_OK = 0,              // accepted (the recorder's positive verdict)
    IPC_UPLOAD_FILE_NOT_FOUND = 1,  // the local file could not be opened
    IPC_UPLOAD_NO_FILE_NAME = 2,
    IPC_UPLOAD_NO_MEMORY = 3,
    IPC_UPLOAD_READ_ERROR = 4,    // the local file could not be read
    IPC_UPLOAD_REFUSED = 5,       // the recorder refused the upload or rejected its data
    IPC_UPLOAD_LINK_FAILED = 6,   // our own stream failed: send error, stall past the silence
                                  // window, or a logout in the middle; the link is dropped
    IPC_UPLOAD_FILE_CHANGED = 7,  // the local file ended before the announced length or grew
                                  // past it while it was sent: the stream stopped without its
                                  // closing frame and the link is dropped
};

// Why a login failed, as the entry knows it when its login emits event 2 or 5. Read it with
// ipc_login_problem inside the event callback: the entry's next attempt overwrites it.
enum IpcLoginProblem : int {
    IPC_LOGIN_PROBLEM_NONE = 0,  // logged in, or the event is not a login's (a lost link)
    IPC_LOGIN_CONNECT_FAILED = 1,
    IPC_LOGIN_NO_ANSWER = 2,   // the recorder took the connection but sent no answer in time
    IPC_LOGIN_BAD_ANSWER = 3,  // its answer was no valid frame or message
    IPC_LOGIN_CLOSED = 4,      // it closed the connection before answering (e.g. rebooting)
    IPC_LOGIN_REFUSED = 5,     // it refused the account
};

// Results that say more than "done" (0), "refused" (-1) or "not written" (-4): the upload
// stream's own (-1 to -5, which event 56 reports as IpcUploadResult) and the sentinels of single
// requests, chosen far from any byte count or small error.
enum IpcResult : int {
    IPC_RESULT_OK = 0,
    IPC_STREAM_FILE_NOT_FOUND = -1,  // the announced local file could not be opened
    IPC_STREAM_NO_FILE_NAME = -2,
    IPC_STREAM_NO_MEMORY = -3,
    IPC_STREAM_READ_ERROR = -4,             // the local file could not be read
    IPC_STREAM_LINK_FAILED = -5,            // our stream failed: the link is dropped
    IPC_STREAM_FILE_CHANGED = -6,           // the file's length changed while it was sent
    IPC_RESULT_FILE_NOT_FOUND = -8999982,   // ipc_file_upload: the local file cannot be opened
    IPC_RESULT_PTZ_UNSUPPORTED = -8999983,  // a PTZ command number the operation does not know
    IPC_RESULT_PTZ_BAD_PRESET = -8999992,   // a preset number outside 0 to 255
};

// What a result means, in a few words; "unknown result" for a value outside IpcResult.
const char* ipc_result_text(IpcResult result);

// Kinds of the auxiliary-data callback.
enum IpcAuxKind : int {
    IPC_AUX_AUDIO = 0,     // info is an IpcMediaInfo
    IPC_AUX_RESPONSE = 2,  // a response body element; info is an AuxDataInfo
    IPC_AUX_ALARM = 3,     // AlarmRecord array, count * 1072 bytes; info is an AuxDataInfo
};

// Both run on the link thread; data and info are valid only during the call; results are
// ignored. A callback may call ipc_logout for its own entry: that does not wait for the thread.
using IpcEventCallback = int (*)(int chanid, int code, const void* data, int len);
using IpcAuxDataCallback = int (*)(int chanid, int kind, const void* data, int len, const void* info);

struct AuxDataInfo {
    char msgtype[32];  // the message type, at most 32 characters (may hold no terminator)
    int code;
    int flag;
    void* userdata;
};

struct IpcMediaInfo {
    int32_t type;      // byte 13 of the media header
    double timestamp;  // the media header's first 32-bit field, unsigned
    void* userdata;
};

struct IpcLoginParam {
    int chanid;
    char address[16];  // at most 15 characters
    uint16_t port;
    int autoreconnect;  // 1: reconnect after every loss until logout
    IpcEventCallback evcb;
    IpcAuxDataCallback auxcb;
    void* userdata;
    char username[32];  // at most 31 characters
    char password[41];  // at most 40 characters
};

constexpr int kIpcMaxLinks = 64;

// Allocates the table once per process; a second call keeps the table and its links. 1 or -1.
int ipc_init();
// Logs out every entry, waits for their threads and frees the table. 1.
int ipc_deinit();

// Starts the link thread of param->chanid; the outcome arrives as event 4, 5 or 2. 1, or -1
// for bad parameters, an entry in use or an entry whose thread still runs.
int ipc_login_delay(const IpcLoginParam* param);
// Asks the entry's thread to end; for an auto-reconnect entry waits for it (event 32) and
// clears the entry, unless called from that very thread. 1, or -1 for a bad chanid.
int ipc_logout(int chanid);
// Ends every link, waits for all their threads, clears the table. 1.
int ipc_logout_all();
// A logout lets a device that is still taking in queued bytes (the end of an upload) have
// them before the connection closes, for as long as it keeps reading. An abort does not wait:
// the connection is reset and whatever is queued is dropped — for a sequence given up on
// (time-out, failure) and wherever the caller must not wait. Same results as the logouts.
int ipc_logout_abort(int chanid);
int ipc_logout_all_abort();

// Sends a request with the numeric code and flag "0"; a null body gives the body-less form.
// Bytes written (header included), 0 when the socket could not take it right now, or -1.
int ipcsendmsg(const char* body, int chanid, const char* type, int code);

// The user pointer registered at login, or null (with a log line for a bad chanid).
void* ipc_getuserdata(int chanid);

// The entry's IpcLoginProblem (IPC_LOGIN_PROBLEM_NONE for a bad chanid or no table).
int ipc_login_problem(int chanid);

// Step lines of the link thread for this entry (diagnostics). 1 or -1.
int ipc_set_showtime(int chanid, int flag);

// Chanid range check shared by every operation that takes one: logs
// "<name> fail, chanid:%d, max:%d" and returns false for a bad chanid or a missing table.
bool ipc_check_chanid(const char* name, int chanid);

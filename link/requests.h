// Control and configuration requests of the device link: one small operation per device
// command. Each checks its arguments, formats the request body and writes one frame on the
// entry's link; the device's answer arrives later through the link callbacks (events or
// auxiliary-data deliveries). Nothing here waits for an answer.
//
// Results, unless said otherwise: 0 when the request was written, -4 when it was not (bad
// chanid, no link, socket not writable), -1 for a refused argument (nothing is sent). Every
// failure writes one diagnostic line. Talk requests and the operations noted below return the
// raw send result instead: bytes written (frame header included), 0 when the socket could not
// take the frame right now, or a negative value.
#pragma once

#include "link/link.h"

#include <cstdint>

// ---- SYSTEM_CONTROL_MESSAGE ------------------------------------------------------------------

// Codes of the control requests; a device's answer carries the code of its request.
enum IpcControlCode : int {
    IPC_CODE_REQUEST_1002 = 1002,  // parameterless; nothing here reads its answer
    IPC_CODE_RESTORE_PICTURE = 1004,
    IPC_CODE_CHANADD_MODE = 1006,
    IPC_CODE_REBOOT = 1007,
    IPC_CODE_ANSWER_1009 = 1009,  // never requested here; its answer is taken without an event
    IPC_CODE_FORMAT_DISK = 1017,
    IPC_CODE_UPLOAD = 1022,  // announcement, acceptance and verdict of an upload (link/transfer.h)
    IPC_CODE_DOWNLOAD = 1023,
    IPC_CODE_FILE_REMOVE = 1024,
    IPC_CODE_REQUEST_1025 = 1025,
    IPC_CODE_REQUEST_1031 = 1031,
    IPC_CODE_CREATE_IFRAME = 1032,
    IPC_CODE_USER_DATA = 1033,
    IPC_CODE_REQUEST_1034 = 1034,
    IPC_CODE_BUZZER = 3026,
};

// Any control code with the caller's body (null: the body-less envelope).
int ipc_sys_Control(int chanid, int code, const char* body);
// Code 1004: restore a factory picture (file type 4: channel picture, 5: shutdown picture).
// The answer is event 56 (0 or 5).
int ipc_sys_RestorePicture(int chanid, long filetype);
// Code 1006: control enable 0 (the recorder's users may not change the channel configuration)
// or 1, channel-add mode 0 to 4; -1 out of range. The answer is event 58.
int ipc_sys_SetChnAddDefMode(int chanid, int ctrl_enable, int chn_add_cfg);
// Code 1007. The answer is event 59.
int ipc_sys_Reboot(int chanid);
// Code 1017: disk 0 "sd1", 1 "sd2", 2 "usb"; -1 for another disk or a bad chanid.
int ipc_sys_FormatDisk(int chanid, int disk);
// Code 1032: an I-frame on stream 0 or 1 of camera 0; -1 for another stream or a bad chanid.
int ipc_sys_CreateIFrame(int chanid, int stream);
// Code 3026. The answer is event 57.
int ipc_sys_SetBuzzerEnable(int chanid, int enable);
// Codes 1002, 1025, 1031 and 1034 without parameters (empty body). 1034 returns the raw
// send result.
int ipc_sys_Request1002(int chanid);
int ipc_sys_Request1025(int chanid);
int ipc_sys_Request1031(int chanid);
int ipc_sys_Request1034(int chanid);
// Code 1033 with the bytes as lower-case hexadecimal in REQUEST_PARAM UserDevData. Raw send
// result, or -1 for a null pointer, a length below 1 or too large, a bad chanid or no link.
int ipc_userdata_set(const void* data, int len, int chanid);

// ---- configuration -----------------------------------------------------------------------------

// SYSTEM_CONFIG_GET_MESSAGE with the caller's code and body.
int ipc_config_get(int chanid, int code, const char* body);
// SYSTEM_CONFIG_SET_MESSAGE code 325 with the caller's body.
int ipc_config_set(int chanid, const char* body);

// LAN settings sent by ipc_set_netconfig. Text fields are NUL-padded and may fill their whole
// width without a terminator.
struct IpcLanSettings {
    char MacAddress[256];
    int32_t DHCP;
    char IPAddress[256];
    char Netmask[256];
    char Gateway[256];
    char DNS1[256];
    char DNS2[256];
};

// SYSTEM_CONFIG_SET_MESSAGE code 325 with a LANConfig element; -1 for a null record or a bad
// chanid.
int ipc_set_netconfig(int chanid, const IpcLanSettings* cfg);

// ---- PTZ (raw send result; -1 for a bad chanid) -------------------------------------------------

// Command numbers of ipc_ptz_PTZControl.
enum IpcPtzCommand : int {
    IPC_PTZ_ZOOM_TELE = 11,
    IPC_PTZ_ZOOM_WIDE = 12,
    IPC_PTZ_FOCUS_NEAR = 13,
    IPC_PTZ_FOCUS_FAR = 14,
    IPC_PTZ_IRIS_OPEN = 15,
    IPC_PTZ_IRIS_CLOSE = 16,
    IPC_PTZ_UP = 17,
    IPC_PTZ_DOWN = 18,
    IPC_PTZ_LEFT = 19,
    IPC_PTZ_RIGHT = 20,
    IPC_PTZ_LEFT_UP = 21,
    IPC_PTZ_RIGHT_UP = 22,
    IPC_PTZ_LEFT_DOWN = 23,
    IPC_PTZ_RIGHT_DOWN = 24,
    IPC_PTZ_PAN_AUTO = 25,  // refused with -1
    IPC_PTZ_STOP = 26,
    // ipc_ptz_PTZPreset
    IPC_PTZ_SET_PRESET = 8,
    IPC_PTZ_CLEAR_PRESET = 9,
    IPC_PTZ_CALL_PRESET = 39,
};

// Longest PTZ pass-through, counted as its hexadecimal text with terminator.
constexpr int kIpcPtzTransMaxText = 1244;

// IPC_RESULT_PTZ_UNSUPPORTED for a command number the operation does not know.
int ipc_ptz_PTZControl(int chanid, int cmd, int panspeed, int tiltspeed);
// IPC_RESULT_PTZ_UNSUPPORTED as above, IPC_RESULT_PTZ_BAD_PRESET for a preset outside 0 to 255.
int ipc_ptz_PTZPreset(int chanid, int cmd, int preset);
// Asks for the preset list.
int ipc_ptz_PTZControlEx(int chanid);
// Passes bytes through to the camera's PTZ port (upper-case hexadecimal on the wire); -1 for
// a null pointer, a count below 1 or above 621.
int ipc_ptz_PTZTrans(int chanid, const void* data, int count);

// ---- talk (reverse audio) -----------------------------------------------------------------------
//
// One program-wide talk state: either a single talk channel or a broadcast to member
// entries. The answers come back as events 6/7 (start), 8/9 (stop) and 35/36/37 (refusals).

// Stops a running single talk first; -1 while broadcasting or for a bad chanid.
int ipc_talk_start(int chanid);
// Sends the stop request; ends the single talk when it runs on this chanid.
int ipc_talk_stop(int chanid);
// Starts talk on one more broadcast member; the entry joins once the request was written.
int ipc_talkbroad_add(int chanid);
// Takes the entry out of the broadcast and sends the stop request.
int ipc_talkbroad_remove(int chanid);
// Ends a single talk and adds every logged-in entry that is not yet a member. 1.
int ipc_talkbroad_start();
// Removes every member (stop requests to those logged in) and ends the broadcast. 1.
int ipc_talkbroad_stop();
// One block of audio (1 to 65535 bytes) as a media frame to every broadcast member, or to the
// single talk channel when it is logged in. 1, or -1 for bad arguments, no talk channel or no
// memory.
int ipc_talk_mediasend(const void* data, int len);

// The single talk channel, -1 when none (diagnostics and tests).
int ipc_talk_channel();
// Whether a broadcast runs, and whether chanid is one of its members.
bool ipc_talk_broadcasting();
bool ipc_talk_member(int chanid);

// ---- replay -------------------------------------------------------------------------------------

// REPLAY_CONTROL_MESSAGE code 0 for the file from its start. The raw send result; -1 for a
// null name or a bad chanid.
int ipc_play_ControlPlay(int chanid, const char* filename);

// ---- diagnostics --------------------------------------------------------------------------------

// Step lines of the link thread for this entry. 1 or -1.
int ipc_set_showtime(int chanid, int flag);

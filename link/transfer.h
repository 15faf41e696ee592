// File transfer over a device link: uploads (pictures, firmware, configuration files, the
// built-in boot picture from memory), the configuration download and file removal.
//
// An upload is only announced here (SYSTEM_CONTROL_MESSAGE 1022); once the device accepts it
// the entry's link thread streams the data, reports progress as event 50 (5, 10, ... 100) and
// the outcome as event 56 (IpcUploadResult in link/link.h: 0 success, 1 file not found, 2 no
// file name, 3 out of memory, 4 local read error, 5 refused by the device, 6 our own stream
// failed and the link was dropped). A download ends with event 16 or 17 (a DataLen of 0 or
// below is the device's end of file). Every function may be called from any thread.
#pragma once

#include "link/link.h"

// FileType values of an upload.
enum IpcFileType : int {
    IPC_FILE_CONFIG = 0,  // device configuration (XML)
    IPC_FILE_FIRMWARE = 1,
    IPC_FILE_BOOT_PICTURE = 3,
    IPC_FILE_CHANNEL_PICTURE = 4,
    IPC_FILE_SHUTDOWN_PICTURE = 5,
};

// The name an in-memory upload is announced under.
inline constexpr const char* kResourceStartPic = "RESOURCE_STARTPIC";
// The only file the device serves for download.
inline constexpr const char* kRemoteConfigPath = "/mnt/nand/config.xml";

// Announces the upload of a local file. Bytes written by the request, 0 when the socket could
// not take it right now, -1 for a null path / bad chanid / no login, IPC_RESULT_FILE_NOT_FOUND
// (link/link.h) when the local file cannot be opened.
// An upload still pending on the entry is dropped (its file closed) in favour of this one.
int ipc_file_upload(int chanid, int filetype, const char* path);

// Announces a memory block as boot picture (file type 3, "RESOURCE_STARTPIC"). The block must
// stay valid until event 56 reports the stream's end. Results as ipc_file_upload.
int ipc_file_upload_resource(int chanid, const void* data, int length);

// ipc_file_upload with file type 1: 0 when the announcement was written, -4 otherwise.
int ipc_upload_firmware(int chanid, const char* path);

// Checks that the file is a device configuration (NetworkConfig/LANConfig and
// MediaConfig/Video/Capture) and uploads it as file type 0. -1 unloadable, -2 no root,
// -3 no LAN configuration, -4 no capture configuration; else the ipc_file_upload result.
int ipc_config_upload(int chanid, const char* path);

// Downloads "/mnt/nand/config.xml" into the local path, which is truncated first. The result
// of the request (bytes written, 0 or -1); -1 for a null path, a bad chanid, an entry without
// login (the local file is then left untouched) or a local file that cannot be created.
int ipc_file_download(int chanid, const char* localpath);

// ipc_file_download into "<folder>/config.xml".
int ipc_config_download(int chanid, const char* folder);

// Asks the device to delete a file (code 1024). The request's result, or -1.
int ipc_file_remove(int chanid, const char* remotepath);

// The inbound message handler: validates the envelope, dispatches on type and code, and turns
// each answer into an event, an auxiliary-data delivery or a file operation.
#include "link/context.h"
#include "proto/envelope.h"
#include "link/frame_io.h"
#include "link/requests.h"
#include "proto/xml_util.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Event texts; the longest is a download result with both paths.
constexpr int kEventTextSize = 2048;

bool eq(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

void emit_text(IpcLinkContext* ipc, int code, const char* text)
{
    ipc->evcb(ipc->chanid, code, text, static_cast<int>(std::strlen(text)));
}

constexpr int kMediaHeaderSize = 20;

// MEDIA_DATA_MESSAGE code 3: text, 4 zero bytes, the 20-byte media header, the payload.
void deal_audio(const char* text, IpcLinkContext* ipc, int len)
{
    if (!ipc->auxcb)
        return;
    int text_len = static_cast<int>(std::strlen(text));
    int effect = len - text_len - 4 - kMediaHeaderSize;
    if (effect < 0) {
        // A frame too short to hold the media header.
        log_print(" error:payload_size(%d), effect len(%d)\n", -1, effect);
        return;
    }
    const unsigned char* mh = reinterpret_cast<const unsigned char*>(text) + text_len + 4;
    int payload_size = mh[10] | mh[11] << 8;
    if (payload_size != effect) {
        log_print(" error:payload_size(%d), effect len(%d)\n", payload_size, effect);
        return;
    }
    IpcMediaInfo info{};
    info.type = mh[13];
    info.timestamp = static_cast<double>(frame_le32(mh));
    info.userdata = ipc->userdata.load();
    ipc->auxcb(ipc->chanid, IPC_AUX_AUDIO, mh + kMediaHeaderSize, effect, &info);
}

void deal_talk_start(const char* text, IpcLinkContext* ipc, const char* flagtext, int flag)
{
    char buf[kEventTextSize];
    std::string address = fixed_str(ipc->address);
    if (flag != 0) {
        if (flag == -1) {
            std::snprintf(buf, sizeof buf, "%s StartAudio not allowed,for device is busy!", address.c_str());
            emit_text(ipc, IPC_EVENT_TALK_BUSY, buf);
            ipc_talk_stop(ipc->chanid);
        } else if (flag == -2) {
            std::snprintf(buf, sizeof buf, "%s StartAudio not allowed for audio param error!", address.c_str());
            emit_text(ipc, IPC_EVENT_TALK_PARAM, buf);
        } else if (flag == -3) {
            std::snprintf(buf, sizeof buf, "%s StartAudio not allow for device's audio disabled!", address.c_str());
            emit_text(ipc, IPC_EVENT_TALK_DISABLED, buf);
        }
        (void)flagtext;
        ipc->evcb(ipc->chanid, IPC_EVENT_TALK_FAIL, "", 0);
        return;
    }
    AudioStartInfo info{};
    if (GetAudioStartResponse(text, info) != 0) {
        std::snprintf(buf, sizeof buf, "%s: startaudio ERROR,get audio param error!", address.c_str());
        log_print("%s\n", buf);
        emit_text(ipc, IPC_EVENT_TALK_FAIL, buf);
        return;
    }
    std::snprintf(buf, sizeof buf,
                  "StartAudio OK, recv port=%d, audiotype=%d, samplerate=%d, bits=%d, channels=%d,use same port=%d",
                  info.recv_port, info.audio_type, info.samplerate, info.bits, info.channels, info.connection_type);
    log_print("%s\n", buf);
    emit_text(ipc, IPC_EVENT_TALK_OK, buf);
}

void deal_talk_stop(IpcLinkContext* ipc, const char* flagtext, int flag)
{
    char buf[kEventTextSize];
    std::string address = fixed_str(ipc->address);
    if (flag == 0) {
        std::snprintf(buf, sizeof buf, "%s Stop audio OK!", address.c_str());
        log_print("%s\n", buf);
        emit_text(ipc, IPC_EVENT_TALK_STOP_OK, buf);
    } else {
        std::snprintf(buf, sizeof buf, "%s Stop audio error,flag=%s!", address.c_str(), flagtext);
        log_print("%s\n", buf);
        emit_text(ipc, IPC_EVENT_TALK_STOP_FAIL, buf);
    }
}

void deal_ptz(const char* text, IpcLinkContext* ipc, const char* codetext, long code, const char* flagtext, int flag)
{
    char buf[kEventTextSize];
    std::string address = fixed_str(ipc->address);
    if (flag != 0) {
        std::snprintf(buf, sizeof buf, "%s: ERR %s: PTZ control command failed!", address.c_str(), flagtext);
        log_print("%s\n", buf);
        emit_text(ipc, IPC_EVENT_PTZ_FAIL, buf);
        return;
    }
    std::snprintf(buf, sizeof buf, "%s: send PTZ control command ok!", address.c_str());
    log_print("%s\n", buf);
    emit_text(ipc, IPC_EVENT_PTZ_OK, buf);
    int event = eq(codetext, "PTZ_CMD") ? IPC_EVENT_PTZ_ANSWER : static_cast<int>(code & 0xFFFFFF);
    std::string body;
    if (GetMessageBody(text, body) == 0) {
        log_print("PTZ_CONTROL_MESSAGE, code(%s), msgbody=%s\n", codetext, body.c_str());
        ipc->evcb(ipc->chanid, event, body.c_str(), static_cast<int>(body.size()));
    } else {
        ipc->evcb(ipc->chanid, event, "", 0);
    }
}

void deal_alarm(const char* text, IpcLinkContext* ipc, const char* type)
{
    std::vector<AlarmRecord> records;
    int count = GetAlarmReport(text, records);
    if (!ipc->auxcb)
        return;
    AuxDataInfo info{};
    fixed_copy(info.msgtype, type);
    info.code = 0;
    info.flag = 0;
    info.userdata = ipc->userdata.load();
    int len = count > 0 ? count * static_cast<int>(sizeof(AlarmRecord)) : count;
    ipc->auxcb(ipc->chanid, IPC_AUX_ALARM, count > 0 ? records.data() : nullptr, len, &info);
}

}  // namespace

int ipc_upload_result_to_event(int result)
{
    switch (result) {
    case IPC_STREAM_FILE_NOT_FOUND: return IPC_UPLOAD_FILE_NOT_FOUND;
    case IPC_STREAM_NO_FILE_NAME: return IPC_UPLOAD_NO_FILE_NAME;
    case IPC_STREAM_NO_MEMORY: return IPC_UPLOAD_NO_MEMORY;
    case IPC_STREAM_READ_ERROR: return IPC_UPLOAD_READ_ERROR;
    case IPC_STREAM_LINK_FAILED: return IPC_UPLOAD_LINK_FAILED;  // our stream failed: the device does not have the file
    case IPC_STREAM_FILE_CHANGED: return IPC_UPLOAD_FILE_CHANGED;
    default: return IPC_UPLOAD_OK;
    }
}

// Every value has its case and there is no default: a new result without a text is a warning.
const char* ipc_result_text(IpcResult result)
{
    switch (result) {
    case IPC_RESULT_OK: return "done";
    case IPC_STREAM_FILE_NOT_FOUND: return "the local file was not found";
    case IPC_STREAM_NO_FILE_NAME: return "no local file name";
    case IPC_STREAM_NO_MEMORY: return "out of memory";
    case IPC_STREAM_READ_ERROR: return "the local file could not be read";
    case IPC_STREAM_LINK_FAILED: return "the link failed while sending";
    case IPC_STREAM_FILE_CHANGED: return "the file changed while it was sent";
    case IPC_RESULT_FILE_NOT_FOUND: return "the local file cannot be opened";
    case IPC_RESULT_PTZ_UNSUPPORTED: return "unsupported PTZ command";
    case IPC_RESULT_PTZ_BAD_PRESET: return "PTZ preset outside 0 to 255";
    }
    return "unknown result";
}

int ipcdealresponse(const char* body, const char* type, IpcLinkContext* ipc, int code, int flag)
{
    if (!ipc || !ipc->evcb || !type || !body) {
        log_print("input invalid ipc:%p ipc->evcb:%p msgtype:%p msgbody:%p\n", static_cast<void*>(ipc),
                  ipc ? reinterpret_cast<void*>(ipc->evcb) : nullptr, static_cast<const void*>(type),
                  static_cast<const void*>(body));
        return -1;
    }
    if (eq(type, "SYSTEM_CONTROL_MESSAGE")) {
        switch (code) {
        case IPC_CODE_RESTORE_PICTURE:
            ipc_event_int(ipc, IPC_EVENT_UPLOAD_RESULT, flag != 0 ? IPC_UPLOAD_REFUSED : IPC_UPLOAD_OK);
            return 1;
        case IPC_CODE_CHANADD_MODE: ipc_event_int(ipc, IPC_EVENT_CHANADD_MODE, flag); return 1;
        case IPC_CODE_REBOOT: ipc_event_int(ipc, IPC_EVENT_REBOOT, flag); return 1;
        case IPC_CODE_ANSWER_1009:
        case IPC_CODE_DOWNLOAD:
        case IPC_CODE_FILE_REMOVE: return 1;
        case IPC_CODE_UPLOAD: ipc_upload_answer(ipc, flag); return 1;
        case IPC_CODE_BUZZER: ipc_event_int(ipc, IPC_EVENT_BUZZER, flag); return 1;
        default: break;
        }
    }
    if (ipc->auxcb) {
        AuxDataInfo info{};
        fixed_copy(info.msgtype, type);
        info.code = code;
        info.flag = flag;
        info.userdata = ipc->userdata.load();
        ipc->auxcb(ipc->chanid, IPC_AUX_RESPONSE, body, static_cast<int>(std::strlen(body)), &info);
    }
    return 1;
}

int ipcdealmsg(const char* text, IpcLinkContext* ipc, int len)
{
    if (!ipc || !ipc->evcb || !text) {
        console_text("####ERROR ipcdealmsg error, input invalid\n");
        return -1;
    }
    char type[kMsgFieldSize], codetext[kMsgFieldSize], flagtext[kMsgFieldSize];
    int r = GetMessageHeader(text, type, codetext, flagtext);
    if (r < 0) {
        log_print("GetMessageHeader(%d) failed, bad msg!\n", r);
        log_print("bad msg\n%s\n==========\n", ipc_log_text(text).c_str());
        return -1;
    }
    // GetMessageHeader has parsed the same text already, so it is well-formed here.
    if ((eq(type, "MVK_HEARTBEAT_MESSAGE") || eq(type, "AUXPTZ_HEARTBEAT_MESSAGE")) && eq(codetext, "CMD_HEARTBEAT"))
        return 1;
    log_print("recv chan[%d] msg,type[%s][%s],len[%d]\n", ipc->chanid, type, codetext, len);

    long code = link_xml::to_long32(codetext);
    int flag = link_xml::to_long32(flagtext);

    if (eq(type, "USER_AUTH_MESSAGE")) {
        if (!eq(codetext, "CMD_USER_AUTH")) {
            log_print("USER_AUTH_MESSAGE:no deal msg code:%s\n", codetext);
            return -1;
        }
        if (flag != 0) {
            ipc->login_problem.store(IPC_LOGIN_REFUSED);
            return -1;
        }
        char session[kSessionIdSize] = {};
        GetUserAuthResponse(text, session);
        {
            // The talk requests read it from other threads.
            std::lock_guard<std::mutex> lk(ipc_lock(ipc));
            fixed_copy(ipc->sessionid, session);
        }
        return 1;
    }
    if (eq(type, "MEDIA_DATA_MESSAGE")) {
        if (code == 1)
            log_print("not allow type 1 (upload data) from ipc");
        else if (code == 2)
            return ipcdownloadwrite(ipc, text, len);
        else if (code == 3)
            deal_audio(text, ipc, len);
        return 1;
    }
    if (eq(type, "REPLAY_CONTROL_MESSAGE"))
        return 1;
    if (eq(type, "REVERSE_AUDIO_MESSAGE")) {
        if (eq(codetext, "CMD_RA_START"))
            deal_talk_start(text, ipc, flagtext, flag);
        else if (eq(codetext, "CMD_RA_STOP"))
            deal_talk_stop(ipc, flagtext, flag);
        return 1;
    }
    if (eq(type, "PTZ_CONTROL_MESSAGE")) {
        deal_ptz(text, ipc, codetext, code, flagtext, flag);
        return 1;
    }
    if (eq(type, "ALARM_REPORT_MESSAGE")) {
        if (eq(codetext, "CMD_REPORT_ALARM"))
            deal_alarm(text, ipc, type);
        return 1;
    }
    if (eq(type, "SYSTEM_CONTROL_MESSAGE")) {
        std::string body;
        if (GetMessageBodyElement(text, body) == 0)
            ipcdealresponse(body.c_str(), type, ipc, static_cast<int>(code), flag);
        else
            log_print("[%d]get msgbody error:%s\n", __LINE__, text);
        return 1;
    }
    if (eq(type, "SYSTEM_CONFIG_GET_MESSAGE") || eq(type, "SYSTEM_CONFIG_SET_MESSAGE")) {
        std::string body;
        if (GetMessageBodyElement(text, body) == 0)
            ipcdealresponse(body.c_str(), type, ipc, static_cast<int>(code), flag);
        else
            log_print("[%d]get msgbody error\n", __LINE__);
        return 1;
    }
    log_print("[%d]msg is not yet supported by far:%s \n", __LINE__, ipc_log_text(text).c_str());
    return 1;
}

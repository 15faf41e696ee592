// The message envelope every control-link message and search datagram travels in: the
// builders (long form for the link's requests, compact form for the string builders and the
// talk data), the header reader, the body extractors, the typed readers the link consumes,
// the device description readers applied to search answers and the request-parameter readers.
//
// Readers take NUL-terminated texts, never throw, and report failures as negative results with
// one diagnostic line through the link log (util/log.h). Device bytes (GB2312) pass through
// unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

// Msg_type, Msg_code and Msg_flag are each read into a buffer of this size, so a value has at
// most 31 characters; longer values are refused (GetMessageHeader returns -1).
constexpr int kMsgFieldSize = 32;
// Sessionid of the login answer, at most 63 characters plus a terminator.
constexpr int kSessionIdSize = 64;
constexpr int kAlarmDataSize = 1024;

// ---- builders -----------------------------------------------------------------------------

// Long form (the link's requests): declaration, line feed, header with one attribute per line,
// then either the body between the body tags on lines of its own, or, for a null body, the two
// body tags on consecutive lines. No trailing line feed. Replaces out; returns its length.
int BuildLongMessage(std::string& out, const char* type, const char* code, const char* flag, const char* body);

// Compact form. A null or empty body gives "<MESSAGE_BODY/>". Replaces out; returns its length.
int BuildMessage(std::string& out, const char* type, const char* code, const char* flag, const char* body);
// The code formatted with "%ld".
int BuildMessageWithCode(std::string& out, const char* type, long code, const char* flag, const char* body);

// Compact REVERSE_AUDIO_MESSAGE / CMD_RA_DATA envelope into out; writes at most cap - 1
// characters plus a terminator and returns the number of characters written.
int BuildAudioDataHeader(char* out, size_t cap, const char* body);
// The envelope with body RA_DATA_PARAM DataLength=n, followed directly by the n audio bytes.
// Returns text length + n, or -1 (nothing usable written) when text and audio do not both fit
// in cap, so a talk frame never announces bytes it does not carry.
int BuildAudioDataMessage(char* out, size_t cap, const uint8_t* audio, int n);

// ---- header and body ------------------------------------------------------------------------

// Fills the three buffers (each emptied first). 0; -1 not an envelope / refused alarm report /
// a value of 32 characters or more; -2 no root or no MESSAGE_HEADER; -4 unparsable with a body;
// -5 empty type; -6 empty code; -7 empty flag.
int GetMessageHeader(const char* text, char (&type)[kMsgFieldSize], char (&code)[kMsgFieldSize],
                     char (&flag)[kMsgFieldSize]);
// The same, keeping the parsed document in doc so that further readers of the same message
// (the device description readers below) need no parse of their own.
int GetMessageHeaderDoc(const char* text, TiXmlDocument& doc, char (&type)[kMsgFieldSize], char (&code)[kMsgFieldSize],
                        char (&flag)[kMsgFieldSize]);

// Text strictly between the first "<MESSAGE_BODY>" and the first "</MESSAGE_BODY>" after it.
// 0, or -1 when either tag is missing (out untouched).
int GetMessageBody(const char* text, std::string& out);
// From the start of the first "<MESSAGE_BODY>" to the end of the following "</MESSAGE_BODY>".
int GetMessageBodyElement(const char* text, std::string& out);

// ---- typed readers --------------------------------------------------------------------------

// Sessionid of USER_AUTH_RESPONSE into a 64-byte buffer. 0; -4 unparsable; -2 no root or no
// USER_AUTH_RESPONSE; -1 a Sessionid of 64 characters or more (the buffer is left empty).
int GetUserAuthResponse(const char* text, char (&sessionid)[kSessionIdSize]);

// One alarm, 1072 bytes, layout as on the wire of the auxiliary-data callback.
struct AlarmRecord {
    int32_t Year;
    int32_t Month;
    int32_t Day;
    int32_t WDay;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t Alarm_code;
    int32_t Alarm_flag;
    int32_t Alarm_level;
    uint64_t Alarm_absTime;
    char Alarm_data[kAlarmDataSize];  // always terminated: longer values are cut to 1023 bytes
};
static_assert(sizeof(AlarmRecord) == 1072, "AlarmRecord is 1072 bytes");

// One record per ALARM_ITEM, zero-filled first, in document order. Returns the count; -4
// unparsable; -2 no root or no ALARM_REPORT_PARAM; -1 no ALARM_ITEM.
// At most this many items of one report are read.
constexpr size_t kMaxAlarmItems = 4096;
int GetAlarmReport(const char* text, std::vector<AlarmRecord>& out);

struct AudioStartInfo {
    int recv_port;        // RTPRecvPort; left as the caller had it when absent
    int audio_type;       // 1 when AudioCodec contains "AAC", else 0
    int samplerate;       // default 8000
    int bits;             // default 16
    int channels;         // default 1
    int connection_type;  // default 0
};

// Reads RA_START_RESPONSE. 0; -4; -2.
int GetAudioStartResponse(const char* text, AudioStartInfo& info);

// StartPos and DataLen of POS (start -1, length 0 until read). 0; -4; -2.
int GetPosParam(const char* text, int32_t& start, int32_t& length);
// FileType, FilePath (terminated, cut to path_size - 1) and FileLength of the root element.
int GetFileParam(const char* text, int& type, char* path, size_t path_size, int& length);
// Port, Type and FileLength of the root element, all 0 until read.
int GetPortParam(const char* text, uint16_t& port, int& type, int& length);

// ---- request-parameter readers ---------------------------------------------------------------

// Value of attribute of element (below MESSAGE_BODY when the root has one), or nothing.
std::optional<std::string> GetRequestParamValue(const TiXmlDocument& doc, const char* element, const char* attribute);
std::optional<std::string> GetRequestParamValueByXml(const char* text, const char* element, const char* attribute);
// Copies the value into out (at most len characters; no terminator when the value has exactly
// len characters, so pass a zeroed buffer of len + 1). 0; -1 value longer than len;
// -2 no root or no element; -4 no such attribute.
int GetRequestParamByDoc(const TiXmlDocument& doc, const char* element, const char* attribute, char* out, int len);

// ---- device description records and readers ---------------------------------------------------

struct DeviceId {
    char SerialNumber[32];
    char DeviceType[32];
};

struct LanCfg {
    char MacAddress[256];
    int32_t DHCP;
    char IPAddress[256];
    char Netmask[256];
    char Gateway[256];
    char DNS1[256];
    char DNS2[256];
};

struct MediaStreamCfg {
    int32_t Auth;
    int32_t VideoPort;
    int32_t RTPOverRTSP;
    int32_t PTZPort;
    int32_t WEBPort;
};

struct UserAccount {
    char Username[40];
    char Password[40];
    char Group[32];
    char Status[8];
};

constexpr int kMaxUserAccounts = 40;

struct UserCfg {
    int32_t count;
    UserAccount accounts[kMaxUserAccounts];
};

// Text fields are filled with fixed_copy (a value of the full width has no terminator); read
// them with fixed_view.
int GetDeviceIdByXml(const char* text, DeviceId& id);
int GetLANCfgByXml(const char* text, LanCfg& cfg);
int GetMediaStreamCfgByXml(const char* text, MediaStreamCfg& cfg);
int GetUserCfgByXml(const char* text, UserCfg& cfg);
// The same readers on a document GetMessageHeaderDoc parsed from text (text is what the
// envelope checks and log lines look at): same results and lines as the text readers.
int GetDeviceIdByDoc(const char* text, const TiXmlDocument& doc, DeviceId& id);
int GetLANCfgByDoc(const TiXmlDocument& doc, LanCfg& cfg);
int GetMediaStreamCfgByDoc(const TiXmlDocument& doc, MediaStreamCfg& cfg);
int GetUserCfgByDoc(const TiXmlDocument& doc, UserCfg& cfg);

// The body elements those readers look at, each the first of its name (null when missing),
// found in one walk of the body instead of one walk per element.
struct DeviceDescElements {
    const TiXmlElement* serial = nullptr;  // IPC_SERIALNUMBER
    const TiXmlElement* type = nullptr;    // DEVICE_TYPE
    const TiXmlElement* lan = nullptr;     // LANConfig
    const TiXmlElement* stream = nullptr;  // MediaStreamConfig
    const TiXmlElement* users = nullptr;   // UserConfig
};
void FindDeviceDescElements(const TiXmlDocument& doc, DeviceDescElements& out);
// The readers on elements found in a document GetMessageHeaderDoc accepted (its envelope checks
// are the device id reader's own): same results and lines as the ...ByDoc readers.
int GetDeviceIdByElements(const DeviceDescElements& elements, DeviceId& id);
int GetLANCfgByElement(const TiXmlElement* e, LanCfg& cfg);
int GetMediaStreamCfgByElement(const TiXmlElement* e, MediaStreamCfg& cfg);
int GetUserCfgByElement(const TiXmlElement* e, UserCfg& cfg);

// Device type assumed when a search answer names none.
inline constexpr const char* kDefaultDeviceType = "ZIZ-UD355";

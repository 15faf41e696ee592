// Readers of device configuration documents: encoding configuration and parameters, user
// accounts, live-stream parameters, vendor id, single attributes, and the video capability
// lists. Each takes a NUL-terminated text, builds its own document, fills a caller-owned
// record and returns 0, -1 (missing or inconsistent data), -2 (missing element) or -4
// (unparsable text), with one diagnostic line for most failures. No state, any thread.
//
// Text fields are NUL-padded; a field marked "full width" may hold no terminator (read it
// with fixed_view), the others always keep one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// ---- encoding ---------------------------------------------------------------------------------

constexpr int kEncodeCfgMaxEntries = 10;

// The attributes of one EncodeConfig element, each terminated (width - 1 characters at most).
struct EncodeCfgEntry {
    char Stream[4];
    char Resolution[12];
    char EncodeFormat[8];
    char BitRateControl[4];
    char Initquant[4];
    char BitRate[12];
    char FrameRate[4];
};

struct EncodeCfg {
    int32_t count;
    EncodeCfgEntry entries[kEncodeCfgMaxEntries];
};

// One stream's encoding as indexes into the tables below.
struct EncodeParam {
    int32_t resolution;  // row of kEncodeResolutions; 13 ("720P") when none matches
    uint8_t framerate;
    uint8_t encode_format;  // 0 "H264", 1 "H265"
    uint8_t initquant;
    int32_t bitrate;
    int32_t bitrate_control;  // 0 "CBR", 1 "VBR", 2 "CVBR"
};

constexpr int kEncodeResolutionCount = 32;
extern const char* const kEncodeResolutions[kEncodeResolutionCount];
// Resolution index when no row of the table is a prefix of the text.
constexpr int kEncodeResolutionDefault = 13;

// Clears cfg, then reads the EncodeConfig children of the root element (no MESSAGE_BODY
// step), at most 10. 0; -2 no text, no root or no EncodeConfig; -4 unparsable.
int GetEncodeCfgByXml(const char* text, EncodeCfg& cfg);
// The first two EncodeConfig entries as main stream (Stream "1", params[0]) and sub stream
// (Stream "2", params[1]); both cleared first. 0 (also for no entry); -1 another Stream;
// -4 when the configuration could not be read.
int GetEncodeParam(const char* text, EncodeParam (&params)[2]);

// ---- accounts -----------------------------------------------------------------------------------

constexpr int kShortAccountCount = 10;

struct ShortAccount {
    char Username[40];  // full width
    char Password[40];  // full width
    char Group[40];
    char Status[8];  // full width
};

// The first ten accounts of UserConfig; all ten cleared first, so the first zero entry ends
// the list. 0; -4 when the user configuration could not be read.
int GetUserAccounts(const char* text, ShortAccount (&accounts)[kShortAccountCount]);

// ---- live stream --------------------------------------------------------------------------------

constexpr int kLiveStreamConfigSize = 256;

struct LiveStreamParam {
    int32_t StreamID;
    int32_t VideoStream;
    int32_t AudioEnable;
    int32_t Multicast;
    uint32_t MulticastAddress;  // network byte order, as inet_addr gives it
    int32_t VideoPort;
    int32_t AudioPort;
    int32_t UseTcp;
    char VideoEncoder[256];  // full width
    int32_t Width;
    int32_t Height;
    int32_t Framerate;
    int32_t VideoBitrate;
    uint8_t Config[kLiveStreamConfigSize];  // the hexadecimal Config decoded
    int32_t ConfigLength;
    char AudioEncoder[256];  // full width
    int32_t SampleRate;
    int32_t SampleWidth;
    int32_t Channels;
    int32_t AudioBitrate;
};

// Clears the record, then reads TRANS_PARAM, VIDEO_PARAM and, when audio is enabled,
// AUDIO_PARAM. 0; -1 multicast without address or audio without port (unless UseTcp);
// -2 no root or a missing element (the fields read so far stay filled); -4 unparsable.
int GetLiveStreamParam(const char* text, LiveStreamParam& param);

// A dotted address as inet_addr reads it (one to four parts, each decimal, octal with a
// leading 0 or hexadecimal with 0x), in network byte order; 0xFFFFFFFF when it is not one.
uint32_t config_inet_addr(const char* text);

// ---- single values ------------------------------------------------------------------------------

// VendorId of VENDOR_PARAM into buf (cleared first; at most size bytes, so no terminator when
// the value fills it). 0; -1 no text, no buffer or size below 1; -2 no root or no VENDOR_PARAM;
// -4 unparsable or no VendorId.
int GetVendorIdByXml(const char* text, char* buf, int size);
// GetRequestParamByDoc on the parsed text (len = size). -2 for no text, -4 unparsable.
int GetRequestParamByXml(const char* text, const char* element, const char* attribute, char* buf, int size);
// The named attribute of the root element into buf (cleared first, at most size bytes).
// 0; -4 unparsable, no root, no such attribute, or no buffer.
int GetRootAttrByXml(const char* text, const char* attribute, char* buf, int size);

// ---- video capabilities -------------------------------------------------------------------------

// The CapList attribute of RESPONSE_PARAM/VideoCap under the root element, or nothing.
std::optional<std::string> GetVideoCapListByXml(const char* text);

// One VideoCap caplist item (its comma-separated fields 0 to 10); texts full width.
struct VideoCapEntry {
    char Item0[32];
    char Item1[32];
    int32_t Item2to10[9];
};

// One VideoBestParameter caplist item, fields in the order the devices' records keep them.
struct VideoBestParamEntry {
    char Item2[32];
    char Item1[32];
    char Item3[32];
    int32_t Item0;
    int32_t Item6;
    int32_t Item4;
    int32_t Item5;
};

// Longest caplist value read, in characters (exclusive).
constexpr int kCapListMaxChars = 1536;

// Textual scans of VideoCap CapList="..." and VideoBestParameter CapList="..." (no XML
// parser): items split at ';' up to the first empty one, fields at ','; items with too few
// fields are skipped. The first records, at most capacity, go into out (not cleared; the count
// is not reported). 0; -4 no caplist, no end quote, too long, or no record at all.
int GetVideoCapList(const char* text, VideoCapEntry* out, int capacity);
int GetVideoBestParam(const char* text, VideoBestParamEntry* out, int capacity);

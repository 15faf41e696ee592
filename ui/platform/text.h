// Text conversions between the console's UTF-16 strings and the byte texts of the core:
// device and wire texts are GB2312/GBK bytes, source literals and file paths are UTF-8.
#pragma once

#include <QString>
#include <string>
#include <string_view>

// A UTF-8 literal of the sources.
inline QString U8(const char* text) { return QString::fromUtf8(text); }

// Device bytes (GBK, a superset of GB2312) to display text. Bytes that do not decode are
// shown as U+FFFD; an embedded NUL ends the text.
QString FromGbk(std::string_view bytes);

// Display text to GBK bytes; characters GBK cannot hold become "?".
std::string ToGbk(const QString& text);

// A path for the core's file functions (the local file-system encoding).
std::string ToLocalPath(const QString& path);

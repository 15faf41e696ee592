// Device texts are GB2312/GBK bytes; the tool shows them as UTF-8 and sends what it is given
// on its command line as GBK.
#pragma once

#include <string>
#include <string_view>

// A byte that does not convert becomes U+FFFD, so one bad byte never hides the rest of the
// text. When the system has no GBK converter at all, the bytes come back unchanged.
std::string gbk_to_utf8(std::string_view gbk);

// UTF-8 text as GBK bytes; false when it is no valid UTF-8 or holds a character GBK has no
// form for (nothing is guessed: such a text would reach the device as something else).
bool utf8_to_gbk(std::string_view utf8, std::string& gbk);

// A text of the command line or the environment as GBK bytes: UTF-8 on POSIX systems, the
// ANSI code page on Windows. false as utf8_to_gbk.
bool native_to_gbk(std::string_view text, std::string& gbk);

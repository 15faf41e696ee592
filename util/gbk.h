// Device texts are GB2312/GBK bytes; the tool shows them as UTF-8.
#pragma once

#include <string>
#include <string_view>

// A byte that does not convert becomes U+FFFD, so one bad byte never hides the rest of the
// text. When the system has no GBK converter at all, the bytes come back unchanged.
std::string gbk_to_utf8(std::string_view gbk);

#include "ui/platform/text.h"

#include <QFile>
#include <iconv.h>

#include <cerrno>
#include <vector>

namespace {

// One conversion through iconv; unconvertible input is replaced and skipped.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement, size_t skip) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string out;
  std::vector<char> buf(in.size() * 4 + 16);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf.data(), buf.size() - dstLeft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      out.append(replacement);
      size_t n = skip < srcLeft ? skip : srcLeft;
      src += n;
      srcLeft -= n;
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

QString FromGbk(std::string_view bytes) {
  size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  std::string utf8 = Convert("UTF-8", "GBK", bytes, "\xEF\xBF\xBD", 1);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToGbk(const QString& text) {
  // UTF-32 input lets one bad character be skipped exactly.
  QList<uint> ucs4 = text.toUcs4();
  std::string_view in(reinterpret_cast<const char*>(ucs4.constData()), ucs4.size() * sizeof(uint));
  return Convert("GBK", "UTF-32LE", in, "?", 4);
}

std::string ToLocalPath(const QString& path) {
  QByteArray b = QFile::encodeName(path);
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

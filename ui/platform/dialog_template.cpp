#include "ui/platform/dialog_template.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace {

// Rounded a * b / c for the non-negative and negative values dialog geometry uses.
int MulDiv(int a, int b, int c) {
  long long p = static_cast<long long>(a) * b;
  long long half = c / 2;
  return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}

}  // namespace

DialogBaseUnits BaseUnitsForFont(const QFont& font) {
  QFontMetrics fm(font);
  DialogBaseUnits units;
  int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  units.x = (width / 26 + 1) / 2;
  units.y = fm.height();
  if (units.x < 1) units.x = 1;
  if (units.y < 1) units.y = 1;
  return units;
}

int DluToPixelsX(int dlu, const DialogBaseUnits& units) { return MulDiv(dlu, units.x, 4); }
int DluToPixelsY(int dlu, const DialogBaseUnits& units) { return MulDiv(dlu, units.y, 8); }

QRect DluToPixels(int x, int y, int cx, int cy, const DialogBaseUnits& units) {
  int left = DluToPixelsX(x, units);
  int top = DluToPixelsY(y, units);
  int right = DluToPixelsX(x + cx, units);
  int bottom = DluToPixelsY(y + cy, units);
  return QRect(left, top, right - left, bottom - top);
}

QFont DialogFont() {
  static const QFont font = [] {
    QFont f;
    const QStringList families = QFontDatabase::families();
    for (const char* name : {"Noto Sans CJK SC", "Noto Sans SC", "WenQuanYi Micro Hei", "Noto Sans CJK JP"}) {
      if (families.contains(QString::fromLatin1(name))) {
        f = QFont(QString::fromLatin1(name));
        break;
      }
    }
    f.setPixelSize(12);
    return f;
  }();
  return font;
}

#include "ui/platform/dialog_template.h"

#include <QFontDatabase>
#include <QStringList>
#include <QWidget>
#include <cmath>

namespace {

// The platform's dialog font at 96 dpi.
constexpr double kBaseDpi = 96.0;
constexpr double kBaseWidth = 6.0;
constexpr double kBaseHeight = 13.0;

// Nearest pixel, halves away from zero, for the non-negative and negative values dialog
// geometry uses.
int RoundPixels(double v) { return static_cast<int>(std::lround(v)); }

}  // namespace

DialogBaseUnits BaseUnitsForDpi(double logicalDpiX, double logicalDpiY) {
  DialogBaseUnits units;
  if (logicalDpiX > 0) units.x = kBaseWidth * logicalDpiX / kBaseDpi;
  if (logicalDpiY > 0) units.y = kBaseHeight * logicalDpiY / kBaseDpi;
  return units;
}

DialogBaseUnits BaseUnitsOf(const QWidget& widget) {
  return BaseUnitsForDpi(widget.logicalDpiX(), widget.logicalDpiY());
}

int DluToPixelsX(int dlu, const DialogBaseUnits& units) { return RoundPixels(dlu * units.x / 4.0); }
int DluToPixelsY(int dlu, const DialogBaseUnits& units) { return RoundPixels(dlu * units.y / 8.0); }

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
    f.setPointSize(9);  // 12 pixels at 96 dpi
    return f;
  }();
  return font;
}

// Dialog templates: a window described as a table of controls, each with its numeric id, kind,
// text and geometry in dialog units. The geometry is turned into pixels with the platform's
// dialog base units, so a window has the size its template was drawn for.
#pragma once

#include <QFont>
#include <QRect>
#include <vector>

class QWidget;

enum class ControlKind {
  Button,     // push button; click -> OnCommand(id, BN_CLICKED)
  DefButton,  // default push button (Enter)
  CheckBox,   // auto check box; click -> OnCommand(id, BN_CLICKED)
  Radio,      // auto radio button
  GroupBox,   // frame with a title; always kept below its siblings
  Static,     // text label (wraps like a dialog's static text)
  Edit,       // single-line edit unless CS_MULTILINE
  ComboBox,   // drop-down list; user selection -> OnCommand(id, CBN_SELCHANGE)
  IpAddress,  // four-octet address field
  Report,     // CReportCtrl
  Tab,        // tab strip (bound by the owner to its own class)
  Icon,       // the application icon
};

// Style bits of a control entry.
constexpr unsigned CS_HIDDEN = 0x0001;
constexpr unsigned CS_DISABLED = 0x0002;
constexpr unsigned CS_READONLY = 0x0004;
constexpr unsigned CS_PASSWORD = 0x0008;
constexpr unsigned CS_NUMBER = 0x0010;
constexpr unsigned CS_MULTILINE = 0x0020;
constexpr unsigned CS_CENTER = 0x0040;
constexpr unsigned CS_RIGHT = 0x0080;
constexpr unsigned CS_NOWRAP = 0x0100;

struct ControlSpec {
  int id;
  ControlKind kind;
  const char* text;  // UTF-8, may be nullptr
  int x, y, cx, cy;  // dialog units
  unsigned style = 0;
};

struct DialogTemplate {
  int id;
  const char* caption;  // UTF-8
  int cx, cy;           // dialog units
  std::vector<ControlSpec> controls;
};

// The template with this id, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);

// Average character width and height of the dialog font, in pixels (fractions kept, so a
// scaled screen does not round them before the controls are placed).
struct DialogBaseUnits {
  double x = 6;
  double y = 13;
};

// The platform's dialog font (8 points) measures 6 x 13 pixels at 96 dpi: 1.5 pixels per
// horizontal and 1.625 per vertical dialog unit, whichever font the console draws with, so a
// window has the size its template describes. They grow with the screen's logical DPI. Qt's
// device-pixel ratio (a scale factor such as 1.5) already stands between these logical pixels
// and the screen's, so it is not applied a second time here.
DialogBaseUnits BaseUnitsForDpi(double logicalDpiX, double logicalDpiY);
// The base units of the screen a widget is on.
DialogBaseUnits BaseUnitsOf(const QWidget& widget);

// Dialog units to pixels: horizontal units are quarters of the base width, vertical units
// eighths of the base height, rounded to the nearest pixel.
int DluToPixelsX(int dlu, const DialogBaseUnits& units);
int DluToPixelsY(int dlu, const DialogBaseUnits& units);
QRect DluToPixels(int x, int y, int cx, int cy, const DialogBaseUnits& units);

// The font every dialog of the console uses (a CJK-capable sans serif when installed), sized
// in points so that it grows with the screen's DPI as the dialog units do.
QFont DialogFont();

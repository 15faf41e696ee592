// Dialog templates: a window described as a table of controls, each with its numeric id, kind,
// text and geometry in dialog units. The geometry is turned into pixels with the dialog font's
// base units, so a layout keeps its proportions whatever font the console runs with.
#pragma once

#include <QFont>
#include <QRect>
#include <vector>

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

// Average character width and height of a dialog font, in pixels.
struct DialogBaseUnits {
  int x = 6;
  int y = 13;
};

DialogBaseUnits BaseUnitsForFont(const QFont& font);

// Dialog units to pixels: horizontal units are quarters of the base width, vertical units
// eighths of the base height, rounded to the nearest pixel.
int DluToPixelsX(int dlu, const DialogBaseUnits& units);
int DluToPixelsY(int dlu, const DialogBaseUnits& units);
QRect DluToPixels(int x, int y, int cx, int cy, const DialogBaseUnits& units);

// The font every dialog of the console uses (a CJK-capable sans serif when installed).
QFont DialogFont();

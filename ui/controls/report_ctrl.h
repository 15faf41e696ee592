// CReportCtrl: the multi-column list with a check box per row used by every page. Rows carry a
// record of their own (user data, per-cell text and background colours); a click on a heading
// sorts by that column with a type-aware comparison; an optional cell editor edits in place.
// Notifications reach the parent as the signal notify(message, wParam, lParam) with the
// messages below (and as checkChanged / sorted for direct connections). Space toggles the
// focused row's check box as a left click on the box does, with the same notification.
#pragma once

#include <QDateTime>
#include <QPixmap>
#include <QStringList>
#include <QTableView>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/platform/post_queue.h"
#include "ui/platform/resource.h"

class QLineEdit;
class ReportModel;

using COLORREF = uint32_t;  // 0x00BBGGRR
constexpr COLORREF kColorInvalid = 0xFFFFFFFFu;
inline constexpr COLORREF RGB(int r, int g, int b) {
  return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}

// Notifications to the parent: wParam / lParam as documented.
constexpr unsigned WM_REPORT_CHECKCHANGED = WM_APP + 10000;  // row, mouse message
constexpr unsigned WM_REPORT_SORTED = WM_APP + 10001;        // column, 1 ascending / 0 descending
constexpr unsigned NM_REPORT_DBLCLK = WM_APP + 10002;        // row (−1 none), column

// Row state flags; a row's state has exactly one bit of each pair.
constexpr int RVS_ALL = 0x01;
constexpr int RVS_SELECTED = 0x02;
constexpr int RVS_UNSELECTED = 0x04;
constexpr int RVS_CHECKED = 0x08;
constexpr int RVS_UNCHECKED = 0x10;
constexpr int RVS_FOCUSED = 0x20;
constexpr int RVS_UNFOCUSED = 0x40;

// Check modes.
constexpr int RC_CHKBOX_NONE = 0;      // user changes are not handled
constexpr int RC_CHKBOX_NORMAL = 1;    // several rows may be checked; parent notified
constexpr int RC_CHKBOX_SINGLE = 2;    // one checked row at most; parent notified
constexpr int RC_CHKBOX_DISABLED = 3;  // read-only: the previous state is put back

// Extended list styles the pages set.
constexpr unsigned LVS_EX_GRIDLINES = 0x0001;
constexpr unsigned LVS_EX_SUBITEMIMAGES = 0x0002;
constexpr unsigned LVS_EX_CHECKBOXES = 0x0004;
constexpr unsigned LVS_EX_FULLROWSELECT = 0x0020;
// Window styles.
constexpr unsigned LVS_SINGLESEL = 0x0004;
constexpr unsigned LVS_SHOWSELALWAYS = 0x0008;
constexpr unsigned LVS_NOLABELWRAP = 0x0080;
constexpr unsigned LVS_EDITLABELS = 0x0200;
constexpr unsigned LVS_NOCOLUMNHEADER = 0x4000;

// Column heading formats (InsertColumn).
constexpr int LVCFMT_LEFT = 0;
constexpr int LVCFMT_RIGHT = 1;
constexpr int LVCFMT_CENTER = 2;

struct ReportRowRecord {
  uint32_t userData = 0;
  std::vector<COLORREF> textColors;
  std::vector<COLORREF> backColors;
};

// Sort key of one cell text; exposed for tests of the comparison rules.
struct ReportSortKey {
  bool isHex = false;
  uint32_t hex = 0;
  bool isFloat = false;
  double number = 0;
  bool isDate = false;
  double date = 0;
  bool isIp = false;
  uint32_t ip = 0;
  std::string bytes;  // code-page bytes for the text comparison
};
ReportSortKey MakeReportSortKey(const QString& text);
// <0, 0, >0 by the first rule that applies to both texts: hexadecimal, floating number with
// an optional "%", date and time, dotted IPv4, then code-page byte order.
int CompareReportKeys(const ReportSortKey& a, const ReportSortKey& b);

class CReportCtrl : public QTableView {
  Q_OBJECT

 public:
  explicit CReportCtrl(QWidget* parent = nullptr);
  ~CReportCtrl() override;

  // Styles.
  void SetExtendedStyle(unsigned exStyle);
  unsigned GetExtendedStyle() const { return exStyle_; }
  void ModifyStyle(unsigned remove, unsigned add);
  unsigned GetStyle() const { return style_; }

  // Columns.
  int InsertColumn(int index, const QString& heading, int format = LVCFMT_LEFT, int width = -1);
  int InsertColumn(int index, const char* headingUtf8, int format = LVCFMT_LEFT, int width = -1) {
    return InsertColumn(index, QString::fromUtf8(headingUtf8), format, width);
  }
  bool DeleteColumn(int column);
  bool DeleteAllColumns();
  int GetColumnCount() const;
  // Replaces rows and columns by "heading,width,format;heading,width,format...".
  bool SetColumnHeader(const QString& columns);
  bool SetHeaderText(int column, const QString& text);
  QString GetHeaderText(int column) const;
  bool SetHeaderImage(int column, int image, bool leftSide = true);
  int GetHeaderFormat(int column) const;

  // Rows.
  int InsertRow(int index, const QString& text);
  int InsertRow(int index, const char* textUtf8) { return InsertRow(index, QString::fromUtf8(textUtf8)); }
  // Texts of up to ten columns; stops at the first null text.
  int InsertRow(int index, const QStringList& texts);
  bool DeleteRow(int row);
  int DeleteAllRows();
  int GetRowCount() const;
  bool MoveTo(int row, int newIndex);
  bool MoveUp(int row, int count = 1);
  bool MoveDown(int row, int count = 1);
  bool MoveToTop(int row);
  bool MoveToBottom(int row);
  bool SwapRows(int row1, int row2);

  // Cells.
  bool SetCellText(int row, int column, const QString& text);
  bool SetCellText(int row, int column, const char* textUtf8) {
    return SetCellText(row, column, QString::fromUtf8(textUtf8));
  }
  QString GetCellText(int row, int column) const;
  bool SetCellInt(int row, int column, int value);
  bool SetCellUInt(int row, int column, unsigned value);
  bool SetCellDouble(int row, int column, double value, int decimals = -1);
  bool SetCellDateTime(int row, int column, const QDateTime& value);
  bool SetCellImage(int row, int column, int image);
  int GetCellImage(int row, int column) const;

  // Any thread: the text is applied on the UI thread later; the caller never waits. A text
  // posted before the rows were cleared, deleted or reordered is dropped instead of landing
  // in whatever row now has that index.
  void PostCellText(int row, int column, const QString& text);
  // UI thread: applies pending posted texts now.
  void DrainPosted();

  // Check boxes.
  bool SetRowCheck(int row, bool checked);
  bool GetRowCheck(int row) const;
  void SetCheckMode(int mode);
  int GetCheckMode() const { return checkMode_; }
  int GetFirstCheckedRow() const;

  // Row states and data.
  int GetRowStates(int row) const;
  bool SetRowStates(int row, int states);
  int SetAllRowStates(int filter, int states);  // number of rows changed
  int FindPrevRow(int row, int filter) const;   // −1 when none
  void InvertSelection();
  void InvertChecks();
  bool SetRowData(int row, uint32_t data);
  uint32_t GetRowData(int row) const;

  // Colours; row or column −1 means all, colour kColorInvalid the system default.
  bool SetCellTextColor(int row, int column, COLORREF color);
  bool SetCellBkColor(int row, int column, COLORREF color);
  COLORREF GetCellTextColor(int row, int column) const;
  COLORREF GetCellBkColor(int row, int column) const;

  // A cell whose text reports a failure (a job's status) is drawn in kAlertTextColor, so it
  // does not read as a success at a glance. The mark belongs to the cell, not to its text: it
  // stays through later SetCellText and PostCellText until SetCellAlert(row, column, false),
  // moves with its row when rows are sorted, moved or swapped, and goes with the row when the
  // row is deleted. Row or column −1 means all. Clearing restores the default text colour of
  // marked cells only. A selected row shows the selection's colours, as for any text colour.
  static constexpr COLORREF kAlertTextColor = RGB(220, 0, 0);
  bool SetCellAlert(int row, int column, bool alert);
  bool IsCellAlert(int row, int column) const;

  // Images: 16-pixel-wide images cut from one bitmap.
  void SetImageList(const QPixmap& bitmap);
  void SetHeaderImageList(const QPixmap& bitmap);

  // Sorting.
  bool EnableSorting(bool enable = true);
  bool IsSortable() const;
  void SortItems(int column, bool ascending);
  int GetSortedColumn() const { return sortColumn_; }
  bool IsSortAscending() const { return sortAscending_; }
  void SetSeparatorText(const std::optional<QString>& text);

  // Cell editor.
  void SetEditable(bool editable);
  bool IsEditable() const { return editable_; }
  bool StartEdit(int row, int column);
  bool EndEdit(bool commit = true);
  bool IsEditing() const;
  int GetEditRow() const { return editRow_; }
  int GetEditColumn() const { return editColumn_; }
  QLineEdit* Editor() const { return edit_; }

  // Fills the parent's client area.
  void FillParent();

  // Viewport rectangle of a row's check box (for hit tests and tests).
  QRect CheckBoxRect(int row) const;

 signals:
  void notify(unsigned message, int wParam, int lParam);
  void checkChanged(int row, int mouseMessage);
  void sorted(int column, int ascending);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void HandleMouse(QMouseEvent* e, bool doubleClick);
  // After the list toggled a row's box (click or Space): the check mode's handling and the
  // notification with message. True when the box changed.
  bool HandleCheckChange(int row, bool wasChecked, unsigned message);
  void OnHeadingClicked(int column);
  void SortGroup(int first, int last, bool ascending);
  void ResetSortState();
  void NewGeneration() { generation_.fetch_add(1, std::memory_order_relaxed); }
  void ApplyChecks(int exceptAfter);
  void UncheckAfter(int row);
  bool ValidRow(int row) const;
  bool ValidCell(int row, int column) const;

  ReportModel* model_;
  bool sortable_ = false;
  QLineEdit* edit_;
  std::optional<QString> separator_;
  bool editable_ = false;
  int editRow_ = -1;
  int editColumn_ = -1;
  int checkMode_ = RC_CHKBOX_NORMAL;
  int editAlignment_ = 0;
  int sortColumn_ = -1;
  bool sortAscending_ = true;
  unsigned exStyle_ = LVS_EX_FULLROWSELECT | LVS_EX_SUBITEMIMAGES;
  unsigned style_ = 0;
  std::atomic<unsigned> generation_{0};
  PostQueue posts_;
};

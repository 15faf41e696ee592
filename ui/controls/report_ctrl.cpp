// The report list: construction, styles, columns, rows, cells, check boxes, states, colours
// and images. Sorting lives in report_sort.cpp, the cell editor and the mouse in report_edit.cpp.
#include "ui/controls/report_ctrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "ui/controls/report_model.h"
#include "ui/platform/text.h"

using namespace report_detail;

Qt::Alignment report_detail::AlignmentOf(int format) {
  switch (format) {
    case LVCFMT_RIGHT: return Qt::AlignRight | Qt::AlignVCenter;
    case LVCFMT_CENTER: return Qt::AlignHCenter | Qt::AlignVCenter;
    default: return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

namespace {

std::vector<QPixmap> CutImages(const QPixmap& bitmap) {
  std::vector<QPixmap> images;
  for (int x = 0; x + 16 <= bitmap.width(); x += 16) images.push_back(bitmap.copy(x, 0, 16, bitmap.height()));
  return images;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

CReportCtrl::CReportCtrl(QWidget* parent)
    : QTableView(parent), model_(new ReportModel), edit_(new QLineEdit), posts_(this) {
  model_->setParent(this);
  setModel(model_);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(false);
  setWordWrap(false);
  setTabKeyNavigation(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int c) { OnHeadingClicked(c); });
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
    emit notify(NM_REPORT_DBLCLK, i.isValid() ? i.row() : -1, i.isValid() ? i.column() : -1);
  });
  edit_->setParent(viewport());
  edit_->hide();
  edit_->installEventFilter(this);
}

CReportCtrl::~CReportCtrl() {
  posts_.detach();
  EndEdit(false);
}

bool CReportCtrl::ValidRow(int row) const { return row >= 0 && row < GetRowCount(); }
bool CReportCtrl::ValidCell(int row, int column) const {
  return ValidRow(row) && column >= 0 && column < GetColumnCount();
}

void CReportCtrl::SetExtendedStyle(unsigned exStyle) {
  exStyle_ = exStyle;
  setShowGrid(exStyle & LVS_EX_GRIDLINES);
  bool boxes = exStyle & LVS_EX_CHECKBOXES;
  if (boxes != model_->checkboxes) {
    model_->checkboxes = boxes;
    model_->ChangedAll();
  }
}

void CReportCtrl::ModifyStyle(unsigned remove, unsigned add) {
  style_ = (style_ & ~remove) | add;
  setSelectionMode((style_ & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                            : QAbstractItemView::ExtendedSelection);
  horizontalHeader()->setVisible(!(style_ & LVS_NOCOLUMNHEADER));
  setWordWrap(false);
}

// --- columns ---

int CReportCtrl::InsertColumn(int index, const QString& heading, int format, int width) {
  EndEdit(true);
  if (index < 0) return -1;
  index = std::min(index, GetColumnCount());
  model_->InsertColumnAt(index, ReportColumn{heading, format, -1, true});
  const COLORREF text = DefaultTextColor();
  const COLORREF back = DefaultBkColor();
  for (ReportRow& r : model_->rows) {
    if (!r.record) continue;
    r.record->textColors.insert(r.record->textColors.begin() + index, text);
    r.record->backColors.insert(r.record->backColors.begin() + index, back);
  }
  setColumnWidth(index, width >= 0 ? width : 100);
  return index;
}

bool CReportCtrl::DeleteColumn(int column) {
  EndEdit(true);
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->RemoveColumnAt(column);
  return true;
}

bool CReportCtrl::DeleteAllColumns() {
  EndEdit(false);
  while (GetColumnCount() > 0) model_->RemoveColumnAt(GetColumnCount() - 1);
  return true;
}

int CReportCtrl::GetColumnCount() const { return static_cast<int>(model_->columns.size()); }

bool CReportCtrl::SetColumnHeader(const QString& columns) {
  DeleteAllRows();
  DeleteAllColumns();
  int index = 0;
  for (const QString& field : columns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    QStringList parts = field.split(QLatin1Char(','));
    QString heading = parts.value(0);
    bool ok = false;
    int width = parts.size() > 1 ? parts[1].trimmed().toInt(&ok) : 0;
    if (!ok) width = 100;
    int fmt = parts.size() > 2 ? parts[2].trimmed().toInt() : 0;
    int format = fmt == 1 ? LVCFMT_CENTER : fmt == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    if (InsertColumn(index, heading, format, width) < 0) return false;
    ++index;
  }
  return true;
}

bool CReportCtrl::SetHeaderText(int column, const QString& text) {
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->columns[static_cast<size_t>(column)].heading = text;
  model_->HeaderChanged(column);
  return true;
}

QString CReportCtrl::GetHeaderText(int column) const {
  if (column < 0 || column >= GetColumnCount()) return QString();
  return model_->columns[static_cast<size_t>(column)].heading;
}

bool CReportCtrl::SetHeaderImage(int column, int image, bool leftSide) {
  if (column < 0 || column >= GetColumnCount()) return false;
  model_->columns[static_cast<size_t>(column)].image = image;
  model_->columns[static_cast<size_t>(column)].imageLeft = leftSide;
  model_->HeaderChanged(column);
  return true;
}

int CReportCtrl::GetHeaderFormat(int column) const {
  if (column < 0 || column >= GetColumnCount()) return -1;
  return model_->columns[static_cast<size_t>(column)].format;
}

// --- rows ---

int CReportCtrl::InsertRow(int index, const QString& text) {
  EndEdit(true);
  ResetSortState();
  if (index < 0 || GetColumnCount() == 0) return -1;
  index = std::min(index, GetRowCount());
  if (index < GetRowCount()) NewGeneration();
  const size_t columns = static_cast<size_t>(GetColumnCount());
  ReportRow row;
  row.texts.assign(columns, QString());
  row.texts[0] = text;
  row.images.assign(columns, -1);
  row.record = std::make_unique<ReportRowRecord>();
  row.record->textColors.assign(columns, DefaultTextColor());
  row.record->backColors.assign(columns, DefaultBkColor());
  model_->InsertRowAt(index, std::move(row));
  return index;
}

int CReportCtrl::InsertRow(int index, const QStringList& texts) {
  if (texts.isEmpty()) return -1;
  int row = InsertRow(index, texts[0]);
  if (row < 0) return row;
  for (int c = 1; c < std::min<int>(10, static_cast<int>(texts.size())); ++c) {
    if (texts[c].isNull()) break;
    SetCellText(row, c, texts[c]);
  }
  return row;
}

bool CReportCtrl::DeleteRow(int row) {
  if (editRow_ == row) EndEdit(false);
  else EndEdit(true);
  if (!ValidRow(row)) return false;
  NewGeneration();
  model_->RemoveRowAt(row);
  return true;
}

int CReportCtrl::DeleteAllRows() {
  EndEdit(false);
  const int count = GetRowCount();
  NewGeneration();
  setUpdatesEnabled(false);
  model_->Reset([this] { model_->rows.clear(); });
  setUpdatesEnabled(true);
  return count;
}

int CReportCtrl::GetRowCount() const { return static_cast<int>(model_->rows.size()); }

bool CReportCtrl::MoveTo(int row, int newIndex) {
  EndEdit(true);
  if (!ValidRow(row)) return false;
  newIndex = std::clamp(newIndex, 0, GetRowCount() - 1);
  if (newIndex == row) return true;
  NewGeneration();
  const int states = GetRowStates(row);
  ReportRow moved = std::move(model_->rows[static_cast<size_t>(row)]);
  model_->RemoveRowAt(row);
  model_->InsertRowAt(newIndex, std::move(moved));
  SetRowStates(newIndex, states);
  return true;
}

bool CReportCtrl::MoveUp(int row, int count) { return MoveTo(row, row - count); }
bool CReportCtrl::MoveDown(int row, int count) { return MoveTo(row, row + count); }
bool CReportCtrl::MoveToTop(int row) { return MoveTo(row, 0); }
bool CReportCtrl::MoveToBottom(int row) { return MoveTo(row, GetRowCount() - 1); }

bool CReportCtrl::SwapRows(int row1, int row2) {
  EndEdit(true);
  if (!ValidRow(row1) || !ValidRow(row2)) return false;
  if (row1 == row2) return true;
  NewGeneration();
  const int s1 = GetRowStates(row1);
  const int s2 = GetRowStates(row2);
  std::swap(model_->rows[static_cast<size_t>(row1)], model_->rows[static_cast<size_t>(row2)]);
  SetRowStates(row1, s2);
  SetRowStates(row2, s1);
  model_->ChangedRow(row1);
  model_->ChangedRow(row2);
  return true;
}

// --- cells ---

bool CReportCtrl::SetCellText(int row, int column, const QString& text) {
  EndEdit(true);
  ResetSortState();
  if (!ValidCell(row, column)) return false;
  QString& cell = model_->rows[static_cast<size_t>(row)].texts[static_cast<size_t>(column)];
  if (cell != text) {
    cell = text;
    QModelIndex i = model_->index(row, column);
    emit model_->dataChanged(i, i, {Qt::DisplayRole});
  }
  return true;
}

QString CReportCtrl::GetCellText(int row, int column) const {
  if (!ValidCell(row, column)) return QString();
  return model_->rows[static_cast<size_t>(row)].texts[static_cast<size_t>(column)];
}

bool CReportCtrl::SetCellInt(int row, int column, int value) {
  return SetCellText(row, column, QString::number(value));
}
bool CReportCtrl::SetCellUInt(int row, int column, unsigned value) {
  return SetCellText(row, column, QString::number(value));
}

bool CReportCtrl::SetCellDouble(int row, int column, double value, int decimals) {
  char buf[512];
  if (decimals >= 0) {
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  } else {
    std::snprintf(buf, sizeof buf, "%f", value);
    if (std::strchr(buf, '.')) {
      size_t n = std::strlen(buf);
      while (n > 0 && buf[n - 1] == '0') buf[--n] = '\0';
      if (n > 0 && buf[n - 1] == '.') buf[--n] = '\0';
    }
  }
  return SetCellText(row, column, QString::fromLatin1(buf));
}

bool CReportCtrl::SetCellDateTime(int row, int column, const QDateTime& value) {
  return SetCellText(row, column, value.isValid() ? QLocale().toString(value, QLocale::ShortFormat) : QString());
}

bool CReportCtrl::SetCellImage(int row, int column, int image) {
  if (!ValidCell(row, column)) return false;
  model_->rows[static_cast<size_t>(row)].images[static_cast<size_t>(column)] = image;
  QModelIndex i = model_->index(row, column);
  emit model_->dataChanged(i, i, {Qt::DecorationRole});
  return true;
}

int CReportCtrl::GetCellImage(int row, int column) const {
  if (!ValidCell(row, column)) return -1;
  return model_->rows[static_cast<size_t>(row)].images[static_cast<size_t>(column)];
}

void CReportCtrl::PostCellText(int row, int column, const QString& text) {
  const unsigned generation = generation_.load(std::memory_order_relaxed);
  posts_.post([this, row, column, text, generation] {
    if (generation_.load(std::memory_order_relaxed) != generation) return;
    SetCellText(row, column, text);
  });
}

void CReportCtrl::DrainPosted() { posts_.drain(); }

// --- check boxes ---

bool CReportCtrl::SetRowCheck(int row, bool checked) {
  if (!ValidRow(row)) return false;
  ReportRow& r = model_->rows[static_cast<size_t>(row)];
  if (r.checked != checked) {
    r.checked = checked;
    QModelIndex i = model_->index(row, 0);
    emit model_->dataChanged(i, i, {Qt::CheckStateRole});
  }
  if (checked && checkMode_ == RC_CHKBOX_SINGLE) UncheckAfter(row);
  return true;
}

bool CReportCtrl::GetRowCheck(int row) const { return ValidRow(row) && model_->rows[static_cast<size_t>(row)].checked; }

void CReportCtrl::UncheckAfter(int row) {
  for (int i = row + 1; i < GetRowCount(); ++i) {
    ReportRow& r = model_->rows[static_cast<size_t>(i)];
    if (r.checked) {
      r.checked = false;
      QModelIndex idx = model_->index(i, 0);
      emit model_->dataChanged(idx, idx, {Qt::CheckStateRole});
    }
  }
}

void CReportCtrl::SetCheckMode(int mode) {
  checkMode_ = mode;
  EndEdit(true);
  if (mode == RC_CHKBOX_NONE) {
    SetExtendedStyle(exStyle_ & ~LVS_EX_CHECKBOXES);
    return;
  }
  SetExtendedStyle(exStyle_ | LVS_EX_CHECKBOXES);
  if (mode == RC_CHKBOX_SINGLE) {
    int first = GetFirstCheckedRow();
    if (first >= 0) UncheckAfter(first);
  }
}

int CReportCtrl::GetFirstCheckedRow() const {
  for (int i = 0; i < GetRowCount(); ++i)
    if (model_->rows[static_cast<size_t>(i)].checked) return i;
  return -1;
}

// --- states ---

int CReportCtrl::GetRowStates(int row) const {
  if (!ValidRow(row)) return 0;
  int s = RVS_ALL;
  const bool selected = selectionModel()->isRowSelected(row, QModelIndex());
  s |= selected ? RVS_SELECTED : RVS_UNSELECTED;
  s |= GetRowCheck(row) ? RVS_CHECKED : RVS_UNCHECKED;
  s |= currentIndex().isValid() && currentIndex().row() == row ? RVS_FOCUSED : RVS_UNFOCUSED;
  return s;
}

bool CReportCtrl::SetRowStates(int row, int states) {
  if (!ValidRow(row)) return false;
  QItemSelectionModel* sel = selectionModel();
  const QModelIndex first = model_->index(row, 0);
  if (states & RVS_SELECTED) sel->select(first, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  else if (states & RVS_UNSELECTED) sel->select(first, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  if (states & RVS_CHECKED) SetRowCheck(row, true);
  else if (states & RVS_UNCHECKED) SetRowCheck(row, false);
  if (states & RVS_FOCUSED) sel->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
  else if ((states & RVS_UNFOCUSED) && currentIndex().isValid() && currentIndex().row() == row)
    sel->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
  return true;
}

int CReportCtrl::SetAllRowStates(int filter, int states) {
  int changed = 0;
  for (int i = 0; i < GetRowCount(); ++i) {
    if (GetRowStates(i) & filter) {
      SetRowStates(i, states);
      ++changed;
    }
  }
  return changed;
}

int CReportCtrl::FindPrevRow(int row, int filter) const {
  for (int i = std::min(row, GetRowCount()) - 1; i >= 0; --i)
    if (GetRowStates(i) & filter) return i;
  return -1;
}

void CReportCtrl::InvertSelection() {
  for (int i = 0; i < GetRowCount(); ++i)
    SetRowStates(i, (GetRowStates(i) & RVS_SELECTED) ? RVS_UNSELECTED : RVS_SELECTED);
}

void CReportCtrl::InvertChecks() {
  for (int i = 0; i < GetRowCount(); ++i) SetRowCheck(i, !GetRowCheck(i));
}

bool CReportCtrl::SetRowData(int row, uint32_t data) {
  if (!ValidRow(row) || !model_->rows[static_cast<size_t>(row)].record) return false;
  model_->rows[static_cast<size_t>(row)].record->userData = data;
  return true;
}

uint32_t CReportCtrl::GetRowData(int row) const {
  if (!ValidRow(row) || !model_->rows[static_cast<size_t>(row)].record) return 0;
  return model_->rows[static_cast<size_t>(row)].record->userData;
}

// --- colours ---

namespace {

// Calls change(colour) for each colour of the cells that row and column (−1: all) name, then
// repaints them; false when they name no cell.
bool ForEachColor(ReportModel* model, int row, int column, bool text, const std::function<void(COLORREF&)>& change) {
  const int rows = model->rowCount();
  const int cols = model->columnCount();
  if (row >= rows || column >= cols || row < -1 || column < -1) return false;
  const int firstRow = row < 0 ? 0 : row;
  const int lastRow = row < 0 ? rows - 1 : row;
  const int firstCol = column < 0 ? 0 : column;
  const int lastCol = column < 0 ? cols - 1 : column;
  for (int r = firstRow; r <= lastRow; ++r) {
    ReportRowRecord* rec = model->rows[static_cast<size_t>(r)].record.get();
    if (!rec) continue;
    std::vector<COLORREF>& arr = text ? rec->textColors : rec->backColors;
    for (int c = firstCol; c <= lastCol; ++c) change(arr[static_cast<size_t>(c)]);
  }
  if (firstRow <= lastRow && firstCol <= lastCol)
    emit model->dataChanged(model->index(firstRow, firstCol), model->index(lastRow, lastCol));
  return true;
}

bool SetColors(ReportModel* model, int row, int column, COLORREF color, bool text) {
  if (color == kColorInvalid) color = text ? DefaultTextColor() : DefaultBkColor();
  return ForEachColor(model, row, column, text, [color](COLORREF& c) { c = color; });
}

}  // namespace

bool CReportCtrl::SetCellTextColor(int row, int column, COLORREF color) {
  return SetColors(model_, row, column, color, true);
}
bool CReportCtrl::SetCellBkColor(int row, int column, COLORREF color) {
  return SetColors(model_, row, column, color, false);
}

bool CReportCtrl::SetCellAlert(int row, int column, bool alert) {
  const COLORREF normal = DefaultTextColor();
  return ForEachColor(model_, row, column, true, [alert, normal](COLORREF& c) {
    if (alert) c = kAlertTextColor;
    else if (c == kAlertTextColor) c = normal;
  });
}

bool CReportCtrl::IsCellAlert(int row, int column) const { return GetCellTextColor(row, column) == kAlertTextColor; }

COLORREF CReportCtrl::GetCellTextColor(int row, int column) const {
  if (!ValidCell(row, column)) return kColorInvalid;
  const auto& rec = model_->rows[static_cast<size_t>(row)].record;
  return rec ? rec->textColors[static_cast<size_t>(column)] : kColorInvalid;
}

COLORREF CReportCtrl::GetCellBkColor(int row, int column) const {
  if (!ValidCell(row, column)) return kColorInvalid;
  const auto& rec = model_->rows[static_cast<size_t>(row)].record;
  return rec ? rec->backColors[static_cast<size_t>(column)] : kColorInvalid;
}

void CReportCtrl::SetImageList(const QPixmap& bitmap) {
  model_->images = CutImages(bitmap);
  model_->ChangedAll();
}

void CReportCtrl::SetHeaderImageList(const QPixmap& bitmap) {
  model_->headerImages = CutImages(bitmap);
  if (GetColumnCount() > 0) emit model_->headerDataChanged(Qt::Horizontal, 0, GetColumnCount() - 1);
}

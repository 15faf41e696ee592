// The report list's cell editor, mouse and keys.
#include "ui/controls/report_ctrl.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>

#include "ui/controls/report_model.h"
#include "ui/platform/text.h"

using namespace report_detail;

// --- cell editor ---

bool CReportCtrl::IsEditing() const {
  return editable_ && editRow_ >= 0 && editRow_ < GetRowCount() && editColumn_ >= 0 && editColumn_ < GetColumnCount();
}

void CReportCtrl::SetEditable(bool editable) {
  if (!editable) EndEdit(true);
  editable_ = editable;
}

bool CReportCtrl::StartEdit(int row, int column) {
  if (!editable_ || !ValidCell(row, column)) return false;
  if (IsEditing() && editRow_ == row && editColumn_ == column) return true;
  EndEdit(true);
  editRow_ = row;
  editColumn_ = column;
  clearSelection();
  selectionModel()->setCurrentIndex(model_->index(row, 0),
                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const int format = model_->columns[static_cast<size_t>(column)].format;
  editAlignment_ = format == LVCFMT_RIGHT ? 2 : format == LVCFMT_CENTER ? 1 : 0;
  edit_->setAlignment(editAlignment_ == 2 ? Qt::AlignRight : editAlignment_ == 1 ? Qt::AlignHCenter : Qt::AlignLeft);
  edit_->setFont(font());
  scrollTo(model_->index(row, column));
  QRect r = visualRect(model_->index(row, column));
  if (column > 0 && GetCellImage(row, column) >= 0) r.setLeft(r.left() + 16);
  edit_->setGeometry(r);
  edit_->setText(GetCellText(row, column));
  edit_->show();
  edit_->selectAll();
  edit_->setFocus();
  return true;
}

bool CReportCtrl::EndEdit(bool commit) {
  if (!IsEditing()) {
    editRow_ = editColumn_ = -1;
    if (edit_) edit_->hide();
    return false;
  }
  const QString text = edit_->text();
  const int row = editRow_;
  const int column = editColumn_;
  edit_->hide();
  editRow_ = editColumn_ = -1;
  setFocus();
  return commit && text != GetCellText(row, column);
}

bool CReportCtrl::eventFilter(QObject* watched, QEvent* e) {
  if (watched == edit_ && e->type() == QEvent::KeyPress && IsEditing()) {
    auto* k = static_cast<QKeyEvent*>(e);
    const int row = editRow_;
    const int column = editColumn_;
    switch (k->key()) {
      case Qt::Key_Tab:
        EndEdit(true);
        StartEdit(row, column + 1 < GetColumnCount() ? column + 1 : 0);
        return true;
      case Qt::Key_Return:
      case Qt::Key_Enter: EndEdit(true); return true;
      case Qt::Key_Escape: EndEdit(false); return true;
      case Qt::Key_Up:
        if (row > 0) {
          EndEdit(true);
          StartEdit(row - 1, column);
          return true;
        }
        return false;
      case Qt::Key_Down:
        if (row + 1 < GetRowCount()) {
          EndEdit(true);
          StartEdit(row + 1, column);
          return true;
        }
        return false;
      default: return false;
    }
  }
  return QTableView::eventFilter(watched, e);
}

// --- mouse and keys ---

QRect CReportCtrl::CheckBoxRect(int row) const {
  if (!ValidRow(row) || GetColumnCount() == 0 || !model_->checkboxes) return QRect();
  QStyleOptionViewItem opt;
  initViewItemOption(&opt);
  opt.rect = visualRect(model_->index(row, 0));
  opt.features |= QStyleOptionViewItem::HasCheckIndicator;
  opt.index = model_->index(row, 0);
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, this);
}

void CReportCtrl::mousePressEvent(QMouseEvent* e) { HandleMouse(e, false); }
void CReportCtrl::mouseDoubleClickEvent(QMouseEvent* e) { HandleMouse(e, true); }

void CReportCtrl::HandleMouse(QMouseEvent* e, bool doubleClick) {
  const QPoint pos = e->position().toPoint();
  const QModelIndex hit = indexAt(pos);
  const int row = hit.isValid() ? hit.row() : -1;
  const bool wasChecked = GetRowCheck(row);
  const bool editWasOpen = IsEditing();
  EndEdit(true);
  const bool wasSelectedFocused = row >= 0 && (GetRowStates(row) & RVS_SELECTED) && (GetRowStates(row) & RVS_FOCUSED);

  unsigned message;
  switch (e->button()) {
    case Qt::RightButton: message = doubleClick ? WM_RBUTTONDBLCLK : WM_RBUTTONDOWN; break;
    case Qt::MiddleButton: message = doubleClick ? WM_MBUTTONDBLCLK : WM_MBUTTONDOWN; break;
    default: message = doubleClick ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN; break;
  }

  // The list's own handling: selection, and a left press on the check box toggles it.
  if (doubleClick) QTableView::mouseDoubleClickEvent(e);
  else QTableView::mousePressEvent(e);
  if (row >= 0 && e->button() == Qt::LeftButton && model_->checkboxes && CheckBoxRect(row).contains(pos))
    SetRowCheck(row, !GetRowCheck(row));

  const bool changed = HandleCheckChange(row, wasChecked, message);

  if (editable_ && e->button() == Qt::LeftButton && !changed && !editWasOpen && wasSelectedFocused && hit.isValid() &&
      hit.column() == 6)
    StartEdit(row, 6);
}

bool CReportCtrl::HandleCheckChange(int row, bool wasChecked, unsigned message) {
  const bool nowChecked = GetRowCheck(row);
  if (row < 0 || checkMode_ == RC_CHKBOX_NONE || nowChecked == wasChecked) return false;
  if (checkMode_ == RC_CHKBOX_DISABLED) {
    SetRowCheck(row, wasChecked);
    return true;
  }
  if (checkMode_ == RC_CHKBOX_SINGLE && nowChecked) {
    for (int i = 0; i < GetRowCount(); ++i)
      if (i != row) SetRowCheck(i, false);
    SetRowCheck(row, true);
  }
  clearSelection();
  selectionModel()->setCurrentIndex(model_->index(row, 0),
                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  emit notify(WM_REPORT_CHECKCHANGED, row, static_cast<int>(message));
  emit checkChanged(row, static_cast<int>(message));
  return true;
}

void CReportCtrl::keyPressEvent(QKeyEvent* e) {
  // Space ticks the focused row as a left click on its box would (the table's own Space would
  // only select); a held key does not flicker the box.
  if (!IsEditing() && e->key() == Qt::Key_Space) {
    e->accept();
    const int row = currentIndex().isValid() ? currentIndex().row() : -1;
    if (e->isAutoRepeat() || !ValidRow(row) || !model_->checkboxes) return;
    const bool wasChecked = GetRowCheck(row);
    SetRowCheck(row, !wasChecked);
    HandleCheckChange(row, wasChecked, WM_LBUTTONDOWN);
    return;
  }
  QTableView::keyPressEvent(e);
}

void CReportCtrl::FillParent() {
  if (QWidget* p = parentWidget()) setGeometry(p->rect());
}

// The rows and columns behind a report list: the table model that the view shows, shared by
// the control's source files.
#pragma once

#include <QAbstractTableModel>
#include <QApplication>
#include <QPalette>
#include <QPixmap>

#include <functional>
#include <memory>
#include <vector>

#include "ui/controls/report_ctrl.h"

namespace report_detail {

inline COLORREF ToColorRef(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }
inline QColor FromColorRef(COLORREF c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }
inline COLORREF DefaultTextColor() { return ToColorRef(QApplication::palette().color(QPalette::Text)); }
inline COLORREF DefaultBkColor() { return ToColorRef(QApplication::palette().color(QPalette::Base)); }
Qt::Alignment AlignmentOf(int format);

}  // namespace report_detail

struct ReportRow {
  std::vector<QString> texts;
  std::vector<int> images;
  bool checked = false;
  std::unique_ptr<ReportRowRecord> record;
};

struct ReportColumn {
  QString heading;
  int format = LVCFMT_LEFT;
  int image = -1;
  bool imageLeft = true;
};

class ReportModel : public QAbstractTableModel {
 public:
  std::vector<ReportRow> rows;
  std::vector<ReportColumn> columns;
  std::vector<QPixmap> images;
  std::vector<QPixmap> headerImages;
  bool checkboxes = false;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows.size());
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(columns.size());
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid()) return QVariant();
    const ReportRow& row = rows[static_cast<size_t>(index.row())];
    const size_t c = static_cast<size_t>(index.column());
    switch (role) {
      case Qt::DisplayRole: return c < row.texts.size() ? row.texts[c] : QString();
      case Qt::CheckStateRole:
        if (checkboxes && c == 0) return row.checked ? Qt::Checked : Qt::Unchecked;
        return QVariant();
      case Qt::ForegroundRole:
        if (row.record && c < row.record->textColors.size() &&
            row.record->textColors[c] != report_detail::DefaultTextColor())
          return report_detail::FromColorRef(row.record->textColors[c]);
        return QVariant();
      case Qt::BackgroundRole:
        if (row.record && c < row.record->backColors.size() &&
            row.record->backColors[c] != report_detail::DefaultBkColor())
          return report_detail::FromColorRef(row.record->backColors[c]);
        return QVariant();
      case Qt::DecorationRole: {
        int image = c < row.images.size() ? row.images[c] : -1;
        if (image >= 0 && static_cast<size_t>(image) < images.size()) return images[static_cast<size_t>(image)];
        return QVariant();
      }
      case Qt::TextAlignmentRole: return static_cast<int>(report_detail::AlignmentOf(columns[c].format));
      default: return QVariant();
    }
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || section < 0 || static_cast<size_t>(section) >= columns.size())
      return QVariant();
    const ReportColumn& col = columns[static_cast<size_t>(section)];
    switch (role) {
      case Qt::DisplayRole: return col.heading;
      case Qt::TextAlignmentRole: return static_cast<int>(report_detail::AlignmentOf(col.format));
      case Qt::DecorationRole:
        if (col.image >= 0 && static_cast<size_t>(col.image) < headerImages.size())
          return headerImages[static_cast<size_t>(col.image)];
        return QVariant();
      default: return QVariant();
    }
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    // Check boxes are toggled by the control on the press itself, not by the delegate.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  }

  void ChangedRow(int row) { emit dataChanged(index(row, 0), index(row, std::max(0, columnCount() - 1))); }
  void ChangedAll() {
    if (!rows.empty() && !columns.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
  }
  void BeginLayout() { emit layoutAboutToBeChanged(); }
  void EndLayout() { emit layoutChanged(); }
  void Reset(const std::function<void()>& change) {
    beginResetModel();
    change();
    endResetModel();
  }
  void InsertRowAt(int at, ReportRow row) {
    beginInsertRows(QModelIndex(), at, at);
    rows.insert(rows.begin() + at, std::move(row));
    endInsertRows();
  }
  void RemoveRowAt(int at) {
    beginRemoveRows(QModelIndex(), at, at);
    rows.erase(rows.begin() + at);
    endRemoveRows();
  }
  void InsertColumnAt(int at, ReportColumn col) {
    beginInsertColumns(QModelIndex(), at, at);
    columns.insert(columns.begin() + at, std::move(col));
    for (ReportRow& r : rows) {
      r.texts.insert(r.texts.begin() + at, QString());
      r.images.insert(r.images.begin() + at, -1);
    }
    endInsertColumns();
  }
  void RemoveColumnAt(int at) {
    beginRemoveColumns(QModelIndex(), at, at);
    columns.erase(columns.begin() + at);
    for (ReportRow& r : rows) {
      r.texts.erase(r.texts.begin() + at);
      r.images.erase(r.images.begin() + at);
      if (r.record) {
        r.record->textColors.erase(r.record->textColors.begin() + at);
        r.record->backColors.erase(r.record->backColors.begin() + at);
      }
    }
    endRemoveColumns();
  }
  void HeaderChanged(int column) { emit headerDataChanged(Qt::Horizontal, column, column); }
};

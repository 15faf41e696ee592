// Paints a progress bar behind a list cell whose text reports an upload percentage, so the
// operator sees the upload move without reading numbers. The cell text stays what the page
// wrote; the percentage is read back from it, so the bar can never disagree with the text.
#pragma once

#include <QString>
#include <QStyledItemDelegate>

class CProgressTextDelegate : public QStyledItemDelegate {
 public:
  // prefix and suffix surround the decimal percentage, e.g. "上传文件中.." and "..".
  CProgressTextDelegate(const QString& prefix, const QString& suffix, QObject* parent = nullptr);

  // The percentage (0..100) a text reports, or -1 when it is no progress text.
  int PercentOf(const QString& text) const;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  QString prefix_;
  QString suffix_;
};

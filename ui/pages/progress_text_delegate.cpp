#include "ui/pages/progress_text_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <algorithm>

CProgressTextDelegate::CProgressTextDelegate(const QString& prefix, const QString& suffix, QObject* parent)
    : QStyledItemDelegate(parent), prefix_(prefix), suffix_(suffix) {}

int CProgressTextDelegate::PercentOf(const QString& text) const {
  if (!text.startsWith(prefix_) || !text.endsWith(suffix_)) return -1;
  const qsizetype digits = text.size() - prefix_.size() - suffix_.size();
  if (digits <= 0 || digits > 3) return -1;
  bool ok = false;
  const int pct = text.mid(prefix_.size(), digits).toInt(&ok);
  if (!ok || pct < 0 || pct > 100) return -1;
  return pct;
}

void CProgressTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const int pct = PercentOf(opt.text);
  if (pct < 0) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  const QWidget* widget = opt.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  painter->save();
  // Cell background and selection first, then the bar, then the text on top of both.
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
  QRect bar = opt.rect.adjusted(2, 2, -2, -2);
  if (bar.width() > 0 && bar.height() > 0) {
    painter->setPen(QColor(0x3c, 0x8d, 0x40));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(bar.adjusted(0, 0, -1, -1));
    QRect done = bar.adjusted(1, 1, -1, -1);
    done.setWidth(done.width() * pct / 100);
    if (done.width() > 0) painter->fillRect(done, QColor(0x66, 0xbb, 0x6a, 150));
  }
  const bool selected = opt.state & QStyle::State_Selected;
  painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
  painter->setFont(opt.font);
  QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
  // Inside the bar's frame, clear of its left edge: the style's text margin may be narrower.
  if (bar.width() > 0) textRect.setLeft(std::max(textRect.left(), bar.left() + 4));
  painter->drawText(textRect, static_cast<int>(opt.displayAlignment), opt.text);
  painter->restore();
}

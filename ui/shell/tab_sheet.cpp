#include "ui/shell/tab_sheet.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QWheelEvent>

#include "ui/platform/dialog.h"

CTabStrip::CTabStrip(CTabSheet* sheet) : QTabBar(sheet), sheet_(sheet) {
  setDrawBase(false);
  setExpanding(false);
  // Keyboard and wheel would select a tab without switching the page; only the mouse press
  // on a tab selects.
  setFocusPolicy(Qt::NoFocus);
}

void CTabStrip::mousePressEvent(QMouseEvent* e) {
  QTabBar::mousePressEvent(e);
  sheet_->OnStripPressed();
}

void CTabStrip::wheelEvent(QWheelEvent* e) { e->ignore(); }

CTabSheet::CTabSheet(QWidget* parent) : QWidget(parent), strip_(new CTabStrip(this)) { strip_->move(0, 0); }

CTabSheet::~CTabSheet() {
  // The pages belong to the window that holds them as members, not to this control: give
  // back those that are still children here. Only live children are touched, so a page
  // destroyed before the sheet is no problem.
  const QObjectList children = this->children();
  for (QObject* child : children) {
    auto* w = qobject_cast<QWidget*>(child);
    if (!w) continue;
    for (int i = 0; i < count_; ++i) {
      if (static_cast<QWidget*>(pages_[static_cast<size_t>(i)]) == w) {
        w->hide();
        w->setParent(nullptr);
        break;
      }
    }
  }
}

bool CTabSheet::AddPage(const QString& title, CDialogPage* page, int templateId) {
  if (count_ >= kMaxPages) return false;
  titles_[static_cast<size_t>(count_)] = title;
  pages_[static_cast<size_t>(count_)] = page;
  templateIds_[static_cast<size_t>(count_)] = templateId;
  ++count_;
  return true;
}

CDialogPage* CTabSheet::GetPage(int index) const {
  return index >= 0 && index < count_ ? pages_[static_cast<size_t>(index)] : nullptr;
}

QString CTabSheet::GetTitle(int index) const {
  return index >= 0 && index < count_ ? titles_[static_cast<size_t>(index)] : QString();
}

int CTabSheet::GetTemplateId(int index) const {
  return index >= 0 && index < count_ ? templateIds_[static_cast<size_t>(index)] : 0;
}

void CTabSheet::CreatePages() {
  for (int i = 0; i < count_; ++i) {
    CDialogPage* page = pages_[static_cast<size_t>(i)];
    if (page) page->Create(templateIds_[static_cast<size_t>(i)], this);
    strip_->insertTab(i, titles_[static_cast<size_t>(i)]);
  }
  strip_->resize(width(), strip_->sizeHint().height());
  for (int i = 0; i < count_; ++i) {
    if (CDialogPage* page = pages_[static_cast<size_t>(i)]) page->setVisible(i == 0);
  }
  PlacePages();
}

QRect CTabSheet::PageRect() const {
  const QRect client = rect();
  QRect tab = strip_->count() > 0 ? strip_->tabRect(0).translated(strip_->pos()) : QRect();
  // Windows-style rectangles: right and bottom are one past the last pixel.
  const int tabLeft = tab.left();
  const int tabBottom = tab.isValid() ? tab.top() + tab.height() : 0;
  const int clientRight = client.left() + client.width();
  const int clientBottom = client.top() + client.height();
  return QRect(tabLeft, tabBottom + 1, clientRight - tabLeft - 2, clientBottom - tabBottom - 3);
}

void CTabSheet::PlacePages() {
  const QRect r = PageRect();
  for (int i = 0; i < count_; ++i) {
    CDialogPage* page = pages_[static_cast<size_t>(i)];
    if (!page) continue;
    page->setGeometry(r);
    if (i == 0) {
      page->raise();
      page->show();
    } else {
      page->hide();
    }
  }
}

void CTabSheet::ResizePages() {
  const QRect r = PageRect();
  for (int i = 0; i < count_; ++i) {
    if (CDialogPage* page = pages_[static_cast<size_t>(i)]) {
      page->setGeometry(r);
      page->update();
    }
  }
}

int CTabSheet::SelectPage(int index) {
  if (index < 0 || index >= count_) return -1;
  if (index == current_) return current_;
  const int previous = current_;
  if (CDialogPage* page = pages_[static_cast<size_t>(current_)]) page->hide();
  current_ = index;
  if (CDialogPage* page = pages_[static_cast<size_t>(current_)]) page->show();
  strip_->setCurrentIndex(index);
  return previous;
}

void CTabSheet::OnStripPressed() {
  const int focused = strip_->currentIndex();
  if (focused < 0 || focused >= count_ || focused == current_) return;
  if (CDialogPage* page = pages_[static_cast<size_t>(current_)]) page->hide();
  current_ = focused;
  if (CDialogPage* page = pages_[static_cast<size_t>(current_)]) page->show();
}

void CTabSheet::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  strip_->resize(width(), strip_->sizeHint().height());
}

void CTabSheet::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QStyleOptionTabWidgetFrame opt;
  opt.initFrom(this);
  const int top = strip_->count() > 0 ? strip_->geometry().bottom() + 1 : 0;
  opt.rect = QRect(0, top - 1, width(), height() - top + 1);
  opt.tabBarSize = strip_->size();
  opt.shape = QTabBar::RoundedNorth;
  opt.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  style()->drawPrimitive(QStyle::PE_FrameTabWidget, &opt, &p, this);
}

#include "ui/controls/proportional_layout.h"

#include <QWidget>

#include "ui/platform/dialog.h"

bool ProportionalLayout::AddControl(int id, QWidget* parent) {
  if (!parent) return false;
  client_ = parent->rect();
  QWidget* control = GetDlgItem(parent, id);
  if (!control || client_.width() <= 0 || client_.height() <= 0) return false;
  const QRect r = control->geometry();  // already in the parent's client coordinates
  const float width = static_cast<float>(client_.width());
  const float height = static_cast<float>(client_.height());
  entries_.push_back({id, parent, static_cast<float>(r.left()) / width, static_cast<float>(r.top()) / height,
                      static_cast<float>(r.left() + r.width()) / width,
                      static_cast<float>(r.top() + r.height()) / height});
  return true;
}

void ProportionalLayout::Relayout() {
  for (const LayoutEntry& e : entries_) {
    client_ = e.parent->rect();
    QWidget* control = GetDlgItem(e.parent, e.id);
    if (!control) continue;
    const float width = static_cast<float>(client_.width());
    const float height = static_cast<float>(client_.height());
    // Truncation toward zero, not rounding.
    const int x = static_cast<int>(e.left * width);
    const int y = static_cast<int>(e.top * height);
    const int right = static_cast<int>(e.right * width);
    const int bottom = static_cast<int>(e.bottom * height);
    control->setGeometry(x, y, right - x, bottom - y);
    control->update();
  }
}

// Keeps a window's controls at the same fractions of its client area: each control's edges
// are stored as ratios when it is added and re-applied (truncated to whole pixels) on resize.
#pragma once

#include <QRect>
#include <vector>

class QWidget;

struct LayoutEntry {
  int id;
  QWidget* parent;
  float left, top, right, bottom;
};

class ProportionalLayout {
 public:
  // Records the control's edges as fractions of the parent's client size. False when the
  // parent has no control with that id or an empty client area.
  bool AddControl(int id, QWidget* parent);
  // Moves every recorded control to its fractions of the current client size; entries whose
  // control is gone are skipped.
  void Relayout();

  const std::vector<LayoutEntry>& Entries() const { return entries_; }

 private:
  QRect client_;
  std::vector<LayoutEntry> entries_;
};

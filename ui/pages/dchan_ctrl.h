// CDChanCtrl: the channel-management page. The main window constructs it and gives it a
// reference back to itself, but never shows it.
#pragma once

#include "ui/platform/dialog.h"

class CDChanCtrl : public CDialogPage {
 public:
  CDChanCtrl() : CDialogPage(IDD_DCHANCTRL) {}
  ~CDChanCtrl() override { DestroyHost(); }

  void SetOwner(QWidget* owner) { m_owner = owner; }
  QWidget* Owner() const { return m_owner; }

 private:
  QWidget* m_owner = nullptr;
};

// CSendtime: the clock-broadcast page (second tab): its window and layout. The check box
// switches the broadcast once the discovery library provides it.
#pragma once

#include "ui/controls/proportional_layout.h"
#include "ui/platform/dialog.h"

class CSendtime : public CDialogPage {
 public:
  CSendtime();
  ~CSendtime() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;

 private:
  ProportionalLayout m_layout;
};

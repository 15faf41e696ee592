// CUpgrade: the firmware-upgrade page. The main window constructs it but never shows it.
#pragma once

#include "ui/platform/dialog.h"

class CUpgrade : public CDialogPage {
 public:
  CUpgrade() : CDialogPage(IDD_UPGRADE) {}
  ~CUpgrade() override { DestroyHost(); }
};

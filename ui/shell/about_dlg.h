// The about box: the application icon, the version text and an OK button.
#pragma once

#include "ui/platform/dialog.h"

class CAboutDlg : public CDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr) : CDialog(IDD_ABOUTBOX, parent) {}
};

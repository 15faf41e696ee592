// CDravlinDlg: the boot-picture page (first tab). This holds its window: the recorder list
// with its columns, the controls of its template, the hidden expansion and buzzer groups, and
// the proportional layout. The maintenance workflow itself is added on top of this.
#pragma once

#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"

class CDravlinDlg : public CDialogPage {
 public:
  CDravlinDlg();
  ~CDravlinDlg() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;

  CReportCtrl& List() { return m_list; }

 private:
  CReportCtrl m_list;
  ProportionalLayout m_layout;
};

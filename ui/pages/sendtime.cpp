#include "ui/pages/sendtime.h"

CSendtime::CSendtime() : CDialogPage(IDD_SENDTIME) {}

CSendtime::~CSendtime() { DestroyHost(); }

bool CSendtime::OnInitDialog() {
  m_layout.AddControl(1015, this);
  m_layout.AddControl(1013, this);
  return true;
}

void CSendtime::OnSize(int type, int, int) {
  if (type != SIZE_MINIMIZED) m_layout.Relayout();
}

#include "ui/pages/dravlin_dlg.h"

namespace {

constexpr int kLayoutIds[] = {1000, 1001, 1003, 1005, 1051, 1052, 1053, 1054, 1055, 1056, 1057, 1041, 1040,
                              1043, 1042, 1017, 1044, 1046, 1018, 1045, 1024, 1058, 1059, 1060, 1023, 1038,
                              1047, 1036, 1048, 1049, 1050, 1061, 1062, 1039, 1015};
constexpr int kHiddenGroupIds[] = {1058, 1059, 1060, 1023, 1038, 1047, 1036, 1048, 1049, 1050, 1061, 1062, 1039, 1015};

}  // namespace

CDravlinDlg::CDravlinDlg() : CDialogPage(IDD_DRAVLIN_DIALOG) { Bind(1000, m_list); }

CDravlinDlg::~CDravlinDlg() { DestroyHost(); }

bool CDravlinDlg::OnInitDialog() {
  m_list.ModifyStyle(0, LVS_SHOWSELALWAYS | LVS_NOLABELWRAP);
  m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  m_list.InsertColumn(0, "IP地址", LVCFMT_CENTER, 125);
  m_list.InsertColumn(1, "网关地址", LVCFMT_LEFT, 120);
  m_list.InsertColumn(2, "设备类型", LVCFMT_LEFT, 140);
  m_list.InsertColumn(3, "序列号", LVCFMT_LEFT, 140);
  m_list.InsertColumn(4, "状态", LVCFMT_LEFT, 172);
  for (const char* model : {"QV5232C", "QV5108D", "QV5116D", "QV5x36M", "QV5104A", "QV5108A"})
    ComboAddString(1023, QString::fromUtf8(model));
  ComboSetCurSel(1023, 0);
  for (int id : kLayoutIds) m_layout.AddControl(id, this);
  for (int id : kHiddenGroupIds) ShowWindow(id, false);
  return true;
}

void CDravlinDlg::OnSize(int type, int, int) {
  if (type == SIZE_MINIMIZED) return;
  m_layout.Relayout();
  const int width = m_list.width();
  for (int c = 0; c < m_list.GetColumnCount(); ++c) m_list.setColumnWidth(c, width / 5);
}

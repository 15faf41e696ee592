#include "ui/pages/channel_set.h"

#include <QComboBox>

#include "ui/platform/ip_address_ctrl.h"

bool CChannelSet::OnInitDialog() {
  ComboAddString(IDC_CHANSET_PROTOCOL, QStringLiteral("MVK"));
  ComboAddString(IDC_CHANSET_PROTOCOL, QStringLiteral("ONVIF"));
  ComboSetCurSel(IDC_CHANSET_PROTOCOL, m_protocol == QLatin1String("MVK") ? 0 : 1);
  if (auto* ip = ControlAs<CIPAddressCtrl>(IDC_CHANSET_ADDRESS)) ip->SetAddress(m_address);
  SetDlgItemText(IDC_CHANSET_USER, m_user);
  SetDlgItemText(IDC_CHANSET_PASSWORD, m_password);
  SetDlgItemText(IDC_CHANSET_PORT, QString::number(m_port));
  if (m_addressEditable == 0) EnableWindow(IDC_CHANSET_ADDRESS, false);
  return true;
}

void CChannelSet::OnOK() {
  if (auto* ip = ControlAs<CIPAddressCtrl>(IDC_CHANSET_ADDRESS)) ip->GetAddress(&m_address);
  m_user = GetDlgItemText(IDC_CHANSET_USER);
  m_password = GetDlgItemText(IDC_CHANSET_PASSWORD);
  bool ok = false;
  const int port = GetDlgItemText(IDC_CHANSET_PORT).trimmed().toInt(&ok, 10);
  if (!ok) {
    MessageBox(kNeedIntegerText, MB_OK | MB_ICONWARNING);
    SetFocus(IDC_CHANSET_PORT);
    return;
  }
  m_port = port;
  if (auto* c = ControlAs<QComboBox>(IDC_CHANSET_PROTOCOL)) m_protocol = c->currentText();
  EndDialog(IDOK);
}

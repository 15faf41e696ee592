#include "ui/pages/net_assign_dlg.h"

#include <QCheckBox>

#include "base/sock.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/ip_address_ctrl.h"
#include "ui/platform/text.h"
#include "util/fixedstr.h"

namespace {

QString Field(const char (&f)[256]) { return FromGbk(fixed_view(f)); }

uint32_t Parsed(const char (&f)[256]) {
  uint32_t a = 0;
  return ipv4_parse(std::string(fixed_view(f)).c_str(), &a) ? a : 0;
}

}  // namespace

bool CNetAssignDlg::OnInitDialog() {
  if (CReportCtrl* list = Report(IDC_NET_PREVIEW)) {
    list->SetExtendedStyle(list->GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    list->InsertColumn(0, "序列号", LVCFMT_LEFT, 170);
    list->InsertColumn(1, "当前IP", LVCFMT_LEFT, 135);
    list->InsertColumn(2, "新IP", LVCFMT_LEFT, 135);
    for (size_t i = 0; i < m_rows.size(); ++i)
      list->InsertRow(static_cast<int>(i), QStringList{FromGbk(m_rows[i].serial), Field(m_rows[i].before.IPAddress)});
  }
  // The first recorder's netmask, gateway and DNS servers are where most sites start from.
  if (!m_rows.empty()) {
    const LanCfg& first = m_rows.front().before;
    const struct {
      int id;
      uint32_t value;
    } fields[] = {{IDC_NET_NETMASK, Parsed(first.Netmask)},
                  {IDC_NET_GATEWAY, Parsed(first.Gateway)},
                  {IDC_NET_DNS1, Parsed(first.DNS1)},
                  {IDC_NET_DNS2, Parsed(first.DNS2)}};
    for (const auto& f : fields)
      if (auto* ip = ControlAs<CIPAddressCtrl>(f.id); ip && f.value != 0) ip->SetAddress(f.value);
  }
  for (int id : {IDC_NET_START_IP, IDC_NET_NETMASK, IDC_NET_GATEWAY, IDC_NET_DNS1, IDC_NET_DNS2})
    if (auto* ip = ControlAs<CIPAddressCtrl>(id))
      QObject::connect(ip, &QLineEdit::textChanged, this, [this] { UpdatePreview(); });
  UpdatePreview();
  return true;
}

void CNetAssignDlg::OnCommand(int id, int code) {
  if (id == IDC_NET_DHCP) {
    const bool dhcp = IsDlgButtonChecked(IDC_NET_DHCP);
    for (int f : {IDC_NET_START_IP, IDC_NET_NETMASK, IDC_NET_GATEWAY, IDC_NET_DNS1, IDC_NET_DNS2})
      EnableWindow(f, !dhcp);
    UpdatePreview();
    return;
  }
  CDialog::OnCommand(id, code);
}

QString CNetAssignDlg::Address(int id) const {
  auto* ip = ControlAs<CIPAddressCtrl>(id);
  uint32_t a = 0;
  if (!ip || ip->GetAddress(&a) != 4) return QString();
  char buf[16];
  ipv4_format(a, buf, sizeof buf);
  return QString::fromLatin1(buf);
}

jobs::NetPlanCheck CNetAssignDlg::Plan(std::vector<jobs::NetAssignment>* out) const {
  std::vector<jobs::NetAssignment> plan = m_rows;
  for (jobs::NetAssignment& a : plan) a.want = a.before;
  if (IsDlgButtonChecked(IDC_NET_DHCP)) {
    for (jobs::NetAssignment& a : plan) a.want.DHCP = 1;
    *out = std::move(plan);
    return {};
  }
  const QString start = Address(IDC_NET_START_IP), mask = Address(IDC_NET_NETMASK);
  if (start.isEmpty()) return {jobs::kPlanBadAddress, "", ""};
  if (mask.isEmpty()) return {jobs::kPlanBadNetmask, "", ""};
  std::vector<std::string> taken;
  for (const jobs::FoundAddress& f : m_found) taken.push_back(f.ip);
  std::vector<std::string> addresses;
  jobs::NetPlanCheck c = jobs::plan_addresses(start.toStdString(), mask.toStdString(), plan.size(), taken, addresses);
  if (c.problem != jobs::kPlanOk) return c;
  const QString gateway = Address(IDC_NET_GATEWAY), dns1 = Address(IDC_NET_DNS1), dns2 = Address(IDC_NET_DNS2);
  for (size_t i = 0; i < plan.size(); ++i) {
    LanCfg& w = plan[i].want;
    w.DHCP = 0;
    fixed_copy(w.IPAddress, addresses[i]);
    fixed_copy(w.Netmask, mask.toStdString());
    // A field left blank keeps the recorder's own value.
    if (!gateway.isEmpty()) fixed_copy(w.Gateway, gateway.toStdString());
    if (!dns1.isEmpty()) fixed_copy(w.DNS1, dns1.toStdString());
    if (!dns2.isEmpty()) fixed_copy(w.DNS2, dns2.toStdString());
  }
  *out = std::move(plan);
  return jobs::check_net_plan(*out, m_found);
}

QStringList CNetAssignDlg::PreviewRow(int row) const {
  CReportCtrl* list = Report(IDC_NET_PREVIEW);
  if (!list || row < 0 || row >= list->GetRowCount()) return {};
  return {list->GetCellText(row, 0), list->GetCellText(row, 1), list->GetCellText(row, 2)};
}

void CNetAssignDlg::UpdatePreview() {
  CReportCtrl* list = Report(IDC_NET_PREVIEW);
  if (!list) return;
  std::vector<jobs::NetAssignment> plan;
  const jobs::NetPlanCheck c = Plan(&plan);
  // A plan that checks out, or one only the final checks refuse, shows its addresses.
  const bool shown = c.problem == jobs::kPlanOk || c.problem == jobs::kPlanGatewayOutside ||
                     c.problem == jobs::kPlanAddressTwice || c.problem == jobs::kPlanAddressTaken;
  for (int row = 0; row < list->GetRowCount() && static_cast<size_t>(row) < m_rows.size(); ++row) {
    QString text;
    if (shown && static_cast<size_t>(row) < plan.size()) {
      const LanCfg& w = plan[static_cast<size_t>(row)].want;
      text = w.DHCP ? QStringLiteral("DHCP") : Field(w.IPAddress);
    }
    list->SetCellText(row, 2, text);
  }
}

void CNetAssignDlg::OnOK() {
  std::vector<jobs::NetAssignment> plan;
  const jobs::NetPlanCheck c = Plan(&plan);
  QString why;
  const QString value = QString::fromStdString(c.value);
  switch (c.problem) {
    case jobs::kPlanOk: break;
    case jobs::kPlanBadAddress: why = value.isEmpty() ? U8("请输入起始IP地址") : U8("IP地址%1无效").arg(value); break;
    case jobs::kPlanBadNetmask: why = U8("子网掩码无效"); break;
    case jobs::kPlanGatewayOutside: why = U8("默认网关%1不在新IP地址的子网内").arg(value); break;
    case jobs::kPlanAddressTwice: why = U8("IP地址%1被分配了两次").arg(value); break;
    case jobs::kPlanAddressTaken: why = U8("IP地址%1已被其他设备使用").arg(value); break;
    case jobs::kPlanNoAddressLeft: why = U8("子网内剩余的IP地址不够分配"); break;
    default: why = U8("网络参数无效"); break;
  }
  if (!why.isEmpty()) {
    MessageBox(why, U8("Dravlin"), MB_OK | MB_ICONWARNING);
    return;
  }
  m_plan = std::move(plan);
  EndDialog(IDOK);
}

QString CFormatDiskDlg::DiskName(int disk) {
  switch (disk) {
    case 0: return QStringLiteral("sd1");
    case 1: return QStringLiteral("sd2");
    default: return QStringLiteral("usb");
  }
}

bool CFormatDiskDlg::OnInitDialog() {
  for (int d = 0; d < 3; ++d) ComboAddString(IDC_FMT_DISK, DiskName(d));
  ComboSetCurSel(IDC_FMT_DISK, m_disk);
  return true;
}

void CFormatDiskDlg::OnOK() {
  const int sel = ComboGetCurSel(IDC_FMT_DISK);
  m_disk = sel < 0 ? 0 : sel;
  EndDialog(IDOK);
}

// CNetAssignDlg: the operator gives the ticked recorders their site addresses in one step: a
// start address (each next recorder takes the next free one), netmask, gateway, DNS servers or
// DHCP, with a preview of each recorder's new address that follows the fields. OK is refused
// with a message for a plan that cannot work (a bad netmask, a gateway outside the subnet, an
// address twice or one another found recorder uses); otherwise the plan is left in m_plan for
// the page, which sends it. The dialog sends nothing.
#pragma once

#include <QString>
#include <vector>

#include "jobs/net_assign.h"
#include "ui/platform/dialog.h"
#include "ui/resources/net_assign_ids.h"

class CNetAssignDlg : public CDialog {
 public:
  explicit CNetAssignDlg(QWidget* parent = nullptr) : CDialog(IDD_NETASSIGN, parent) {}

  bool OnInitDialog() override;
  void OnCommand(int id, int code) override;
  void OnOK() override;

  // In: the recorders in list order (serial number and `before` filled), and every recorder
  // the search found. Out (IDOK): the same recorders with their new settings.
  std::vector<jobs::NetAssignment> m_rows;
  std::vector<jobs::FoundAddress> m_found;
  std::vector<jobs::NetAssignment> m_plan;

  // The preview's rows: serial number, current address, new address.
  QStringList PreviewRow(int row) const;

 private:
  // The plan from the fields now; its problem, kPlanOk when there is none.
  jobs::NetPlanCheck Plan(std::vector<jobs::NetAssignment>* out) const;
  // The address field's dotted text, "" when it is not complete.
  QString Address(int id) const;
  void UpdatePreview();
};

// CFormatDiskDlg: which disk to format (sd1, sd2 or usb); the page asks for confirmation after.
class CFormatDiskDlg : public CDialog {
 public:
  explicit CFormatDiskDlg(QWidget* parent = nullptr) : CDialog(IDD_FORMATDISK, parent) {}

  bool OnInitDialog() override;
  void OnOK() override;

  int m_disk = 0;  // 0 sd1, 1 sd2, 2 usb
  static QString DiskName(int disk);
};

// CDravlinDlg's installer tools on the right-click menu: new network settings for the ticked
// recorders (sent as the reconfiguration by serial number and confirmed by their own search
// answers, which the page's search brings in), and formatting a disk of each (a job on the
// runner like the other requests).
#include <QStringList>
#include <algorithm>
#include <memory>

#include "history/history.h"
#include "jobs/net_assign.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/net_assign_dlg.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"
#include "util/clock.h"
#include "util/fixedstr.h"

namespace {

constexpr char kNetSendingText[] = "正在修改网络参数";
constexpr char kNetDoneText[] = "网络参数修改成功";
constexpr char kNetNotConfirmedText[] = "网络参数修改失败(未确认)";
constexpr char kNetUnsentText[] = "网络参数修改失败(未发送)";

int64_t NowMs() { return static_cast<int64_t>(get_tick_ms()); }

}  // namespace

std::vector<int> CDravlinDlg::TickedRows() const {
  std::vector<int> rows;
  for (int row = 0; row < m_list.GetRowCount(); ++row)
    if (m_list.GetRowCheck(row) && m_IPCList.count(row)) rows.push_back(row);
  return rows;
}

void CDravlinDlg::OnSetNetwork() {
  if (TickedRows().empty()) {
    MessageBox("请先勾选要修改网络参数的设备", MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (m_netJob) {
    MessageBox("正在修改网络参数,请等待完成", MB_OK | MB_ICONINFORMATION);
    return;
  }
  // The recorders' answers to the search are what confirms the new settings.
  if (!m_searching) {
    MessageBox("修改网络参数需要搜索正在进行,请先点击\"搜索NVR\"", MB_OK | MB_ICONINFORMATION);
    return;
  }
  // What the recorders answer now: an address may have changed since the row was listed.
  for (auto& [row, e] : m_IPCList) {
    if (getipcinfo_copy(e.index, &e.info) != 1) continue;
    m_list.SetCellText(row, 0, FromGbk(fixed_view(e.info.lancfg.IPAddress)));
    m_list.SetCellText(row, 1, FromGbk(fixed_view(e.info.lancfg.Gateway)));
  }
  // In serial order, as the tool does: the same recorders get the same addresses however the
  // list happens to be sorted.
  std::vector<int> rows = TickedRows();
  std::sort(rows.begin(), rows.end(), [this](int a, int b) {
    return fixed_view(m_IPCList.at(a).info.devid.SerialNumber) < fixed_view(m_IPCList.at(b).info.devid.SerialNumber);
  });
  CNetAssignDlg dlg(this);
  for (int row : rows) {
    const IPC& e = m_IPCList.at(row);
    jobs::NetAssignment a;
    a.serial = std::string(fixed_view(e.info.devid.SerialNumber));
    a.before = e.info.lancfg;
    dlg.m_rows.push_back(a);
  }
  for (const auto& [row, e] : m_IPCList)
    dlg.m_found.push_back(
        {std::string(fixed_view(e.info.devid.SerialNumber)), std::string(fixed_view(e.info.lancfg.IPAddress))});
  if (Ui().DoModal(dlg) != IDOK || dlg.m_plan.empty()) return;

  m_netRows.clear();
  for (size_t i = 0; i < rows.size() && i < dlg.m_plan.size(); ++i) m_netRows[dlg.m_plan[i].serial] = rows[i];
  m_netJob =
      std::make_unique<jobs::NetAssignJob>(dlg.m_plan, nullptr, [this](const jobs::NetAssignment& a) { OnNetNews(a); });
  m_netJob->start(NowMs());
  SetTimer(kNetTimer, kNetPeriodMs);
  UpdateCounts();
}

void CDravlinDlg::OnNetNews(const jobs::NetAssignment& a) {
  auto it = m_netRows.find(a.serial);
  if (it == m_netRows.end()) return;
  const int row = it->second;
  switch (a.state) {
    case jobs::kNetSent: SetText(row, U8(kNetSendingText)); break;
    case jobs::kNetConfirmed: {
      SetText(row, U8(kNetDoneText));
      m_lastFailure.erase(row);
      m_list.SetCellAlert(row, kStatusColumn, false);
      // The row takes what the recorder now answers: its new address and gateway.
      auto e = m_IPCList.find(row);
      if (e != m_IPCList.end()) {
        getipcinfo_copy(e->second.index, &e->second.info);
        m_list.SetCellText(row, 0, FromGbk(fixed_view(e->second.info.lancfg.IPAddress)));
        m_list.SetCellText(row, 1, FromGbk(fixed_view(e->second.info.lancfg.Gateway)));
      }
      break;
    }
    case jobs::kNetNotConfirmed:
    case jobs::kNetUnsent:
      SetText(row, U8(a.state == jobs::kNetUnsent ? kNetUnsentText : kNetNotConfirmedText));
      m_lastFailure[row] = U8(a.state == jobs::kNetUnsent ? "请求未发送" : "30秒内未收到新参数的搜索应答");
      m_list.SetCellAlert(row, kStatusColumn, true);
      break;
    default: break;
  }
}

void CDravlinDlg::OnNetTimer() {
  if (!m_netJob) {
    KillTimer(kNetTimer);
    return;
  }
  const int64_t now = NowMs();
  IPCSearchInfo rec{};
  for (const auto& [serial, row] : m_netRows) {
    auto e = m_IPCList.find(row);
    if (e != m_IPCList.end() && getipcinfo_copy(e->second.index, &rec) == 1) m_netJob->observe(rec, now);
  }
  m_netJob->on_tick(now);
  if (m_netJob->finished()) {
    KillTimer(kNetTimer);
    m_netJob.reset();
    m_netRows.clear();
  }
  UpdateCounts();
}

void CDravlinDlg::OnFormatDisk() {
  const std::vector<int> rows = TickedRows();
  if (rows.empty()) {
    MessageBox("请先勾选要格式化硬盘的设备", MB_OK | MB_ICONINFORMATION);
    return;
  }
  CFormatDiskDlg dlg(this);
  if (Ui().DoModal(dlg) != IDOK) return;
  const QString question = U8("确定要格式化%1台设备的硬盘%2吗?\n硬盘上的录像将全部丢失,且无法恢复。")
                               .arg(rows.size())
                               .arg(CFormatDiskDlg::DiskName(dlg.m_disk));
  if (MessageBox(question, U8("Dravlin"), MB_YESNO | MB_ICONWARNING) != IDYES) return;
  EnableControls(false);
  m_runId = history::new_id();
  for (int row : rows) StartJob(row, {jobs::Step::format_disk(dlg.m_disk)}, "format-disk");
  SetTimer(kSuperviseTimer, kSupervisePeriodMs);
  UpdateCounts();
}

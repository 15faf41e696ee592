// CDravlinDlg's right-click menu on the recorder list (ui/pages/list_menu.h), the status cell's
// tooltip and the words for why a row's run failed.
#include "jobs/job.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/list_menu.h"
#include "ui/platform/text.h"

namespace {

constexpr int kColumns = 5;

const char* StepName(int kind) {
  switch (kind) {
    case jobs::kStepBootPicture: return "开机画面";
    case jobs::kStepChannelPicture: return "通道背景";
    case jobs::kStepShutdownPicture: return "关机画面";
    case jobs::kStepChannelAddMode: return "通道配置";
    case jobs::kStepBuzzer: return "蜂鸣器配置";
    case jobs::kStepReboot: return "重启";
    case jobs::kStepFormatDisk: return "格式化硬盘";
    default: return "请求";
  }
}

}  // namespace

QString CDravlinDlg::JobFailure(const jobs::Job& job) {
  QStringList failed;
  for (const jobs::StepOutcome& o : job.outcomes())
    if (!o.ok) failed << U8(StepName(o.kind));
  const QString steps = failed.isEmpty() ? QString() : U8("%1设置失败").arg(failed.join(U8("、")));
  QString why;
  switch (job.result()) {
    case jobs::kJobOk:
    case jobs::kJobStepFailed:
    case jobs::kJobCancelled: break;
    case jobs::kJobLoginRefused: why = U8("登录被拒绝"); break;
    case jobs::kJobNotStarted: why = U8("无法启动连接"); break;
    case jobs::kJobLinkLost: why = U8("连接中断"); break;
    case jobs::kJobUnsent: why = U8("请求未发送"); break;
    case jobs::kJobTimedOut: why = U8("15秒内未完成"); break;
    case jobs::kJobNoLoginAnswer: why = U8("15秒内未完成(NVR未应答登录)"); break;
    case jobs::kJobBadLoginAnswer: why = U8("15秒内未完成(NVR登录应答无效)"); break;
    default: why = QString::fromUtf8(jobs::job_result_text(job.result())); break;
  }
  if (why.isEmpty()) return steps;
  return steps.isEmpty() ? why : why + U8(";") + steps;
}

QString CDravlinDlg::LastFailure(int row) const {
  auto it = m_lastFailure.find(row);
  return it == m_lastFailure.end() ? QString() : it->second;
}

QString CDravlinDlg::StatusToolTip(int row) const {
  if (row < 0 || row >= m_list.GetRowCount()) return QString();
  const QString text = m_list.GetCellText(row, kStatusColumn);
  const QString why = LastFailure(row);
  return why.isEmpty() ? text : text + U8("\n失败原因: ") + why;
}

QString CDravlinDlg::ListCsv() const { return list_menu::Csv(m_list, kColumns); }

void CDravlinDlg::OnListMenu(const QPoint& pos) {
  const int id = list_menu::Show(
      *this, this, m_list, pos, kColumns, 3, [this](int row) { return !LastFailure(row).isEmpty(); },
      {{IDM_BOOT_SET_NETWORK, U8("修改网络参数..."), {}}, {IDM_BOOT_FORMAT_DISK, U8("格式化硬盘..."), {}}});
  if (id == IDM_BOOT_SET_NETWORK) OnSetNetwork();
  else if (id == IDM_BOOT_FORMAT_DISK) OnFormatDisk();
  UpdateCounts();
}

void CDravlinDlg::RunListCommand(int id, int clickedRow) {
  if (id == IDM_BOOT_SET_NETWORK || id == IDM_BOOT_FORMAT_DISK) {
    if (id == IDM_BOOT_SET_NETWORK) OnSetNetwork();
    else OnFormatDisk();
    UpdateCounts();
    return;
  }
  list_menu::Run(*this, m_list, id, clickedRow, kColumns, 3, [this](int row) { return !LastFailure(row).isEmpty(); });
  UpdateCounts();
}

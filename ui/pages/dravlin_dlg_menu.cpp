// CDravlinDlg's right-click menu on the recorder list (export, tick the failed rows, copy
// serial numbers) and the status cell's tooltip: what operators ask for after a run over many
// recorders. Nothing else on the page changes.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QSaveFile>
#include <QToolTip>
#include <set>

#include "jobs/job.h"
#include "link/link.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/platform/resources.h"
#include "ui/platform/text.h"
#include "ui/platform/ui_seam.h"

namespace {

constexpr char kCsvFilter[] = "CSV (*.csv)|*.csv|All Files (*.*)|*.*||";
constexpr int kColumns = 5;

QString CsvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')) &&
      !text.contains(QLatin1Char('\r')))
    return text;
  QString quoted = text;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

const char* StepName(int kind) {
  switch (kind) {
    case jobs::kStepBootPicture: return "开机画面";
    case jobs::kStepChannelPicture: return "通道背景";
    case jobs::kStepShutdownPicture: return "关机画面";
    case jobs::kStepChannelAddMode: return "通道配置";
    case jobs::kStepBuzzer: return "蜂鸣器配置";
    case jobs::kStepReboot: return "重启";
    default: return "请求";
  }
}

}  // namespace

QString CDravlinDlg::JobFailure(const jobs::Job& job, bool timedOut) {
  QStringList failed;
  for (const jobs::StepOutcome& o : job.outcomes())
    if (!o.ok) failed << U8(StepName(o.kind));
  const QString steps = failed.isEmpty() ? QString() : U8("%1设置失败").arg(failed.join(U8("、")));
  QString why;
  if (timedOut) {
    why = U8("15秒内未完成");
  } else {
    switch (job.result()) {
      case jobs::kJobOk:
      case jobs::kJobStepFailed: break;
      case jobs::kJobLoginRefused: why = U8("登录被拒绝"); break;
      case jobs::kJobNotStarted:
        why = job.chanid() >= kIpcMaxLinks ? U8("超出同时处理上限(64台)") : U8("无法启动连接");
        break;
      case jobs::kJobLinkLost: why = U8("连接中断"); break;
      case jobs::kJobUnsent: why = U8("请求未发送"); break;
      case jobs::kJobTimedOut: why = U8("超时"); break;
      default: why = QString::fromUtf8(jobs::job_result_text(job.result())); break;
    }
  }
  if (why.isEmpty()) return steps;
  return steps.isEmpty() ? why : why + U8(";") + steps;
}

QString CDravlinDlg::LastFailure(int row) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto job = m_jobs.find(row);
  if (job != m_jobs.end() && job->second->finished()) return JobFailure(*job->second, false);
  auto it = m_lastFailure.find(row);
  return it == m_lastFailure.end() ? QString() : it->second;
}

QString CDravlinDlg::StatusToolTip(int row) const {
  if (row < 0 || row >= m_list.GetRowCount()) return QString();
  const QString text = m_list.GetCellText(row, kStatusColumn);
  const QString why = LastFailure(row);
  return why.isEmpty() ? text : text + U8("\n失败原因: ") + why;
}

QString CDravlinDlg::ListCsv() const {
  QStringList lines;
  QStringList heading;
  for (int c = 0; c < kColumns; ++c) heading << CsvField(m_list.GetHeaderText(c));
  lines << heading.join(QLatin1Char(','));
  for (int row = 0; row < m_list.GetRowCount(); ++row) {
    QStringList fields;
    for (int c = 0; c < kColumns; ++c) fields << CsvField(m_list.GetCellText(row, c));
    lines << fields.join(QLatin1Char(','));
  }
  return QString(QChar(0xFEFF)) + lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n");
}

void CDravlinDlg::OnListMenu(const QPoint& pos) {
  const int row = m_list.indexAt(pos).row();
  MenuPopup popup;
  popup.items = {{IDM_BOOT_EXPORT, U8("导出列表"), {}},
                 {IDM_BOOT_TICK_FAILED, U8("勾选失败的设备"), {}},
                 {IDM_BOOT_COPY_SERIALS, U8("复制序列号"), {}}};
  const int id = Ui().TrackPopupMenu(this, popup, m_list.viewport()->mapToGlobal(pos));
  if (id != 0) RunListCommand(id, row);
}

void CDravlinDlg::RunListCommand(int id, int clickedRow) {
  const int rows = m_list.GetRowCount();
  if (id == IDM_BOOT_TICK_FAILED) {
    for (int row = 0; row < rows; ++row) m_list.SetRowCheck(row, !LastFailure(row).isEmpty());
    UpdateCounts();
  } else if (id == IDM_BOOT_COPY_SERIALS) {
    // The selected rows, or the one clicked on.
    std::set<int> chosen;
    for (const QModelIndex& index : m_list.selectionModel()->selectedIndexes()) chosen.insert(index.row());
    if (chosen.empty() && clickedRow >= 0) chosen.insert(clickedRow);
    QStringList serials;
    for (int row : chosen) serials << m_list.GetCellText(row, 3);
    if (!serials.isEmpty()) QApplication::clipboard()->setText(serials.join(QLatin1Char('\n')));
  } else if (id == IDM_BOOT_EXPORT) {
    QString path;
    if (!ChooseSaveFile(kCsvFilter, &path)) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QLatin1String(".csv");
    QSaveFile file(path);
    const QByteArray bytes = ListCsv().toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
      MessageBox(U8("导出列表失败: %1").arg(file.errorString()), U8("Dravlin"), MB_OK | MB_ICONERROR);
  }
}

#include "ui/pages/history_page.h"

#include <QDateTime>

#include "history/history.h"
#include "ui/pages/list_menu.h"
#include "ui/pages/runner_host.h"
#include "ui/platform/text.h"
#include "ui/resources/dravlin_dlg_ids.h"

namespace {

constexpr int kLayoutIds[] = {IDC_HIST_LIST,   IDC_HIST_SERIAL_LABEL, IDC_HIST_SERIAL,
                              IDC_HIST_FILTER, IDC_HIST_EXPORT,       IDC_HIST_WHERE};

// The store's UTC time as the operator's local time.
QString LocalTime(const std::string& utc) {
  QDateTime t = QDateTime::fromString(QString::fromStdString(utc), Qt::ISODateWithMs);
  if (!t.isValid()) return QString::fromStdString(utc);
  return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace

CHistoryPage::CHistoryPage() : CDialogPage(IDD_HISTORY) { Bind(IDC_HIST_LIST, m_list); }

CHistoryPage::~CHistoryPage() {
  DestroyHost();
  if (m_listener >= 0) runner_host::RemoveHistoryListener(m_listener);
}

QString CHistoryPage::CommandText(const std::string& command) {
  if (command == "refresh") return U8("刷新图片并重启");
  if (command == "upgrade") return U8("固件升级");
  if (command == "reboot") return U8("重启");
  if (command == "buzzer") return U8("蜂鸣器配置");
  if (command == "channel-mode") return U8("通道配置");
  return QString::fromStdString(command);
}

QString CHistoryPage::ResultText(const std::string& result) { return result == "ok" ? U8("成功") : U8("失败"); }

bool CHistoryPage::OnInitDialog() {
  m_list.ModifyStyle(0, LVS_SHOWSELALWAYS | LVS_NOLABELWRAP);
  m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  const char* headings[kColumns] = {"时间", "工位", "序列号", "设备类型", "IP地址", "操作", "结果", "说明"};
  const int widths[kColumns] = {130, 90, 120, 90, 100, 100, 50, 220};
  for (int c = 0; c < kColumns; ++c) m_list.InsertColumn(c, headings[c], LVCFMT_LEFT, widths[c]);
  for (int id : kLayoutIds) m_layout.AddControl(id, this);
  // Jobs of any page that end are read back soon after; many ending together cost one read.
  m_reload.setSingleShot(true);
  m_reload.setInterval(100);
  connect(&m_reload, &QTimer::timeout, this, [this] { Reload(); });
  m_listener = runner_host::AddHistoryListener([this] {
    if (!m_reload.isActive()) m_reload.start();
  });
  m_initialised = true;
  Reload();
  return true;
}

void CHistoryPage::OnSize(int type, int, int) {
  if (type != SIZE_MINIMIZED) m_layout.Relayout();
}

void CHistoryPage::OnCommand(int id, int code) {
  if (code == BN_CLICKED && id == IDC_HIST_FILTER) {
    Reload();
  } else if (code == BN_CLICKED && id == IDC_HIST_EXPORT) {
    list_menu::Run(*this, m_list, IDM_BOOT_EXPORT, -1, kColumns, kColSerial, [](int) { return false; });
  } else {
    CDialogPage::OnCommand(id, code);
  }
}

void CHistoryPage::Reload() {
  if (!m_initialised) return;
  history::Store* store = runner_host::History();
  m_list.DeleteAllRows();
  if (!store || !store->is_open()) {
    SetDlgItemText(IDC_HIST_WHERE, U8("生产记录未开启"));
    return;
  }
  SetDlgItemText(IDC_HIST_WHERE, QString::fromStdString(store->where()));
  history::Filter filter;
  filter.serial = GetDlgItemText(IDC_HIST_SERIAL).trimmed().toStdString();
  filter.limit = kMaxRows;
  std::vector<history::JobRecord> rows;
  std::string why;
  if (store->query(filter, &rows, &why) < 0) {
    SetDlgItemText(IDC_HIST_WHERE, U8("读取生产记录失败: %1").arg(QString::fromStdString(why)));
    return;
  }
  for (const history::JobRecord& r : rows) {
    const int row = m_list.InsertRow(m_list.GetRowCount(), LocalTime(r.started));
    if (row < 0) continue;
    // The store holds UTF-8 (device texts were converted when they were written).
    m_list.SetCellText(row, kColStation, QString::fromStdString(r.station));
    m_list.SetCellText(row, kColSerial, QString::fromStdString(r.serial));
    m_list.SetCellText(row, kColType, QString::fromStdString(r.device_type));
    m_list.SetCellText(row, kColAddress, QString::fromStdString(r.address));
    m_list.SetCellText(row, kColCommand, CommandText(r.command));
    m_list.SetCellText(row, kColResult, ResultText(r.result));
    m_list.SetCellText(
        row, kColWhy,
        QString::fromStdString(r.result == "ok" ? r.message : r.result + (r.message.empty() ? "" : ": " + r.message)));
    if (r.result != "ok") m_list.SetCellAlert(row, kColResult, true);
  }
}

#include "ui/pages/upgrade.h"

#include <QScrollBar>
#include <cerrno>
#include <system_error>
#include <thread>

#include "discovery/search.h"
#include "jobs/upload_file.h"
#include "link/link.h"
#include "ui/pages/found_rows.h"
#include "ui/pages/list_menu.h"
#include "ui/pages/progress_text_delegate.h"
#include "ui/pages/runner_host.h"
#include "ui/platform/text.h"
#include "util/log.h"

namespace {

constexpr int kLayoutIds[] = {IDC_UPG_LIST,       IDC_UPG_SEARCH, IDC_UPG_INVERT, IDC_UPG_GROUP,
                              IDC_UPG_FILE_LABEL, IDC_UPG_FILE,   IDC_UPG_BROWSE, IDC_UPG_START};
constexpr int kButtonIds[] = {IDC_UPG_SEARCH, IDC_UPG_INVERT, IDC_UPG_BROWSE, IDC_UPG_START};

constexpr char kFirmwareFilter[] =
    "Tgz (*.tgz;*.tar.gz)|*.tgz;*.tar.gz|Bin (*.bin;*.Bin)|*.bin;*.Bin|All Files (*.*)|*.*||";
constexpr char kProgressPrefix[] = "上传文件中..";
constexpr char kProgressSuffix[] = "..";
// A row whose recorder could not be reached, or whose upload or verdict stopped coming, the
// same words as the boot-picture page's time-out; and the page's own words for the rest.
constexpr char kGivenUpText[] = "超时-处理异常,请重新操作";
constexpr char kWaitingText[] = "等待空闲连接";
constexpr char kLinkLostText[] = "连接中断-升级失败,请重新操作";
constexpr char kStartFailedText[] = "启动连接失败";
constexpr int kColumns = 5;
constexpr int kSerialColumn = 3;

}  // namespace

CUpgrade::CUpgrade() : CDialogPage(IDD_UPGRADE) { Bind(IDC_UPG_LIST, m_list); }

CUpgrade::~CUpgrade() {
  // Timers and posts stop first; then the page's jobs end and tell it nothing more.
  DestroyHost();
  JoinSearchStop();
  if (m_initialised) {
    m_jobs.DropAll();
    if (m_searching) {
      stopsearchipc();
      m_searching = false;
    }
  }
}

bool CUpgrade::OnInitDialog() {
  m_list.ModifyStyle(0, LVS_SHOWSELALWAYS | LVS_NOLABELWRAP);
  m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_SUBITEMIMAGES | LVS_EX_CHECKBOXES |
                          LVS_EX_FULLROWSELECT);
  m_list.InsertColumn(0, "IP地址", LVCFMT_CENTER, 135);
  m_list.InsertColumn(1, "网关地址", LVCFMT_LEFT, 120);
  m_list.InsertColumn(2, "设备类型", LVCFMT_LEFT, 140);
  m_list.InsertColumn(3, "序列号", LVCFMT_LEFT, 140);
  m_list.InsertColumn(4, "状态", LVCFMT_LEFT, 170);
  m_progress = new CProgressTextDelegate(U8(kProgressPrefix), U8(kProgressSuffix), &m_list);
  m_list.setItemDelegateForColumn(kStatusColumn, m_progress);
  m_searching = false;
  m_shown = 0;
  runner_host::Runner();
  for (int id : kLayoutIds) m_layout.AddControl(id, this);
  m_list.setContextMenuPolicy(Qt::CustomContextMenu);
  connect(&m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) { OnListMenu(pos); });
  m_initialised = true;
  return true;
}

void CUpgrade::OnSize(int type, int, int) {
  if (type == SIZE_MINIMIZED) return;
  m_layout.Relayout();
  // The list's client area: the whole widget width would leave the frame's few pixels to a
  // horizontal scroll bar. Taken from the list's own rectangle, because a hidden page (a tab
  // not shown) has its viewport resized only when it is shown.
  int width = m_list.contentsRect().width();
  if (m_list.verticalScrollBar()->isVisible()) width -= m_list.verticalScrollBar()->width();
  for (int c = 0; c < m_list.GetColumnCount(); ++c) m_list.setColumnWidth(c, width / 5);
}

void CUpgrade::OnCommand(int id, int code) {
  if (code != BN_CLICKED) {
    CDialogPage::OnCommand(id, code);
    return;
  }
  switch (id) {
    case IDC_UPG_SEARCH: OnSearch(); break;
    case IDC_UPG_INVERT: OnInvert(); break;
    case IDC_UPG_BROWSE: OnBrowse(); break;
    case IDC_UPG_START: OnStart(); break;
    default: CDialogPage::OnCommand(id, code); break;
  }
}

void CUpgrade::OnTimer(int id) {
  if (id == kListTimer) {
    debug_print("Func:OnTimer  WM_TIME_UPGRADESER....\n");
    OnListTimer();
  } else if (id == kWatchTimer) {
    OnWatch();
  }
}

long CUpgrade::OnReportNotify(int ctrlId, unsigned message, int wParam, int) {
  if (ctrlId == IDC_UPG_LIST && message == WM_REPORT_CHECKCHANGED) {
    debug_print("Func:OnCheckBox....\n");
    if (m_list.GetRowCheck(wParam)) debug_print("%d nvr checked\n", wParam);
    else debug_print("%d nvr unchecked\n", wParam);
  }
  return 0;
}

// ---- search and listing -------------------------------------------------------------------

void CUpgrade::StopSearch() {
  KillTimer(kListTimer);
  debug_print("Func:stopsearchipc....\n");
  // The search thread notices the stop only after its receive wait (up to 200 ms); the UI
  // thread does not sit through it. The next start waits for this one first.
  JoinSearchStop();
  try {
    m_searchStop = std::thread([] { stopsearchipc(); });
  } catch (const std::system_error&) {
    stopsearchipc();
  }
  SetDlgItemText(IDC_UPG_SEARCH, "搜索NVR");
  m_searching = false;
}

void CUpgrade::JoinSearchStop() {
  if (m_searchStop.joinable()) m_searchStop.join();
}

void CUpgrade::OnSearch() {
  if (m_searching) {
    StopSearch();
    return;
  }
  // Only this page's jobs: another page's are its own. No news of the old rows arrives after
  // the clear.
  m_jobs.DropAll();
  m_IPCList.clear();
  m_lastFailure.clear();
  m_list.DeleteAllRows();
  m_shown = 0;
  JoinSearchStop();
  debug_print("Func:startsearchipc....\n");
  if (startsearchipc() <= 0) {
    MessageBox("[IP_NET_DVR_StartSearchIPC]启动搜索线程失败");
    return;
  }
  SetTimer(kListTimer, kListPeriodMs);
  SetDlgItemText(IDC_UPG_SEARCH, "停止");
  m_searching = true;
}

void CUpgrade::OnListTimer() {
  const int n = getipccount();
  for (int i = m_shown; i < n; ++i) {
    IPC entry;
    if (getipcinfo_copy(i, &entry.info) != 1) continue;
    const int row = found_rows::Append(m_list, entry.info, kStatusColumn);
    if (row < 0) continue;
    entry.index = i;
    entry.state = kRowIdle;
    m_IPCList[row] = entry;
  }
  // Also when the table shrank (the search was started afresh behind this page).
  m_shown = n;
}

void CUpgrade::OnInvert() {
  // SetRowCheck applies the list's single-check rule itself (none in the default mode).
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) m_list.SetRowCheck(row, !m_list.GetRowCheck(row));
}

void CUpgrade::OnBrowse() {
  QString path;
  ChooseOpenFile(kFirmwareFilter, &path);
  if (!path.isEmpty()) SetDlgItemText(IDC_UPG_FILE, path);
}

// ---- the upgrade --------------------------------------------------------------------------

void CUpgrade::EnableButtons(bool enable) {
  for (int id : kButtonIds) EnableWindow(id, enable);
}

QString CUpgrade::FirmwareProblem(const std::string& path) {
  const jobs::UploadFileCheck c = jobs::check_upload_file(path);
  switch (c.problem) {
    case jobs::kUploadFileOk: return QString();
    case jobs::kUploadPathTooLong: return U8("固件文件路径过长(最多%1个字符)").arg(c.max_path);
    case jobs::kUploadCannotOpen:
      return c.err == ENOENT ? U8("固件文件不存在") : U8("固件文件无法打开: %1").arg(U8(log_error_text(c.err)));
    case jobs::kUploadNotRegular: return U8("所选路径不是固件文件");
    case jobs::kUploadEmpty: return U8("固件文件为空");
    case jobs::kUploadTooLarge: return U8("固件文件大于2GB");
    case jobs::kUploadUnreadable: return U8("固件文件无法读取: %1").arg(U8(log_error_text(c.err)));
  }
  return U8("固件文件无法使用");
}

void CUpgrade::OnStart() {
  const QString path = GetDlgItemText(IDC_UPG_FILE);
  if (path.isEmpty()) {
    MessageBox("请选择要处理的文件");
    return;
  }
  // The image is checked before any recorder is touched: nothing is sent for a file that
  // cannot be.
  const std::string firmware = ToLocalPath(path);
  const QString problem = FirmwareProblem(firmware);
  if (!problem.isEmpty()) {
    MessageBox(problem + U8("\n") + path, U8("Dravlin"), MB_OK | MB_ICONERROR);
    return;
  }
  if (m_searching) StopSearch();
  EnableButtons(false);
  m_firmware = firmware;
  m_runId = history::new_id();
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    if (!m_list.GetRowCheck(row) || !m_IPCList.count(row)) continue;
    SetText(row, U8("开始连接NVR..."));
    StartRow(row);
  }
  SetTimer(kWatchTimer, kWatchPeriodMs);
}

void CUpgrade::StartRow(int row) {
  auto it = m_IPCList.find(row);
  m_lastFailure.erase(row);
  m_list.SetCellAlert(row, kStatusColumn, false);
  jobs::JobOrder order;
  order.target = jobs::target_of(it->second.info);
  order.steps = {jobs::Step::firmware(m_firmware)};
  order.policy = jobs::JobPolicy::upgrade_page();
  order.label = runner_host::LabelOf(it->second.info, "upgrade", m_runId);
  order.news = [this, row](const jobs::Job& job, const jobs::JobNews& n) { OnJobNews(row, job, n); };
  order.on_event = [this, row](const jobs::Job& job, const jobs::LinkEvent& ev) { OnJobEvent(row, job, ev); };
  it->second.state = kRowBusy;
  m_jobs.Start(row, std::move(order));
}

int CUpgrade::BusyRows() const { return m_jobs.Busy(); }

void CUpgrade::OnWatch() {
  // The runner ends and logs out each row's job; the buttons come back once none is left.
  if (BusyRows() == 0) {
    KillTimer(kWatchTimer);
    EnableButtons(true);
  }
}

void CUpgrade::SetText(int row, const QString& text) { m_list.SetCellText(row, kStatusColumn, text); }

void CUpgrade::OnJobNews(int row, const jobs::Job& job, const jobs::JobNews& n) {
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return;
  switch (n.kind) {
    case jobs::kNewsWaiting: SetText(row, U8(kWaitingText)); break;
    case jobs::kNewsLoginStarted: debug_print("ipc_login_delay[%d] ret:%d \n", row, 1); break;
    case jobs::kNewsStepSent:
    case jobs::kNewsStepUnsent:
      // The announcement's own result: 0 written, -4 not.
      debug_print("ipc_file_upload logo, return :%d\n", n.kind == jobs::kNewsStepSent ? 0 : -4);
      break;
    case jobs::kNewsFinished: {
      it->second.state = kRowIdle;
      QString why;
      switch (n.result) {
        case jobs::kJobOk:
        case jobs::kJobCancelled: break;
        case jobs::kJobStepFailed: {
          const auto& out = job.outcomes();
          why = U8(!out.empty() && out.back().value == IPC_UPLOAD_LINK_FAILED ? kLinkLostText : "校验文件失败");
          break;
        }
        case jobs::kJobLoginRefused: why = U8("NVR 登录失败"); break;
        case jobs::kJobLinkLost:
          // The bar stops here, with its reason, not at its last percentage.
          why = U8(kLinkLostText);
          SetText(row, why);
          break;
        case jobs::kJobNotStarted:
          debug_print("ipc_login_delay fail:%d \n", row);
          why = U8(kStartFailedText);
          SetText(row, why);
          break;
        default:
          why = U8(kGivenUpText);
          SetText(row, why);
          break;
      }
      if (why.isEmpty()) m_lastFailure.erase(row);
      else m_lastFailure[row] = why;
      m_list.SetCellAlert(row, kStatusColumn, !why.isEmpty());
      break;
    }
    default: break;
  }
}

void CUpgrade::OnJobEvent(int row, const jobs::Job& job, const jobs::LinkEvent& ev) {
  if (ev.code == jobs::kEventAuxData) return;
  debug_print("OnEventCB:chanid(%d)statecode(%d)\n", job.chanid(), ev.code);
  const int value = ev.has_value ? ev.value : -1;
  switch (ev.code) {
    case 0: SetText(row, U8("NVR 连接中")); break;
    case 1:
      SetText(row, U8("NVR 连接成功"));
      debug_print("connet ok[%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_OK:
      SetText(row, U8("NVR 登录成功"));
      debug_print("EVENT_LOGINOK\n");
      break;
    case IPC_EVENT_LOGIN_FAIL:
      debug_print("EVENT_LOGIN Fail\n");
      // Only the recorder's refusal is final; a login it did not answer is tried again.
      if (ev.login_problem == IPC_LOGIN_REFUSED || ev.login_problem == IPC_LOGIN_PROBLEM_NONE)
        SetText(row, U8("NVR 登录失败"));
      break;
    case IPC_EVENT_UPLOAD_PROGRESS:
      debug_print("progress:%d\n", value);
      // 100 % is every byte handed over, not the recorder's word: the row stays busy until its
      // verdict.
      SetText(row, value >= 100 ? U8("上传文件成功") : U8("上传文件中..%1..").arg(value));
      break;
    case IPC_EVENT_UPLOAD_RESULT:
      // A missing value counts as a failure, never as success; our own stream breaking is the
      // link's failure, not the recorder's verdict.
      SetText(row, value == 0                        ? U8("校验文件成功")
                   : value == IPC_UPLOAD_LINK_FAILED ? U8(kLinkLostText)
                                                     : U8("校验文件失败"));
      break;
    default: break;
  }
}

bool CUpgrade::GetEntry(int row, IPC* out) const {
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return false;
  if (out) *out = it->second;
  return true;
}

QString CUpgrade::LastFailure(int row) const {
  auto it = m_lastFailure.find(row);
  return it == m_lastFailure.end() ? QString() : it->second;
}

void CUpgrade::OnListMenu(const QPoint& pos) {
  list_menu::Show(*this, this, m_list, pos, kColumns, kSerialColumn,
                  [this](int row) { return !LastFailure(row).isEmpty(); });
}

void CUpgrade::RunListCommand(int id, int clickedRow) {
  list_menu::Run(*this, m_list, id, clickedRow, kColumns, kSerialColumn,
                 [this](int row) { return !LastFailure(row).isEmpty(); });
}

#include "ui/pages/upgrade.h"

#include <QScrollBar>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "discovery/search.h"
#include "jobs/link_port.h"
#include "link/link.h"
#include "ui/pages/found_rows.h"
#include "ui/pages/link_table.h"
#include "ui/pages/progress_text_delegate.h"
#include "ui/platform/text.h"
#include "util/clock.h"
#include "util/fixedstr.h"
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
// same words as the boot-picture page's time-out.
constexpr char kGivenUpText[] = "超时-处理异常,请重新操作";

std::atomic<int64_t (*)()> g_clock{nullptr};

int64_t Now() {
  auto fn = g_clock.load();
  return fn ? fn() : static_cast<int64_t>(get_tick_ms());
}

int EventValue(const void* data, int len, int fallback) {
  if (!data || len < static_cast<int>(sizeof(int32_t))) return fallback;
  int32_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

bool GivenUp(int result) { return result == jobs::kJobTimedOut || result == jobs::kJobStalled; }

}  // namespace

void CUpgrade::SetClockForTest(int64_t (*now)()) { g_clock.store(now); }

CUpgrade::CUpgrade()
    : CDialogPage(IDD_UPGRADE),
      m_port(std::make_unique<jobs::DirectLinkPort>(&CUpgrade::OnEventCB, &CUpgrade::OnAuxDataCB, this)) {
  Bind(IDC_UPG_LIST, m_list);
}

CUpgrade::~CUpgrade() {
  // Timers and posts stop first; then no link thread may still hold this page as its user
  // pointer.
  DestroyHost();
  JoinSearchStop();
  if (m_initialised) {
    LogoutOwnLinks(true);
    if (m_searching) {
      stopsearchipc();
      m_searching = false;
    }
  }
  link_table::Release(this);
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
  link_table::Init();
  for (int id : kLayoutIds) m_layout.AddControl(id, this);
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
  // Only this page's links: the table is shared, and another page may be using its entries.
  // Every one is joined here, so no event of an old row arrives after the clear.
  LogoutOwnLinks(true);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_IPCList.clear();
    m_jobs.clear();
    m_verdict.clear();
  }
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
    entry.elapsed = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
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

void CUpgrade::OnStart() {
  const QString path = GetDlgItemText(IDC_UPG_FILE);
  if (path.isEmpty()) {
    MessageBox("请选择要处理的文件");
    return;
  }
  // Every page addresses the link table by list row; while another page has links, this one
  // keeps off it.
  if (!link_table::Claim(this)) {
    MessageBox(link_table::kBusyText);
    return;
  }
  if (m_searching) StopSearch();
  EnableButtons(false);
  const std::string firmware = ToLocalPath(path);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firmware = firmware;
  }
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    if (!m_list.GetRowCheck(row) || !GetEntry(row, nullptr)) continue;
    m_list.SetCellText(row, kStatusColumn, "开始连接NVR...");
    if (StartRow(row, firmware)) {
      debug_print("ipc_login_delay[%d] ret:%d \n", row, 1);
      m_loginRows.insert(row);
    } else {
      debug_print("ipc_login_delay fail:%d \n", row);
    }
  }
  SetTimer(kWatchTimer, kWatchPeriodMs);
}

bool CUpgrade::StartRow(int row, const std::string& firmware) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return false;
  const IPCSearchInfo& info = it->second.info;
  jobs::Target target;
  target.address = std::string(fixed_view(info.lancfg.IPAddress));
  target.port = static_cast<uint16_t>(info.streamcfg.PTZPort & 0xFFFF);
  target.user = std::string(fixed_view(info.usercfg.accounts[0].Username));
  target.password = std::string(fixed_view(info.usercfg.accounts[0].Password));
  auto job = std::make_unique<jobs::Job>(
      row, std::move(target), std::vector<jobs::Step>{jobs::Step::firmware(firmware)}, jobs::JobPolicy::upgrade_page(),
      *m_port, [this](const jobs::Job& j, const jobs::JobNews& n) { OnJobNews(j, n); });
  jobs::Job* started = job.get();
  // Stored (and the row busy) before the login: its events wait for the lock meanwhile.
  m_jobs[row] = std::move(job);
  m_verdict.erase(row);
  it->second.state = kRowBusy;
  started->start(Now());
  if (started->finished()) {
    it->second.state = kRowIdle;
    return false;
  }
  return true;
}

void CUpgrade::OnJobNews(const jobs::Job& job, const jobs::JobNews& n) {
  switch (n.kind) {
    case jobs::kNewsStepSent:
    case jobs::kNewsStepUnsent:
      // The announcement's own result: 0 written, -4 not.
      debug_print("ipc_file_upload logo, return :%d\n", n.kind == jobs::kNewsStepSent ? 0 : -4);
      break;
    case jobs::kNewsFinished: {
      auto it = m_IPCList.find(job.chanid());
      if (it != m_IPCList.end()) it->second.state = kRowIdle;
      break;
    }
    default: break;
  }
}

void CUpgrade::OnWatch() {
  std::vector<int> done, givenUp;
  int busy = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t now = Now();
    for (auto it = m_jobs.begin(); it != m_jobs.end();) {
      jobs::Job& job = *it->second;
      job.on_tick(now);
      // A row still busy counts ticked or not: its image may still be on its way, and its
      // link must not be cut or its channel handed to another page.
      if (!job.finished()) {
        ++busy;
        ++it;
        continue;
      }
      (GivenUp(job.result()) ? givenUp : done).push_back(it->first);
      it = m_jobs.erase(it);
    }
  }
  // Outside the lock: a logout waits for the link thread, which may want the lock. A finished
  // row leaves in order, so nothing the recorder has yet to read is cut; a row given up on is
  // reset at once.
  LogoutRows(done, false);
  LogoutRows(givenUp, true);
  for (int row : done) m_loginRows.erase(row);
  for (int row : givenUp) {
    m_loginRows.erase(row);
    // Its link thread has ended: a verdict that came in the meantime is the row's last word.
    bool verdict;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      verdict = m_verdict.count(row) != 0;
    }
    if (!verdict) PostText(row, U8(kGivenUpText));
  }
  if (busy == 0) {
    KillTimer(kWatchTimer);
    EnableButtons(true);
    link_table::Release(this);
  }
}

// ---- link events --------------------------------------------------------------------------

int CUpgrade::OnAuxDataCB(int, int, const void*, int, const void*) { return 0; }

int CUpgrade::OnEventCB(int chanid, int code, const void* data, int len) {
  debug_print("OnEventCB:chanid(%d)statecode(%d)\n", chanid, code);
  auto* page = static_cast<CUpgrade*>(ipc_getuserdata(chanid));
  if (!page) {
    debug_print("pDlg == NULL chanid(%d)statecode(%d)\n", chanid, code);
    return -1;
  }
  return page->HandleEvent(chanid, code, data, len);
}

void CUpgrade::PostText(int row, const QString& text) { m_list.PostCellText(row, kStatusColumn, text); }

int CUpgrade::HandleEvent(int row, int code, const void* data, int len) {
  const int value = EventValue(data, len, -1);
  switch (code) {
    case 0: PostText(row, U8("NVR 连接中")); break;
    case 1:
      PostText(row, U8("NVR 连接成功"));
      debug_print("connet ok[%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_OK:
      PostText(row, U8("NVR 登录成功"));
      debug_print("EVENT_LOGINOK\n");
      break;
    case IPC_EVENT_LOGIN_FAIL:
      PostText(row, U8("NVR 登录失败"));
      debug_print("EVENT_LOGIN Fail\n");
      break;
    case IPC_EVENT_UPLOAD_PROGRESS: debug_print("progress:%d\n", value); break;
    case IPC_EVENT_UPLOAD_RESULT:
      // A missing value counts as a failure, never as success.
      PostText(row, value == 0 ? U8("校验文件成功") : U8("校验文件失败"));
      break;
    default: break;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  const bool hasEntry = m_IPCList.count(row) != 0;
  if (code == IPC_EVENT_UPLOAD_PROGRESS) {
    // 100 % is every byte handed over, not the recorder's word: the row stays busy until its
    // verdict.
    if (value >= 100 && hasEntry) PostText(row, U8("上传文件成功"));
    else if (value >= 100) debug_print("m_IPCList Lookup fail\n");
    else PostText(row, U8("上传文件中..%1..").arg(value));
  }
  if (code == IPC_EVENT_UPLOAD_RESULT) {
    if (hasEntry) m_verdict.insert(row);
    else debug_print("m_IPCList Lookup fail\n");
  }
  auto job = m_jobs.find(row);
  if (hasEntry && job != m_jobs.end() && !job->second->finished()) {
    jobs::LinkEvent ev;
    ev.chanid = row;
    ev.code = code;
    ev.has_value = data && len >= static_cast<int>(sizeof(int32_t));
    ev.value = value;
    // The firmware announcement of a login goes out from here, with the path under the lock.
    job->second->on_link_event(ev, Now());
  }
  return 0;
}

// ---- row map and links --------------------------------------------------------------------

bool CUpgrade::GetEntry(int row, IPC* out) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return false;
  if (out) *out = it->second;
  return true;
}

std::string CUpgrade::FirmwarePath() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_firmware;
}

void CUpgrade::LogoutOwnLinks(bool abort) {
  std::vector<int> rows;
  for (int row : m_loginRows)
    if (ipc_getuserdata(row) == this) rows.push_back(row);
  LogoutRows(rows, abort);
  m_loginRows.clear();
  link_table::Release(this);
}

void CUpgrade::LogoutRows(const std::vector<int>& rows, bool abort) {
  // Only entries this page started: after the page gave the table back, the channel may be
  // another page's.
  std::vector<int> live;
  for (int row : rows)
    if (row >= 0 && row < kIpcMaxLinks && ipc_getuserdata(row) == this) live.push_back(row);
  link_table::LogoutSideBySide(live, [this, abort](int row) { m_port->logout(row, abort); });
}

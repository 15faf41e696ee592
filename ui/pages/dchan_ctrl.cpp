#include "ui/pages/dchan_ctrl.h"

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "discovery/search.h"
#include "link/chan_requests.h"
#include "link/link.h"
#include "ui/controls/popup_menu.h"
#include "ui/pages/channel_set.h"
#include "ui/pages/runner_host.h"
#include "ui/platform/text.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

namespace {

constexpr char kNoSelection[] =
    "请在左则IPC列表选中相应IPC进行操作！\n如果没有IPC列表可双击NVR列表中NVR， 并点击搜索进行刷新！";
constexpr char kAlreadyAdded[] = "选中的IPC已经添加在NVR通道列表中,不需要重复添加!";
constexpr char kFullForAdd[] = "NVR 通道已满!请刷新或者删除某些通道后再添加!也可双击通道列表进行参数修改!";
constexpr char kFullForOne[] =
    "NVR 通道已满!\n可刷新通道列表或者删除某些通道后再添加!\n可选中某个通道强制添加!可双击通道列表进行参数修改!";
constexpr char kNoRecord[] = "查找数据异常!";
constexpr char kNeedTwo[] = "请勾选中两个通道进行交换!";
constexpr char kNoLogin[] = "NVR登录状态（无）";
// The re-read's answer ends the wait it is shown for; an NVR that never answers does too, later.
constexpr int kRereadAnswerWaitMs = 10000;

// The buttons that act on the logged-in NVR.
constexpr int kNvrButtons[] = {IDC_CHAN_IPC_SEARCH, IDC_CHAN_ADD,    IDC_CHAN_ADD_ALL, IDC_CHAN_DELETE,
                               IDC_CHAN_CLEAR,      IDC_CHAN_SWAP,   IDC_CHAN_CANVAS,  IDC_CHAN_PREV,
                               IDC_CHAN_NEXT,       IDC_CHAN_REFRESH};

// The canvas pop-ups' command ids and the picture count each sends.
struct CanvasItem {
  int id;
  int pictures;
};
constexpr CanvasItem kCanvasItems[] = {
    {ID_CANVAS0_1, 1},   {ID_CANVAS0_2, 2},   {ID_CANVAS0_4, 4},   {ID_CANVAS1_1, 1},   {ID_CANVAS1_2, 2},
    {ID_CANVAS1_4, 4},   {ID_CANVAS1_6, 6},   {ID_CANVAS1_8, 8},   {ID_CANVAS1_9, 9},   {ID_CANVAS2_1, 1},
    {ID_CANVAS2_2, 2},   {ID_CANVAS2_4, 4},   {ID_CANVAS2_6, 6},   {ID_CANVAS2_8, 8},   {ID_CANVAS2_9, 9},
    {ID_CANVAS2_10, 10}, {ID_CANVAS2_16, 16}, {ID_CANVAS3_1, 1},   {ID_CANVAS3_2, 2},   {ID_CANVAS3_4, 4},
    {ID_CANVAS3_6, 6},   {ID_CANVAS3_8, 8},   {ID_CANVAS3_9, 9},   {ID_CANVAS3_10, 10}, {ID_CANVAS3_16, 16},
    {ID_CANVAS3_25, 25}, {ID_CANVAS4_1, 1},   {ID_CANVAS4_2, 2},   {ID_CANVAS4_4, 4},   {ID_CANVAS4_6, 6},
    {ID_CANVAS4_8, 8},   {ID_CANVAS4_9, 9},   {ID_CANVAS4_10, 10}, {ID_CANVAS4_16, 16}, {ID_CANVAS4_25, 25},
    {ID_CANVAS4_32, 32}, {ID_CANVAS5_1, 1},   {ID_CANVAS5_2, 2},   {ID_CANVAS5_4, 4},   {ID_CANVAS5_6, 6},
    {ID_CANVAS5_8, 8},   {ID_CANVAS5_9, 9},   {ID_CANVAS5_10, 10}, {ID_CANVAS5_16, 16}, {ID_CANVAS5_25, 25},
    {ID_CANVAS5_32, 32}, {ID_CANVAS5_36, 36},
};

// The pop-up of menu 133 that offers this many canvas sizes.
int CanvasPopup(size_t offered) {
  switch (offered) {
    case 3: return 0;
    case 6: return 1;
    case 8: return 2;
    case 9: return 3;
    case 10: return 4;
    case 11: return 5;
    default: return -1;
  }
}

QString ProtocolText(int32_t protocol) { return QString::fromLatin1(nvr_protocol_text(protocol)); }

// Four dotted octets as the address control's value, first octet most significant.
bool ParseAddress(const std::string& text, uint32_t* out) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  *out = (a << 24) | (b << 16) | (c << 8) | d;
  return true;
}

void SetIfChanged(CReportCtrl& list, int row, int column, const QString& text) {
  if (list.GetCellText(row, column) != text) list.SetCellText(row, column, text);
}

void ReportStyle(CReportCtrl& list) {
  list.ModifyStyle(LVS_EDITLABELS, LVS_SHOWSELALWAYS | LVS_NOLABELWRAP);
  list.SetExtendedStyle(list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
}

}  // namespace

CDChanCtrl::CDChanCtrl(jobs::ChannelPort* port)
    : CDialogPage(IDD_DCHANCTRL),
      m_ownPort(port ? nullptr : std::make_unique<jobs::DirectChannelPort>()),
      m_table(port ? *port : *m_ownPort) {
  Bind(IDC_CHAN_NVR_LIST, m_nvrList);
  Bind(IDC_CHAN_IPC_LIST, m_ipcList);
  Bind(IDC_CHAN_CHANNEL_LIST, m_channelList);
  m_table.set_listener([this](int change) { OnTableChange(change); });
}

CDChanCtrl::~CDChanCtrl() {
  // Posts and timers stop first; then the NVR's search is stopped and its session ended, and no
  // news of it reaches this page any more.
  DestroyHost();
  if (m_rereadPending) {
    m_rereadPending = false;
    QApplication::restoreOverrideCursor();
  }
  if (!m_initialised) return;
  if (m_nvrSearching) {
    stopsearchipc();
    m_nvrSearching = false;
  }
  if (m_loggedIn && m_table.searching()) m_table.stop_search();
  jobs::Runner& runner = runner_host::Runner();
  runner.cancel_front(this, jobs::kJobOk);
  if (m_session) runner.forget(m_session);
  runner_host::Wake();
}

const jobs::Job* CDChanCtrl::Session() const { return m_session ? runner_host::Runner().job(m_session) : nullptr; }

bool CDChanCtrl::OnInitDialog() {
  runner_host::Runner();
  m_nvrList.InsertColumn(0, "NVR 列表", LVCFMT_CENTER, 90);
  m_nvrList.InsertColumn(1, "序列号", LVCFMT_LEFT, 120);

  ReportStyle(m_channelList);
  m_channelList.InsertColumn(kChanColId, "通道", LVCFMT_CENTER, 50);
  m_channelList.InsertColumn(kChanColIp, "IP地址", LVCFMT_CENTER, 90);
  m_channelList.InsertColumn(kChanColProtocol, "协议", LVCFMT_CENTER, 50);
  m_channelList.InsertColumn(kChanColName, "通道名称", LVCFMT_CENTER, 160);
  m_channelList.InsertColumn(kChanColStatus, "状态", LVCFMT_CENTER, 50);

  ReportStyle(m_ipcList);
  m_ipcList.InsertColumn(kIpcColIp, "IP地址", LVCFMT_CENTER, 110);
  m_ipcList.InsertColumn(kIpcColProtocol, "协议", LVCFMT_CENTER, 50);
  m_ipcList.InsertColumn(kIpcColName, "通道名称", LVCFMT_LEFT, 160);
  m_ipcList.InsertColumn(kIpcColSerial, "序列号", LVCFMT_LEFT, 120);
  m_ipcList.EnableSorting();

  m_nvrSearching = false;
  m_taken = 0;
  EnableNvrButtons(false);
  // Every control keeps its fractions of the page, so the page follows the window's size.
  for (int id : {IDC_CHAN_NVR_LIST, IDC_CHAN_NVR_HINT, IDC_CHAN_NVR_SEARCH, IDC_CHAN_LOGIN_STATE, IDC_CHAN_IPC_LIST,
                 IDC_CHAN_IPC_SEARCH, IDC_CHAN_ADD, IDC_CHAN_ADD_ALL, IDC_CHAN_CHANNEL_LIST, IDC_CHAN_DELETE,
                 IDC_CHAN_CLEAR, IDC_CHAN_SWAP, IDC_CHAN_CANVAS, IDC_CHAN_PREV, IDC_CHAN_NEXT, IDC_CHAN_REFRESH})
    m_layout.AddControl(id, this);
  m_initialised = true;
  return true;
}

void CDChanCtrl::EnableNvrButtons(bool enable) {
  for (int id : kNvrButtons) EnableWindow(id, enable);
}

void CDChanCtrl::OnSize(int type, int, int) {
  if (type != SIZE_MINIMIZED) m_layout.Relayout();
}

void CDChanCtrl::OnCommand(int id, int code) {
  if (code != BN_CLICKED) {
    CDialogPage::OnCommand(id, code);
    return;
  }
  switch (id) {
    case IDC_CHAN_NVR_SEARCH: OnNvrSearch(); return;
    case IDC_CHAN_IPC_SEARCH: OnIpcSearch(); return;
    case IDC_CHAN_ADD: AddCameras(true); return;
    case IDC_CHAN_ADD_ALL: AddCameras(false); return;
    case IDC_CHAN_DELETE: OnDelete(); return;
    case IDC_CHAN_CLEAR: OnClear(); return;
    case IDC_CHAN_SWAP: OnSwap(); return;
    case IDC_CHAN_CANVAS: OnCanvas(); return;
    case IDC_CHAN_PREV: m_table.turn_page(false); return;
    case IDC_CHAN_NEXT: m_table.turn_page(true); return;
    case IDC_CHAN_REFRESH: m_table.refresh(); return;
    default: break;
  }
  for (const CanvasItem& item : kCanvasItems) {
    if (item.id == id) {
      m_table.set_canvas(item.pictures);
      return;
    }
  }
  CDialogPage::OnCommand(id, code);
}

void CDChanCtrl::OnTimer(int id) {
  if (id == kNvrListTimer) {
    OnNvrListTimer();
  } else if (id == kRereadTimer) {
    // First the wait for the NVR's change, then (bounded) the wait for the re-read's answer.
    if (!m_rereadSent) {
      m_rereadSent = true;
      SetTimer(kRereadTimer, kRereadAnswerWaitMs);
      if (m_table.refresh() != 0) EndReread();
    } else {
      EndReread();
    }
  }
}

long CDChanCtrl::OnReportNotify(int ctrlId, unsigned message, int wParam, int) {
  // A sort of the IPC list moves each row's camera with it: nothing to do here.
  if (message != NM_REPORT_DBLCLK) return 0;
  if (ctrlId == IDC_CHAN_NVR_LIST) OnNvrDoubleClick(wParam);
  else if (ctrlId == IDC_CHAN_IPC_LIST) OnIpcDoubleClick(wParam);
  else if (ctrlId == IDC_CHAN_CHANNEL_LIST) OnChannelDoubleClick(wParam);
  return 0;
}

// ---- NVR search and login ---------------------------------------------------------------------

void CDChanCtrl::LogoutNvr() {
  if (m_loggedIn && m_table.searching()) m_table.stop_search();
  if (m_session) {
    jobs::Runner& runner = runner_host::Runner();
    // A session that ends this way is no failure: logged out in order.
    runner.cancel(m_session, jobs::kJobOk);
    runner.forget(m_session);
    m_session = 0;
    runner_host::Wake();
  }
  m_loggedIn = false;
  EndReread();
  m_table.reset();
  SetDlgItemText(IDC_CHAN_IPC_SEARCH, "搜索");
  SetDlgItemText(IDC_CHAN_LOGIN_STATE, kNoLogin);
  EnableNvrButtons(false);
}

void CDChanCtrl::OnNvrSearch() {
  if (m_nvrSearching) {
    KillTimer(kNvrListTimer);
    stopsearchipc();
    debug_print("Func:stopsearchipc....\n");
    SetDlgItemText(IDC_CHAN_NVR_SEARCH, "搜索NVR");
    m_nvrSearching = false;
    return;
  }
  LogoutNvr();
  m_NvrList.clear();
  m_nvrList.DeleteAllRows();
  m_taken = 0;
  stopsearchipc();
  const int r = startsearchipc();
  debug_print("Func:startsearchipc....\n");
  if (r <= 0) {
    MessageBox("启动搜索NVR线程失败");
  } else if (r == 1) {
    SetDlgItemText(IDC_CHAN_NVR_SEARCH, "停止搜索");
    m_nvrSearching = true;
    SetTimer(kNvrListTimer, kNvrListPeriodMs);
  }
}

void CDChanCtrl::OnNvrListTimer() {
  const int n = std::min(getipccount(), kMaxSearchDevices);
  if (n <= 0 || n <= m_taken) return;
  for (int i = m_taken; i < n; ++i) {
    IPCSearchInfo info{};
    if (getipcinfo_copy(i, &info) != 1) continue;
    const jobs::Target t = jobs::target_of(info);
    IpcRecord e{};
    fixed_copy(e.IpAddr, t.address);
    fixed_copy(e.Username, t.user);
    fixed_copy(e.Password, t.password);
    e.CtrlPort = t.port;
    fixed_copy(e.SN, fixed_view(info.devid.SerialNumber));
    e.Protocol = kNvrProtocolMVK;
    const int row = m_nvrList.InsertRow(m_nvrList.GetRowCount(), FromGbk(fixed_view(e.IpAddr)));
    if (row < 0) continue;
    m_nvrList.SetCellText(row, 1, FromGbk(fixed_view(e.SN)));
    m_NvrList[row] = e;
  }
  m_taken = n;
}

void CDChanCtrl::OnNvrDoubleClick(int row) {
  if (row < 0 || row >= m_nvrList.GetRowCount()) return;
  const QString ip = m_nvrList.GetCellText(row, 0);
  const QString sn = m_nvrList.GetCellText(row, 1);
  debug_print("select nvr ip:%s, sn:%s\n", ToGbk(ip).c_str(), ToGbk(sn).c_str());
  // The NVR before is logged out and its cameras and channels go with it.
  LogoutNvr();
  const IpcRecord* found = nullptr;
  for (const auto& [r, e] : m_NvrList) {
    if (FromGbk(fixed_view(e.IpAddr)) == ip && FromGbk(fixed_view(e.SN)) == sn) {
      found = &e;
      break;
    }
  }
  if (!found) {
    MessageBox("找不到对应的NVR, 异常");
    return;
  }
  m_nvrLinkInfo.serial = fixed_str(found->SN);
  m_nvrLinkInfo.user = fixed_str(found->Username);
  m_nvrLinkInfo.password = fixed_str(found->Password);
  m_nvrLinkInfo.port = found->CtrlPort;
  m_nvrLinkInfo.ip = fixed_str(found->IpAddr);

  jobs::JobOrder order;
  order.target.address = m_nvrLinkInfo.ip;
  order.target.port = static_cast<uint16_t>(m_nvrLinkInfo.port & 0xFFFF);
  order.target.user = m_nvrLinkInfo.user;
  order.target.password = m_nvrLinkInfo.password;
  order.policy = jobs::JobPolicy::held_session();
  order.wants_aux = true;
  order.front = this;
  order.on_event = [this](const jobs::Job& job, const jobs::LinkEvent& ev) { OnSessionEvent(job, ev); };
  order.news = [this](const jobs::Job& job, const jobs::JobNews& n) { OnSessionNews(job, n); };
  m_session = runner_host::Runner().submit(std::move(order));
  runner_host::Wake();
}

void CDChanCtrl::OnSessionEvent(const jobs::Job& job, const jobs::LinkEvent& ev) {
  const int slot = job.chanid();
  if (ev.code == jobs::kEventAuxData) {
    AuxDataInfo info{};
    fixed_copy(info.msgtype, ev.aux_type);
    info.code = ev.aux_code;
    info.flag = ev.aux_flag;
    m_table.on_aux(slot, ev.aux_kind, ev.text.data(), static_cast<int>(ev.text.size()), &info);
    return;
  }
  if (ev.code == IPC_EVENT_LOGIN_OK) {
    // The channel requests go out on whichever entry the runner gave the session.
    if (m_ownPort) m_ownPort->set_slot(slot);
    m_loggedIn = true;
    EnableNvrButtons(true);
  }
  // A login the NVR did not answer is tried again within the session's window: only its
  // refusal is a failed login.
  if (ev.code == IPC_EVENT_LOGIN_FAIL && ev.login_problem != IPC_LOGIN_REFUSED &&
      ev.login_problem != IPC_LOGIN_PROBLEM_NONE)
    return;
  m_table.on_event(slot, ev.code);
}

void CDChanCtrl::OnSessionNews(const jobs::Job&, const jobs::JobNews& n) {
  if (n.kind != jobs::kNewsFinished) return;
  // Refused, not logged in within its window, or the link broke: the NVR's lists go, and the
  // label says why.
  const QString ip = FromGbk(m_nvrLinkInfo.ip);
  const bool lost = n.result == jobs::kJobLinkLost;
  m_loggedIn = false;
  EndReread();
  m_table.reset();
  SetDlgItemText(IDC_CHAN_IPC_SEARCH, "搜索");
  EnableNvrButtons(false);
  SetDlgItemText(IDC_CHAN_LOGIN_STATE, U8(lost ? "NVR(%1) 连接断开" : "NVR(%1) 连接失败").arg(ip));
}

// ---- table changes ------------------------------------------------------------------------------

void CDChanCtrl::OnTableChange(int change) {
  switch (change) {
    case jobs::kChangeCameras: ApplyCameras(m_table.cameras()); break;
    case jobs::kChangeChannels:
      ApplyChannels(m_table.channels());
      // The table read after a delete, clear or swap is here: the page is the operator's again.
      if (m_rereadSent) EndReread();
      break;
    case jobs::kChangeLogin: ApplyLogin(m_table.login_state()); break;
    default: break;
  }
}

void CDChanCtrl::ApplyCameras(const std::vector<IpcRecord>& cameras) {
  const int count = static_cast<int>(cameras.size());
  std::vector<bool> shown(cameras.size(), false);
  for (int row = m_ipcList.GetRowCount() - 1; row >= 0; --row) {
    const int camera = CameraOfRow(row);
    if (camera < 0 || camera >= count) {
      m_ipcList.DeleteRow(row);
      continue;
    }
    const IpcRecord& c = cameras[static_cast<size_t>(camera)];
    SetIfChanged(m_ipcList, row, kIpcColIp, FromGbk(fixed_view(c.IpAddr)));
    SetIfChanged(m_ipcList, row, kIpcColProtocol, ProtocolText(c.Protocol));
    SetIfChanged(m_ipcList, row, kIpcColName, FromGbk(fixed_view(c.OsdName)));
    SetIfChanged(m_ipcList, row, kIpcColSerial, FromGbk(fixed_view(c.SN)));
    shown[static_cast<size_t>(camera)] = true;
  }
  for (int camera = 0; camera < count; ++camera) {
    if (shown[static_cast<size_t>(camera)]) continue;
    const IpcRecord& c = cameras[static_cast<size_t>(camera)];
    const int row = m_ipcList.InsertRow(m_ipcList.GetRowCount(), FromGbk(fixed_view(c.IpAddr)));
    if (row < 0) continue;
    m_ipcList.SetCellText(row, kIpcColProtocol, ProtocolText(c.Protocol));
    m_ipcList.SetCellText(row, kIpcColName, FromGbk(fixed_view(c.OsdName)));
    m_ipcList.SetCellText(row, kIpcColSerial, FromGbk(fixed_view(c.SN)));
    m_ipcList.SetRowData(row, static_cast<uint32_t>(camera) + 1);
  }
}

void CDChanCtrl::ApplyChannels(const std::vector<ChannelEntry>& channels) {
  m_channelList.DeleteAllRows();
  for (const ChannelEntry& c : channels) {
    const int row = m_channelList.InsertRow(m_channelList.GetRowCount(), QString::number(c.ChannelId));
    if (row < 0) continue;
    m_channelList.SetCellText(row, kChanColIp, FromGbk(fixed_view(c.IpAddr)));
    m_channelList.SetCellText(row, kChanColProtocol, ProtocolText(c.Protocol));
    m_channelList.SetCellText(row, kChanColName, FromGbk(fixed_view(c.ChannnelName)));
    m_channelList.SetCellText(row, kChanColStatus, QString::number(c.Status));
  }
}

void CDChanCtrl::ApplyLogin(int state) {
  const char* format = state == IPC_EVENT_LOGIN_OK     ? "NVR(%1) 连接成功"
                       : state == IPC_EVENT_LOGIN_FAIL ? "NVR(%1) 连接失败"
                                                       : nullptr;
  if (format) SetDlgItemText(IDC_CHAN_LOGIN_STATE, U8(format).arg(FromGbk(m_nvrLinkInfo.ip)));
}

int CDChanCtrl::CameraOfRow(int row) const {
  const uint32_t data = m_ipcList.GetRowData(row);
  return data == 0 ? -1 : static_cast<int>(data - 1);
}

// ---- cameras into channels ----------------------------------------------------------------------

void CDChanCtrl::OnIpcSearch() {
  if (!m_table.searching()) {
    if (m_table.start_search() == 0) SetDlgItemText(IDC_CHAN_IPC_SEARCH, "停止");
  } else if (m_table.stop_search() == 0) {
    SetDlgItemText(IDC_CHAN_IPC_SEARCH, "搜索");
  }
}

void CDChanCtrl::ShowResult(int result) {
  switch (result) {
    case jobs::kChanNoSelection: MessageBox(kNoSelection); break;
    case jobs::kChanAlreadyAdded: MessageBox(kAlreadyAdded); break;
    case jobs::kChanNoCamera: MessageBox(kNoRecord); break;
    case jobs::kChanNeedTwo: MessageBox(kNeedTwo); break;
    case jobs::kChanBadText: MessageBox(kBadTextMessage); break;
    default: break;  // a request not written is only logged
  }
}

void CDChanCtrl::AddCameras(bool tickedOnly) {
  int selected = 0;
  std::vector<int> cameras;  // in list order, as the operator sees them
  for (int row = 0; row < m_ipcList.GetRowCount(); ++row) {
    if (tickedOnly && !m_ipcList.GetRowCheck(row)) continue;
    ++selected;
    const int camera = CameraOfRow(row);
    if (camera >= 0) cameras.push_back(camera);
    else debug_print("not found in m_IPCList ip:%s\n", ToGbk(m_ipcList.GetCellText(row, kIpcColIp)).c_str());
  }
  if (selected == 0) {
    MessageBox(kNoSelection);
    return;
  }
  if (cameras.empty()) {
    MessageBox(kAlreadyAdded);
    return;
  }
  const jobs::ChanOp op = m_table.add_cameras(cameras);
  if (op.result == jobs::kChanTableFull) MessageBox(kFullForAdd);
  else ShowResult(op.result);
}

std::vector<int> CDChanCtrl::TickedChannelRows() const {
  std::vector<int> rows;
  for (int row = 0; row < m_channelList.GetRowCount(); ++row)
    if (m_channelList.GetRowCheck(row)) rows.push_back(row);
  return rows;
}

void CDChanCtrl::OnIpcDoubleClick(int row) {
  if (row < 0 || row >= m_ipcList.GetRowCount()) return;
  const int camera = CameraOfRow(row);
  if (camera < 0) {
    MessageBox(kNoRecord);
    return;
  }
  const jobs::ChanOp op = m_table.add_camera(camera, TickedChannelRows());
  if (op.result == jobs::kChanTableFull) MessageBox(kFullForOne);
  else ShowResult(op.result);
}

void CDChanCtrl::OnChannelDoubleClick(int row) {
  if (row < 0 || row >= m_channelList.GetRowCount()) return;
  jobs::ChannelEditForm form;
  const int r = m_table.edit_form(row, form);
  uint32_t address = 0;
  if (r == jobs::kChanBadAddress || (r == jobs::kChanOk && !ParseAddress(form.ip, &address))) {
    MessageBox(U8("Ip地址异常:%1").arg(m_channelList.GetCellText(row, kChanColIp)));
    return;
  }
  if (r != jobs::kChanOk) return;
  CChannelSet dlg(this);
  dlg.m_address = address;
  dlg.m_addressEditable = form.ip_editable ? 1 : 0;
  dlg.m_protocol = ProtocolText(form.protocol);
  dlg.m_port = form.port;
  dlg.m_user = FromGbk(form.user);
  dlg.m_password = FromGbk(form.password);
  if (dlg.DoModal() != IDOK) return;
  const uint32_t a = dlg.m_address;
  char ip[16];
  std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xFF),
                static_cast<int>((a >> 8) & 0xFF), static_cast<int>(a & 0xFF));
  form.ip = ip;
  form.port = dlg.m_port;
  form.protocol = dlg.m_protocol == QLatin1String("MVK") ? kNvrProtocolMVK : kNvrProtocolONVIF;
  form.user = ToGbk(dlg.m_user);
  form.password = ToGbk(dlg.m_password);
  const jobs::ChanOp op = m_table.apply_edit(row, form);
  if (op.result == jobs::kChanBadArgument) MessageBox(kTooLongMessage);
  else ShowResult(op.result);
}

// ---- channel edits ------------------------------------------------------------------------------

void CDChanCtrl::OnDelete() {
  const jobs::ChanOp op = m_table.delete_channels(TickedChannelRows());
  if (op.sent > 0) StartReread(op.reread_after_ms);
}

void CDChanCtrl::OnClear() {
  const jobs::ChanOp op = m_table.clear();
  if (op.sent > 0) StartReread(op.reread_after_ms);
}

void CDChanCtrl::OnSwap() {
  const jobs::ChanOp op = m_table.swap(TickedChannelRows());
  if (op.result == jobs::kChanNeedTwo) MessageBox(kNeedTwo);
  else if (op.sent > 0) StartReread(op.reread_after_ms);
}

void CDChanCtrl::StartReread(int ms) {
  // The NVR takes its time over each change; the table is read once it should be done. The
  // window stays live meanwhile, but the wait cursor and the disabled buttons say that the
  // table shown is not the NVR's yet.
  const int64_t now = static_cast<int64_t>(get_tick_ms());
  const int64_t due = now + std::max(0, ms);
  if (!m_rereadPending) {
    m_rereadPending = true;
    m_rereadDue = due;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    EnableNvrButtons(false);
  } else {
    m_rereadDue = std::max(m_rereadDue, due);
  }
  m_rereadSent = false;
  SetTimer(kRereadTimer, static_cast<int>(m_rereadDue - now));
}

void CDChanCtrl::EndReread() {
  KillTimer(kRereadTimer);
  m_rereadSent = false;
  if (!m_rereadPending) return;
  m_rereadPending = false;
  QApplication::restoreOverrideCursor();
  EnableNvrButtons(m_loggedIn);
}

void CDChanCtrl::OnCanvas() {
  const std::vector<int> choices = jobs::ChannelTable::canvas_choices(m_channelList.GetRowCount());
  const int popup = CanvasPopup(choices.size());
  if (popup < 0) return;
  PopupMenu(popup, this);
}

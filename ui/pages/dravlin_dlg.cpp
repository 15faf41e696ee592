#include "ui/pages/dravlin_dlg.h"

#include <QCloseEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QToolTip>
#include <QLabel>
#include <vector>

#include "discovery/search.h"
#include "jobs/job.h"
#include "link/link.h"
#include "ui/pages/found_rows.h"
#include "ui/pages/runner_host.h"
#include "ui/pages/progress_text_delegate.h"
#include "ui/platform/resources.h"
#include "ui/platform/text.h"
#include "util/fixedstr.h"
#include "util/log.h"

namespace {

constexpr int kLayoutIds[] = {IDC_BOOT_LIST,
                              IDC_BOOT_SEARCH,
                              IDC_BOOT_SELECT_ALL,
                              IDC_BOOT_INVERT,
                              IDC_BOOT_PICTURE_GROUP,
                              IDC_BOOT_LABEL_BOOT,
                              IDC_BOOT_LABEL_CHANNEL,
                              IDC_BOOT_LABEL_SHUTDOWN,
                              IDC_BOOT_RULES_BOOT,
                              IDC_BOOT_RULES_CHANNEL,
                              IDC_BOOT_RULES_SHUTDOWN,
                              IDC_BOOT_PATH_BOOT,
                              IDC_BOOT_CHOOSE_BOOT,
                              IDC_BOOT_FACTORY_BOOT,
                              IDC_BOOT_PATH_CHANNEL,
                              IDC_BOOT_CHOOSE_CHANNEL,
                              IDC_BOOT_FACTORY_CHANNEL,
                              IDC_BOOT_PATH_SHUTDOWN,
                              IDC_BOOT_CHOOSE_SHUTDOWN,
                              IDC_BOOT_FACTORY_SHUTDOWN,
                              IDC_BOOT_REFRESH,
                              IDC_BOOT_CHANNEL_GROUP,
                              IDC_BOOT_MODEL_LABEL,
                              IDC_BOOT_CHANNEL_HELP,
                              IDC_BOOT_MODEL,
                              IDC_BOOT_LOCK_CHANNELS,
                              IDC_BOOT_CHANNELS_16,
                              IDC_BOOT_CHANNELS_25,
                              IDC_BOOT_CHANNELS_32,
                              IDC_BOOT_CHANNELS_9,
                              IDC_BOOT_CHANNELS_4,
                              IDC_BOOT_BUZZER_GROUP,
                              IDC_BOOT_BUZZER_HELP,
                              IDC_BOOT_BUZZER_SEND,
                              IDC_BOOT_BUZZER_ALLOW};
constexpr int kHiddenGroupIds[] = {
    IDC_BOOT_CHANNEL_GROUP, IDC_BOOT_MODEL_LABEL, IDC_BOOT_CHANNEL_HELP, IDC_BOOT_MODEL,       IDC_BOOT_LOCK_CHANNELS,
    IDC_BOOT_CHANNELS_16,   IDC_BOOT_CHANNELS_25, IDC_BOOT_CHANNELS_32,  IDC_BOOT_CHANNELS_9,  IDC_BOOT_CHANNELS_4,
    IDC_BOOT_BUZZER_GROUP,  IDC_BOOT_BUZZER_HELP, IDC_BOOT_BUZZER_SEND,  IDC_BOOT_BUZZER_ALLOW};
constexpr int kDisableIds[] = {
    IDC_BOOT_SEARCH,          IDC_BOOT_SELECT_ALL,    IDC_BOOT_INVERT,          IDC_BOOT_PATH_BOOT,
    IDC_BOOT_CHOOSE_BOOT,     IDC_BOOT_FACTORY_BOOT,  IDC_BOOT_PATH_CHANNEL,    IDC_BOOT_CHOOSE_CHANNEL,
    IDC_BOOT_FACTORY_CHANNEL, IDC_BOOT_PATH_SHUTDOWN, IDC_BOOT_CHOOSE_SHUTDOWN, IDC_BOOT_FACTORY_SHUTDOWN,
    IDC_BOOT_REFRESH,         IDC_BOOT_CHANNELS_16,   IDC_BOOT_CHANNELS_25,     IDC_BOOT_CHANNELS_32,
    IDC_BOOT_CHANNELS_9,      IDC_BOOT_CHANNELS_4,    IDC_BOOT_BUZZER_SEND};
constexpr int kEnableIds[] = {IDC_BOOT_SEARCH,       IDC_BOOT_SELECT_ALL,      IDC_BOOT_INVERT,
                              IDC_BOOT_FACTORY_BOOT, IDC_BOOT_FACTORY_CHANNEL, IDC_BOOT_FACTORY_SHUTDOWN,
                              IDC_BOOT_REFRESH,      IDC_BOOT_CHANNELS_16,     IDC_BOOT_CHANNELS_25,
                              IDC_BOOT_CHANNELS_32,  IDC_BOOT_CHANNELS_9,      IDC_BOOT_CHANNELS_4,
                              IDC_BOOT_BUZZER_SEND};

// Per picture kind (boot, channel, shutdown): factory option, path field, choose button, file
// type of the upload, and factory restore code.
constexpr int kFactoryIds[3] = {IDC_BOOT_FACTORY_BOOT, IDC_BOOT_FACTORY_CHANNEL, IDC_BOOT_FACTORY_SHUTDOWN};
constexpr int kPathIds[3] = {IDC_BOOT_PATH_BOOT, IDC_BOOT_PATH_CHANNEL, IDC_BOOT_PATH_SHUTDOWN};
constexpr int kChooseIds[3] = {IDC_BOOT_CHOOSE_BOOT, IDC_BOOT_CHOOSE_CHANNEL, IDC_BOOT_CHOOSE_SHUTDOWN};

constexpr char kBootFilter[] = "Jpg (*.jpg;*.jpeg)|*.jpg;*.jpeg|Bin (*.bin;*.Bin)|*.bin;*.Bin|All Files (*.*)|*.*||";
constexpr char kPngFilter[] = "Png (*.png)|*.png|All Files (*.*)|*.*||";

// Asked before the window closes over busy rows.
constexpr char kCloseBusyText[] = "仍有设备正在处理,关闭窗口将中断它们。确定要关闭吗?";

constexpr char kProgressPrefix[] = "上传文件中..";
constexpr char kProgressSuffix[] = "..";

// Channel-count buttons in mode order (mode 0..4).
constexpr int kChannelButtons[5] = {IDC_BOOT_CHANNELS_16, IDC_BOOT_CHANNELS_25, IDC_BOOT_CHANNELS_32,
                                    IDC_BOOT_CHANNELS_9, IDC_BOOT_CHANNELS_4};

struct ButtonSpec {
  const char* text;  // null: hidden
  int x;
  int width;
};
// Per model (combo row), the five buttons in mode order.
constexpr ButtonSpec kModelButtons[6][5] = {
    {{"16通道", 173, 60}, {"25通道", 243, 60}, {"32通道", 313, 60}, {"9通道", 103, 60}, {"4通道", 33, 60}},
    {{"4通道", 50, 130}, {"8通道", 220, 130}, {nullptr, 350, 0}, {nullptr, 360, 0}, {nullptr, 370, 0}},
    {{"9通道", 153, 100}, {"16通道", 273, 100}, {"4通道", 33, 100}, {nullptr, 360, 0}, {nullptr, 370, 0}},
    {{"36通道", 313, 60}, {"25通道", 243, 60}, {"16通道", 173, 60}, {"9通道", 103, 60}, {"4通道", 33, 60}},
    {{"4通道", 50, 130}, {"6通道", 220, 130}, {nullptr, 350, 0}, {nullptr, 360, 0}, {nullptr, 370, 0}},
    {{"8通道", 50, 130}, {"10通道", 220, 130}, {nullptr, 350, 0}, {nullptr, 360, 0}, {nullptr, 370, 0}},
};
constexpr int kShownButtonY = 545;
constexpr int kShownButtonHeight = 20;
constexpr int kHiddenButtonY = 450;

std::atomic<BinaryResourceLookup> g_factoryLookup{nullptr};

bool ResourceLookup(int id, const unsigned char** data, size_t* size) {
  BinaryResource res = FindBinaryResource(id);
  if (res.empty()) return false;
  *data = res.data;
  *size = res.size;
  return true;
}

}  // namespace

CDravlinDlg::CDravlinDlg() : CDialogPage(IDD_DRAVLIN_DIALOG) { Bind(IDC_BOOT_LIST, m_list); }

CDravlinDlg::~CDravlinDlg() {
  // Timers and posts stop first; then the page's jobs end and tell it nothing more. Their links
  // are reset at once, so no stream reads the factory picture after this page is gone.
  DestroyHost();
  if (m_watchedWindow) m_watchedWindow->removeEventFilter(this);
  if (m_initialised) {
    m_list.viewport()->removeEventFilter(this);
    m_jobs.DropAll();
    runner_host::WaitForLogouts();
    if (m_searching) {
      stopsearchipc();
      m_searching = false;
    }
  }
}

void CDravlinDlg::SetFactoryLookupForTest(BinaryResourceLookup lookup) { g_factoryLookup.store(lookup); }

bool CDravlinDlg::OnInitDialog() {
  m_list.ModifyStyle(0, LVS_SHOWSELALWAYS | LVS_NOLABELWRAP);
  m_list.SetExtendedStyle(m_list.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  m_list.InsertColumn(0, "IP地址", LVCFMT_CENTER, 125);
  m_list.InsertColumn(1, "网关地址", LVCFMT_LEFT, 120);
  m_list.InsertColumn(2, "设备类型", LVCFMT_LEFT, 140);
  m_list.InsertColumn(3, "序列号", LVCFMT_LEFT, 140);
  m_list.InsertColumn(4, "状态", LVCFMT_LEFT, 172);
  m_progress = new CProgressTextDelegate(U8(kProgressPrefix), U8(kProgressSuffix), &m_list);
  m_list.setItemDelegateForColumn(kStatusColumn, m_progress);

  for (const char* model : {"QV5232C", "QV5108D", "QV5116D", "QV5x36M", "QV5104A", "QV5108A"})
    ComboAddString(IDC_BOOT_MODEL, U8(model));
  ComboSetCurSel(IDC_BOOT_MODEL, 0);
  m_searching = false;
  m_shown = 0;

  runner_host::Runner();
  // On failure the copy stays empty; the loader has written its diagnostic line.
  BinaryResourceLookup lookup = g_factoryLookup.load();
  LoadFactoryPicture(&m_factory, lookup ? lookup : ResourceLookup);

  // The counts of listed, ticked and busy recorders, below the three list buttons.
  m_status = new QLabel(this);
  m_status->setTextFormat(Qt::PlainText);
  m_status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_status->setWordWrap(true);
  m_status->setGeometry(DluToPixels(520, 84, 62, 64, BaseUnits()));
  SetDlgCtrlID(m_status, kStatusLabelId);

  for (int id : kLayoutIds) m_layout.AddControl(id, this);
  m_layout.AddControl(kStatusLabelId, this);
  for (int id : kHiddenGroupIds) ShowWindow(id, false);

  RefreshOptions();
  UpdateCounts();
  // Closing the main window logs every link out.
  if (QWidget* top = window(); top && top != this) {
    m_watchedWindow = top;
    top->installEventFilter(this);
  }
  m_list.viewport()->installEventFilter(this);
  m_list.setContextMenuPolicy(Qt::CustomContextMenu);
  connect(&m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) { OnListMenu(pos); });
  FitColumns();
  m_initialised = true;
  return true;
}

bool CDravlinDlg::eventFilter(QObject* watched, QEvent* event) {
  // The list's client area changes with the window and with its vertical scroll bar.
  if (watched == m_list.viewport() && event->type() == QEvent::Resize) {
    FitColumns();
  } else if (watched == m_list.viewport() && event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = m_list.indexAt(help->pos());
    if (index.isValid() && index.column() == kStatusColumn) {
      QToolTip::showText(help->globalPos(), StatusToolTip(index.row()), m_list.viewport());
      return true;
    }
  } else if (watched == m_watchedWindow && event->type() == QEvent::Close) {
    if (!MayClose()) {
      event->ignore();
      return true;
    }
    OnClose();
  } else if (watched == m_watchedWindow && event->type() == QEvent::KeyPress &&
             static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !MayClose()) {
    return true;  // Escape would end the window without asking
  }
  return CDialogPage::eventFilter(watched, event);
}

bool CDravlinDlg::MayClose() {
  // Every page's work counts: the firmware page's uploads as much as this page's rows.
  if (runner_host::BusyJobs() == 0) return true;
  return MessageBox(U8(kCloseBusyText), U8("Dravlin"), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void CDravlinDlg::OnClose() {
  // The window closes now: a device that stopped reading is not waited for.
  runner_host::CancelAll();
}

void CDravlinDlg::OnSize(int type, int, int) {
  if (type == SIZE_MINIMIZED) return;
  m_layout.Relayout();
  FitColumns();
}

void CDravlinDlg::FitColumns() {
  // The list's client area: the whole widget width would leave the frame's few pixels (or the
  // vertical scroll bar) to a horizontal scroll bar.
  const int width = m_list.viewport()->width();
  for (int c = 0; c < m_list.GetColumnCount(); ++c) m_list.setColumnWidth(c, width / 5);
}

void CDravlinDlg::OnCommand(int id, int code) {
  if (code == CBN_SELCHANGE && id == IDC_BOOT_MODEL) {
    OnModelSelected();
    return;
  }
  if (code != BN_CLICKED) {
    CDialogPage::OnCommand(id, code);
    return;
  }
  switch (id) {
    case IDC_BOOT_SEARCH: OnSearch(); break;
    case IDC_BOOT_SELECT_ALL: OnSelectAll(); break;
    case IDC_BOOT_INVERT: OnInvert(); break;
    case IDC_BOOT_CHOOSE_BOOT: ChoosePicture(kPictureBoot); break;
    case IDC_BOOT_CHOOSE_CHANNEL: ChoosePicture(kPictureChannel); break;
    case IDC_BOOT_CHOOSE_SHUTDOWN: ChoosePicture(kPictureShutdown); break;
    case IDC_BOOT_FACTORY_BOOT: OnFactoryOption(kPictureBoot); break;
    case IDC_BOOT_FACTORY_CHANNEL: OnFactoryOption(kPictureChannel); break;
    case IDC_BOOT_FACTORY_SHUTDOWN: OnFactoryOption(kPictureShutdown); break;
    case IDC_BOOT_REFRESH: OnRefresh(); break;
    case IDC_BOOT_CHANNELS_16:
    case IDC_BOOT_CHANNELS_25:
    case IDC_BOOT_CHANNELS_32:
    case IDC_BOOT_CHANNELS_9:
    case IDC_BOOT_CHANNELS_4: OnChannelCount(id); break;
    case IDC_BOOT_BUZZER_SEND: RunStateOnTicked(kStateBuzzer); break;
    case IDC_BOOT_LOCK_CHANNELS:  // read when a request is sent
    case IDC_BOOT_BUZZER_ALLOW: RefreshOptions(); break;
    default: CDialogPage::OnCommand(id, code); break;
  }
}

void CDravlinDlg::OnTimer(int id) {
  if (id == kListTimer) OnListTimer();
  else if (id == kSuperviseTimer) OnSupervise();
  else if (id == kNetTimer) OnNetTimer();
}

long CDravlinDlg::OnReportNotify(int ctrlId, unsigned message, int wParam, int) {
  if (ctrlId == IDC_BOOT_LIST && message == WM_REPORT_CHECKCHANGED) {
    if (m_list.GetRowCheck(wParam)) debug_print("%d nvr checked\n", wParam);
    else debug_print("%d nvr unchecked\n", wParam);
    UpdateCounts();
  }
  return 0;
}

// ---- search and listing -------------------------------------------------------------------

void CDravlinDlg::OnSearch() {
  if (m_searching) {
    KillTimer(kListTimer);
    stopsearchipc();
    debug_print("Func:stopsearchipc....\n");
    SetDlgItemText(IDC_BOOT_SEARCH, "搜索NVR");
    m_searching = false;
    return;
  }
  // The old rows' work is given up on (their links reset); no news of it reaches the new list.
  // Another page's jobs are its own.
  m_jobs.DropAll();
  // Settings still unconfirmed belong to rows that are gone.
  KillTimer(kNetTimer);
  m_netJob.reset();
  m_netRows.clear();
  m_chainFrom.clear();
  m_IPCList.clear();
  m_lastFailure.clear();
  m_list.DeleteAllRows();
  m_shown = 0;
  const int r = startsearchipc();
  debug_print("Func:startsearchipc....\n");
  if (r <= 0) {
    MessageBox("[IP_NET_DVR_StartSearchIPC]启动搜索线程失败");
  } else {
    SetDlgItemText(IDC_BOOT_SEARCH, "停止");
    m_searching = true;
    SetTimer(kListTimer, kListPeriodMs);
  }
  UpdateCounts();
}

void CDravlinDlg::OnListTimer() {
  const int n = getipccount();
  for (int i = m_shown; i < n; ++i) {
    IPC entry;
    if (getipcinfo_copy(i, &entry.info) != 1) continue;
    const int row = found_rows::Append(m_list, entry.info, kStatusColumn);
    if (row < 0) continue;
    entry.index = i;
    entry.state = kStateIdle;
    PutEntry(row, entry);
  }
  // Also when the table is smaller than before (the search was started afresh behind this
  // page): its new slots are listed from there on.
  if (n != m_shown) {
    m_shown = n;
    UpdateCounts();
  }
}

void CDravlinDlg::OnSelectAll() {
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    auto it = m_IPCList.find(row);
    if (it == m_IPCList.end()) continue;
    m_list.SetRowCheck(row, fixed_view(it->second.info.devid.DeviceType).find("QV5") != std::string_view::npos);
  }
  UpdateCounts();
}

void CDravlinDlg::OnInvert() {
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) m_list.SetRowCheck(row, !m_list.GetRowCheck(row));
  UpdateCounts();
}

// ---- pictures and options -----------------------------------------------------------------

void CDravlinDlg::ChoosePicture(int kind) {
  QString path;
  if (!ChooseOpenFile(kind == kPictureBoot ? kBootFilter : kPngFilter, &path)) return;
  if (!path.isEmpty()) {
    const int r = CheckPictureFile(kind, ToLocalPath(path).c_str(),
                                   [this](const std::string& text) { MessageBox(QString::fromStdString(text)); });
    if (r != kPictureOk) path.clear();
  }
  m_paths[kind] = path;
  SetDlgItemText(kPathIds[kind], path);
  RefreshOptions();
}

void CDravlinDlg::OnFactoryOption(int kind) {
  if (IsDlgButtonChecked(kFactoryIds[kind])) {
    EnableWindow(kPathIds[kind], false);
    EnableWindow(kChooseIds[kind], false);
    m_paths[kind].clear();
    SetDlgItemText(kPathIds[kind], m_paths[kind]);
  } else {
    EnableWindow(kPathIds[kind], true);
    EnableWindow(kChooseIds[kind], true);
  }
  RefreshOptions();
}

QString CDravlinDlg::PicturePath(int kind) const { return kind >= 0 && kind < 3 ? m_paths[kind] : QString(); }

void CDravlinDlg::RefreshOptions() {
  for (int k = 0; k < 3; ++k) {
    m_options.factory[k] = IsDlgButtonChecked(kFactoryIds[k]);
    m_options.path[k] = ToLocalPath(m_paths[k]);
  }
  m_options.ctrlEnable = IsDlgButtonChecked(IDC_BOOT_LOCK_CHANNELS) ? 0 : 1;
}

void CDravlinDlg::OnChannelCount(int id) {
  int mode = 0;
  for (int m = 0; m < 5; ++m)
    if (kChannelButtons[m] == id) mode = m;
  m_options.chnAddMode = mode;
  RunStateOnTicked(kStateChannelAddMode);
}

void CDravlinDlg::SetButtonProperties(int id, const char* text, int x, int width, bool shown) {
  if (!Control(id)) {
    debug_print("SetButtonProperties fail:input error!!! \n");
    return;
  }
  if (shown) {
    SetDlgItemText(id, text);
    MoveDlgItem(id, x, kShownButtonY, width, kShownButtonHeight);
    ShowWindow(id, true);
  } else {
    SetDlgItemText(id, "");
    MoveDlgItem(id, x, kHiddenButtonY, 0, 0);
    ShowWindow(id, false);
  }
}

void CDravlinDlg::OnModelSelected() {
  int model = ComboGetCurSel(IDC_BOOT_MODEL);
  if (model < 0 || model > 5) model = 5;
  for (int m = 0; m < 5; ++m) {
    const ButtonSpec& b = kModelButtons[model][m];
    SetButtonProperties(kChannelButtons[m], b.text ? b.text : "", b.x, b.width, b.text != nullptr);
  }
}

void CDravlinDlg::EnableControls(bool enable) {
  if (!enable) {
    for (int id : kDisableIds) EnableWindow(id, false);
    return;
  }
  for (int id : kEnableIds) EnableWindow(id, true);
  for (int k = 0; k < 3; ++k) {
    if (IsDlgButtonChecked(kFactoryIds[k])) continue;
    EnableWindow(kPathIds[k], true);
    EnableWindow(kChooseIds[k], true);
  }
}

// ---- counts -------------------------------------------------------------------------------

QString CDravlinDlg::StatusText() const { return m_status ? m_status->text() : QString(); }

void CDravlinDlg::UpdateCounts() {
  if (!m_status) return;
  const int rows = m_list.GetRowCount();
  int ticked = 0;
  for (int row = 0; row < rows; ++row) ticked += m_list.GetRowCheck(row) ? 1 : 0;
  m_status->setText(U8("已列出: %1\n已勾选: %2\n处理中: %3").arg(rows).arg(ticked).arg(BusyRows()));
}

#include "ui/shell/dravlins.h"

#include <QContextMenuEvent>
#include <QScreen>
#include <algorithm>
#include <QShortcut>

#include "ui/platform/resources.h"
#include "ui/platform/ui_seam.h"
#include "ui/resources/dravlins_ids.h"
#include "ui/shell/about_dlg.h"

CDravlins::CDravlins(QWidget* parent, bool allPages)
    : CDialog(IDD_DRAVLINS, parent), m_hIcon(LoadAppIcon()), m_allPages(allPages) {
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  // The window's smallest size; Qt applies it to the client area.
  setMinimumSize(kMinTrackWidth, kMinTrackHeight);
  setSizeGripEnabled(false);
  Bind(IDC_MAIN_TAB, m_tab);
}

CDravlins::~CDravlins() { DestroyHost(); }

bool CDravlins::OnInitDialog() {
  setWindowIcon(m_hIcon);
  auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
  QObject::connect(menuKey, &QShortcut::activated, this, [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });

  m_dchanCtrl.SetOwner(this);
  m_tab.AddPage("NVR开机画面", &m_dravlinDlg, IDD_DRAVLIN_DIALOG);
  m_tab.AddPage("NVR对时", &m_sendtime, IDD_SENDTIME);
  if (m_allPages) {
    m_tab.AddPage("NVR通道管理", &m_dchanCtrl, IDD_DCHANCTRL);
    m_tab.AddPage("固件升级", &m_upgrade, IDD_UPGRADE);
    m_tab.AddPage("生产记录", &m_history, IDD_HISTORY);
  }
  m_tab.CreatePages();
  m_layout.AddControl(IDC_MAIN_TAB, this);
  // A screen smaller than the template (a netbook, or a laptop scaled up): start within it,
  // title bar and frame included, never below the minimum size, and let the layout follow.
  // The frame is known only once the window system has framed the window; until then the
  // allowance Qt itself reserves when it places a dialog.
  if (QScreen* s = screen()) {
    QSize frame = frameGeometry().size() - size();
    if (frame.width() <= 0 || frame.height() <= 0) frame = QSize(10, 40);
    const QSize avail = s->availableGeometry().size() - frame;
    resize(std::max(std::min(width(), avail.width()), kMinTrackWidth),
           std::max(std::min(height(), avail.height()), kMinTrackHeight));
  }
  return true;
}

// A minimised window is not painted on this platform, so there is no icon to draw in its
// client area; the window system shows the window icon set above instead.
void CDravlins::OnSize(int type, int, int) {
  if (type == SIZE_MINIMIZED) return;
  m_layout.Relayout();
  m_tab.ResizePages();
}

std::vector<std::pair<unsigned, QString>> CDravlins::SystemMenuItems() const {
  std::vector<std::pair<unsigned, QString>> items = {
      {SC_RESTORE, QString::fromUtf8("还原(&R)")},    {SC_MINIMIZE, QString::fromUtf8("最小化(&N)")},
      {SC_MAXIMIZE, QString::fromUtf8("最大化(&X)")}, {0, QString()},
      {SC_CLOSE, QString::fromUtf8("关闭(&C)")},
  };
  const QString about = LoadString(IDS_ABOUTBOX);
  if (!about.isEmpty()) {
    items.push_back({0, QString()});
    items.push_back({IDM_ABOUTBOX, about});
  }
  return items;
}

void CDravlins::ShowSystemMenu(QPoint globalPos) {
  MenuPopup popup{windowTitle(), {}};
  for (const auto& [id, text] : SystemMenuItems()) popup.items.push_back({static_cast<int>(id), text, {}});
  const int chosen = Ui().TrackPopupMenu(this, popup, globalPos);
  if (chosen != 0) OnSysCommand(static_cast<unsigned>(chosen));
}

void CDravlins::OnSysCommand(unsigned id) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about(this);
    about.DoModal();
    return;
  }
  switch (id & 0xFFF0) {
    case SC_CLOSE: close(); break;
    case SC_MINIMIZE: showMinimized(); break;
    case SC_MAXIMIZE: showMaximized(); break;
    case SC_RESTORE: showNormal(); break;
    default: break;
  }
}

void CDravlins::contextMenuEvent(QContextMenuEvent* e) {
  QWidget* at = childAt(e->pos());
  if (at && at != &m_tab && at != m_tab.Strip()) {
    e->ignore();
    return;
  }
  ShowSystemMenu(e->globalPos());
}

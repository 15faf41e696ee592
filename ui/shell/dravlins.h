// CDravlins: the main window. It owns the four pages for its whole life and shows the first
// two as tabs, or all four with --all-pages; the tab control follows the window's size.
#pragma once

#include <QIcon>
#include <utility>
#include <vector>

#include "ui/controls/proportional_layout.h"
#include "ui/pages/dchan_ctrl.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/sendtime.h"
#include "ui/pages/history_page.h"
#include "ui/pages/upgrade.h"
#include "ui/platform/dialog.h"
#include "ui/shell/tab_sheet.h"

class CDravlins : public CDialog {
 public:
  static constexpr int kMinTrackWidth = 875;
  static constexpr int kMinTrackHeight = 650;

  // allPages: the channel page and the firmware page become the third and fourth tab.
  explicit CDravlins(QWidget* parent = nullptr, bool allPages = false);
  ~CDravlins() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;

  // The window menu: restore, minimise, maximise, close and, after a separator, the about
  // entry (id 16). This platform has no system menu, so it opens on a right click on the tab
  // strip or the window's frame area, and with Alt+Space.
  std::vector<std::pair<unsigned, QString>> SystemMenuItems() const;
  void ShowSystemMenu(QPoint globalPos);
  // Ids 16..31 open the about box; the others get the default handling.
  void OnSysCommand(unsigned id);

  CTabSheet& TabSheet() { return m_tab; }
  CDravlinDlg& BootPicturePage() { return m_dravlinDlg; }
  CSendtime& ClockPage() { return m_sendtime; }
  CDChanCtrl& ChannelPage() { return m_dchanCtrl; }
  CUpgrade& UpgradePage() { return m_upgrade; }
  CHistoryPage& HistoryPage() { return m_history; }
  const QIcon& Icon() const { return m_hIcon; }
  ProportionalLayout& Layout() { return m_layout; }

 protected:
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  CDravlinDlg m_dravlinDlg;
  CSendtime m_sendtime;
  CDChanCtrl m_dchanCtrl;
  CUpgrade m_upgrade;
  CHistoryPage m_history;
  QIcon m_hIcon;
  CTabSheet m_tab;
  ProportionalLayout m_layout;
  bool m_allPages;
};

// CUpgrade: the firmware-upgrade page. It searches the LAN for recorders, lists them, and
// uploads one firmware image to every ticked recorder in parallel, showing each one's progress
// and the recorder's verdict in its row. The main window adds it as a tab only with
// --all-pages.
//
// Each ticked row runs one job (jobs/job.h) with the firmware page's policy, handed to the
// console's one runner (ui/pages/runner_host.h), which gives it a free link entry or lets it wait
// ("等待空闲连接"): the job logs in, announces the image and ends only at the verdict, a refused
// login, a lost link or a failed start; nothing moving for 50 s (no login, no progress, no verdict)
// ends it too, so an unreachable recorder cannot hold the buttons. The image is checked before
// any login. The watch timer gives the buttons back when no row of the page is busy.
//
// Threads: everything runs on the UI thread, the runner's news and event hooks included.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "jobs/job.h"
#include "jobs/runner.h"
#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/pages/row_jobs.h"
#include "ui/pages/dravlin_dlg.h"  // IPC, the row record both pages keep
#include "ui/platform/dialog.h"
#include "ui/resources/upgrade_ids.h"

class CProgressTextDelegate;

class CUpgrade : public CDialogPage {
 public:
  static constexpr int kListTimer = IDT_UPG_LIST;
  static constexpr int kListPeriodMs = 100;
  static constexpr int kWatchTimer = IDT_UPG_WATCH;
  static constexpr int kWatchPeriodMs = 500;
  static constexpr int kStatusColumn = 4;
  // IPC::state on this page.
  static constexpr int kRowIdle = 0;
  static constexpr int kRowBusy = 1;

  CUpgrade();
  ~CUpgrade() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;
  void OnTimer(int id) override;
  long OnReportNotify(int ctrlId, unsigned message, int wParam, int lParam) override;

  CReportCtrl& List() { return m_list; }
  // A copy of the row's entry; false when the row has none.
  bool GetEntry(int row, IPC* out) const;
  bool IsSearching() const { return m_searching; }
  int Shown() const { return m_shown; }
  // The image being sent (local encoding); empty before the first 升级.
  std::string FirmwarePath() const { return m_firmware; }
  // An upgrade runs: the watch is on.
  bool IsUpgrading() const { return IsTimerSet(kWatchTimer); }
  // Rows with a job not ended yet (waiting or running).
  int BusyRows() const;
  // Why the row's last run failed, "" when it did not fail (or never ran).
  QString LastFailure(int row) const;
  // The list's right-click menu (the maintenance page's): at pos, and one command directly.
  void OnListMenu(const QPoint& pos);
  void RunListCommand(int id, int clickedRow);

 private:
  void OnSearch();
  void StopSearch();
  void JoinSearchStop();
  void OnListTimer();
  void OnInvert();
  void OnBrowse();
  void OnStart();
  void OnWatch();
  void EnableButtons(bool enable);
  // The image's problem as the operator reads it, "" when it can be sent.
  static QString FirmwareProblem(const std::string& path);
  void StartRow(int row);
  void OnJobNews(int row, const jobs::Job& job, const jobs::JobNews& news);
  void OnJobEvent(int row, const jobs::Job& job, const jobs::LinkEvent& ev);
  void SetText(int row, const QString& text);

  CReportCtrl m_list;
  ProportionalLayout m_layout;
  CProgressTextDelegate* m_progress = nullptr;

  std::map<int, IPC> m_IPCList;
  RowJobs m_jobs{this};                  // row -> its last upgrade
  std::map<int, QString> m_lastFailure;  // row -> why its last upgrade failed
  std::string m_firmware;
  std::string m_runId;  // the history's name for the last 升级

  bool m_searching = false;
  int m_shown = 0;
  bool m_initialised = false;
  std::thread m_searchStop;  // ends this page's search without holding the UI thread
};

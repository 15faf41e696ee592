// CUpgrade: the firmware-upgrade page. It searches the LAN for recorders, lists them, and
// uploads one firmware image to every ticked recorder in parallel, showing each one's progress
// and the recorder's verdict in its row. The main window adds it as a tab only with
// --all-pages.
//
// Each ticked row runs one job (jobs/job.h) with the firmware page's policy on the row's link
// channel: the job logs in, announces the image at every login and ends only at the verdict, a
// refused login or a failed start; nothing moving for 50 s (no login, no progress, no verdict)
// ends it too, so an unreachable recorder cannot hold the buttons. The watch timer logs finished
// rows out (letting queued bytes reach the recorder; a row given up on is reset) and gives the
// buttons and the link table back when no row is busy.
//
// Threads: handlers and timers run on the UI thread; OnEventCB runs on the link threads. The
// row map, the jobs and the firmware path are guarded by one lock; a link thread never touches
// a widget (row texts go through CReportCtrl::PostCellText).
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jobs/job.h"
#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
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

  // The link's event callback for this page (any link thread).
  static int OnEventCB(int chanid, int code, const void* data, int len);
  // The auxiliary-data callback: this page wants none of it.
  static int OnAuxDataCB(int chanid, int kind, const void* data, int len, const void* info);
  // What OnEventCB does once it has found the page (any thread).
  int HandleEvent(int row, int code, const void* data, int len);

  CReportCtrl& List() { return m_list; }
  // A copy of the row's entry; false when the row has none.
  bool GetEntry(int row, IPC* out) const;
  bool IsSearching() const { return m_searching; }
  int Shown() const { return m_shown; }
  // The image being sent (local encoding); empty before the first 升级.
  std::string FirmwarePath() const;
  // An upgrade runs: the watch is on and the page holds the link table.
  bool IsUpgrading() const { return IsTimerSet(kWatchTimer); }

  // The clock the jobs' deadlines are measured on; tests move their own. Null restores the
  // monotonic clock.
  static void SetClockForTest(int64_t (*now)());

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
  // Starts the row's job; false when its link could not be started.
  bool StartRow(int row, const std::string& firmware);
  // Under m_mutex, inside a job call: the job's news as diagnostic lines and row state.
  void OnJobNews(const jobs::Job& job, const jobs::JobNews& news);
  void PostText(int row, const QString& text);
  // Logs the rows' links out side by side and returns when all have ended. abort: reset at once
  // (work given up on) instead of letting queued bytes reach the recorder.
  void LogoutRows(const std::vector<int>& rows, bool abort);
  void LogoutOwnLinks(bool abort);

  CReportCtrl m_list;
  ProportionalLayout m_layout;
  CProgressTextDelegate* m_progress = nullptr;

  std::unique_ptr<jobs::LinkPort> m_port;  // the rows' links; outlives the jobs below
  mutable std::mutex m_mutex;              // m_IPCList, m_jobs, m_verdict, m_firmware
  std::map<int, IPC> m_IPCList;
  std::map<int, std::unique_ptr<jobs::Job>> m_jobs;  // row -> its upgrade
  std::set<int> m_verdict;                           // rows whose recorder gave its verdict
  std::string m_firmware;

  bool m_searching = false;
  int m_shown = 0;
  bool m_initialised = false;
  std::set<int> m_loginRows;  // rows whose link this page started (UI thread)
  std::thread m_searchStop;   // ends this page's search without holding the UI thread
};

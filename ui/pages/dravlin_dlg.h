// CDravlinDlg: the boot-picture page (first tab). It searches the LAN for recorders, lists
// them, and for every ticked recorder in parallel logs in, uploads or restores the boot,
// channel background and shutdown pictures, and reboots it, with each recorder's progress in
// its row and a 15-second supervision. Two further groups (channel expansion, buzzer button)
// are built but stay hidden.
//
// The sequences themselves are jobs (jobs/job.h) with the page's policy: one job per busy row,
// on the row's link channel. The page builds the steps from its controls, feeds the row's link
// events and supervision ticks to the job, shows the job's state as the row's state and turns
// its news into the row texts and diagnostic lines.
//
// Threads: handlers and timers run on the UI thread; OnEventCB runs on the link threads. The
// row map, the jobs and the step options are shared and guarded by one lock; a link thread
// never touches a widget: row texts go through CReportCtrl::PostCellText, everything else
// through post().
#pragma once

#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "discovery/search.h"
#include "imaging/picture_check.h"
#include "jobs/job.h"
#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"
#include "ui/resources/dravlin_dlg_ids.h"

class QLabel;
class CProgressTextDelegate;

// A page's copy of a found recorder: the search record, the table slot it came from, the
// row's operation state and its elapsed supervision time.
struct IPC {
  IPCSearchInfo info{};
  int index = 0;
  int state = 10;
  int elapsed = 0;  // ms
};

class CDravlinDlg : public CDialogPage {
 public:
  // Operation states of a row.
  enum RowState : int {
    kStateIdle = 10,
    kStateBootPicture = 11,
    kStateChannelPicture = 12,
    kStateShutdownPicture = 13,
    kStateChannelAddMode = 14,
    kStateBuzzer = 15,
    kStateReboot = 16,
  };

  static constexpr int kListTimer = IDT_BOOT_LIST;
  static constexpr int kListPeriodMs = 1000;
  static constexpr int kSuperviseTimer = IDT_BOOT_SUPERVISE;
  static constexpr int kSupervisePeriodMs = 500;
  static constexpr int kSuperviseLimitMs = 15000;
  // SendStep's own results.
  static constexpr int kStepNoPath = -10;
  static constexpr int kStepNoFactoryPicture = -11;
  // The counts label beside the list (not part of the template).
  static constexpr int kStatusLabelId = IDC_BOOT_STATUS;
  static constexpr int kStatusColumn = 4;

  CDravlinDlg();
  ~CDravlinDlg() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;
  void OnTimer(int id) override;
  long OnReportNotify(int ctrlId, unsigned message, int wParam, int lParam) override;
  // The main window closes: every link is logged out.
  void OnClose();
  // Rows with a sequence under way (any tick state).
  int BusyRows() const;

  // The link's event callback for this page (any link thread).
  static int OnEventCB(int chanid, int code, const void* data, int len);
  // The auxiliary-data callback: this page wants none of it.
  static int OnAuxDataCB(int chanid, int kind, const void* data, int len, const void* info);
  // What OnEventCB does once it has found the page (any thread).
  int HandleEvent(int row, int code, const void* data, int len);

  // Sends the request of a state on the row's link. The request's result, or kStepNoPath /
  // kStepNoFactoryPicture when there is nothing to send. Any thread.
  int SendStep(int row, int state);

  CReportCtrl& List() { return m_list; }
  // A copy of the row's entry; false when the row has none.
  bool GetEntry(int row, IPC* out) const;
  // Stores a whole entry for the row (the listing does this for every new row).
  void PutEntry(int row, const IPC& entry);
  bool IsSearching() const { return m_searching; }
  int Shown() const { return m_shown; }
  QString PicturePath(int kind) const;
  const FactoryPicture& Factory() const { return m_factory; }
  int ChannelAddMode() const;
  int BuzzerEnable() const;
  QString StatusText() const;

  // The recorder list's right-click menu and tooltips.
  // Shows the menu for the row under pos (viewport coordinates) and runs the choice.
  void OnListMenu(const QPoint& pos);
  void RunListCommand(int id, int clickedRow);
  // The CSV of every row with its status (UTF-8 with a byte-order mark, for spreadsheets).
  QString ListCsv() const;
  // Why the row's last run failed, "" when it did not fail (or never ran).
  QString LastFailure(int row) const;
  // The status cell's tooltip: the whole text, and the reason for a failed row.
  QString StatusToolTip(int row) const;

  // Where the built-in picture is looked up (binary resource 139); tests point it elsewhere
  // before the page initialises. Null restores the resource.
  static void SetFactoryLookupForTest(BinaryResourceLookup lookup);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct StepOptions {
    bool factory[3] = {false, false, false};  // the three factory options
    std::string path[3];                      // boot, channel, shutdown (local encoding)
    int ctrlEnable = 1;                       // 0 when IDC_BOOT_LOCK_CHANNELS is ticked
    int chnAddMode = 0;
    int buzzerEnable = 0;
  };

  void OnSearch();
  void OnListTimer();
  void OnSelectAll();
  void OnInvert();
  void ChoosePicture(int kind);
  void OnFactoryOption(int kind);
  void OnRefresh();
  void OnSupervise();
  void OnChannelCount(int id);
  void OnModelSelected();
  void RunStateOnTicked(int state);
  // Starts the picture sequence of one row (the refresh handler's step 2).
  void StartPictures(int row);
  void EnableControls(bool enable);
  // Every column a fifth of the list's client width.
  void FitColumns();
  // Asks the operator when rows are busy; true when the window may close.
  bool MayClose();
  // Takes the link table for this page's logins, or tells the operator another page has it.
  bool ClaimLinks();
  // " (boot picture, ... failed)" for the pictures of the row's sequence that did not take.
  QString FailedPicturesNote(int row) const;
  // Under m_mutex: why a finished job failed, "" when it did not.
  static QString JobFailure(const jobs::Job& job, bool timedOut);
  void SetButtonProperties(int id, const char* text, int x, int width, bool shown);
  // UI thread: copies the check boxes into the options the link threads read.
  void RefreshOptions();
  StepOptions Options() const;
  bool OnUiThread() const;

  // On the UI thread the controls are read now (and the buzzer box stored); a link thread
  // works from the copy the UI thread made at its last change.
  StepOptions CurrentOptions();
  // The step of a state, or kStepNoPath / kStepNoFactoryPicture when there is nothing to send.
  int StepFor(int state, const StepOptions& o, jobs::Step* out) const;
  // Steps from `state` on (pictures still to send, then the reboot) for a row stored at that
  // state; the state's own step is kept even when there is nothing to send for it.
  std::vector<jobs::Step> StepsFrom(int state, const StepOptions& o) const;
  // A new job for the row: its first request is tried at once, the row logged in when that
  // cannot be written.
  void StartJob(int row, std::vector<jobs::Step> steps);
  // Under m_mutex: the row's state and elapsed time from its job.
  void SyncEntry(int row);
  // Under m_mutex, inside a job call: the job's news as row texts and diagnostic lines.
  void OnJobNews(const jobs::Job& job, const jobs::JobNews& news);
  // Shows the texts the jobs' news left (outside m_mutex).
  void FlushTexts();

  int StateOf(int row) const;  // -1 when the row has no entry

  void PostText(int row, const QString& text);
  void UpdateCounts();
  void PostUpdateCounts();
  void LogoutOwnLinks(bool abort = false);
  // Logs the rows' links out side by side and returns when all have ended.
  // abort: reset at once (work given up on) instead of letting queued bytes reach the device.
  void LogoutRows(const std::vector<int>& rows, bool abort = false);

  CReportCtrl m_list;
  ProportionalLayout m_layout;
  QLabel* m_status = nullptr;
  CProgressTextDelegate* m_progress = nullptr;

  std::unique_ptr<jobs::LinkPort> m_port;  // the rows' links; outlives the jobs below
  mutable std::mutex m_mutex;              // m_IPCList, m_jobs, m_chainFrom, m_pendingTexts, m_options
  std::map<int, IPC> m_IPCList;
  std::map<int, std::unique_ptr<jobs::Job>> m_jobs;  // row -> its sequence
  std::map<int, int> m_chainFrom;                    // row -> picture state the chain left
  std::vector<std::pair<int, QString>> m_pendingTexts;
  bool m_loginStarted = false;  // the last job start began a login
  StepOptions m_options;

  bool m_searching = false;
  int m_shown = 0;
  QString m_paths[3];
  FactoryPicture m_factory;
  bool m_initialised = false;
  std::set<int> m_loginRows;  // rows whose link this page started (UI thread)
  std::atomic<bool> m_countsPosted{false};
  QWidget* m_watchedWindow = nullptr;
  std::map<int, QString> m_lastFailure;  // row -> why its last run failed (m_mutex)
};

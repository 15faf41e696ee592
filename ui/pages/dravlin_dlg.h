// CDravlinDlg: the boot-picture page (first tab). It searches the LAN for recorders, lists
// them, and for every ticked recorder in parallel logs in, uploads or restores the boot,
// channel background and shutdown pictures, and reboots it, with each recorder's progress in
// its row and a 15-second supervision. Two further groups (channel expansion, buzzer button)
// are built but stay hidden.
//
// The sequences themselves are jobs (jobs/job.h) with the page's policy, run by the console's
// one runner (ui/pages/runner_host.h): the page builds each ticked row's steps from its
// controls and hands the job over; the runner gives it a free link entry (or lets it wait with
// "等待空闲连接"), drives it by its link events and its clock, ends it after 15 s and logs it
// out. The page shows the job's news as the row's texts and state; it addresses no link entry.
//
// Threads: everything runs on the UI thread, the runner's news and event hooks included.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "discovery/search.h"
#include "imaging/picture_check.h"
#include "jobs/job.h"
#include "jobs/net_assign.h"
#include "jobs/runner.h"
#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/pages/row_jobs.h"
#include "ui/platform/dialog.h"
#include "ui/resources/dravlin_dlg_ids.h"

class QLabel;
class CProgressTextDelegate;

// A page's copy of a found recorder: the search record, the table slot it came from and the
// row's operation state (the step its job is at).
struct IPC {
  IPCSearchInfo info{};
  int index = 0;
  int state = 10;
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
  // Gives the controls back once no job of the page is left.
  static constexpr int kSuperviseTimer = IDT_BOOT_SUPERVISE;
  static constexpr int kSupervisePeriodMs = 500;
  static constexpr int kSuperviseLimitMs = 15000;
  // Looks at the search answers of recorders given new network settings.
  static constexpr int kNetTimer = IDT_BOOT_NETWORK;
  static constexpr int kNetPeriodMs = 500;
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
  // The main window closes: every job of every page ends.
  void OnClose();
  // Rows with a job not ended yet (waiting or running).
  int BusyRows() const;

  CReportCtrl& List() { return m_list; }
  // A copy of the row's entry; false when the row has none.
  bool GetEntry(int row, IPC* out) const;
  // Stores a whole entry for the row (the listing does this for every new row).
  void PutEntry(int row, const IPC& entry);
  // The job of the row's last run, or null.
  const jobs::Job* JobOf(int row) const;
  bool IsSearching() const { return m_searching; }
  int Shown() const { return m_shown; }
  QString PicturePath(int kind) const;
  const FactoryPicture& Factory() const { return m_factory; }
  int ChannelAddMode() const { return m_options.chnAddMode; }
  int BuzzerEnable() const { return m_options.buzzerEnable; }
  QString StatusText() const;

  // The recorder list's right-click menu and tooltips.
  // Shows the menu for the row under pos (viewport coordinates) and runs the choice.
  void OnListMenu(const QPoint& pos);
  void RunListCommand(int id, int clickedRow);
  // The installer's tools on that menu, for the ticked rows: new network settings (a dialog
  // with a preview, then each row confirmed by its recorder's search answers) and a disk format
  // (a dialog for the disk, then a confirmation).
  void OnSetNetwork();
  void OnFormatDisk();
  // New network settings are being confirmed.
  bool NetBusy() const { return m_netJob != nullptr; }
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
  void EnableControls(bool enable);
  // Every column a fifth of the list's client width.
  void FitColumns();
  // Asks the operator when jobs of any page are busy; true when the window may close.
  bool MayClose();
  // " (boot picture, ... failed)" for the pictures of the job that did not take.
  static QString FailedPicturesNote(const jobs::Job& job);
  // Why a finished job failed, "" when it did not.
  static QString JobFailure(const jobs::Job& job);
  void SetButtonProperties(int id, const char* text, int x, int width, bool shown);
  // Reads the controls into the options the steps are built from.
  void RefreshOptions();

  // The step of a state; false when there is nothing to send for it (no path, no built-in
  // picture).
  bool StepFor(int state, jobs::Step* out) const;
  // Hands the row's job to the runner; command names it in the history.
  void StartJob(int row, std::vector<jobs::Step> steps, const char* command);
  // The runner's news of a row's job and the events of its link, as row texts, row state and
  // diagnostic lines.
  void OnJobNews(int row, const jobs::Job& job, const jobs::JobNews& news);
  void OnJobEvent(int row, const jobs::Job& job, const jobs::LinkEvent& ev);

  std::vector<int> TickedRows() const;
  void OnNetNews(const jobs::NetAssignment& a);
  void OnNetTimer();

  void SetText(int row, const QString& text);
  void UpdateCounts();

  CReportCtrl m_list;
  ProportionalLayout m_layout;
  QLabel* m_status = nullptr;
  CProgressTextDelegate* m_progress = nullptr;

  std::map<int, IPC> m_IPCList;
  RowJobs m_jobs{this};                  // row -> its last run's job
  std::map<int, int> m_chainFrom;        // row -> picture state the chain left
  std::map<int, QString> m_lastFailure;  // row -> why its last run failed
  StepOptions m_options;
  std::string m_runId;
  std::unique_ptr<jobs::NetAssignJob> m_netJob;  // the network settings being confirmed
  std::map<std::string, int>
      m_netRows;  // its serial numbers' rows  // the history's name for the last press of a button that started jobs

  bool m_searching = false;
  int m_shown = 0;
  QString m_paths[3];
  FactoryPicture m_factory;
  bool m_initialised = false;
  QWidget* m_watchedWindow = nullptr;
};

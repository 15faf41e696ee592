// CDChanCtrl: the channel-table editor for one NVR. The operator searches the LAN for NVRs,
// double-clicks one to log in, lets the NVR search its own network for cameras
// and fills the NVR's channels with them: add the ticked ones, add all, add one by double-click,
// edit one channel in CChannelSet, delete, clear, swap, choose the canvas, turn pages.
//
// The page is thin over jobs::ChannelTable, which keeps the cameras and the channel table,
// routes the NVR's answers and turns rows into requests. The page maps the table to its three
// lists and the controller's results to message boxes.
//
// The NVR's link is a held session of the console's one runner (ui/pages/runner_host.h): the
// runner gives it whichever entry is free, so the other pages keep working beside it. A refused
// login, 15 s without one, or a lost link end the session: the lists are cleared and the label
// says so. The buttons that need the NVR are enabled only while it is logged in.
//
// Threads: everything runs on the UI thread; the runner hands the session's link events and
// answers to the table there, and the table's listener applies each change to the lists.
//
// The IPC list may be sorted by a column click: each row keeps its camera (the table's camera
// index, in the row's own data) wherever the sort moves it.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jobs/channel_table.h"
#include "jobs/runner.h"
#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"
#include "ui/resources/dchan_ctrl_ids.h"

class CDChanCtrl : public CDialogPage {
 public:
  static constexpr int kNvrListTimer = IDT_CHAN_NVR_LIST;
  static constexpr int kNvrListPeriodMs = 1000;
  static constexpr int kRereadTimer = IDT_CHAN_REREAD;

  // Columns of the channel list and the IPC list.
  enum ChannelColumn : int { kChanColId = 0, kChanColIp, kChanColProtocol, kChanColName, kChanColStatus };
  enum IpcColumn : int { kIpcColIp = 0, kIpcColProtocol, kIpcColName, kIpcColSerial };

  // The port the table sends through; null: the link itself, on the session's entry (tests
  // give a fake).
  explicit CDChanCtrl(jobs::ChannelPort* port = nullptr);
  ~CDChanCtrl() override;

  void SetOwner(QWidget* owner) { m_owner = owner; }
  QWidget* Owner() const { return m_owner; }

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;
  void OnTimer(int id) override;
  long OnReportNotify(int ctrlId, unsigned message, int wParam, int lParam) override;

  CReportCtrl& NvrList() { return m_nvrList; }
  CReportCtrl& IpcList() { return m_ipcList; }
  CReportCtrl& ChannelList() { return m_channelList; }
  jobs::ChannelTable& Table() { return m_table; }
  bool IsNvrSearching() const { return m_nvrSearching; }
  // A delete, clear or swap waits for the NVR before the table is read again.
  bool RereadPending() const { return m_rereadPending; }
  // The NVR's session is logged in.
  bool LoggedIn() const { return m_loggedIn; }
  // The session's job (null before the first double-click).
  const jobs::Job* Session() const;

  // Operator texts besides the fixed ones of the handlers.
  static constexpr const char* kBadTextMessage = "通道参数中含有无法发送的字符(\" < > & 或控制字符),未发送!";
  static constexpr const char* kTooLongMessage = "用户名(最多32字节)或密码(最多128字节)过长,未发送!";

 private:
  // The NVR chosen for the login.
  struct NvrLinkInfo {
    std::string serial, user, password, ip;
    int port = 0;
  };

  void OnNvrSearch();
  void OnNvrListTimer();
  void OnNvrDoubleClick(int row);
  void OnIpcSearch();
  void AddCameras(bool tickedOnly);
  void OnIpcDoubleClick(int row);
  void OnChannelDoubleClick(int row);
  void OnDelete();
  void OnClear();
  void OnSwap();
  void OnCanvas();
  // The table changed; its new state goes to the lists.
  void OnTableChange(int change);
  // The session's events and news.
  void OnSessionEvent(const jobs::Job& job, const jobs::LinkEvent& ev);
  void OnSessionNews(const jobs::Job& job, const jobs::JobNews& news);
  // The buttons that need a logged-in NVR.
  void EnableNvrButtons(bool enable);
  void ApplyCameras(const std::vector<IpcRecord>& cameras);
  void ApplyChannels(const std::vector<ChannelEntry>& channels);
  void ApplyLogin(int state);
  // Waits ms (without holding the UI thread) with the wait cursor, then reads the table again;
  // a wait already under way ends at the later of the two ends.
  void StartReread(int ms);
  void EndReread();
  void ShowResult(int result);
  std::vector<int> TickedChannelRows() const;
  // The camera index a row of the IPC list carries, -1 for none.
  int CameraOfRow(int row) const;
  // Ends the session (if any), forgets the NVR's lists and says so in the label.
  void LogoutNvr();

  CReportCtrl m_nvrList;
  CReportCtrl m_ipcList;
  CReportCtrl m_channelList;
  QWidget* m_owner = nullptr;
  ProportionalLayout m_layout;

  std::unique_ptr<jobs::DirectChannelPort> m_ownPort;
  jobs::ChannelTable m_table;
  jobs::JobId m_session = 0;

  std::map<int, IpcRecord> m_NvrList;  // NVR list row -> the NVR as the LAN search found it
  NvrLinkInfo m_nvrLinkInfo;
  bool m_nvrSearching = false;
  int m_taken = 0;          // search table entries already listed
  bool m_loggedIn = false;  // the session is logged in
  bool m_rereadPending = false;
  bool m_rereadSent = false;  // the re-read went out; its answer ends the wait
  int64_t m_rereadDue = 0;
  bool m_initialised = false;
};

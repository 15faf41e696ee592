// CDChanCtrl: the channel-table editor for one NVR. The operator searches the LAN for NVRs,
// double-clicks one to log in (link slot 0), lets the NVR search its own network for cameras
// and fills the NVR's channels with them: add the ticked ones, add all, add one by double-click,
// edit one channel in CChannelSet, delete, clear, swap, choose the canvas, turn pages.
//
// The page is thin over jobs::ChannelTable, which keeps the cameras and the channel table,
// routes the NVR's answers and turns rows into requests. The page maps the table to its three
// lists and the controller's results to message boxes.
//
// Threads: handlers and timers run on the UI thread; the link callbacks run on the link's
// receive thread and hand on to the table, whose listener copies the changed state and posts it
// to the UI thread (never waiting for it). Snapshots are taken and posted under one lock, so the
// UI applies them in the order the changes happened. The lists are touched on the UI thread only.
//
// The IPC list may be sorted by a column click: each row keeps its camera (the table's camera
// index, in the row's own data) wherever the sort moves it.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/channel_table.h"
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

  // The port the table sends through; null: the link itself (tests give a fake).
  explicit CDChanCtrl(jobs::ChannelPort* port = nullptr);
  ~CDChanCtrl() override;

  void SetOwner(QWidget* owner) { m_owner = owner; }
  QWidget* Owner() const { return m_owner; }

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;
  void OnTimer(int id) override;
  long OnReportNotify(int ctrlId, unsigned message, int wParam, int lParam) override;

  // The link's callbacks for slot 0 (its receive thread).
  static int OnEventCB(int chanid, int code, const void* data, int len);
  static int OnAuxDataCB(int chanid, int kind, const void* data, int len, const void* info);

  CReportCtrl& NvrList() { return m_nvrList; }
  CReportCtrl& IpcList() { return m_ipcList; }
  CReportCtrl& ChannelList() { return m_channelList; }
  jobs::ChannelTable& Table() { return m_table; }
  bool IsNvrSearching() const { return m_nvrSearching; }
  // A delete, clear or swap waits for the NVR before the table is read again.
  bool RereadPending() const { return m_rereadPending; }

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
  // Any thread: the table changed; its new state goes to the UI thread.
  void OnTableChange(int change);
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
  void LogoutNvr();

  CReportCtrl m_nvrList;
  CReportCtrl m_ipcList;
  CReportCtrl m_channelList;
  QWidget* m_owner = nullptr;
  ProportionalLayout m_layout;

  std::unique_ptr<jobs::ChannelPort> m_ownPort;
  jobs::ChannelTable m_table;
  std::mutex m_postMutex;  // a change's snapshot and its post happen as one

  std::map<int, IpcRecord> m_NvrList;  // NVR list row -> the NVR as the LAN search found it
  NvrLinkInfo m_nvrLinkInfo;
  bool m_nvrSearching = false;
  int m_taken = 0;          // search table entries already listed
  bool m_loggedIn = false;  // this page started the slot-0 link
  bool m_rereadPending = false;
  int64_t m_rereadDue = 0;
  bool m_initialised = false;
};

// CHistoryPage: the production record ("生产记录"): what the tool and the console did to each
// recorder, newest first, from the history store the console was started with (dravlin
// --history): time, station, serial, type, address, command, result and its reason. A serial
// number filter, an export to CSV, and a fresh read whenever a job of any page has ended.
#pragma once

#include <QString>
#include <QTimer>

#include "ui/controls/proportional_layout.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"
#include "ui/resources/history_ids.h"

class CHistoryPage : public CDialogPage {
 public:
  enum Column : int { kColTime = 0, kColStation, kColSerial, kColType, kColAddress, kColCommand, kColResult, kColWhy };
  static constexpr int kColumns = 8;
  // Rows shown at most (the newest).
  static constexpr int kMaxRows = 2000;

  CHistoryPage();
  ~CHistoryPage() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;

  CReportCtrl& List() { return m_list; }
  // Reads the store again with the current filter.
  void Reload();

  // The words the page shows for a command and a result of the store.
  static QString CommandText(const std::string& command);
  static QString ResultText(const std::string& result);

 private:
  CReportCtrl m_list;
  ProportionalLayout m_layout;
  int m_listener = -1;
  QTimer m_reload;
  bool m_initialised = false;
};

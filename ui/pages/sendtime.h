// CSendtime: the clock-broadcast page (second tab). Its check box switches the broadcast of
// the PC's local time to every recorder on the LAN on and off.
#pragma once

#include "ui/controls/proportional_layout.h"
#include "ui/platform/dialog.h"

class CSendtime : public CDialogPage {
 public:
  // The clock broadcast's switch; tests put their own in place so that nothing is broadcast.
  struct ClockSwitch {
    int (*start)();  // 1 started, 0 already running, -1 failed
    int (*stop)();
  };

  CSendtime();
  ~CSendtime() override;

  bool OnInitDialog() override;
  void OnSize(int type, int cx, int cy) override;
  void OnCommand(int id, int code) override;

  // The switch used by pages created afterwards; a null member restores the real broadcast.
  static void SetClockSwitchForTest(ClockSwitch sw);

  // The broadcast was started by this page and not yet stopped.
  bool IsBroadcasting() const { return m_started; }

 private:
  ProportionalLayout m_layout;
  ClockSwitch m_switch;
  bool m_started = false;
};

#include "ui/pages/sendtime.h"

#include <atomic>

#include "discovery/sendtime.h"
#include "ui/resources/sendtime_ids.h"

namespace {

std::atomic<int (*)()> g_start{nullptr};
std::atomic<int (*)()> g_stop{nullptr};

}  // namespace

void CSendtime::SetClockSwitchForTest(ClockSwitch sw) {
  g_start.store(sw.start);
  g_stop.store(sw.stop);
}

CSendtime::CSendtime() : CDialogPage(IDD_SENDTIME) {
  auto* start = g_start.load();
  auto* stop = g_stop.load();
  m_switch.start = start && stop ? start : &startSendtime;
  m_switch.stop = start && stop ? stop : &stopSendtime;
}

CSendtime::~CSendtime() {
  DestroyHost();
  // The clock thread would otherwise keep broadcasting for a page that is gone.
  if (m_started) m_switch.stop();
}

bool CSendtime::OnInitDialog() {
  m_layout.AddControl(IDC_CLOCK_ENABLE, this);
  m_layout.AddControl(IDC_CLOCK_NOTICE, this);
  return true;
}

void CSendtime::OnSize(int type, int, int) {
  if (type != SIZE_MINIMIZED) m_layout.Relayout();
}

void CSendtime::OnCommand(int id, int code) {
  if (id != IDC_CLOCK_ENABLE || code != BN_CLICKED) {
    CDialogPage::OnCommand(id, code);
    return;
  }
  if (IsDlgButtonChecked(IDC_CLOCK_ENABLE)) {
    // 0 means a broadcast already runs (started elsewhere): the box simply stays ticked.
    if (m_switch.start() == 1) m_started = true;
  } else {
    m_switch.stop();
    m_started = false;
  }
}

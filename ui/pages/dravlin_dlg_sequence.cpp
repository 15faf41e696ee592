// CDravlinDlg's sequences: the steps a row runs, handing them to the runner, and the jobs' news
// and link events as row texts (the page's controls, listing and counts are in dravlin_dlg.cpp).
#include <vector>

#include "jobs/job.h"
#include "jobs/runner.h"
#include "link/link.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/runner_host.h"
#include "ui/platform/text.h"
#include "util/log.h"

namespace {

constexpr int kStepKinds[3] = {jobs::kStepBootPicture, jobs::kStepChannelPicture, jobs::kStepShutdownPicture};

// Texts the sequence adds: a row waiting for a free link, a start that failed, the pictures
// that failed on the way to a reboot, and a run given up on.
constexpr char kWaitingText[] = "等待空闲连接";
constexpr char kStartFailedText[] = "启动连接失败";
constexpr char kTimedOutText[] = "超时-处理异常,请重新操作";
constexpr char kPictureNames[3][16] = {"开机画面", "通道背景", "关机画面"};

// The diagnostic line the chain writes before it tries a state.
const char* ChainLine(int state) {
  switch (state) {
    case CDravlinDlg::kStateChannelPicture: return "start to set bkg logo\n";
    case CDravlinDlg::kStateShutdownPicture: return "start to set shutdown logo\n";
    case CDravlinDlg::kStateReboot: return "start to set reboot\n";
    default: return nullptr;
  }
}

// Results that mean the row ran out of time, whatever it was waiting for.
bool GivenUp(int result) {
  return result == jobs::kJobTimedOut || result == jobs::kJobStalled || result == jobs::kJobNoLoginAnswer ||
         result == jobs::kJobBadLoginAnswer;
}

}  // namespace

bool CDravlinDlg::StepFor(int state, jobs::Step* out) const {
  const StepOptions& o = m_options;
  switch (state) {
    case kStateBootPicture:
    case kStateChannelPicture:
    case kStateShutdownPicture: {
      const int kind = state - kStateBootPicture;
      if (o.factory[kind]) {
        if (kind != kPictureBoot) {
          *out = jobs::Step::factory_picture(kStepKinds[kind]);
          return true;
        }
        *out = jobs::Step::factory_picture(kStepKinds[kind], m_factory.data.get(), static_cast<int>(m_factory.size));
        return m_factory.data && m_factory.size > 0;
      }
      *out = jobs::Step::picture_file(kStepKinds[kind], o.path[kind]);
      return !o.path[kind].empty();
    }
    case kStateChannelAddMode: *out = jobs::Step::channel_add_mode(o.ctrlEnable, o.chnAddMode); return true;
    case kStateBuzzer: *out = jobs::Step::buzzer(o.buzzerEnable); return true;
    case kStateReboot: *out = jobs::Step::reboot(); return true;
    default: return false;
  }
}

void CDravlinDlg::StartJob(int row, std::vector<jobs::Step> steps, const char* command) {
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return;
  // The row's previous run is over (the controls were given back), or still going for a
  // hidden-group request: the new one takes over the row.
  m_chainFrom.erase(row);
  m_lastFailure.erase(row);
  m_list.SetCellAlert(row, kStatusColumn, false);
  jobs::JobOrder order;
  order.target = jobs::target_of(it->second.info);
  order.steps = std::move(steps);
  order.policy = jobs::JobPolicy::page();
  order.label = runner_host::LabelOf(it->second.info, command, m_runId);
  order.news = [this, row](const jobs::Job& job, const jobs::JobNews& n) { OnJobNews(row, job, n); };
  order.on_event = [this, row](const jobs::Job& job, const jobs::LinkEvent& ev) { OnJobEvent(row, job, ev); };
  it->second.state = order.steps.front().kind;
  m_jobs.Start(row, std::move(order));
}

void CDravlinDlg::OnRefresh() {
  RefreshOptions();
  EnableControls(false);
  // The steps are the same for every row: what is chosen now.
  std::vector<jobs::Step> steps;
  jobs::Step step;
  for (int state = kStateBootPicture; state <= kStateShutdownPicture; ++state)
    if (StepFor(state, &step)) steps.push_back(step);
  if (!steps.empty()) {
    steps.push_back(jobs::Step::reboot());
    m_runId = history::new_id();
    const int rows = m_list.GetRowCount();
    for (int row = 0; row < rows; ++row)
      if (m_list.GetRowCheck(row) && m_IPCList.count(row)) StartJob(row, steps, "refresh");
  }
  // Nothing to send at all leaves every row as it was; the controls come back at the next tick.
  SetTimer(kSuperviseTimer, kSupervisePeriodMs);
  UpdateCounts();
}

void CDravlinDlg::RunStateOnTicked(int state) {
  RefreshOptions();
  if (state == kStateBuzzer) m_options.buzzerEnable = IsDlgButtonChecked(IDC_BOOT_BUZZER_ALLOW) ? 1 : 0;
  jobs::Step step;
  if (!StepFor(state, &step)) return;
  m_runId = history::new_id();
  const char* command = state == kStateBuzzer ? "buzzer" : "channel-mode";
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row)
    if (m_list.GetRowCheck(row) && m_IPCList.count(row)) StartJob(row, {step}, command);
  UpdateCounts();
}

void CDravlinDlg::OnSupervise() {
  // The runner ends each job at its time limit and logs it out; the controls come back once
  // none of this page is left.
  if (BusyRows() == 0) {
    KillTimer(kSuperviseTimer);
    EnableControls(true);
  }
  UpdateCounts();
}

int CDravlinDlg::BusyRows() const { return m_jobs.Busy(); }

const jobs::Job* CDravlinDlg::JobOf(int row) const { return m_jobs.Of(row); }

void CDravlinDlg::SetText(int row, const QString& text) { m_list.SetCellText(row, kStatusColumn, text); }

void CDravlinDlg::OnJobEvent(int row, const jobs::Job& job, const jobs::LinkEvent& ev) {
  if (ev.code == jobs::kEventAuxData) return;
  debug_print("OnEventCB:chanid(%d) statecode(%d)\n", job.chanid(), ev.code);
  const int value = ev.has_value ? ev.value : -1;
  switch (ev.code) {
    case 0: SetText(row, U8("NVR 连接中")); break;
    case 1:
      SetText(row, U8("NVR 连接成功"));
      debug_print("EVENT_CONNECTOK [%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_OK:
      SetText(row, U8("NVR 登录成功"));
      debug_print("EVENT_LOGINOK [%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_FAIL:
      debug_print("EVENT_LOGIN Fail [%d]\n", row);
      // Only the recorder's refusal is final; a login it did not answer is tried again.
      if (ev.login_problem == IPC_LOGIN_REFUSED || ev.login_problem == IPC_LOGIN_PROBLEM_NONE)
        SetText(row, U8("NVR 登录失败"));
      break;
    case IPC_EVENT_UPLOAD_PROGRESS: SetText(row, U8("上传文件中..%1..").arg(ev.has_value ? ev.value : 0)); break;
    case IPC_EVENT_UPLOAD_RESULT:
      // A missing value counts as a failure, never as success.
      SetText(row, value == 0 ? U8("设置图片成功") : U8("设置图片失败"));
      break;
    case IPC_EVENT_BUZZER:
      SetText(row, value == 1 ? U8("设置成功") : value == 2 ? U8("该型号不支持设置") : U8("设置失败"));
      break;
    case IPC_EVENT_CHANADD_MODE:
      SetText(row, value == 0 || value == 1 ? U8("设置成功,正在重启,请稍后...") : U8("设置失败"));
      break;
    case IPC_EVENT_REBOOT:
      SetText(row, value == 0 ? U8("设置成功,正在重启,请稍后...") + FailedPicturesNote(job) : U8("设置失败"));
      break;
    default: break;
  }
}

QString CDravlinDlg::FailedPicturesNote(const jobs::Job& job) {
  // The sequence goes on to the reboot after a picture failed; the row's last text must not
  // read as if everything had been set.
  QStringList failed;
  for (const jobs::StepOutcome& o : job.outcomes()) {
    const int kind = o.kind - jobs::kStepBootPicture;
    if (jobs::is_picture_step(o.kind) && !o.ok && kind >= 0 && kind < 3) failed << U8(kPictureNames[kind]);
  }
  if (failed.isEmpty()) return QString();
  return U8("(%1设置失败)").arg(failed.join(U8("、")));
}

void CDravlinDlg::OnJobNews(int row, const jobs::Job& job, const jobs::JobNews& n) {
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return;
  it->second.state = job.state();
  switch (n.kind) {
    case jobs::kNewsWaiting: SetText(row, U8(kWaitingText)); break;
    case jobs::kNewsLoginStarted:
      // Until the login succeeds or fails; "空闲" would say nothing is happening.
      SetText(row, U8("NVR 连接中"));
      break;
    case jobs::kNewsStepAnswered:
      if (jobs::is_picture_step(n.step_kind)) m_chainFrom[row] = n.step_kind;
      if (n.step_kind == jobs::kStepFormatDisk) SetText(row, U8(n.ok ? "格式化硬盘成功" : "格式化硬盘失败"));
      break;
    case jobs::kNewsStepSent:
    case jobs::kNewsStepUnsent: {
      const bool sent = n.kind == jobs::kNewsStepSent;
      if (n.step_kind == jobs::kStepFormatDisk) {
        SetText(row, U8(sent ? "正在格式化硬盘" : "格式化硬盘失败"));
        break;
      }
      if (n.via == jobs::kViaLogin) {
        if (n.step_kind == kStateReboot) SetText(row, U8(sent ? "上传配置成功" : "上传配置失败,请手动重启"));
        else if (!jobs::is_picture_step(n.step_kind)) SetText(row, U8(sent ? "上传配置成功" : "上传配置失败"));
        break;
      }
      // The chain after a picture: the line of every state it goes through on its way here.
      auto from = m_chainFrom.find(row);
      if (from != m_chainFrom.end()) {
        for (int s = from->second + 1; s <= n.step_kind; ++s)
          if (const char* line = ChainLine(s)) debug_print("%s", line);
        m_chainFrom.erase(from);
      }
      if (!sent && jobs::is_picture_step(n.step_kind)) m_chainFrom[row] = n.step_kind;
      if (n.step_kind == kStateReboot) SetText(row, U8(sent ? "正在进行重启" : "设置重启失败,请手动重启"));
      break;
    }
    case jobs::kNewsFinished: {
      it->second.state = kStateIdle;
      if (n.result == jobs::kJobCancelled) break;
      if (n.result == jobs::kJobNotStarted) {
        debug_print("ipc_login_delay fail:%d \n", row);
        SetText(row, U8(kStartFailedText));
      } else if (GivenUp(n.result)) {
        SetText(row, U8(kTimedOutText));
      }
      // What the right-click menu, the tooltip and the colour tell of this run afterwards.
      const QString why = JobFailure(job);
      if (why.isEmpty()) m_lastFailure.erase(row);
      else m_lastFailure[row] = why;
      m_list.SetCellAlert(row, kStatusColumn, !why.isEmpty());
      break;
    }
    default: break;
  }
  UpdateCounts();
}

void CDravlinDlg::PutEntry(int row, const IPC& entry) { m_IPCList[row] = entry; }

bool CDravlinDlg::GetEntry(int row, IPC* out) const {
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return false;
  if (out) *out = it->second;
  return true;
}

// CDravlinDlg's sequences: the steps a row runs, the jobs that run them, the 15-second
// supervision, the link's events and the row map they share (the page's controls, listing
// and counts are in dravlin_dlg.cpp).
#include <cstring>
#include <vector>

#include "jobs/job.h"
#include "jobs/link_port.h"
#include "link/link.h"
#include "ui/pages/dravlin_dlg.h"
#include "ui/pages/link_table.h"
#include "ui/platform/text.h"
#include "util/clock.h"
#include "util/fixedstr.h"
#include "util/log.h"

namespace {

constexpr int kStepKinds[3] = {jobs::kStepBootPicture, jobs::kStepChannelPicture, jobs::kStepShutdownPicture};

// Texts the sequence adds: a row beyond the link table, a start that failed, and the pictures
// that failed on the way to a reboot.
constexpr char kBeyondLinksText[] = "超出同时处理上限(64台),请分批操作";
constexpr char kStartFailedText[] = "启动连接失败";
constexpr char kPictureNames[3][16] = {"开机画面", "通道背景", "关机画面"};

int64_t Now() { return static_cast<int64_t>(get_tick_ms()); }

bool IsStepState(int state) { return state >= CDravlinDlg::kStateBootPicture && state <= CDravlinDlg::kStateReboot; }

// The diagnostic line the chain writes before it tries a state.
const char* ChainLine(int state) {
  switch (state) {
    case CDravlinDlg::kStateChannelPicture: return "start to set bkg logo\n";
    case CDravlinDlg::kStateShutdownPicture: return "start to set shutdown logo\n";
    case CDravlinDlg::kStateReboot: return "start to set reboot\n";
    default: return nullptr;
  }
}

int EventValue(const void* data, int len, int fallback) {
  if (!data || len < static_cast<int>(sizeof(int32_t))) return fallback;
  int32_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

}  // namespace

CDravlinDlg::StepOptions CDravlinDlg::CurrentOptions() {
  if (!OnUiThread()) return Options();
  RefreshOptions();
  const int enable = IsDlgButtonChecked(IDC_BOOT_BUZZER_ALLOW) ? 1 : 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_options.buzzerEnable = enable;
  return m_options;
}

int CDravlinDlg::StepFor(int state, const StepOptions& o, jobs::Step* out) const {
  switch (state) {
    case kStateBootPicture:
    case kStateChannelPicture:
    case kStateShutdownPicture: {
      const int kind = state - kStateBootPicture;
      if (o.factory[kind]) {
        if (kind != kPictureBoot) {
          *out = jobs::Step::factory_picture(kStepKinds[kind]);
          return 0;
        }
        *out = jobs::Step::factory_picture(kStepKinds[kind], m_factory.data.get(), static_cast<int>(m_factory.size));
        return m_factory.data && m_factory.size > 0 ? 0 : kStepNoFactoryPicture;
      }
      *out = jobs::Step::picture_file(kStepKinds[kind], o.path[kind]);
      return o.path[kind].empty() ? kStepNoPath : 0;
    }
    case kStateChannelAddMode: *out = jobs::Step::channel_add_mode(o.ctrlEnable, o.chnAddMode); return 0;
    case kStateBuzzer: *out = jobs::Step::buzzer(o.buzzerEnable); return 0;
    case kStateReboot: *out = jobs::Step::reboot(); return 0;
    default: return -1;
  }
}

int CDravlinDlg::SendStep(int row, int state) {
  jobs::Step step;
  const int r = StepFor(state, CurrentOptions(), &step);
  return r < 0 ? r : jobs::send_request(*m_port, row, step);
}

std::vector<jobs::Step> CDravlinDlg::StepsFrom(int state, const StepOptions& o) const {
  std::vector<jobs::Step> steps;
  jobs::Step step;
  if (state > kStateShutdownPicture) {
    StepFor(state, o, &step);
    return {step};
  }
  for (int s = state; s <= kStateShutdownPicture; ++s)
    if (StepFor(s, o, &step) == 0 || s == state) steps.push_back(step);
  steps.push_back(jobs::Step::reboot());
  return steps;
}

void CDravlinDlg::StartJob(int row, std::vector<jobs::Step> steps) {
  bool loginStarted = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_IPCList.find(row);
    if (it == m_IPCList.end()) return;
    const IPCSearchInfo& info = it->second.info;
    jobs::Target target;
    target.address = std::string(fixed_view(info.lancfg.IPAddress));
    target.port = static_cast<uint16_t>(info.streamcfg.PTZPort & 0xFFFF);
    target.user = std::string(fixed_view(info.usercfg.accounts[0].Username));
    target.password = std::string(fixed_view(info.usercfg.accounts[0].Password));
    auto job = std::make_unique<jobs::Job>(row, std::move(target), std::move(steps), jobs::JobPolicy::page(), *m_port,
                                           [this](const jobs::Job& j, const jobs::JobNews& n) { OnJobNews(j, n); });
    jobs::Job* started = job.get();
    // Stored before the first request goes out: its answer may come before this returns, and
    // waits for the lock meanwhile.
    m_jobs[row] = std::move(job);
    m_chainFrom.erase(row);
    m_lastFailure.erase(row);
    m_loginStarted = false;
    started->start(Now());
    loginStarted = m_loginStarted;
    if (started->result() == jobs::kJobNotStarted) {
      debug_print("ipc_login_delay fail:%d \n", row);
      m_pendingTexts.emplace_back(row, U8(row >= kIpcMaxLinks ? kBeyondLinksText : kStartFailedText));
    }
    SyncEntry(row);
  }
  FlushTexts();
  if (loginStarted) m_loginRows.insert(row);
}

void CDravlinDlg::StartPictures(int row) {
  const StepOptions o = CurrentOptions();
  std::vector<jobs::Step> steps;
  jobs::Step step;
  for (int state = kStateBootPicture; state <= kStateShutdownPicture; ++state)
    if (StepFor(state, o, &step) == 0) steps.push_back(step);
  // Nothing to send at all: the row is left as it was.
  if (steps.empty()) return;
  steps.push_back(jobs::Step::reboot());
  StartJob(row, std::move(steps));
}

bool CDravlinDlg::ClaimLinks() {
  if (link_table::Claim(this)) return true;
  MessageBox(link_table::kBusyText);
  return false;
}

void CDravlinDlg::OnRefresh() {
  if (!ClaimLinks()) return;
  EnableControls(false);
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    if (!m_list.GetRowCheck(row) || StateOf(row) < 0) continue;
    StartPictures(row);
  }
  SetTimer(kSuperviseTimer, kSupervisePeriodMs);
  UpdateCounts();
}

void CDravlinDlg::RunStateOnTicked(int state) {
  if (!ClaimLinks()) return;
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    if (!m_list.GetRowCheck(row) || StateOf(row) < 0) continue;
    jobs::Step step;
    StepFor(state, CurrentOptions(), &step);
    StartJob(row, {step});
  }
  UpdateCounts();
}

void CDravlinDlg::OnSupervise() {
  struct Done {
    int row;
    bool timedOut;
  };
  std::vector<Done> done;
  int busy = 0;
  const int rows = m_list.GetRowCount();
  for (int row = 0; row < rows; ++row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_IPCList.find(row);
    if (it == m_IPCList.end()) continue;
    IPC& e = it->second;
    auto job = m_jobs.find(row);
    // A row unticked in the middle of its sequence is still supervised: left alone it would
    // keep its link and log in again after the reboot.
    if (!m_list.GetRowCheck(row) && e.state == kStateIdle && job == m_jobs.end()) continue;
    ++busy;
    // The job counts the row's 500 ms ticks from its start and ends it at the limit.
    if (job != m_jobs.end() && !job->second->finished()) {
      job->second->on_tick(Now());
      SyncEntry(row);
      if (!job->second->finished()) continue;
    } else if (e.state != kStateIdle && e.elapsed < kSuperviseLimitMs) {
      e.elapsed += kSupervisePeriodMs;  // a state stored without a sequence
      continue;
    }
    const bool timedOut = e.elapsed >= kSuperviseLimitMs;
    done.push_back({row, timedOut});
    // What the right-click menu and the tooltip tell of this run afterwards.
    if (job != m_jobs.end()) m_lastFailure[row] = JobFailure(*job->second, timedOut);
    else if (timedOut) m_lastFailure[row] = U8("15秒内未完成");
    e.state = kStateIdle;
    e.elapsed = 0;
    m_jobs.erase(row);
    --busy;
  }
  FlushTexts();
  // Outside the lock: a logout waits for the link thread, which may want the lock.
  // A row that ran out of time is given up on: its link is reset at once rather than waiting
  // for a device that stopped reading. A finished row leaves in order.
  std::vector<int> rowsOut, rowsAborted;
  for (const Done& d : done) (d.timedOut ? rowsAborted : rowsOut).push_back(d.row);
  LogoutRows(rowsOut);
  LogoutRows(rowsAborted, true);
  for (const Done& d : done) {
    m_loginRows.erase(d.row);
    // Posted after the link thread has ended, so no late text of that thread lands on top.
    if (d.timedOut) m_list.PostCellText(d.row, kStatusColumn, U8("超时-处理异常,请重新操作"));
  }
  if (busy == 0) {
    KillTimer(kSuperviseTimer);
    EnableControls(true);
    if (m_loginRows.empty()) link_table::Release(this);
  }
  UpdateCounts();
}

int CDravlinDlg::OnAuxDataCB(int, int, const void*, int, const void*) { return 0; }

int CDravlinDlg::OnEventCB(int chanid, int code, const void* data, int len) {
  debug_print("OnEventCB:chanid(%d) statecode(%d)\n", chanid, code);
  auto* page = static_cast<CDravlinDlg*>(ipc_getuserdata(chanid));
  if (!page) {
    debug_print("pDlg == NULL chanid(%d)statecode(%d)\n", chanid, code);
    return -1;
  }
  return page->HandleEvent(chanid, code, data, len);
}

void CDravlinDlg::PostText(int row, const QString& text) { m_list.PostCellText(row, kStatusColumn, text); }

int CDravlinDlg::HandleEvent(int row, int code, const void* data, int len) {
  // Texts the UI thread made before this event (the "sent" of the request this event answers)
  // go out first, so the event's own text is the one that stays.
  FlushTexts();
  switch (code) {
    case 0: PostText(row, U8("NVR 连接中")); break;
    case 1:
      PostText(row, U8("NVR 连接成功"));
      debug_print("EVENT_CONNECTOK [%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_OK:
      PostText(row, U8("NVR 登录成功"));
      debug_print("EVENT_LOGINOK [%d]\n", row);
      break;
    case IPC_EVENT_LOGIN_FAIL:
      PostText(row, U8("NVR 登录失败"));
      debug_print("EVENT_LOGIN Fail [%d]\n", row);
      break;
    case IPC_EVENT_UPLOAD_PROGRESS: PostText(row, U8("上传文件中..%1..").arg(EventValue(data, len, 0))); break;
    case IPC_EVENT_UPLOAD_RESULT:
      // A missing value counts as a failure, never as success.
      PostText(row, EventValue(data, len, -1) == 0 ? U8("设置图片成功") : U8("设置图片失败"));
      break;
    case IPC_EVENT_BUZZER: {
      const int v = EventValue(data, len, -1);
      PostText(row, v == 1 ? U8("设置成功") : v == 2 ? U8("该型号不支持设置") : U8("设置失败"));
      break;
    }
    case IPC_EVENT_CHANADD_MODE: {
      const int v = EventValue(data, len, -1);
      PostText(row, v == 0 || v == 1 ? U8("设置成功,正在重启,请稍后...") : U8("设置失败"));
      break;
    }
    case IPC_EVENT_REBOOT: {
      const int v = EventValue(data, len, -1);
      PostText(row, v == 0 ? U8("设置成功,正在重启,请稍后...") + FailedPicturesNote(row) : U8("设置失败"));
      break;
    }
    default: return 0;
  }
  // These end the row's sequence whatever step it is at.
  const bool ends = code == IPC_EVENT_LOGIN_FAIL || code == IPC_EVENT_BUZZER || code == IPC_EVENT_CHANADD_MODE ||
                    code == IPC_EVENT_REBOOT;
  bool hasEntry;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_IPCList.find(row);
    hasEntry = it != m_IPCList.end();
    auto job = m_jobs.find(row);
    if (hasEntry && job != m_jobs.end() && !job->second->finished()) {
      jobs::LinkEvent ev;
      ev.chanid = row;
      ev.code = code;
      ev.has_value = data && len >= static_cast<int>(sizeof(int32_t));
      ev.value = EventValue(data, len, -1);
      job->second->on_link_event(ev, Now());
      if (ends) job->second->finish(jobs::kJobStepFailed);
      SyncEntry(row);
    } else if (hasEntry && ends) {
      it->second.state = kStateIdle;
    }
  }
  if (code == IPC_EVENT_UPLOAD_RESULT && !hasEntry) debug_print("m_IPCList Lookup fail\n");
  FlushTexts();
  PostUpdateCounts();
  return 0;
}

QString CDravlinDlg::FailedPicturesNote(int row) const {
  // The sequence goes on to the reboot after a picture failed; the row's last text must not
  // read as if everything had been set.
  QStringList failed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto job = m_jobs.find(row);
    if (job == m_jobs.end()) return QString();
    for (const jobs::StepOutcome& o : job->second->outcomes()) {
      const int kind = o.kind - jobs::kStepBootPicture;
      if (jobs::is_picture_step(o.kind) && !o.ok && kind >= 0 && kind < 3) failed << U8(kPictureNames[kind]);
    }
  }
  if (failed.isEmpty()) return QString();
  return U8("(%1设置失败)").arg(failed.join(U8("、")));
}

void CDravlinDlg::OnJobNews(const jobs::Job& job, const jobs::JobNews& n) {
  const int row = job.chanid();
  auto text = [&](const char* t) { m_pendingTexts.emplace_back(row, U8(t)); };
  switch (n.kind) {
    case jobs::kNewsLoginStarted:
      m_loginStarted = true;
      // Until the login succeeds or fails; "空闲" would say nothing is happening.
      text("NVR 连接中");
      break;
    case jobs::kNewsStepAnswered:
      if (jobs::is_picture_step(n.step_kind)) m_chainFrom[row] = n.step_kind;
      break;
    case jobs::kNewsStepSent:
    case jobs::kNewsStepUnsent: {
      const bool sent = n.kind == jobs::kNewsStepSent;
      if (n.via == jobs::kViaFirstTry) {
        if (sent) text("上传配置成功");
        break;
      }
      if (n.via == jobs::kViaLogin) {
        if (n.step_kind == kStateReboot) text(sent ? "上传配置成功" : "上传配置失败,请手动重启");
        else if (!jobs::is_picture_step(n.step_kind)) text(sent ? "上传配置成功" : "上传配置失败");
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
      if (n.step_kind == kStateReboot) text(sent ? "正在进行重启" : "设置重启失败,请手动重启");
      break;
    }
    default: break;
  }
}

void CDravlinDlg::FlushTexts() {
  std::vector<std::pair<int, QString>> texts;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    texts.swap(m_pendingTexts);
  }
  const bool ui = OnUiThread();
  for (const auto& [row, text] : texts) {
    if (ui) m_list.SetCellText(row, kStatusColumn, text);
    else PostText(row, text);
  }
}

void CDravlinDlg::PutEntry(int row, const IPC& entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_IPCList[row] = entry;
  m_jobs.erase(row);
  m_chainFrom.erase(row);
  if (!IsStepState(entry.state)) return;
  // A row stored at a step's state carries on from there as if that step's request had gone out.
  auto job =
      std::make_unique<jobs::Job>(row, jobs::Target{}, StepsFrom(entry.state, m_options), jobs::JobPolicy::page(),
                                  *m_port, [this](const jobs::Job& j, const jobs::JobNews& n) { OnJobNews(j, n); });
  if (job->adopt(entry.state, entry.elapsed)) m_jobs[row] = std::move(job);
}

void CDravlinDlg::SyncEntry(int row) {
  auto it = m_IPCList.find(row);
  auto job = m_jobs.find(row);
  if (it == m_IPCList.end() || job == m_jobs.end()) return;
  it->second.state = job->second->state();
  it->second.elapsed = static_cast<int>(job->second->elapsed_ms());
}

int CDravlinDlg::StateOf(int row) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_IPCList.find(row);
  return it == m_IPCList.end() ? -1 : it->second.state;
}

bool CDravlinDlg::GetEntry(int row, IPC* out) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_IPCList.find(row);
  if (it == m_IPCList.end()) return false;
  if (out) *out = it->second;
  return true;
}

#include "ui/pages/row_jobs.h"

#include "ui/pages/runner_host.h"

void RowJobs::Start(int row, jobs::JobOrder order) {
  jobs::Runner& runner = runner_host::Runner();
  if (auto old = jobs_.find(row); old != jobs_.end()) runner.forget(old->second);
  order.front = front_;
  jobs_[row] = runner.submit(std::move(order));
  runner_host::Wake();
}

const jobs::Job* RowJobs::Of(int row) const {
  auto it = jobs_.find(row);
  return it == jobs_.end() ? nullptr : runner_host::Runner().job(it->second);
}

int RowJobs::Busy() const {
  int busy = 0;
  for (const auto& [row, id] : jobs_) {
    const jobs::Job* job = runner_host::Runner().job(id);
    busy += job && !job->finished() ? 1 : 0;
  }
  return busy;
}

void RowJobs::DropAll() {
  jobs::Runner& runner = runner_host::Runner();
  runner.cancel_front(front_);
  for (const auto& [row, id] : jobs_) runner.forget(id);
  jobs_.clear();
  runner_host::Wake();
}

// A page's jobs by list row, on the console's one runner: a new run of a row replaces its last
// one, a new search drops them all. The maintenance and firmware pages keep theirs here.
#pragma once

#include <map>

#include "jobs/runner.h"

class RowJobs {
 public:
  explicit RowJobs(const void* front) : front_(front) {}
  RowJobs(const RowJobs&) = delete;
  RowJobs& operator=(const RowJobs&) = delete;

  // Hands the row's job to the runner (as the page's), forgetting the row's last one.
  void Start(int row, jobs::JobOrder order);
  // The row's last job, or null.
  const jobs::Job* Of(int row) const;
  // Rows whose job has not ended (waiting or running).
  int Busy() const;
  // Ends every job of the page, which hears nothing more of them, and forgets them.
  void DropAll();

 private:
  const void* front_;
  std::map<int, jobs::JobId> jobs_;
};

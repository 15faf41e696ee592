// Worker threads reaching windows: posts never wait for the UI thread and arrive in order.
// Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "gui/gui_test.h"
#include "ui/controls/report_ctrl.h"
#include "ui/platform/dialog.h"

namespace {

class TestPage : public CDialogPage {
 public:
  TestPage() : CDialogPage(IDD_DRAVLIN_DIALOG) {}
};

TEST(PostTest, WorkerPostsArriveInOrderAndNeverWait) {
  GuiApp();
  TestPage page;
  std::vector<int> seen;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::vector<std::vector<int>> perThread(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) page.post([&seen, t, i] { seen.push_back(t * 10000 + i); });
    });
  }
  // Every worker ends while the UI thread is blocked here: nothing waited for it.
  for (auto& w : workers) w.join();
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(WaitUntil([&] { return seen.size() == kThreads * kPerThread; }));
  for (int v : seen) perThread[v / 10000].push_back(v % 10000);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(perThread[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(perThread[t][i], i) << "thread " << t;
  }
}

TEST(PostTest, PostsAfterTheWindowIsGoneAreDropped) {
  GuiApp();
  std::atomic<int> ran{0};
  auto page = std::make_unique<TestPage>();
  page->post([&] { ++ran; });
  page.reset();
  QCoreApplication::processEvents();
  EXPECT_EQ(ran.load(), 0);
}

TEST(ReportPostTest, TextsPostedFromAWorkerArriveInOrderWithoutWaiting) {
  GuiApp();
  auto list = std::make_unique<CReportCtrl>();
  list->InsertColumn(0, "name");
  list->InsertColumn(1, "value");
  list->InsertColumn(2, "state");
  list->InsertRow(0, "a");
  list->InsertRow(1, "b");
  constexpr int kPosts = 500;
  // The worker finishes before the UI thread runs its event loop at all: posting never waits.
  std::thread worker([&] {
    for (int i = 0; i < kPosts; ++i) list->PostCellText(i % 2, 2, QString::number(i));
  });
  worker.join();
  EXPECT_EQ(list->GetCellText(0, 2), QString());
  ASSERT_TRUE(WaitUntil([&] { return list->GetCellText(1, 2) == QString::number(kPosts - 1); }));
  EXPECT_EQ(list->GetCellText(0, 2), QString::number(kPosts - 2));

  // A text posted before the list was cleared does not land in the new row 0.
  list->PostCellText(0, 2, QStringLiteral("stale"));
  list->DeleteAllRows();
  list->InsertRow(0, "fresh");
  list->DrainPosted();
  QCoreApplication::processEvents();
  EXPECT_EQ(list->GetCellText(0, 2), QString());
}

}  // namespace

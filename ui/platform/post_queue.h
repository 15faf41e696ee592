// Worker threads reach a window only through this queue: post() appends a function and wakes
// the UI thread with a queued invocation; the UI thread runs everything pending, in order.
// post() never waits for the UI thread, so a worker that is being joined by the UI thread can
// always finish. Posts that arrive after the target is gone are dropped.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class PostQueue {
 public:
  explicit PostQueue(QObject* target);
  ~PostQueue();
  PostQueue(const PostQueue&) = delete;
  PostQueue& operator=(const PostQueue&) = delete;

  // Any thread. Returns false when the target is already gone.
  bool post(std::function<void()> fn);

  // UI thread: runs every pending function now (also called by the queued wake-up).
  void drain();

  // Stops accepting posts and drops what is pending (the owner's destructor calls it).
  void detach();

  struct State {
    std::mutex mutex;
    std::deque<std::function<void()>> pending;
    QObject* target = nullptr;
    QObject* waker = nullptr;
    bool wakeQueued = false;
  };
  static void DrainState(const std::shared_ptr<State>& state);

 private:
  std::shared_ptr<State> state_;
};

// Lives on the UI thread and belongs to its queue. Workers wake it by the name of its slot, so the
// queued call carries no object of theirs: everything the UI thread then reads was written
// under the queue's own mutex (which also lets ThreadSanitizer see the hand-over).
class PostQueueWaker : public QObject {
  Q_OBJECT
 public:
  explicit PostQueueWaker(std::weak_ptr<PostQueue::State> state) : state_(std::move(state)) {}
 public slots:
  void wake();

 private:
  const std::weak_ptr<PostQueue::State> state_;
};

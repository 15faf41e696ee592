#include "ui/platform/post_queue.h"

#include <QMetaObject>

PostQueue::PostQueue(QObject* target) : state_(std::make_shared<State>()) {
  state_->target = target;
  auto* waker = new PostQueueWaker(state_);
  if (target) waker->moveToThread(target->thread());
  state_->waker = waker;
}

PostQueue::~PostQueue() {
  QObject* waker = nullptr;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    waker = state_->waker;
    state_->waker = nullptr;
  }
  detach();
  // Queued wake-ups still pending for it are discarded with it.
  delete waker;
}

bool PostQueue::post(std::function<void()> fn) {
  std::shared_ptr<State> st = state_;
  std::lock_guard<std::mutex> lock(st->mutex);
  if (!st->target || !st->waker) return false;
  st->pending.push_back(std::move(fn));
  if (!st->wakeQueued) {
    st->wakeQueued = true;
    // Queued: the UI thread runs it later; this thread does not wait. The lock keeps the
    // waker alive until the call is queued (detach() takes the same lock).
    QMetaObject::invokeMethod(st->waker, "wake", Qt::QueuedConnection);
  }
  return true;
}

void PostQueue::drain() { DrainState(state_); }

void PostQueue::DrainState(const std::shared_ptr<State>& st) {
  for (;;) {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(st->mutex);
      st->wakeQueued = false;
      if (!st->target || st->pending.empty()) return;
      batch.swap(st->pending);
    }
    for (auto& fn : batch) {
      {
        std::lock_guard<std::mutex> lock(st->mutex);
        if (!st->target) return;
      }
      fn();
    }
  }
}

void PostQueue::detach() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->target = nullptr;
  state_->pending.clear();
}

void PostQueueWaker::wake() {
  if (std::shared_ptr<PostQueue::State> st = state_.lock()) PostQueue::DrainState(st);
}

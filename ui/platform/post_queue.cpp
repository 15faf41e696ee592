#include "ui/platform/post_queue.h"

#include <QMetaObject>

PostQueue::PostQueue(QObject* target) : state_(std::make_shared<State>()) { state_->target = target; }

PostQueue::~PostQueue() { detach(); }

bool PostQueue::post(std::function<void()> fn) {
  std::shared_ptr<State> st = state_;
  std::lock_guard<std::mutex> lock(st->mutex);
  if (!st->target) return false;
  st->pending.push_back(std::move(fn));
  if (!st->wakeQueued) {
    st->wakeQueued = true;
    // Queued: the UI thread runs it later; this thread does not wait. The lock keeps the
    // target alive until the event is posted (detach() takes the same lock).
    QMetaObject::invokeMethod(st->target, [st] { DrainState(st); }, Qt::QueuedConnection);
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

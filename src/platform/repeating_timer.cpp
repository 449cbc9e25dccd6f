#include <atomic>

#include "platform/dispatch.h"

namespace velmor::platform {

// The timer re-arms itself on its queue after each firing; the shared state outlives the
// timer object so that a firing already scheduled sees the cancellation.
struct RepeatingTimer::State : std::enable_shared_from_this<RepeatingTimer::State> {
  SerialQueue& queue;
  Duration interval;
  Task task;
  std::atomic<bool> cancelled{false};

  State(SerialQueue& q, Duration i, Task t) : queue(q), interval(i), task(std::move(t)) {}

  void arm() {
    queue.after(interval, [weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self || self->cancelled.load()) return;
      self->task();
      if (!self->cancelled.load()) self->arm();
    });
  }
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, Duration interval, Task task)
    : state_(std::make_shared<State>(queue, interval, std::move(task))) {
  state_->arm();
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() { state_->cancelled.store(true); }

}  // namespace velmor::platform

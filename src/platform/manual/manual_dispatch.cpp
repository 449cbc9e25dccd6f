#include "platform/manual/manual_dispatch.h"

#include <thread>

namespace velmor::platform {
namespace {
thread_local const SerialQueue* currentManualQueue = nullptr;
}  // namespace

class ManualQueue final : public SerialQueue, public std::enable_shared_from_this<ManualQueue> {
 public:
  ManualQueue(ManualDispatch& dispatch, std::string label) : dispatch_(dispatch), label_(std::move(label)) {}
  const std::string& label() const override { return label_; }
  void async(Task task) override { dispatch_.schedule(shared_from_this(), dispatch_.uptimeNanos(), std::move(task)); }
  void after(Duration delay, Task task) override {
    dispatch_.schedule(shared_from_this(), dispatch_.uptimeNanos() + delay.count(), std::move(task));
  }
  // Runs at once on the caller's thread; the queue's lock keeps its tasks one at a time.
  void sync(const Task& task) override { run(task); }
  bool isCurrent() const override { return currentManualQueue == this; }

  void run(const Task& task) {
    std::lock_guard lock(serial_);
    const SerialQueue* previous = currentManualQueue;
    currentManualQueue = this;
    struct Restore {
      const SerialQueue* previous;
      ~Restore() { currentManualQueue = previous; }
    } restore{previous};
    task();
  }

 private:
  ManualDispatch& dispatch_;
  std::string label_;
  std::recursive_mutex serial_;
};

// Shares the dispatch's lock and condition, which the clock's moves notify.
class ManualSemaphore final : public Semaphore {
 public:
  ManualSemaphore(ManualDispatch& dispatch, int initial) : dispatch_(dispatch), count_(initial) {}
  void signal() override {
    {
      std::lock_guard lock(dispatch_.mutex_);
      ++count_;
    }
    dispatch_.clockMoved_.notify_all();
  }
  void wait() override {
    std::unique_lock lock(dispatch_.mutex_);
    ++dispatch_.blockedWaits_;
    dispatch_.clockMoved_.wait(lock, [this] { return count_ > 0; });
    --dispatch_.blockedWaits_;
    --count_;
  }
  bool waitFor(Duration timeout) override {
    std::unique_lock lock(dispatch_.mutex_);
    const std::int64_t until = dispatch_.now_ + timeout.count();
    ++dispatch_.blockedWaits_;
    dispatch_.clockMoved_.wait(lock, [&] { return count_ > 0 || dispatch_.now_ >= until; });
    --dispatch_.blockedWaits_;
    if (count_ == 0) return false;
    --count_;
    return true;
  }

 private:
  ManualDispatch& dispatch_;
  int count_;  // under the dispatch's lock
};

ManualDispatch::ManualDispatch() : main_(std::make_shared<ManualQueue>(*this, "main")) {}
ManualDispatch::~ManualDispatch() = default;

std::shared_ptr<SerialQueue> ManualDispatch::makeSerialQueue(std::string label) {
  return std::make_shared<ManualQueue>(*this, std::move(label));
}

SerialQueue& ManualDispatch::mainQueue() { return *main_; }

void ManualDispatch::runMainLoop() { runUntilIdle(); }

std::unique_ptr<Semaphore> ManualDispatch::makeSemaphore(int initial) {
  return std::make_unique<ManualSemaphore>(*this, initial);
}

void ManualDispatch::runTask(Task task) { std::thread(std::move(task)).detach(); }

void ManualDispatch::sleep(Duration duration) {
  std::unique_lock lock(mutex_);
  const std::int64_t until = now_ + duration.count();
  clockMoved_.wait(lock, [&] { return now_ >= until; });
}

std::int64_t ManualDispatch::uptimeNanos() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::int64_t ManualDispatch::unixTimeNanos() const {
  std::lock_guard lock(mutex_);
  return unixAtZero_ + now_;
}

void ManualDispatch::setUnixTime(std::int64_t nanos) {
  std::lock_guard lock(mutex_);
  unixAtZero_ = nanos - now_;
}

int ManualDispatch::blockedWaits() const {
  std::lock_guard lock(mutex_);
  return blockedWaits_;
}

std::size_t ManualDispatch::pendingTasks() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

void ManualDispatch::schedule(const std::shared_ptr<ManualQueue>& queue, std::int64_t due, Task task) {
  std::lock_guard lock(mutex_);
  items_.emplace(Key{due, nextSeq_++}, Item{queue, std::move(task)});
}

void ManualDispatch::runDue(std::int64_t until) {
  for (;;) {
    Item item;
    {
      std::lock_guard lock(mutex_);
      auto first = items_.begin();
      if (first == items_.end() || first->first.due > until) break;
      if (first->first.due > now_) {
        now_ = first->first.due;
        clockMoved_.notify_all();
      }
      item = std::move(first->second);
      items_.erase(first);
    }
    if (auto queue = item.queue.lock()) queue->run(item.task);
  }
}

void ManualDispatch::advance(Duration by) {
  std::int64_t target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + by.count();
  }
  runDue(target);
  {
    std::lock_guard lock(mutex_);
    if (target > now_) now_ = target;
  }
  clockMoved_.notify_all();
}

void ManualDispatch::runUntilIdle() { runDue(uptimeNanos()); }

}  // namespace velmor::platform

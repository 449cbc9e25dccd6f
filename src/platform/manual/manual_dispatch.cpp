#include "platform/manual/manual_dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

namespace velmor::platform {
namespace {
thread_local const SerialQueue* currentManualQueue = nullptr;
thread_local const ManualDispatch* currentTaskDispatch = nullptr;  // set on task threads
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

// Shares the dispatch's lock and condition, which the clock's moves notify. A signal goes to
// the longest waiter at once, so that a task it wakes counts as running before signal()
// returns.
class ManualSemaphore final : public Semaphore {
 public:
  ManualSemaphore(ManualDispatch& dispatch, int initial) : dispatch_(dispatch), count_(initial) {}
  void signal() override {
    {
      std::lock_guard lock(dispatch_.mutex_);
      if (waiters_.empty()) {
        ++count_;
      } else {
        ManualDispatch::Waiter* waiter = waiters_.front();
        waiters_.pop_front();
        waiter->granted = true;
        dispatch_.unpark(*waiter);
      }
    }
    dispatch_.clockMoved_.notify_all();
  }
  void wait() override { (void)take(std::nullopt); }
  bool waitFor(Duration timeout) override { return take(timeout); }

 private:
  bool take(std::optional<Duration> timeout);

  ManualDispatch& dispatch_;
  int count_;                                    // under the dispatch's lock
  std::deque<ManualDispatch::Waiter*> waiters_;  // in arrival order, under the dispatch's lock
};

ManualDispatch::ManualDispatch() : main_(std::make_shared<ManualQueue>(*this, "main")) {}

// A task still running would use this object after it is gone: wait for it to end. One
// that waits on the clock would never end, and is a fault of the test that left it.
ManualDispatch::~ManualDispatch() {
  std::unique_lock lock(mutex_);
  if (!tasksChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return liveTasks_ == 0; })) {
    std::fprintf(stderr, "ManualDispatch destroyed while %d task(s) still run or wait on it\n", liveTasks_);
    std::abort();
  }
}

std::shared_ptr<SerialQueue> ManualDispatch::makeSerialQueue(std::string label) {
  return std::make_shared<ManualQueue>(*this, std::move(label));
}

SerialQueue& ManualDispatch::mainQueue() { return *main_; }

void ManualDispatch::runMainLoop() { runUntilIdle(); }

std::unique_ptr<Semaphore> ManualDispatch::makeSemaphore(int initial) {
  return std::make_unique<ManualSemaphore>(*this, initial);
}

bool ManualDispatch::inTask() const { return currentTaskDispatch == this; }

void ManualDispatch::park(Waiter& waiter) {
  if (waiter.until >= 0) timedWaits_.insert(&waiter);
  if (inTask()) {
    waiter.parked = true;
    ++parkedTasks_;
    tasksChanged_.notify_all();
  }
}

void ManualDispatch::unpark(Waiter& waiter) {
  timedWaits_.erase(&waiter);
  if (waiter.parked) {
    waiter.parked = false;
    --parkedTasks_;
    tasksChanged_.notify_all();
  }
}

bool ManualSemaphore::take(std::optional<Duration> timeout) {
  std::unique_lock lock(dispatch_.mutex_);
  if (count_ > 0) {
    --count_;
    return true;
  }
  if (timeout && timeout->count() <= 0) return false;
  ManualDispatch::Waiter waiter;
  waiter.until = timeout ? dispatch_.now_ + timeout->count() : -1;
  waiters_.push_back(&waiter);
  dispatch_.park(waiter);
  ++dispatch_.blockedWaits_;
  dispatch_.clockMoved_.wait(lock, [&] { return waiter.granted || waiter.timedOut; });
  --dispatch_.blockedWaits_;
  if (waiter.granted) return true;
  std::erase(waiters_, &waiter);
  return false;
}

void ManualDispatch::runTask(Task task) {
  {
    std::lock_guard lock(mutex_);
    ++liveTasks_;
  }
  std::thread([this, task = std::move(task)]() mutable {
    currentTaskDispatch = this;
    std::exception_ptr failure;
    try {
      task();
    } catch (...) {
      failure = std::current_exception();
    }
    task = nullptr;  // what it captured goes before the task counts as ended
    std::lock_guard lock(mutex_);
    // Handed over whole: the task keeps no reference that it would drop later.
    if (failure && !taskFailure_) taskFailure_ = std::move(failure);
    failure = nullptr;
    --liveTasks_;
    tasksChanged_.notify_all();
  }).detach();
}

void ManualDispatch::sleep(Duration duration) {
  std::unique_lock lock(mutex_);
  Waiter waiter;
  waiter.until = now_ + duration.count();
  if (now_ >= waiter.until) return;
  // Counted as parked until the clock passes the end; whoever moves it counts the wake-up.
  park(waiter);
  clockMoved_.wait(lock, [&] { return waiter.timedOut; });
}

void ManualDispatch::moveClockLocked(std::int64_t to) {
  if (to <= now_) return;
  now_ = to;
  for (auto it = timedWaits_.begin(); it != timedWaits_.end();) {
    Waiter* waiter = *it;
    if (waiter->until > now_) {
      ++it;
      continue;
    }
    it = timedWaits_.erase(it);
    waiter->timedOut = true;
    if (waiter->parked) {
      waiter->parked = false;
      --parkedTasks_;
    }
  }
  clockMoved_.notify_all();
  tasksChanged_.notify_all();
}

bool ManualDispatch::settleTasks(Duration timeout) {
  std::unique_lock lock(mutex_);
  return tasksChanged_.wait_for(lock, timeout, [&] { return parkedTasks_ == liveTasks_; });
}

int ManualDispatch::runningTasks() const {
  std::lock_guard lock(mutex_);
  return liveTasks_;
}

std::exception_ptr ManualDispatch::takeTaskFailure() {
  std::lock_guard lock(mutex_);
  return std::exchange(taskFailure_, nullptr);
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
      moveClockLocked(first->first.due);
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
  std::lock_guard lock(mutex_);
  moveClockLocked(target);
}

void ManualDispatch::runUntilIdle() { runDue(uptimeNanos()); }

}  // namespace velmor::platform

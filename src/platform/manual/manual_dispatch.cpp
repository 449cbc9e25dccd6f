#include "platform/manual/manual_dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/threaded/thread_dispatch.h"

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

// A semaphore whose waiting tasks count as parked: a signal hands the count over at once,
// so a task it wakes is running again before signal() returns.
class ManualDispatch::ParkingSemaphore final : public platform::Semaphore {
 public:
  ParkingSemaphore(ManualDispatch& dispatch, int initial) : dispatch_(dispatch), count_(initial) {}

  void signal() override {
    std::lock_guard lock(dispatch_.mutex_);
    if (!waiters_.empty()) {
      Waiter* waiter = waiters_.front();
      waiters_.erase(waiters_.begin());
      waiter->granted = true;
      if (waiter->parked) --dispatch_.parkedTasks_;
      changed_.notify_all();
      dispatch_.tasksChanged_.notify_all();
    } else {
      ++count_;
    }
  }
  void wait() override { (void)take(std::nullopt); }
  bool waitFor(Duration timeout) override { return take(timeout); }

 private:
  struct Waiter {
    bool parked;
    bool granted = false;
  };

  bool take(std::optional<Duration> timeout) {
    std::unique_lock lock(dispatch_.mutex_);
    if (count_ > 0) {
      --count_;
      return true;
    }
    Waiter waiter{dispatch_.inTask()};
    waiters_.push_back(&waiter);
    if (waiter.parked) {
      ++dispatch_.parkedTasks_;
      dispatch_.tasksChanged_.notify_all();
    }
    const auto granted = [&] { return waiter.granted; };
    if (!timeout) {
      changed_.wait(lock, granted);
    } else if (!changed_.wait_for(lock, *timeout, granted)) {
      std::erase(waiters_, &waiter);
      if (waiter.parked) --dispatch_.parkedTasks_;
      dispatch_.tasksChanged_.notify_all();
      return false;
    }
    return true;
  }

  ManualDispatch& dispatch_;
  std::condition_variable changed_;
  int count_;
  std::vector<Waiter*> waiters_;  // in arrival order
};

std::unique_ptr<platform::Semaphore> ManualDispatch::makeSemaphore(int initial) {
  return std::make_unique<ParkingSemaphore>(*this, initial);
}

bool ManualDispatch::inTask() const { return currentTaskDispatch == this; }

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
  const std::int64_t until = now_ + duration.count();
  if (now_ >= until) return;
  // Counted as parked until the clock passes `until`; whoever moves it counts the wake-up.
  const bool parked = inTask();
  if (parked) {
    sleepers_.insert(until);
    ++parkedTasks_;
    tasksChanged_.notify_all();
  }
  clockMoved_.wait(lock, [&] { return now_ >= until; });
}

void ManualDispatch::moveClockLocked(std::int64_t to) {
  if (to <= now_) return;
  now_ = to;
  while (!sleepers_.empty() && *sleepers_.begin() <= now_) {
    sleepers_.erase(sleepers_.begin());
    --parkedTasks_;
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

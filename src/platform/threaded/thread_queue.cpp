#include "platform/threaded/thread_queue.h"

namespace velmor::platform {
namespace {
thread_local const SerialQueue* currentQueue = nullptr;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const SerialQueue* queue) : previous_(currentQueue) { currentQueue = queue; }
  ~CurrentQueueScope() { currentQueue = previous_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  const SerialQueue* previous_;
};
}  // namespace

ThreadQueue::ThreadQueue(std::string label, bool ownThread) : label_(std::move(label)), ownThread_(ownThread) {}

ThreadQueue::~ThreadQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
}

bool ThreadQueue::isCurrent() const { return currentQueue == this; }

void ThreadQueue::runAsCurrent(const Task& task) {
  CurrentQueueScope scope(this);
  task();
}

void ThreadQueue::async(Task task) { enqueue(std::chrono::steady_clock::now(), std::move(task)); }

void ThreadQueue::after(Duration delay, Task task) {
  enqueue(std::chrono::steady_clock::now() + delay, std::move(task));
}

void ThreadQueue::enqueue(TimePoint due, Task task) {
  {
    std::lock_guard lock(mutex_);
    items_.emplace(Key{due, nextSeq_++}, std::move(task));
    if (ownThread_ && !worker_.joinable() && !stopping_) {
      worker_ = std::thread([this] {
        std::unique_lock workerLock(mutex_);
        serve(workerLock);
      });
    }
  }
  changed_.notify_all();
}

bool ThreadQueue::hasDueItemLocked(TimePoint now) const { return !items_.empty() && items_.begin()->first.due <= now; }

void ThreadQueue::sync(const Task& task) {
  std::unique_lock lock(mutex_);
  if (!ownThread_) {
    // The main queue's work belongs on the thread that runs its loop: hand it over and wait.
    bool done = false;
    std::condition_variable finished;
    items_.emplace(Key{std::chrono::steady_clock::now(), nextSeq_++}, [&] {
      task();
      std::lock_guard doneLock(mutex_);
      done = true;
      finished.notify_all();
    });
    changed_.notify_all();
    finished.wait(lock, [&] { return done; });
    return;
  }
  // Wait until the work submitted before is done and nothing runs, then run here, holding
  // the queue as its worker would.
  ++waitingSyncs_;
  changed_.wait(lock, [&] { return !running_ && !hasDueItemLocked(std::chrono::steady_clock::now()); });
  --waitingSyncs_;
  running_ = true;
  lock.unlock();
  runHolding(task);
}

bool ThreadQueue::tryRunHere(const Task& task) {
  {
    std::lock_guard lock(mutex_);
    // The main queue's work stays on its loop's thread.
    if (!ownThread_ || running_ || stopping_) return false;
    if (!items_.empty() && hasDueItemLocked(std::chrono::steady_clock::now())) return false;
    running_ = true;
  }
  runHolding(task);
  return true;
}

void ThreadQueue::runHolding(const Task& task) {
  struct Release {
    ThreadQueue& q;
    ~Release() {
      bool wake = false;
      {
        std::lock_guard relock(q.mutex_);
        q.running_ = false;
        // Work that arrived meanwhile, or a synchronous caller, waits for the queue: wake them.
        // An idle worker is left asleep, which is the point of running here.
        wake = !q.items_.empty() || q.waitingSyncs_ > 0;
      }
      if (wake) q.changed_.notify_all();
    }
  } release{*this};
  runAsCurrent(task);
}

void ThreadQueue::serve(std::unique_lock<std::mutex>& lock) {
  while (!stopping_) {
    if (items_.empty() || running_) {
      changed_.wait(lock);
      continue;
    }
    auto first = items_.begin();
    if (first->first.due > std::chrono::steady_clock::now()) {
      changed_.wait_until(lock, first->first.due);
      continue;
    }
    Task task = std::move(first->second);
    items_.erase(first);
    running_ = true;
    lock.unlock();
    runAsCurrent(task);
    task = nullptr;  // release what the task captured before taking the lock again
    lock.lock();
    running_ = false;
    changed_.notify_all();
  }
}

void ThreadQueue::runLoop() {
  std::unique_lock lock(mutex_);
  stopping_ = false;
  serve(lock);
}

void ThreadQueue::stopLoop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

}  // namespace velmor::platform

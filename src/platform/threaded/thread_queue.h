#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch.h"

namespace velmor::platform {

// A serial queue served by a thread of its own (started on first asynchronous use), or,
// for the main queue, by whichever thread runs its loop. Like the system's dispatch, a
// synchronous submission runs on the caller's thread once the queue is free, without a
// hand-off (but for the main queue, whose work stays on its loop's thread).
// The last reference to a queue must not be dropped by one of its own tasks.
class ThreadQueue final : public SerialQueue {
 public:
  ThreadQueue(std::string label, bool ownThread);
  ~ThreadQueue() override;

  const std::string& label() const override { return label_; }
  void async(Task task) override;
  void sync(const Task& task) override;
  void after(Duration delay, Task task) override;
  bool isCurrent() const override;
  bool tryRunHere(const Task& task) override;

  // Serves the queue on the calling thread until stopLoop.
  void runLoop();
  void stopLoop();

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Key {
    TimePoint due;
    std::uint64_t seq;
    bool operator<(const Key& other) const { return due != other.due ? due < other.due : seq < other.seq; }
  };

  void enqueue(TimePoint due, Task task);
  bool hasDueItemLocked(TimePoint now) const;
  void serve(std::unique_lock<std::mutex>& lock);
  void runAsCurrent(const Task& task);
  // Runs the task as this queue on the calling thread, which has already set running_.
  void runHolding(const Task& task);

  const std::string label_;
  const bool ownThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Key, Task> items_;
  std::uint64_t nextSeq_ = 0;
  bool running_ = false;  // a task of this queue is running on some thread
  int waitingSyncs_ = 0;  // synchronous callers waiting for the queue to be free
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace velmor::platform

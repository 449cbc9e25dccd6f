#pragma once
// Dispatch on a manual clock: nothing runs until a test calls advance() or runUntilIdle(),
// and then every task that falls due runs on the test's thread, in order of due time.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/dispatch.h"

namespace velmor::platform {

class ManualQueue;

class ManualDispatch final : public Dispatch, public Clock {
 public:
  ManualDispatch();
  ~ManualDispatch() override;

  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override;
  SerialQueue& mainQueue() override;
  // Runs what is due now and returns: time moves only when a test advances it.
  void runMainLoop() override;
  void stopMainLoop() override {}
  std::unique_ptr<Semaphore> makeSemaphore(int initial) override;
  // Semaphores whose timed waits run on the manual clock: a wait ends when signalled or
  // once a test has advanced the clock past its timeout.
  // Runs on a thread of its own, so that the task can sleep on the manual clock.
  void runTask(Task task) override;
  // Blocks until a test has advanced the clock past the duration.
  void sleep(Duration duration) override;
  const Clock& clock() const override { return *this; }
  std::int64_t uptimeNanos() const override;
  // Calendar time moves with the manual clock from the moment set here (default: 1970).
  std::int64_t unixTimeNanos() const override;
  void setUnixTime(std::int64_t nanos);

  // Moves the clock forward, running each task as its due time is reached.
  void advance(Duration by);
  // Runs every task due at the current time, including those they submit.
  void runUntilIdle();
  std::size_t pendingTasks() const;
  // Threads now blocked in a semaphore's wait: a test advances the clock once they are.
  int blockedWaits() const;

 private:
  friend class ManualQueue;
  friend class ManualSemaphore;
  struct Key {
    std::int64_t due;
    std::uint64_t seq;
    bool operator<(const Key& other) const { return due != other.due ? due < other.due : seq < other.seq; }
  };
  struct Item {
    std::weak_ptr<ManualQueue> queue;
    Task task;
  };

  void schedule(const std::shared_ptr<ManualQueue>& queue, std::int64_t due, Task task);
  void runDue(std::int64_t until);

  mutable std::mutex mutex_;
  std::condition_variable clockMoved_;
  std::int64_t now_ = 0;
  std::int64_t unixAtZero_ = 0;
  int blockedWaits_ = 0;
  std::uint64_t nextSeq_ = 0;
  std::map<Key, Item> items_;
  std::shared_ptr<ManualQueue> main_;
};

}  // namespace velmor::platform

#pragma once
// Dispatch on a manual clock: nothing runs until a test calls advance() or runUntilIdle(),
// and then every task that falls due runs on the test's thread, in order of due time.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/dispatch.h"

namespace velmor::platform {

class ManualQueue;

class ManualDispatch final : public Dispatch, public Clock {
 public:
  ManualDispatch();
  // Waits for the tasks started with runTask to end.
  ~ManualDispatch() override;

  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override;
  SerialQueue& mainQueue() override;
  // Runs what is due now and returns: time moves only when a test advances it.
  void runMainLoop() override;
  void stopMainLoop() override {}
  std::unique_ptr<Semaphore> makeSemaphore(int initial) override;
  // Semaphores whose timed waits run on the manual clock: a wait ends when signalled or
  // once a test has advanced the clock past its timeout.
  // Runs on a thread of its own, so that the task can sleep on the manual clock. What the
  // task throws is kept for takeTaskFailure.
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

  // Waits (in real time, up to `timeout`) until every task started with runTask has ended
  // or waits on the clock or on one of this dispatch's semaphores: a test then knows that
  // nothing moves until it advances the clock or signals. False on timeout.
  bool settleTasks(Duration timeout = std::chrono::seconds(10));
  // How many tasks started with runTask have not ended yet.
  int runningTasks() const;
  // The first exception a task ended with, if any, and forgets it.
  std::exception_ptr takeTaskFailure();

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

  // A task (or thread) waiting on the clock or a semaphore; whoever ends its wait (a move of
  // the clock, a signal) counts it as running again at once.
  struct Waiter {
    bool parked = false;      // a task's wait, counted in parkedTasks_
    std::int64_t until = -1;  // a timed wait's end; -1: none
    bool granted = false;     // a semaphore's signal went to it
    bool timedOut = false;
  };

  void schedule(const std::shared_ptr<ManualQueue>& queue, std::int64_t due, Task task);
  void runDue(std::int64_t until);
  void moveClockLocked(std::int64_t to);  // ends the timed waits that fall due
  void park(Waiter& waiter);              // with mutex_ held
  void unpark(Waiter& waiter);            // with mutex_ held
  bool inTask() const;

  mutable std::mutex mutex_;
  std::condition_variable clockMoved_;
  std::int64_t now_ = 0;
  std::int64_t unixAtZero_ = 0;
  int blockedWaits_ = 0;
  std::uint64_t nextSeq_ = 0;
  std::map<Key, Item> items_;
  std::shared_ptr<ManualQueue> main_;
  // Tasks: how many run, how many of those wait on the clock or a semaphore.
  std::condition_variable tasksChanged_;
  int liveTasks_ = 0;
  int parkedTasks_ = 0;
  std::set<Waiter*> timedWaits_;  // sleeps and timed semaphore waits under way
  std::exception_ptr taskFailure_;
};

}  // namespace velmor::platform

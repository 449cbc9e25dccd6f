#pragma once
// Dispatch: serial queues, the main queue and its run loop, delayed work, repeating
// timers, semaphores and detached tasks. Two implementations exist: real threads
// (threaded/) and a manual clock that a test advances (manual/).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmor::platform {

using Duration = std::chrono::nanoseconds;
using Task = std::function<void()>;

// Monotonic time since an arbitrary origin, in nanoseconds.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t uptimeNanos() const = 0;
  // Calendar time: nanoseconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t unixTimeNanos() const = 0;
};

class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  virtual const std::string& label() const = 0;
  // Runs the task after every task submitted before it, one task at a time.
  virtual void async(Task task) = 0;
  // Runs the task on this queue and returns when it has finished. Calling it from a task
  // already running on this queue would wait for itself.
  virtual void sync(const Task& task) = 0;
  // Runs the task on this queue once the delay has passed.
  virtual void after(Duration delay, Task task) = 0;
  // True while the calling thread runs a task of this queue.
  virtual bool isCurrent() const = 0;
  // Runs the task on the calling thread, as this queue, if the queue is idle and has nothing
  // due, and returns true; otherwise returns false without running it. A producer that finds
  // its consumer's queue idle spares a thread hand-over this way. Queues that cannot lend
  // themselves to another thread always say no.
  virtual bool tryRunHere(const Task& task) {
    (void)task;
    return false;
  }
};

class Semaphore {
 public:
  virtual ~Semaphore() = default;
  virtual void signal() = 0;
  virtual void wait() = 0;
  // False when the timeout passed first.
  virtual bool waitFor(Duration timeout) = 0;
};

// A timer that fires on its queue every interval until cancelled or destroyed.
class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, Duration interval, Task task);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;
  void cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  virtual std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) = 0;
  // The queue whose tasks run on the thread that runs the main loop.
  virtual SerialQueue& mainQueue() = 0;
  // Runs main-queue tasks on the calling thread until stopMainLoop.
  virtual void runMainLoop() = 0;
  virtual void stopMainLoop() = 0;
  virtual std::unique_ptr<Semaphore> makeSemaphore(int initial) = 0;
  // Runs the task concurrently with its caller, on no particular queue.
  virtual void runTask(Task task) = 0;
  // Suspends the calling task for the duration (on the manual clock: until a test advances it).
  virtual void sleep(Duration duration) = 0;
  virtual const Clock& clock() const = 0;
};

constexpr Duration seconds(double s) { return Duration(static_cast<std::int64_t>(s * 1e9)); }

}  // namespace velmor::platform

#pragma once
// Dispatch on real threads and the system's monotonic clock.
#include <memory>

#include "platform/dispatch.h"

namespace velmor::platform {

class SteadyClock final : public Clock {
 public:
  std::int64_t uptimeNanos() const override;
  std::int64_t unixTimeNanos() const override;
};

class ThreadQueue;

class ThreadDispatch final : public Dispatch {
 public:
  ThreadDispatch();
  ~ThreadDispatch() override;
  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override;
  SerialQueue& mainQueue() override;
  void runMainLoop() override;
  void stopMainLoop() override;
  std::unique_ptr<Semaphore> makeSemaphore(int initial) override;
  void runTask(Task task) override;
  void sleep(Duration duration) override;
  const Clock& clock() const override { return clock_; }

 private:
  SteadyClock clock_;
  std::shared_ptr<ThreadQueue> main_;
};

// A counting semaphore on a mutex and a condition variable.
std::unique_ptr<Semaphore> makeThreadSemaphore(int initial);

}  // namespace velmor::platform

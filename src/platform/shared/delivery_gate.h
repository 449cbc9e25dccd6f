#pragma once
// Whether a source's buffers may still reach their consumer. Each run opens the gate under a
// new generation; a delivery carries the generation it was made for and is let through only
// while that run is still open. closeAndWait() returns only after a delivery under way has
// finished, which is what lets a stop promise that nothing is delivered once it returns.
// Tasks that deliver share the gate and nothing else of their source, so that such a task
// never holds the last reference to something that owns the queue it runs on.
#include <cstdint>
#include <mutex>
#include <optional>

namespace velmor::platform {

class DeliveryGate {
 public:
  // A new run: deliveries made for earlier runs stay out.
  std::uint64_t open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    return ++generation_;
  }
  // Closes without waiting for a delivery under way (for threads that must not wait on a
  // consumer, like a sound server's event loop).
  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    ++generation_;
  }
  // Closes once the delivery under way, if any, has finished. Never from inside a delivery.
  void closeAndWait() {
    std::lock_guard deliverLock(deliverMutex_);
    close();
  }
  // The open run's generation, or none while closed.
  std::optional<std::uint64_t> current() const {
    std::lock_guard lock(mutex_);
    return open_ ? std::optional<std::uint64_t>(generation_) : std::nullopt;
  }
  // Runs `deliver` if the run of `generation` is still open; true if it ran.
  template <class Deliver>
  bool deliver(std::uint64_t generation, Deliver&& deliver) {
    std::lock_guard deliverLock(deliverMutex_);
    {
      std::lock_guard lock(mutex_);
      if (!open_ || generation != generation_) return false;
    }
    deliver();
    return true;
  }

 private:
  std::mutex deliverMutex_;  // held across a delivery
  mutable std::mutex mutex_;
  bool open_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace velmor::platform

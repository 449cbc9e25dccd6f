#include "platform/threaded/thread_dispatch.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/threaded/thread_queue.h"

namespace velmor::platform {

std::int64_t SteadyClock::uptimeNanos() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t SteadyClock::unixTimeNanos() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {
class ThreadSemaphore final : public Semaphore {
 public:
  explicit ThreadSemaphore(int initial) : count_(initial) {}
  void signal() override {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    changed_.notify_one();
  }
  void wait() override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return count_ > 0; });
    --count_;
  }
  bool waitFor(Duration timeout) override {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_;
};
}  // namespace

std::unique_ptr<Semaphore> makeThreadSemaphore(int initial) { return std::make_unique<ThreadSemaphore>(initial); }

ThreadDispatch::ThreadDispatch() : main_(std::make_shared<ThreadQueue>("main", false)) {}
ThreadDispatch::~ThreadDispatch() = default;

std::shared_ptr<SerialQueue> ThreadDispatch::makeSerialQueue(std::string label) {
  return std::make_shared<ThreadQueue>(std::move(label), true);
}

SerialQueue& ThreadDispatch::mainQueue() { return *main_; }
void ThreadDispatch::runMainLoop() { main_->runLoop(); }
void ThreadDispatch::stopMainLoop() { main_->stopLoop(); }

std::unique_ptr<Semaphore> ThreadDispatch::makeSemaphore(int initial) { return makeThreadSemaphore(initial); }

void ThreadDispatch::runTask(Task task) { std::thread(std::move(task)).detach(); }

void ThreadDispatch::sleep(Duration duration) { std::this_thread::sleep_for(duration); }

}  // namespace velmor::platform

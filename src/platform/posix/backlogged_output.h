#pragma once
// Standard output for writers that must never wait on the reader: the sound server's own
// thread delivers audio, and a stalled parent must not stall the server connection (the server
// would then drop the newest audio). Once told to hold back, the handle keeps a bounded backlog
// in front of the reader and drops the oldest whole writes, so a parent that resumes gets
// fresh audio.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/process_io.h"

namespace velmor::platform {

class BackloggedOutput final : public OutputHandle {
 public:
  // Does not take ownership of `fd`.
  explicit BackloggedOutput(int fd);
  ~BackloggedOutput() override;
  BackloggedOutput(const BackloggedOutput&) = delete;
  BackloggedOutput& operator=(const BackloggedOutput&) = delete;

  void write(std::string_view bytes) override;
  void holdBack(std::size_t limitBytes, std::function<void()> dropBegan) override;
  // Waits until nothing is held or `limit` has passed; true when nothing is held.
  bool flushFor(std::chrono::milliseconds limit);

 private:
  // How the descriptor is written without waiting, chosen once from its kind.
  enum class Way { Blocking, Pipe, Socket };
  struct Held {
    std::string bytes;
    std::size_t sent = 0;  // how much of it the reader already has: such a write is finished
  };

  std::optional<std::size_t> offer(const char* data, std::size_t size);
  void dropOldest();
  void sendHeld();
  void runWriter();

  const int fd_;
  Way way_ = Way::Blocking;
  int nonBlockingFd_ = -1;  // a pipe's own open file description, opened non-blocking
  int wakeFd_ = -1;         // wakes the writer thread from its poll to stop

  std::mutex blockingMutex_;  // whole blocking writes, before holding back
  std::atomic<bool> holding_{false};

  std::mutex mutex_;
  std::condition_variable heldArrived_;
  std::condition_variable caughtUp_;
  std::deque<Held> held_;
  std::size_t heldBytes_ = 0;  // not yet sent, over all of held_
  std::size_t limit_ = 0;
  std::function<void()> dropBegan_;
  bool dropping_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace velmor::platform

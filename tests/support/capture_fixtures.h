#pragma once
// What the sound-server tests share: a delegate that records what a session delivers, a
// catcher for capture notifications, and the known tone written into a pipe microphone.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/pcm.h"

namespace velmor::testing {

constexpr auto kWait = std::chrono::seconds(10);  // generous: a loaded machine is slow, never wrong

// Records each delivered buffer: its format, its frames, its bytes, and whether it came on
// the queue it was promised. It does not own that queue: its last reference may go in a
// delivery, on the queue itself.
class Recorder final : public platform::SampleBufferDelegate {
 public:
  explicit Recorder(const std::shared_ptr<platform::SerialQueue>& queue) : queue_(queue) {}

  void captureOutput(const platform::SampleBuffer& buffer) override;

  // Sleeps inside each delivery, so that a delivery can be caught under way.
  void setDeliveryDelay(std::chrono::milliseconds delay);
  bool waitForBuffers(std::size_t count, std::chrono::milliseconds timeout = kWait);
  bool waitForBytes(std::size_t count, std::chrono::milliseconds timeout = kWait);
  // Waits until the bytes delivered so far satisfy `done`.
  bool waitForBytesWhere(const std::function<bool(const std::string&)>& done,
                         std::chrono::milliseconds timeout = kWait);

  struct Delivery {
    std::optional<platform::StreamDescription> description;
    std::int64_t frames = 0;
  };
  std::vector<Delivery> deliveries() const;
  std::string bytes() const;
  std::size_t count() const;  // deliveries finished
  std::size_t begun() const;  // deliveries begun, the one under way included
  bool allOnQueue() const;
  bool delivering() const;  // a delivery is under way right now
  bool waitUntilDelivering(std::chrono::milliseconds timeout = kWait);

 private:
  const std::weak_ptr<platform::SerialQueue> queue_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
  std::string bytes_;
  std::size_t begun_ = 0;
  bool allOnQueue_ = true;
  bool delivering_ = false;
  std::chrono::milliseconds delay_{0};
};

// Observes the three notifications for the objects it is given. Removing an observer does
// not wait for a block already running, so the blocks share the log's state.
class NotificationLog {
 public:
  explicit NotificationLog(platform::CaptureSystem& capture) : capture_(capture) {}
  ~NotificationLog();
  void watch(const void* object);

  struct Entry {
    platform::CaptureNotification name;
    const void* object;
    std::optional<platform::PlatformError> error;
    std::thread::id thread;  // the one it arrived on
  };
  std::vector<Entry> entries() const;
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kWait);

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;
  };
  platform::CaptureSystem& capture_;
  std::vector<platform::ObserverToken> tokens_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The bytes less the silent (all-zero) frames at either end.
std::string_view withoutSilence(std::string_view bytes, std::size_t frameBytes);

// A sine as 16-bit little-endian mono PCM.
std::string sineS16(double frequency, double amplitude, double rate, std::size_t frames);

// The program's own conversion to 16 kHz of `input` (48 kHz mono 16-bit PCM) arriving
// 10 ms at a time, without the flush that only an ending stream would get.
std::vector<float> converted16k(const std::string& input);

// How many samples lie between the first and the last that are not zero as 16-bit output,
// which truncates toward zero.
std::size_t audibleCount(const std::vector<float>& samples);

// Writes the bytes into a FIFO on a thread of its own, once the FIFO has a reader. Given the
// audio's frame size and rate, it writes at that pace, 10 ms at a time, as a microphone
// would; else all at once. Destroying it abandons what is not written yet.
class FifoWriter {
 public:
  // Paced, it may start `lead` ahead of time: a writer slowed down (by a sanitizer, say) then
  // still keeps the source fed, and the server fills in no silence of its own.
  FifoWriter(std::string path, std::string bytes, std::size_t frameBytes = 0, unsigned rate = 0,
             std::chrono::milliseconds lead = std::chrono::milliseconds(0));
  ~FifoWriter();
  bool done() const;

 private:
  struct State {
    std::atomic<bool> done{false};
    std::atomic<bool> stop{false};
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace velmor::testing

#pragma once
// The microphone: a capture session on the chosen device that feeds the mixer, and its
// recovery after runtime errors, interruptions and disconnections.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "conversion/sample_conversion.h"
#include "events/control_channel.h"
#include "mixer/mixer.h"
#include "platform/audio_hardware.h"
#include "platform/capture.h"
#include "platform/dispatch.h"

namespace velmor {

class MicCapture final : public platform::SampleBufferDelegate, public std::enable_shared_from_this<MicCapture> {
 public:
  struct Context {
    platform::Dispatch& dispatch;
    platform::AudioHardware& hardware;
    platform::CaptureSystem& capture;
    ControlChannel& control;
    Mixer& mixer;
    double captureRate;
  };

  // Error codes of the "velmor.audio" domain.
  static constexpr std::int64_t kNoMicrophone = 3;
  static constexpr std::int64_t kInputRefused = 4;
  static constexpr std::int64_t kOutputRefused = 5;

  // Restart policy.
  static constexpr platform::Duration kDebounce = platform::seconds(0.4);
  static constexpr platform::Duration kRetryStep = platform::seconds(0.5);
  static constexpr int kLastAttempt = 5;

  // Why audio is dropped when a source's backlog overflows: its queue did not get to mix it
  // (standard output never holds the mixer back; standard error or a starved machine can).
  static constexpr const char* kDroppedReason = "it was not mixed in time";

  MicCapture(std::string deviceId, Context context);
  ~MicCapture() override;

  // On the main thread: builds the session, or ends the process through fail.
  void start();
  // Removes the observers, stops and drops the session, drops the converter. Safe when
  // nothing runs; callable from any thread but the capture queue.
  void stop();

  void captureOutput(const platform::SampleBuffer& buffer) override;

  std::string micName() const;
  std::string micUID() const;
  std::int64_t restarts() const { return restarts_.load(); }
  bool restartPending() const { return restartPending_.load(); }

 private:
  platform::Result<std::shared_ptr<platform::CaptureDevice>> captureDevice();
  struct BuildFailure {
    platform::PlatformError error;
    bool configured = false;  // the session was set up and failed only to start
  };
  std::optional<BuildFailure> build();
  void observe(platform::CaptureNotification name, const void* object);
  void scheduleRestart(std::string reason);
  void restart(const std::string& reason, int attempt);
  void emitDevice(const std::string* restartReason);

  const std::string deviceId_;
  Context context_;
  const std::shared_ptr<platform::SerialQueue> queue_;  // "velmor.audio.mic", kept across restarts

  // Guards the session and what describes it: build and stop may run on the main queue and
  // on the shutdown path at once.
  mutable std::mutex mutex_;
  std::string micName_ = "microphone";
  std::string micUID_;
  std::shared_ptr<platform::CaptureSession> session_;
  std::vector<platform::ObserverToken> observers_;

  ConverterSlots slots_;  // used only on queue_
  std::atomic<std::int64_t> restarts_{0};
  std::atomic<bool> restartPending_{false};
};

}  // namespace velmor

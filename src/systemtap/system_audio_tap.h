#pragma once
// The process tap: a mix of everything the computer plays, read through a private device
// whose reader feeds the mixer. It is built with up to four attempts, supervised while it
// runs, and never rebuilt in the running process: when its output device changes or its
// input stops, the program reports it and exits with a status that asks to be started again.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "conversion/sample_conversion.h"
#include "events/control_channel.h"
#include "mixer/mixer.h"
#include "platform/dispatch.h"
#include "platform/process_io.h"
#include "platform/system_audio.h"

namespace velmor {

struct TapContext {
  platform::Dispatch& dispatch;
  platform::SystemAudioHardware& hardware;
  platform::Environment& environment;
  platform::ProcessControl& process;
  ControlChannel& control;
  Mixer& mixer;
  double captureRate;
};

// Build attempts and the pause between them.
inline constexpr int kTapBuildAttempts = 4;
inline constexpr platform::Duration kTapBuildPause = platform::seconds(0.4);

// Supervision.
inline constexpr platform::Duration kTapCheckPeriod = platform::seconds(2.0);
inline constexpr platform::Duration kTapNotificationDelay = platform::seconds(0.7);
inline constexpr std::int64_t kTapQuietNanos = 3'000'000'001;  // more than 3 s without an IO cycle
inline constexpr int kExitDeviceChanged = 75;
inline constexpr int kExitTapQuiet = 76;

// The name of the private device that carries the tap.
inline constexpr const char* kTapDeviceName = "Velmor system audio";

// VELMOR_TAP_QUIET_REOPENS: an optional sign, then decimal digits that fit 64 bits, and
// nothing else; anything else (or nothing) is 0.
std::int64_t parseQuietReopens(const std::optional<std::string>& text);

// A build failure: the message, a blank and the status in parentheses, with the status as
// the error's code.
platform::PlatformError problem(const std::string& message, std::int64_t status);

class SystemAudioTap final : public std::enable_shared_from_this<SystemAudioTap> {
 public:
  explicit SystemAudioTap(TapContext context);
  ~SystemAudioTap();
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  // Makes, starts and stores everything, or tears down what it made and gives the error.
  std::optional<platform::PlatformError> build();
  // Stops and destroys whatever exists; doing it again does nothing.
  void teardown();
  // Starts supervision: the two default-device listeners and the timer.
  void watch();
  // Supervision is over: set first, so that a check already scheduled does nothing.
  void stopWatching();

  // What a test or a diagnosis may look at.
  platform::AudioObjectId tapID() const;
  platform::AudioObjectId aggregateID() const;
  platform::AudioObjectId builtOutput() const { return builtOutput_; }
  platform::AudioObjectId builtSystemOutput() const { return builtSystemOutput_; }
  std::int64_t quietReopens() const { return quietReopens_; }
  bool leaving() const { return leaving_.load(); }
  platform::SerialQueue& ioQueue() { return *ioQueue_; }

 private:
  void take(platform::InputBufferList input);  // one IO cycle, on ioQueue
  void check();                                // on ioQueue
  void leave(const std::string& reason, const std::string& cause);
  void scheduleCheck();

  TapContext context_;
  std::shared_ptr<platform::SerialQueue> ioQueue_;

  // What build makes and teardown destroys.
  mutable std::mutex objectsMutex_;
  platform::AudioObjectId tapID_ = 0;
  platform::AudioObjectId aggregateID_ = 0;
  platform::IOProcId procID_ = 0;

  // Used on ioQueue only, once the device runs; build sets and teardown clears them there.
  std::optional<platform::AudioFormat> format_;
  ConverterSlots slots_;     // conv and target
  std::int64_t lastIO_ = 0;  // uptime of the latest IO cycle; 0: none yet

  // Written by build before supervision starts, read by check.
  platform::AudioObjectId builtOutput_ = 0;
  platform::AudioObjectId builtSystemOutput_ = 0;

  std::mutex timerMutex_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  std::atomic<bool> leaving_{false};
  const std::int64_t quietReopens_;
};

// The global that holds the running tap; safe to read and write from any thread.
class ActiveTap {
 public:
  std::shared_ptr<SystemAudioTap> get() const;
  void set(std::shared_ptr<SystemAudioTap> tap);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<SystemAudioTap> tap_;
};

// Builds and starts the tap, blocking the caller through up to four attempts with pauses
// of 0.4 s. None on success (the tap is then supervised and stored in `activeTap`), else
// the reason in one line.
std::optional<std::string> startSystemTap(const TapContext& context, ActiveTap& activeTap);
// Stops supervision and destroys the running tap, if there is one.
void stopSystemTap(ActiveTap& activeTap);

}  // namespace velmor

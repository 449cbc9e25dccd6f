#pragma once
// Microphone capture: devices opened by unique ID or the default one, device inputs,
// sessions with an audio data output that delivers sample buffers on a serial queue,
// and the session notifications, delivered on the thread that posts them.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/pcm.h"
#include "platform/result.h"

namespace velmor::platform {

class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  virtual std::string uniqueID() const = 0;
  virtual std::string localizedName() const = 0;
};

class CaptureInput {
 public:
  virtual ~CaptureInput() = default;
  virtual std::shared_ptr<CaptureDevice> device() const = 0;
};

class SampleBufferDelegate {
 public:
  virtual ~SampleBufferDelegate() = default;
  virtual void captureOutput(const SampleBuffer& buffer) = 0;
};

class AudioDataOutput {
 public:
  virtual ~AudioDataOutput() = default;
  // Buffers go to the delegate on the queue, for as long as the delegate exists.
  virtual void setSampleBufferDelegate(std::weak_ptr<SampleBufferDelegate> delegate,
                                       std::shared_ptr<SerialQueue> queue) = 0;
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual void beginConfiguration() = 0;
  virtual bool canAddInput(const CaptureInput& input) = 0;
  virtual void addInput(std::shared_ptr<CaptureInput> input) = 0;
  virtual bool canAddOutput(const AudioDataOutput& output) = 0;
  virtual void addOutput(std::shared_ptr<AudioDataOutput> output) = 0;
  virtual void commitConfiguration() = 0;
  // Synchronous: buffers may flow once it returns. A session that could not start says so
  // here, and posts no notification for it; one that fails later posts a runtime error.
  virtual Status startRunning() = 0;
  // Synchronous: no buffer is delivered after it returns.
  virtual void stopRunning() = 0;
};

enum class CaptureNotification {
  sessionRuntimeError,
  sessionWasInterrupted,
  deviceWasDisconnected,
  // The session's delegate fell so far behind that the oldest audio is being dropped; posted
  // once when dropping begins, and again only after the delegate has caught up.
  sessionDroppedSamples,
};

struct CaptureNotificationInfo {
  CaptureNotification name;
  // A runtime error's error value, when the notification carries one.
  std::optional<PlatformError> error;
};

using ObserverToken = std::uint64_t;

class CaptureSystem {
 public:
  virtual ~CaptureSystem() = default;
  // Fails when no such device can be opened.
  virtual Result<std::shared_ptr<CaptureDevice>> deviceWithUniqueID(const std::string& uid) = 0;
  // Fails when there is no default input device.
  virtual Result<std::shared_ptr<CaptureDevice>> defaultAudioDevice() = 0;
  // Fails when the device cannot be opened for input.
  virtual Result<std::shared_ptr<CaptureInput>> makeInput(const std::shared_ptr<CaptureDevice>& device) = 0;
  virtual std::shared_ptr<CaptureSession> makeSession() = 0;
  virtual std::shared_ptr<AudioDataOutput> makeAudioDataOutput() = 0;

  // Observes one notification posted by `object` (a session or a device), on the posting thread.
  virtual ObserverToken addObserver(CaptureNotification name, const void* object,
                                    std::function<void(const CaptureNotificationInfo&)> block) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
};

}  // namespace velmor::platform

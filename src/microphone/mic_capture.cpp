#include "microphone/mic_capture.h"

#include "devices/resolve_mic.h"

namespace velmor {

using platform::CaptureNotification;
using platform::PlatformError;

namespace {
PlatformError micError(std::int64_t code, std::string message) {
  return PlatformError{platform::kProgramErrorDomain, code, std::move(message)};
}
}  // namespace

MicCapture::MicCapture(std::string deviceId, Context context)
    : deviceId_(std::move(deviceId)), context_(context), queue_(context.dispatch.makeSerialQueue("velmor.audio.mic")) {}

MicCapture::~MicCapture() = default;

std::string MicCapture::micName() const {
  std::lock_guard lock(mutex_);
  return micName_;
}

std::string MicCapture::micUID() const {
  std::lock_guard lock(mutex_);
  return micUID_;
}

platform::Result<std::shared_ptr<platform::CaptureDevice>> MicCapture::captureDevice() {
  const auto resolved = resolveMic(deviceId_, context_.hardware, context_.control);
  if (resolved) {
    if (auto device = context_.capture.deviceWithUniqueID(resolved->uid)) return std::move(device).value();
    context_.control.control(
        ControlEvent{{"type", "error"},
                     {"message", "Microphone " + resolved->name + " could not be opened; using the system default"}});
  }
  if (auto device = context_.capture.defaultAudioDevice()) return std::move(device).value();
  return micError(kNoMicrophone, "no microphone is available");
}

std::optional<MicCapture::BuildFailure> MicCapture::build() {
  auto found = captureDevice();
  if (!found) return BuildFailure{found.error()};
  const std::shared_ptr<platform::CaptureDevice> device = std::move(found).value();
  auto made = context_.capture.makeInput(device);
  if (!made) return BuildFailure{made.error()};
  const std::shared_ptr<platform::CaptureInput> input = std::move(made).value();

  auto session = context_.capture.makeSession();
  session->beginConfiguration();
  if (!session->canAddInput(*input)) {
    return BuildFailure{micError(kInputRefused, device->localizedName() + " refused the capture session")};
  }
  session->addInput(input);
  auto output = context_.capture.makeAudioDataOutput();
  output->setSampleBufferDelegate(weak_from_this(), queue_);
  if (!session->canAddOutput(*output)) {
    return BuildFailure{micError(kOutputRefused, "the capture session took no audio output")};
  }
  session->addOutput(output);
  session->commitConfiguration();

  std::lock_guard lock(mutex_);
  // Observed before the session starts: a failure posted while it starts (a device
  // unplugged at that moment) must not leave the microphone silently dead.
  observe(CaptureNotification::sessionRuntimeError, session.get());
  observe(CaptureNotification::sessionWasInterrupted, session.get());
  observe(CaptureNotification::deviceWasDisconnected, device.get());
  observe(CaptureNotification::sessionDroppedSamples, session.get());
  micName_ = device->localizedName();
  micUID_ = device->uniqueID();
  if (auto started = session->startRunning(); !started) {
    // A session that never ran leaves nothing behind, so that "restarted" always means audio.
    for (auto token : observers_) context_.capture.removeObserver(token);
    observers_.clear();
    session->stopRunning();
    return BuildFailure{started.error(), true};
  }
  session_ = session;
  return std::nullopt;
}

// With mutex_ held.
void MicCapture::observe(CaptureNotification name, const void* object) {
  observers_.push_back(context_.capture.addObserver(
      name, object, [weak = weak_from_this()](const platform::CaptureNotificationInfo& info) {
        auto self = weak.lock();
        if (!self) return;
        switch (info.name) {
          case CaptureNotification::sessionRuntimeError:
            self->scheduleRestart(info.error ? info.error->description : "the capture session stopped");
            break;
          case CaptureNotification::deviceWasDisconnected:
            self->scheduleRestart("the microphone was disconnected");
            break;
          case CaptureNotification::sessionWasInterrupted:
            self->scheduleRestart("the capture session was interrupted");
            break;
          case CaptureNotification::sessionDroppedSamples:
            // Once when dropping begins, not once a buffer: the parent learns that it lost audio.
            self->context_.control.control(ControlEvent{
                {"type", "error"}, {"message", "Microphone audio dropped: " + std::string(kDroppedReason)}});
            break;
        }
      }));
}

void MicCapture::emitDevice(const std::string* restartReason) {
  ControlEvent event{{"type", "device"}, {"name", micName()}, {"uid", micUID()}, {"source", "mic"}};
  if (restartReason) {
    event["event"] = "restarted";
    event["reason"] = *restartReason;
    event["restarts"] = restarts_.load();
  }
  context_.control.control(event);
}

void MicCapture::start() {
  const auto failure = build();
  if (failure && !failure->configured)
    context_.control.fail("Microphone could not start: " + failure->error.description);
  emitDevice(nullptr);
  // A session that was set up but did not start is recovered like one that stops later.
  if (failure) scheduleRestart(failure->error.description);
}

void MicCapture::stop() {
  std::shared_ptr<platform::CaptureSession> session;
  {
    std::lock_guard lock(mutex_);
    for (auto token : observers_) context_.capture.removeObserver(token);
    observers_.clear();
    session = std::move(session_);
    session_.reset();
    if (session) session->stopRunning();
  }
  // On the capture queue, so that no buffer is being converted while the slots empty.
  queue_->sync([this] { slots_.clear(); });
}

void MicCapture::captureOutput(const platform::SampleBuffer& buffer) {
  const std::vector<float> block = floatSamples(buffer, slots_, context_.captureRate);
  if (block.empty()) return;
  context_.mixer.pushMic(block);
}

void MicCapture::scheduleRestart(std::string reason) {
  bool expected = false;
  if (!restartPending_.compare_exchange_strong(expected, true)) return;  // a series is under way
  context_.dispatch.mainQueue().after(kDebounce, [weak = weak_from_this(), reason = std::move(reason)] {
    if (auto self = weak.lock()) self->restart(reason, 1);
  });
}

void MicCapture::restart(const std::string& reason, int attempt) {
  stop();
  const auto failure = build();
  if (!failure) {
    restarts_.fetch_add(1);
    restartPending_.store(false);
    emitDevice(&reason);
    return;
  }
  if (attempt >= kLastAttempt) {
    restartPending_.store(false);
    context_.control.control(
        ControlEvent{{"type", "error"}, {"message", "Microphone stopped: " + failure->error.description}});
    return;  // no observers remain, so nothing starts another series
  }
  context_.dispatch.mainQueue().after(kRetryStep * attempt, [weak = weak_from_this(), reason, attempt] {
    if (auto self = weak.lock()) self->restart(reason, attempt + 1);
  });
}

}  // namespace velmor

#include "systemtap/system_audio_tap.h"

#include <array>
#include <cstdio>
#include <random>

#include "screencapture/system_audio_output.h"

namespace velmor {

using platform::AudioObjectId;
using platform::PlatformError;

namespace {

// A random (version 4) UUID in its standard upper-case text form.
std::string newUUID() {
  std::random_device device;
  std::array<std::uint8_t, 16> bytes{};
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device() & 0xff);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    text += hex;
  }
  return text;
}

}  // namespace

PlatformError problem(const std::string& message, std::int64_t status) {
  return PlatformError{platform::kProgramErrorDomain, status, message + " (" + std::to_string(status) + ")"};
}

SystemAudioTap::SystemAudioTap(TapContext context)
    : context_(context),
      ioQueue_(context.dispatch.makeSerialQueue("velmor.audio.tap")),
      quietReopens_(parseQuietReopens(context.environment.get("VELMOR_TAP_QUIET_REOPENS"))) {}

SystemAudioTap::~SystemAudioTap() {
  {
    std::lock_guard lock(timerMutex_);
    timer_.reset();
  }
  // The last reference can go in a task of the tap's own queue (a listener or the timer
  // that held it weakly): a queue must not be destroyed by its own task, so another
  // thread lets go of it.
  if (ioQueue_ && ioQueue_->isCurrent()) context_.dispatch.runTask([queue = std::move(ioQueue_)] {});
}

AudioObjectId SystemAudioTap::tapID() const {
  std::lock_guard lock(objectsMutex_);
  return tapID_;
}

AudioObjectId SystemAudioTap::aggregateID() const {
  std::lock_guard lock(objectsMutex_);
  return aggregateID_;
}

std::optional<PlatformError> SystemAudioTap::build() {
  platform::SystemAudioHardware& hardware = context_.hardware;

  // Everything the computer plays, this process included, still audible on the device.
  platform::TapDescription description;
  description.uuid = newUUID();
  description.muted = false;

  const auto tap = hardware.createProcessTap(description);
  if (!tap.ok() || tap.value() == 0) return problem("the audio tap could not be made", tap.status());
  {
    std::lock_guard lock(objectsMutex_);
    tapID_ = tap.value();
  }

  const auto tapFormat = hardware.tapFormat(tap.value());
  std::optional<platform::AudioFormat> format;
  if (tapFormat.ok()) format = platform::AudioFormat::fromStreamDescription(tapFormat.value());
  if (!format) {
    teardown();
    return problem("the audio tap has no format", tapFormat.status());
  }

  const AudioObjectId systemOutput = hardware.defaultSystemOutputDevice().valueOr(0);
  const std::string outputUID = hardware.outputDeviceUID(systemOutput).valueOr("");
  if (outputUID.empty()) {
    teardown();
    return problem("no output device to tap", 0);
  }
  builtSystemOutput_ = systemOutput;
  builtOutput_ = hardware.defaultOutputDevice().valueOr(0);

  platform::AggregateDeviceDescription aggregate;
  aggregate.name = kTapDeviceName;
  aggregate.uid = newUUID();
  aggregate.mainSubDevice = outputUID;
  aggregate.isPrivate = true;
  aggregate.isStacked = false;
  aggregate.tapAutoStart = true;
  aggregate.subDevices = {outputUID};
  aggregate.taps = {platform::SubTap{description.uuid, true}};
  const auto device = hardware.createAggregateDevice(aggregate);
  if (!device.ok() || device.value() == 0) {
    teardown();
    return problem("the tap's device could not be made", device.status());
  }
  {
    std::lock_guard lock(objectsMutex_);
    aggregateID_ = device.value();
  }
  // Set before the reader can run; the reader reads it on ioQueue only after the device starts.
  format_ = format;

  const auto proc =
      hardware.createIOProc(device.value(), ioQueue_, [weak = weak_from_this()](platform::InputBufferList input) {
        if (auto self = weak.lock()) self->take(input);
      });
  if (!proc.ok() || proc.value() == 0) {
    teardown();
    return problem("the tap's device took no reader", proc.status());
  }
  {
    std::lock_guard lock(objectsMutex_);
    procID_ = proc.value();
  }
  // Reporting only: a reader that cannot be told of drops still records.
  (void)hardware.setIOProcOverrunListener(proc.value(), [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->context_.control.control(ControlEvent{{"type", "error"}, {"message", kSystemAudioDropped}});
    }
  });

  const auto started = hardware.startDevice(device.value(), proc.value());
  if (!started.ok()) {
    teardown();
    return problem("the tap's device did not start", started.status());
  }
  return std::nullopt;
}

void SystemAudioTap::teardown() {
  platform::SystemAudioHardware& hardware = context_.hardware;
  {
    std::lock_guard lock(objectsMutex_);
    if (aggregateID_ != 0) {
      if (procID_ != 0) {
        (void)hardware.stopDevice(aggregateID_, procID_);
        (void)hardware.destroyIOProc(aggregateID_, procID_);
      }
      (void)hardware.destroyAggregateDevice(aggregateID_);
    }
    if (tapID_ != 0) (void)hardware.destroyProcessTap(tapID_);
    tapID_ = 0;
    aggregateID_ = 0;
    procID_ = 0;
  }
  // On the reader's queue, so that no cycle is converting while the format and slots go.
  auto clear = [this] {
    format_.reset();
    slots_.clear();
  };
  if (ioQueue_->isCurrent()) {
    clear();
  } else {
    ioQueue_->sync(clear);
  }
}

std::shared_ptr<SystemAudioTap> ActiveTap::get() const {
  std::lock_guard lock(mutex_);
  return tap_;
}

void ActiveTap::set(std::shared_ptr<SystemAudioTap> tap) {
  std::shared_ptr<SystemAudioTap> previous;
  std::lock_guard lock(mutex_);
  previous = std::move(tap_);
  tap_ = std::move(tap);
}

std::optional<std::string> startSystemTap(const TapContext& context, ActiveTap& activeTap) {
  if (!context.hardware.tapsAvailable()) return "this macOS has no audio taps";
  std::shared_ptr<SystemAudioTap> started;
  for (int attempt = 1; attempt <= kTapBuildAttempts; ++attempt) {
    auto tap = std::make_shared<SystemAudioTap>(context);
    const auto error = tap->build();
    if (!error) {
      started = std::move(tap);
      break;
    }
    if (attempt == kTapBuildAttempts) return error->description;
    context.dispatch.sleep(kTapBuildPause);
  }
  started->watch();
  activeTap.set(started);
  return std::nullopt;
}

void stopSystemTap(ActiveTap& activeTap) {
  if (auto tap = activeTap.get()) {
    tap->stopWatching();
    tap->teardown();
  }
  activeTap.set(nullptr);
}

}  // namespace velmor

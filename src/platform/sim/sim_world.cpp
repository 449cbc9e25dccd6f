#include "platform/sim/sim_world.h"

#include "platform/shared/delivery_gate.h"
#include "platform/shared/queue_output.h"
#include "platform/shared/sample_backlog.h"
#include "platform/sim/sim_system_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace velmor::platform::sim {
namespace {

StreamDescription defaultFormat() { return StreamDescription{48000, SampleType::signedInteger, 16, 2, true}; }

void encodeSample(double x, const StreamDescription& format, std::byte* out) {
  x = std::clamp(x, -1.0, 1.0);
  auto putInt = [&](std::int64_t v, int bytes) {
    for (int b = 0; b < bytes; ++b) out[b] = static_cast<std::byte>((v >> (8 * b)) & 0xff);
  };
  if (format.type == SampleType::floatingPoint) {
    if (format.bitsPerChannel == 32) {
      const auto f = static_cast<float>(x);
      std::memcpy(out, &f, 4);
    } else {
      std::memcpy(out, &x, 8);
    }
    return;
  }
  switch (format.bitsPerChannel) {
    case 16: putInt(std::lround(x * 32767.0), 2); break;
    case 24: putInt(std::lround(x * 8388607.0), 3); break;
    default: putInt(std::llround(x * 2147483647.0), 4); break;
  }
}

}  // namespace

std::optional<MemorySampleBuffer> renderAudio(const SimDevice& device, const StreamDescription& format,
                                              std::int64_t start, std::uint32_t frames) {
  const double rate = format.sampleRate;
  std::int64_t scriptFrames = 0;
  for (const auto& segment : device.audio) scriptFrames += std::llround(segment.seconds * rate);
  if (!device.audio.empty() && start >= scriptFrames) return std::nullopt;
  if (!device.audio.empty()) frames = static_cast<std::uint32_t>(std::min<std::int64_t>(frames, scriptFrames - start));

  const std::uint32_t channels = format.channelsPerFrame;
  const std::uint32_t bytes = format.bitsPerChannel / 8;
  const std::size_t bufferCount = format.interleaved ? 1 : channels;
  const std::size_t perBuffer = static_cast<std::size_t>(frames) * bytes * (format.interleaved ? channels : 1);
  std::vector<std::vector<std::byte>> buffers(bufferCount, std::vector<std::byte>(perBuffer));

  std::size_t segmentIndex = 0;
  std::int64_t segmentStart = 0;
  for (std::uint32_t f = 0; f < frames; ++f) {
    const std::int64_t t = start + f;
    double x = 0;
    if (!device.audio.empty()) {
      while (segmentIndex + 1 < device.audio.size() &&
             t >= segmentStart + std::llround(device.audio[segmentIndex].seconds * rate)) {
        segmentStart += std::llround(device.audio[segmentIndex].seconds * rate);
        ++segmentIndex;
      }
      const AudioSegment& segment = device.audio[segmentIndex];
      if (segment.kind == AudioSegment::Kind::sine) {
        x = segment.amplitude * std::sin(2 * std::numbers::pi * segment.frequency * static_cast<double>(t) / rate);
      }
    }
    for (std::uint32_t c = 0; c < channels; ++c) {
      std::byte* out = format.interleaved ? buffers[0].data() + (static_cast<std::size_t>(f) * channels + c) * bytes
                                          : buffers[c].data() + static_cast<std::size_t>(f) * bytes;
      encodeSample(x, format, out);
    }
  }
  return MemorySampleBuffer(format, frames, std::move(buffers));
}

// ---- capture objects ----

class SimWorld::Device final : public CaptureDevice {
 public:
  Device(AudioObjectId deviceId, std::string uid, std::string name)
      : id(deviceId), uid_(std::move(uid)), name_(std::move(name)) {}
  std::string uniqueID() const override { return uid_; }
  std::string localizedName() const override { return name_; }
  const AudioObjectId id;

 private:
  std::string uid_;
  std::string name_;
};

class SimWorld::Input final : public CaptureInput {
 public:
  explicit Input(std::shared_ptr<Device> device) : device_(std::move(device)) {}
  std::shared_ptr<CaptureDevice> device() const override { return device_; }
  const std::shared_ptr<Device>& simDevice() const { return device_; }

 private:
  std::shared_ptr<Device> device_;
};

class SimWorld::Session final : public CaptureSession, public std::enable_shared_from_this<Session> {
 public:
  explicit Session(SimWorld& world) : world_(world) {}

  void beginConfiguration() override {}
  bool canAddInput(const CaptureInput& input) override {
    const auto* simInput = dynamic_cast<const Input*>(&input);
    if (!simInput) return false;
    std::lock_guard lock(world_.mutex_);
    const SimDevice* device = world_.findLocked(simInput->simDevice()->id);
    return device && !device->refuseInput;
  }
  void addInput(std::shared_ptr<CaptureInput> input) override {
    std::lock_guard lock(mutex_);
    input_ = std::dynamic_pointer_cast<Input>(input);
  }
  bool canAddOutput(const AudioDataOutput&) override {
    std::lock_guard lock(mutex_);
    if (!input_) return true;
    std::lock_guard worldLock(world_.mutex_);
    const SimDevice* device = world_.findLocked(input_->simDevice()->id);
    return !(device && device->refuseOutput);
  }
  void addOutput(std::shared_ptr<AudioDataOutput> output) override {
    std::lock_guard lock(mutex_);
    output_ = std::dynamic_pointer_cast<QueueOutput>(output);
  }
  void commitConfiguration() override {}

  Status startRunning() override {
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      if (gate_->current()) return {};
      if (!input_) return PlatformError{"sim.capture", -11800, "the session has no input"};
      {
        std::lock_guard worldLock(world_.mutex_);
        SimDevice* device = world_.findLocked(input_->simDevice()->id);
        if (!device) return PlatformError{"sim.capture", -11814, "the device is no longer connected"};
        if (device->startFailures > 0) {
          --device->startFailures;
          return PlatformError{"sim.capture", -11803, device->name.value_or("the device") + " did not start"};
        }
      }
      generation = gate_->open();
    }
    world_.sessionsStarted_.fetch_add(1);
    scheduleTick(Duration(0), generation);
    return {};
  }

  // Once it returns, no buffer reaches the delegate.
  void stopRunning() override { gate_->closeAndWait(); }

  // The world ended the run: no further delivery begins, but one under way may finish after
  // this returns, and so after the notification is posted, as with a sound server, whose
  // event loop never waits for a consumer.
  void end() { gate_->close(); }

  bool running() const { return gate_->current().has_value(); }
  std::optional<AudioObjectId> deviceId() {
    std::lock_guard lock(mutex_);
    if (!input_) return std::nullopt;
    return input_->simDevice()->id;
  }

 private:
  void scheduleTick(Duration delay, std::uint64_t generation) {
    world_.worldQueue_->after(delay, [weak = weak_from_this(), generation] {
      if (auto self = weak.lock()) self->tick(generation);
    });
  }

  void tick(std::uint64_t generation) {
    std::optional<MemorySampleBuffer> buffer;
    std::shared_ptr<QueueOutput> output;
    std::shared_ptr<SampleBacklog> backlog;
    double period = 0;
    {
      std::lock_guard lock(mutex_);
      if (gate_->current() != generation) return;
      SimDevice device;
      double speed = 1;
      {
        std::lock_guard worldLock(world_.mutex_);
        const SimDevice* found = world_.findLocked(input_->simDevice()->id);
        if (!found) return;
        device = *found;
        speed = world_.audioSpeed_;
      }
      const StreamDescription format = device.format.value_or(defaultFormat());
      auto rendered = renderAudio(device, format, nextFrame_, device.bufferFrames);
      if (!rendered) return;  // the script has ended: the device goes quiet
      nextFrame_ += rendered->numSamples();
      period = static_cast<double>(rendered->numSamples()) / format.sampleRate / speed;
      buffer = std::move(rendered);
      output = output_;
      // Held like a real device's: a delegate that falls behind loses the oldest audio.
      if (!backlog_ || backlogGeneration_ != generation) {
        backlog_ = std::make_shared<SampleBacklog>(format, SampleBacklog::capacityFor(format, kBacklogSeconds), gate_,
                                                   generation);
        backlogGeneration_ = generation;
      }
      backlog = backlog_;
    }
    if (output) {
      std::vector<const std::byte*> planes;
      for (const auto& plane : buffer->buffers()) planes.push_back(plane.data());
      if (backlog->push(planes, static_cast<std::size_t>(buffer->numSamples()), *output)) {
        world_.post(CaptureNotification::sessionDroppedSamples, shared_from_this(), std::nullopt);
      }
    }
    scheduleTick(platform::seconds(period), generation);
  }

  SimWorld& world_;
  const std::shared_ptr<DeliveryGate> gate_ = std::make_shared<DeliveryGate>();
  std::mutex mutex_;
  std::shared_ptr<Input> input_;
  std::shared_ptr<QueueOutput> output_;
  std::int64_t nextFrame_ = 0;
  std::shared_ptr<SampleBacklog> backlog_;  // the current run's audio on its way to the delegate
  std::uint64_t backlogGeneration_ = 0;
};

// ---- the hardware ----

class SimWorld::Hardware final : public AudioHardware {
 public:
  explicit Hardware(SimWorld& world) : world_(world) {}

  Result<std::uint32_t> deviceListSize() override {
    std::lock_guard lock(world_.mutex_);
    if (world_.deviceListFails_) return hardwareError(kHwUnknownProperty);
    return static_cast<std::uint32_t>(4 * (world_.devices_.size() + world_.deviceListSlack_));
  }
  Result<std::size_t> deviceList(std::vector<AudioObjectId>& ids) override {
    std::lock_guard lock(world_.mutex_);
    if (world_.deviceListFails_) return hardwareError(kHwUnknownProperty);
    const std::size_t filled = std::min(ids.size(), world_.devices_.size());
    for (std::size_t i = 0; i < filled; ++i) ids[i] = world_.devices_[i].id;
    return filled;
  }
  Result<AudioObjectId> defaultInputDevice() override {
    std::lock_guard lock(world_.mutex_);
    if (!world_.defaultInput_) return hardwareError(kHwUnknownProperty);
    return *world_.defaultInput_;
  }
  Result<std::uint32_t> inputStreamConfigurationSize(AudioObjectId id) override {
    return read(id, "configurationSize", [](const SimDevice& device) {
      // An AudioBufferList's size: a count, then 16 bytes a buffer.
      return device.inputBuffers.empty() ? 0u : static_cast<std::uint32_t>(8 + 16 * device.inputBuffers.size());
    });
  }
  Result<std::vector<std::uint32_t>> inputStreamConfiguration(AudioObjectId id) override {
    return read(id, "configuration", [](const SimDevice& device) { return device.inputBuffers; });
  }
  Result<std::uint32_t> transportType(AudioObjectId id) override {
    return read(id, "transport", [](const SimDevice& device) { return device.transport; });
  }
  Result<std::optional<std::string>> stringProperty(AudioObjectId id, StringProperty property) override {
    const bool isUid = property == StringProperty::deviceUID;
    return read(id, isUid ? "uid" : "name",
                [isUid](const SimDevice& device) { return isUid ? device.uid : device.name; });
  }

  bool reportsProcessInput() override { return world_.processes_.reported(); }
  Result<std::uint32_t> processListSize() override { return world_.processes_.listSize(); }
  Result<std::size_t> processList(std::vector<AudioObjectId>& ids) override { return world_.processes_.list(ids); }
  Result<bool> processIsRunningInput(AudioObjectId id) override { return world_.processes_.isRunningInput(id); }
  Result<std::optional<std::string>> processApplicationId(AudioObjectId id) override {
    return world_.processes_.applicationId(id);
  }

 private:
  // One property of one device, unless the device is gone or the read is scripted to fail.
  template <class Get>
  auto read(AudioObjectId id, const char* property, Get get)
      -> Result<decltype(get(std::declval<const SimDevice&>()))> {
    std::lock_guard lock(world_.mutex_);
    const SimDevice* device = world_.findLocked(id);
    if (!device) return hardwareError(kHwBadObject);
    if (device->failingReads.count(property)) return hardwareError(kHwUnknownProperty);
    return get(*device);
  }

  SimWorld& world_;
};

// ---- the capture layer ----

class SimWorld::Capture final : public CaptureSystem {
 public:
  explicit Capture(SimWorld& world) : world_(world) {}

  Result<std::shared_ptr<CaptureDevice>> deviceWithUniqueID(const std::string& uid) override {
    AudioObjectId id = 0;
    {
      std::lock_guard lock(world_.mutex_);
      const auto it = std::find_if(world_.devices_.begin(), world_.devices_.end(), [&](const SimDevice& d) {
        return d.uid == uid && d.openableByUid && !d.inputBuffers.empty();
      });
      if (it == world_.devices_.end()) return PlatformError{"sim.capture", -11814, "no capture device " + uid};
      id = it->id;
    }
    return std::shared_ptr<CaptureDevice>(world_.deviceObject(id));
  }

  Result<std::shared_ptr<CaptureDevice>> defaultAudioDevice() override {
    AudioObjectId id = 0;
    {
      std::lock_guard lock(world_.mutex_);
      const SimDevice* device =
          world_.noDefaultCaptureDevice_ || !world_.defaultInput_ ? nullptr : world_.findLocked(*world_.defaultInput_);
      if (!device || device->inputBuffers.empty()) {
        return PlatformError{"sim.capture", -11814, "there is no default input device"};
      }
      id = device->id;
    }
    return std::shared_ptr<CaptureDevice>(world_.deviceObject(id));
  }

  Result<std::shared_ptr<CaptureInput>> makeInput(const std::shared_ptr<CaptureDevice>& device) override {
    auto simDevice = std::dynamic_pointer_cast<Device>(device);
    if (!simDevice) return PlatformError{"sim.capture", -11814, "the device is not a capture device"};
    std::lock_guard lock(world_.mutex_);
    SimDevice* found = world_.findLocked(simDevice->id);
    if (!found) return PlatformError{"sim.capture", -11814, "the device is no longer connected"};
    if (found->inputFailures > 0) {
      --found->inputFailures;
      return PlatformError{"sim.capture", -11800, simDevice->localizedName() + " could not be opened for input"};
    }
    return std::shared_ptr<CaptureInput>(std::make_shared<Input>(simDevice));
  }

  std::shared_ptr<CaptureSession> makeSession() override {
    auto session = std::make_shared<Session>(world_);
    std::lock_guard lock(world_.mutex_);
    world_.sessions_.push_back(session);
    return session;
  }

  std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override { return std::make_shared<QueueOutput>(); }

  ObserverToken addObserver(CaptureNotification name, const void* object,
                            std::function<void(const CaptureNotificationInfo&)> block) override {
    return world_.notifications_.add(name, object, std::move(block));
  }

  void removeObserver(ObserverToken token) override { world_.notifications_.remove(token); }

 private:
  SimWorld& world_;
};

// ---- the world ----

SimWorld::SimWorld(Dispatch& dispatch)
    : dispatch_(dispatch),
      worldQueue_(dispatch.makeSerialQueue("velmor.sim.world")),
      notifications_(dispatch, "velmor.sim.notify"),
      hardware_(std::make_unique<Hardware>(*this)),
      capture_(std::make_unique<Capture>(*this)),
      systemAudio_(std::make_shared<SimSystemAudio>(dispatch, *worldQueue_)) {}

SimWorld::~SimWorld() = default;

AudioHardware& SimWorld::hardware() { return *hardware_; }
CaptureSystem& SimWorld::capture() { return *capture_; }
SimSystemAudio& SimWorld::systemAudio() { return *systemAudio_; }

SimDevice* SimWorld::findLocked(AudioObjectId id) {
  const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const SimDevice& d) { return d.id == id; });
  return it == devices_.end() ? nullptr : &*it;
}

std::shared_ptr<SimWorld::Device> SimWorld::deviceObject(AudioObjectId id) {
  std::lock_guard lock(mutex_);
  auto& object = deviceObjects_[id];
  if (!object) {
    const SimDevice* device = findLocked(id);
    object =
        std::make_shared<Device>(id, device ? device->uid.value_or("") : "", device ? device->name.value_or("") : "");
  }
  return object;
}

void SimWorld::addDevice(SimDevice device) {
  std::lock_guard lock(mutex_);
  deviceObjects_.erase(device.id);
  devices_.push_back(std::move(device));
}

void SimWorld::unplug(AudioObjectId id) {
  std::shared_ptr<Device> object;
  std::vector<std::shared_ptr<Session>> affected;
  {
    std::lock_guard lock(mutex_);
    devices_.erase(std::remove_if(devices_.begin(), devices_.end(), [&](const SimDevice& d) { return d.id == id; }),
                   devices_.end());
    // A sound server never names a device that is gone as its default. Which one it names
    // instead is its own choice; here none, until the scenario sets one.
    if (defaultInput_ == id) defaultInput_.reset();
    if (auto it = deviceObjects_.find(id); it != deviceObjects_.end()) {
      object = it->second;
      deviceObjects_.erase(it);
    }
    for (auto& weak : sessions_) {
      if (auto session = weak.lock()) affected.push_back(session);
    }
  }
  for (auto& session : affected) {
    if (session->deviceId() == id) session->end();
  }
  if (object) post(CaptureNotification::deviceWasDisconnected, object, std::nullopt);
}

void SimWorld::setDefaultInput(std::optional<AudioObjectId> id) {
  std::lock_guard lock(mutex_);
  defaultInput_ = id;
}

void SimWorld::setDeviceListFails(bool fails) {
  std::lock_guard lock(mutex_);
  deviceListFails_ = fails;
}

void SimWorld::setDeviceListSlack(std::uint32_t entries) {
  std::lock_guard lock(mutex_);
  deviceListSlack_ = entries;
}

void SimWorld::setInputFailures(AudioObjectId id, int failures) {
  std::lock_guard lock(mutex_);
  if (SimDevice* device = findLocked(id)) device->inputFailures = failures;
}

void SimWorld::setStartFailures(AudioObjectId id, int failures) {
  std::lock_guard lock(mutex_);
  if (SimDevice* device = findLocked(id)) device->startFailures = failures;
}

void SimWorld::setNoDefaultCaptureDevice(bool none) {
  std::lock_guard lock(mutex_);
  noDefaultCaptureDevice_ = none;
}

void SimWorld::schedule(Duration delay, Task action) { worldQueue_->after(delay, std::move(action)); }

void SimWorld::setAudioSpeed(double speed) {
  {
    std::lock_guard lock(mutex_);
    audioSpeed_ = speed > 0 ? speed : 1;
  }
  systemAudio_->setAudioSpeed(speed);
}

// Sessions are copied out under the world's lock and asked about outside it: a session
// takes its own lock before the world's.
std::vector<std::shared_ptr<SimWorld::Session>> SimWorld::runningSessions() {
  std::vector<std::shared_ptr<Session>> live;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : sessions_) {
      if (auto session = weak.lock()) live.push_back(session);
    }
  }
  std::erase_if(live, [](const auto& session) { return !session->running(); });
  return live;
}

int SimWorld::sessionsRunning() { return static_cast<int>(runningSessions().size()); }

void SimWorld::postRuntimeError(std::optional<PlatformError> error) {
  // A session that hit a runtime error has stopped delivering.
  for (auto& session : runningSessions()) {
    session->end();
    post(CaptureNotification::sessionRuntimeError, session, error);
  }
}

void SimWorld::postInterruption() {
  for (auto& session : runningSessions()) {
    session->end();
    post(CaptureNotification::sessionWasInterrupted, session, std::nullopt);
  }
}

template <class Object>
void SimWorld::post(CaptureNotification name, const std::shared_ptr<Object>& object,
                    std::optional<PlatformError> error) {
  // Observers registered the object as the capture layer's type, so that is its identity.
  using Identity = std::conditional_t<std::is_base_of_v<CaptureSession, Object>, CaptureSession, CaptureDevice>;
  notifications_.post(name, std::static_pointer_cast<Identity>(object),
                      CaptureNotificationInfo{name, std::move(error)});
}

}  // namespace velmor::platform::sim

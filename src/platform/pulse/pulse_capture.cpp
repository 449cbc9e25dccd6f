#include "platform/pulse/pulse_capture.h"

#include "platform/shared/delivery_gate.h"
#include "platform/shared/notification_center.h"
#include "platform/shared/queue_output.h"
#include "platform/shared/sample_backlog.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace velmor::platform::pulse {
namespace {

constexpr const char* kDomain = "pulse";
// Fragments of about 10 ms: the server's default for a record stream is seconds.
constexpr pa_usec_t kFragment = 10 * PA_USEC_PER_MSEC;

StreamDescription describe(const pa_sample_spec& sampleSpec) {
  StreamDescription description;
  description.sampleRate = sampleSpec.rate;
  description.channelsPerFrame = sampleSpec.channels;
  description.interleaved = true;
  description.type = sampleSpec.format == PA_SAMPLE_FLOAT32LE ? SampleType::floatingPoint : SampleType::signedInteger;
  description.bitsPerChannel = static_cast<std::uint32_t>(8 * pa_sample_size(&sampleSpec));
  return description;
}

PlatformError pulseError(int code) { return PlatformError{kDomain, code, pa_strerror(code)}; }

}  // namespace

pa_sample_spec recordingSpec(const pa_sample_spec& source) {
  pa_sample_spec sampleSpec = source;
  switch (source.format) {
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_FLOAT32LE: break;
    default: sampleSpec.format = PA_SAMPLE_FLOAT32LE; break;
  }
  return sampleSpec;
}

// ---- devices, inputs, outputs ----

class PulseDevice final : public CaptureDevice {
 public:
  PulseDevice(std::string name, std::string description, std::uint32_t index)
      : name_(std::move(name)), description_(std::move(description)), index_(index) {}
  std::string uniqueID() const override { return name_; }
  std::string localizedName() const override {
    std::lock_guard lock(mutex_);
    return description_;
  }

  std::uint32_t index() const {
    std::lock_guard lock(mutex_);
    return index_;
  }
  void update(const SourceRecord& source) {
    std::lock_guard lock(mutex_);
    index_ = source.index;
    if (source.description) description_ = *source.description;
  }
  // True the first time the source at `index` is reported gone for this device.
  bool markGone(std::uint32_t index) {
    std::lock_guard lock(mutex_);
    if (index != index_ || goneIndex_ == index) return false;
    goneIndex_ = index;
    return true;
  }

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::string description_;
  std::uint32_t index_;
  std::uint32_t goneIndex_ = PA_INVALID_INDEX;
};

class PulseInput final : public CaptureInput {
 public:
  explicit PulseInput(std::shared_ptr<PulseDevice> device) : device_(std::move(device)) {}
  std::shared_ptr<CaptureDevice> device() const override { return device_; }
  const std::shared_ptr<PulseDevice>& pulseDevice() const { return device_; }

 private:
  std::shared_ptr<PulseDevice> device_;
};

class PulseSession;

// What the capture system and its sessions share: the connection, the device objects, the
// live sessions and the notification queue. It hears the connection's events.
class CaptureCore final : public ConnectionListener {
 public:
  CaptureCore(Dispatch& dispatch, std::shared_ptr<Connection> shared)
      : connection(std::move(shared)), notifications(dispatch, "velmor.pulse.notify") {}

  // One object per source name for as long as anyone holds it.
  std::shared_ptr<PulseDevice> deviceObject(const SourceRecord& source) {
    std::lock_guard lock(mutex_);
    auto& weak = devices_[source.name];
    auto device = weak.lock();
    if (device) {
      device->update(source);
    } else {
      device = std::make_shared<PulseDevice>(source.name, source.description.value_or(source.name), source.index);
      weak = device;
    }
    return device;
  }

  void addSession(const std::shared_ptr<PulseSession>& session) {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [](const auto& weak) { return weak.expired(); });
    sessions_.push_back(session);
  }

  // Posts on the notification queue, never inside the mainloop.
  template <class Object>
  void post(CaptureNotification name, const std::shared_ptr<Object>& object, std::optional<PlatformError> error) {
    notifications.post(name, object, CaptureNotificationInfo{name, std::move(error)});
  }

  // The source at `index` is gone: each session recording it ends, and each device object
  // for it is reported disconnected once. On the mainloop thread.
  void sourceGone(std::uint32_t index);

  void sourceRemoved(std::uint32_t index) override { sourceGone(index); }
  void connectionLost(int error) override;

  const std::shared_ptr<Connection> connection;
  NotificationCenter<CaptureNotification, CaptureNotificationInfo> notifications;

 private:
  std::vector<std::shared_ptr<PulseSession>> liveSessions();

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<PulseDevice>> devices_;
  std::vector<std::weak_ptr<PulseSession>> sessions_;
};

// ---- sessions ----

class PulseSession final : public CaptureSession, public std::enable_shared_from_this<PulseSession> {
 public:
  explicit PulseSession(std::shared_ptr<CaptureCore> core) : core_(std::move(core)) {}
  ~PulseSession() override {
    bool started = false;
    {
      std::lock_guard lock(mutex_);
      started = started_;
    }
    if (!started) return;
    Connection::Lock lock(*core_->connection);
    teardown();
  }

  void beginConfiguration() override {}
  bool canAddInput(const CaptureInput& input) override {
    const auto* pulseInput = dynamic_cast<const PulseInput*>(&input);
    if (!pulseInput) return false;
    Connection::Lock lock(*core_->connection);
    const auto snapshot = core_->connection->snapshot(lock, true);
    if (!snapshot) return false;
    const SourceRecord* source = snapshot->byName(pulseInput->pulseDevice()->uniqueID());
    return source && !source->monitor;
  }
  void addInput(std::shared_ptr<CaptureInput> input) override {
    std::lock_guard lock(mutex_);
    input_ = std::dynamic_pointer_cast<PulseInput>(input);
  }
  bool canAddOutput(const AudioDataOutput& output) override { return dynamic_cast<const QueueOutput*>(&output); }
  void addOutput(std::shared_ptr<AudioDataOutput> output) override {
    std::lock_guard lock(mutex_);
    output_ = std::dynamic_pointer_cast<QueueOutput>(output);
  }
  void commitConfiguration() override {}

  Status startRunning() override;
  void stopRunning() override;

  // On the mainloop thread. True when this session recorded the source and now ends.
  bool sourceGone(std::uint32_t index) {
    if (!stream_ || ended_ || sourceIndex_ != index) return false;
    end();
    return true;
  }
  void connectionLost(int error) {
    if (!stream_ || ended_) return;
    end();
    postRuntimeError(error);
  }
  std::shared_ptr<PulseDevice> device() {
    std::lock_guard lock(mutex_);
    return input_ ? input_->pulseDevice() : nullptr;
  }

 private:
  static void onState(pa_stream* stream, void* userdata);
  static void onRead(pa_stream* stream, std::size_t bytes, void* userdata);
  static void onSourceQuery(pa_context* context, const pa_source_info* info, int eol, void* userdata);

  void streamFailed(pa_stream* stream);
  void readFragments(pa_stream* stream);
  void end() {
    ended_ = true;
    gate_->close();
  }
  void postRuntimeError(int error) { postNotification(CaptureNotification::sessionRuntimeError, pulseError(error)); }
  void postNotification(CaptureNotification name, std::optional<PlatformError> error) {
    if (auto self = weak_from_this().lock()) {
      core_->post(name, std::static_pointer_cast<CaptureSession>(self), std::move(error));
    }
  }
  void teardown();

  const std::shared_ptr<CaptureCore> core_;
  const std::shared_ptr<DeliveryGate> gate_ = std::make_shared<DeliveryGate>();
  std::mutex mutex_;
  std::shared_ptr<PulseInput> input_;
  std::shared_ptr<QueueOutput> output_;
  bool started_ = false;  // has touched the server

  // With the mainloop lock held.
  pa_stream* stream_ = nullptr;
  pa_operation* query_ = nullptr;
  bool sourceFound_ = false;
  std::uint32_t sourceIndex_ = PA_INVALID_INDEX;
  bool ended_ = false;  // this run has been reported over; nothing more is posted for it
  int failure_ = PA_OK;
  StreamDescription description_;
  std::size_t frameBytes_ = 0;
  std::shared_ptr<SampleBacklog> backlog_;  // this run's audio on its way to the delegate
};

Status PulseSession::startRunning() {
  std::shared_ptr<PulseInput> input;
  {
    std::lock_guard lock(mutex_);
    if (gate_->current()) return {};  // running already
    if (!input_) return PlatformError{kDomain, PA_ERR_INVALID, "the session has no input"};
    input = input_;
    started_ = true;
  }
  const auto device = input->pulseDevice();
  Connection& connection = *core_->connection;
  Connection::Lock lock(connection);
  teardown();  // what is left of an earlier run that failed
  // Until the stream is up, a failure is this call's answer, not a notification.
  ended_ = true;

  const auto snapshot = connection.snapshot(lock, true);
  if (!snapshot) return pulseError(connection.lastErrorCode(lock));
  const SourceRecord* source = snapshot->byName(device->uniqueID());
  if (!source || source->monitor) {
    return PlatformError{kDomain, PA_ERR_NOENTITY, device->localizedName() + " is no longer available"};
  }
  device->update(*source);

  const pa_sample_spec sampleSpec = recordingSpec(source->sampleSpec);
  pa_channel_map map = source->channelMap;
  if (map.channels != sampleSpec.channels)
    pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
  pa_stream* stream = pa_stream_new(connection.context(lock), "velmor-audio microphone", &sampleSpec, &map);
  if (!stream) return pulseError(connection.lastErrorCode(lock));
  stream_ = stream;
  sourceIndex_ = source->index;
  description_ = describe(sampleSpec);
  frameBytes_ = pa_frame_size(&sampleSpec);
  pa_stream_set_state_callback(stream, onState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  backlog_ = std::make_shared<SampleBacklog>(description_, SampleBacklog::capacityFor(description_, kBacklogSeconds),
                                             gate_, gate_->open());

  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragment, &sampleSpec));
  // Never moved to another source: a recording of some other microphone under this one's
  // name would be wrong, so removal ends the stream and is reported.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  int failure = PA_OK;
  if (pa_stream_connect_record(stream, source->name.c_str(), &attributes, flags) < 0) {
    failure = connection.lastErrorCode(lock);
  } else if (!connection.waitUntil(
                 lock, [&] { return stream_ != stream || pa_stream_get_state(stream) != PA_STREAM_CREATING; },
                 kOperationTimeout)) {
    failure = PA_ERR_TIMEOUT;
  } else if (stream_ != stream) {
    return PlatformError{kDomain, PA_ERR_KILLED, "the session was stopped while it started"};
  } else if (pa_stream_get_state(stream) != PA_STREAM_READY) {
    failure = connection.lastErrorCode(lock);
  }
  if (failure != PA_OK) {
    gate_->close();
    teardown();
    return pulseError(failure);
  }
  ended_ = false;  // from here on, failures are posted
  sourceIndex_ = pa_stream_get_device_index(stream);
  return {};
}

void PulseSession::stopRunning() {
  gate_->closeAndWait();
  bool started = false;
  {
    std::lock_guard lock(mutex_);
    started = started_;
  }
  if (!started) return;  // never touched the server
  Connection::Lock lock(*core_->connection);
  teardown();
  ended_ = true;
}

void PulseSession::teardown() {
  if (query_) {
    if (pa_operation_get_state(query_) == PA_OPERATION_RUNNING) pa_operation_cancel(query_);
    pa_operation_unref(query_);
    query_ = nullptr;
  }
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  backlog_.reset();
}

void PulseSession::onState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseSession*>(userdata);
  self->core_->connection->signal();
  if (pa_stream_get_state(stream) == PA_STREAM_FAILED) self->streamFailed(stream);
}

void PulseSession::streamFailed(pa_stream* stream) {
  if (stream != stream_ || ended_) return;
  pa_context* context = pa_stream_get_context(stream);
  const int error = context ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED;
  gate_->close();
  if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) {
    end();  // the connection is going: reported as such, once
    postRuntimeError(error);
    return;
  }
  // Removing a source kills its streams just before the server announces the removal, and
  // the answer to a question asked now comes after that announcement: so ask whether the
  // source still exists before calling this a runtime error.
  failure_ = error;
  sourceFound_ = false;
  query_ = pa_context_get_source_info_by_index(context, sourceIndex_, onSourceQuery, this);
  if (!query_) {
    end();
    postRuntimeError(error);
  }
}

void PulseSession::onSourceQuery(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseSession*>(userdata);
  if (info) self->sourceFound_ = true;
  if (eol == 0 || self->ended_) return;
  if (self->sourceFound_) {
    self->end();
    self->postRuntimeError(self->failure_);
  } else {
    self->core_->sourceGone(self->sourceIndex_);
  }
}

void PulseSession::onRead(pa_stream* stream, std::size_t, void* userdata) {
  static_cast<PulseSession*>(userdata)->readFragments(stream);
}

void PulseSession::readFragments(pa_stream* stream) {
  std::shared_ptr<QueueOutput> output;
  if (gate_->current()) {
    std::lock_guard lock(mutex_);
    output = output_;
  }
  bool droppingBegan = false;
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;  // empty: nothing to drop
    // No data with a length is a hole in the stream: dropped, like the fragment it stands for.
    const std::size_t frames = frameBytes_ ? bytes / frameBytes_ : 0;
    if (data && frames > 0 && output && backlog_) {
      const std::byte* planes[] = {static_cast<const std::byte*>(data)};
      droppingBegan = backlog_->push(planes, frames, *output) || droppingBegan;
    }
    pa_stream_drop(stream);
  }
  if (droppingBegan) postNotification(CaptureNotification::sessionDroppedSamples, std::nullopt);
}

// ---- the core's events ----

std::vector<std::shared_ptr<PulseSession>> CaptureCore::liveSessions() {
  std::vector<std::shared_ptr<PulseSession>> live;
  std::lock_guard lock(mutex_);
  for (const auto& weak : sessions_) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

void CaptureCore::sourceGone(std::uint32_t index) {
  std::vector<std::shared_ptr<PulseDevice>> devices;
  for (const auto& session : liveSessions()) {
    if (session->sourceGone(index)) {
      if (auto device = session->device()) devices.push_back(std::move(device));
    }
  }
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, weak] : devices_) {
      if (auto device = weak.lock()) devices.push_back(std::move(device));
    }
  }
  std::sort(devices.begin(), devices.end());
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
  for (const auto& device : devices) {
    if (device->markGone(index)) {
      post(CaptureNotification::deviceWasDisconnected, std::static_pointer_cast<CaptureDevice>(device), std::nullopt);
    }
  }
}

void CaptureCore::connectionLost(int error) {
  for (const auto& session : liveSessions()) session->connectionLost(error);
}

// ---- the capture system ----

PulseCaptureSystem::PulseCaptureSystem(Dispatch& dispatch, std::shared_ptr<Connection> connection)
    : core_(std::make_shared<CaptureCore>(dispatch, connection)) {
  connection->addListener(core_);
}

PulseCaptureSystem::~PulseCaptureSystem() = default;

Result<std::shared_ptr<CaptureDevice>> PulseCaptureSystem::deviceWithUniqueID(const std::string& uid) {
  Connection::Lock lock(*core_->connection);
  const auto snapshot = core_->connection->snapshot(lock, true);
  if (!snapshot) return pulseError(core_->connection->lastErrorCode(lock));
  const SourceRecord* source = snapshot->byName(uid);
  if (!source || source->monitor) return PlatformError{kDomain, PA_ERR_NOENTITY, "no microphone named " + uid};
  return std::shared_ptr<CaptureDevice>(core_->deviceObject(*source));
}

Result<std::shared_ptr<CaptureDevice>> PulseCaptureSystem::defaultAudioDevice() {
  Connection::Lock lock(*core_->connection);
  const auto snapshot = core_->connection->snapshot(lock, true);
  if (!snapshot) return pulseError(core_->connection->lastErrorCode(lock));
  const SourceRecord* source = snapshot->defaultSource ? snapshot->byName(*snapshot->defaultSource) : nullptr;
  // A monitor as the default means there is no microphone.
  if (!source || source->monitor)
    return PlatformError{kDomain, PA_ERR_NOENTITY, "the server has no default microphone"};
  return std::shared_ptr<CaptureDevice>(core_->deviceObject(*source));
}

Result<std::shared_ptr<CaptureInput>> PulseCaptureSystem::makeInput(const std::shared_ptr<CaptureDevice>& device) {
  auto pulseDevice = std::dynamic_pointer_cast<PulseDevice>(device);
  if (!pulseDevice) return PlatformError{kDomain, PA_ERR_INVALID, "the device is not a sound-server source"};
  Connection::Lock lock(*core_->connection);
  const auto snapshot = core_->connection->snapshot(lock, true);
  if (!snapshot) return pulseError(core_->connection->lastErrorCode(lock));
  const SourceRecord* source = snapshot->byName(pulseDevice->uniqueID());
  if (!source || source->monitor) {
    return PlatformError{kDomain, PA_ERR_NOENTITY, pulseDevice->localizedName() + " is no longer available"};
  }
  pulseDevice->update(*source);
  return std::shared_ptr<CaptureInput>(std::make_shared<PulseInput>(pulseDevice));
}

std::shared_ptr<CaptureSession> PulseCaptureSystem::makeSession() {
  auto session = std::make_shared<PulseSession>(core_);
  core_->addSession(session);
  return session;
}

std::shared_ptr<AudioDataOutput> PulseCaptureSystem::makeAudioDataOutput() { return std::make_shared<QueueOutput>(); }

ObserverToken PulseCaptureSystem::addObserver(CaptureNotification name, const void* object,
                                              std::function<void(const CaptureNotificationInfo&)> block) {
  return core_->notifications.add(name, object, std::move(block));
}

void PulseCaptureSystem::removeObserver(ObserverToken token) { core_->notifications.remove(token); }

}  // namespace velmor::platform::pulse

#include "platform/pulse/pulse_hardware.h"

#include <algorithm>

namespace velmor::platform::pulse {
namespace {

std::vector<const SourceRecord*> inputs(const Snapshot& snapshot) {
  std::vector<const SourceRecord*> found;
  for (const auto& source : snapshot.sources) {
    if (!source.monitor) found.push_back(&source);
  }
  return found;
}

// An AudioBufferList's size: a count, then 16 bytes a buffer.
constexpr std::uint32_t kOneBufferConfigurationBytes = 8 + 16;

}  // namespace

PulseAudioHardware::PulseAudioHardware(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

Result<std::uint32_t> PulseAudioHardware::deviceListSize() {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, true);
  if (!snapshot) return hardwareError(kHwNotRunning);
  return static_cast<std::uint32_t>(4 * inputs(*snapshot).size());
}

Result<std::size_t> PulseAudioHardware::deviceList(std::vector<AudioObjectId>& ids) {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return hardwareError(kHwNotRunning);
  const auto found = inputs(*snapshot);
  const std::size_t filled = std::min(ids.size(), found.size());
  for (std::size_t i = 0; i < filled; ++i) ids[i] = found[i]->index;
  return filled;
}

Result<AudioObjectId> PulseAudioHardware::defaultInputDevice() {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return hardwareError(kHwNotRunning);
  // A monitor as the default means there is no default microphone.
  const SourceRecord* source = snapshot->defaultSource ? snapshot->byName(*snapshot->defaultSource) : nullptr;
  if (!source || source->monitor) return hardwareError(kHwUnknownProperty);
  return source->index;
}

template <class Read>
auto PulseAudioHardware::withSource(AudioObjectId id, Read read)
    -> Result<decltype(read(std::declval<const SourceRecord&>()))> {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return hardwareError(kHwNotRunning);
  const SourceRecord* source = snapshot->byIndex(id);
  if (!source) return hardwareError(kHwBadObject);
  return read(*source);
}

Result<std::uint32_t> PulseAudioHardware::inputStreamConfigurationSize(AudioObjectId device) {
  // A monitor exists but has no microphone input: like an output-only device.
  return withSource(device, [](const SourceRecord& s) { return s.monitor ? 0u : kOneBufferConfigurationBytes; });
}

Result<std::vector<std::uint32_t>> PulseAudioHardware::inputStreamConfiguration(AudioObjectId device) {
  return withSource(device, [](const SourceRecord& s) {
    std::vector<std::uint32_t> channels;
    if (!s.monitor) channels.push_back(s.sampleSpec.channels);
    return channels;
  });
}

Result<std::uint32_t> PulseAudioHardware::transportType(AudioObjectId device) {
  return withSource(device, [](const SourceRecord& s) { return s.transport; });
}

Result<std::optional<std::string>> PulseAudioHardware::stringProperty(AudioObjectId object, StringProperty property) {
  return withSource(object, [property](const SourceRecord& s) {
    return property == StringProperty::deviceUID ? std::optional<std::string>(s.name) : s.description;
  });
}

}  // namespace velmor::platform::pulse

#include "platform/pulse/pulse_hardware.h"

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

HwStatus PulseAudioHardware::deviceListSize(std::uint32_t& bytes) {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, true);
  if (!snapshot) return kHwNotRunning;
  bytes = static_cast<std::uint32_t>(4 * inputs(*snapshot).size());
  return kHwNoError;
}

HwStatus PulseAudioHardware::deviceList(std::vector<AudioObjectId>& ids) {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return kHwNotRunning;
  const auto found = inputs(*snapshot);
  for (std::size_t i = 0; i < ids.size() && i < found.size(); ++i) ids[i] = found[i]->index;
  return kHwNoError;
}

HwStatus PulseAudioHardware::defaultInputDevice(AudioObjectId& id) {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return kHwNotRunning;
  // A monitor as the default means there is no default microphone.
  const SourceRecord* source = snapshot->defaultSource ? snapshot->byName(*snapshot->defaultSource) : nullptr;
  if (!source || source->monitor) return kHwUnknownProperty;
  id = source->index;
  return kHwNoError;
}

template <class Read>
HwStatus PulseAudioHardware::withSource(AudioObjectId id, Read read) {
  Connection::Lock lock(*connection_);
  const auto snapshot = connection_->snapshot(lock, false);
  if (!snapshot) return kHwNotRunning;
  const SourceRecord* source = snapshot->byIndex(id);
  if (!source) return kHwBadObject;
  read(*source);
  return kHwNoError;
}

HwStatus PulseAudioHardware::inputStreamConfigurationSize(AudioObjectId device, std::uint32_t& bytes) {
  // A monitor exists but has no microphone input: like an output-only device.
  return withSource(device, [&](const SourceRecord& s) { bytes = s.monitor ? 0 : kOneBufferConfigurationBytes; });
}

HwStatus PulseAudioHardware::inputStreamConfiguration(AudioObjectId device, std::vector<std::uint32_t>& channels) {
  return withSource(device, [&](const SourceRecord& s) {
    channels.clear();
    if (!s.monitor) channels.push_back(s.sampleSpec.channels);
  });
}

HwStatus PulseAudioHardware::transportType(AudioObjectId device, std::uint32_t& transport) {
  return withSource(device, [&](const SourceRecord& s) { transport = s.transport; });
}

HwStatus PulseAudioHardware::stringProperty(AudioObjectId object, StringProperty property,
                                            std::optional<std::string>& value) {
  return withSource(object, [&](const SourceRecord& s) {
    value = property == StringProperty::deviceUID ? std::optional<std::string>(s.name) : s.description;
  });
}

}  // namespace velmor::platform::pulse

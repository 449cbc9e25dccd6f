#pragma once
// The audio hardware as the sound server shows it: input devices are the sources that are
// not monitors of a sink; a device's id is its source index, its unique ID the source
// name, its name the description.
#include <memory>

#include "platform/audio_hardware.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_processes.h"

namespace velmor::platform::pulse {

// Returned by every read while no server can be reached.
constexpr HwStatus kHwNotRunning = fourCharCode("stop");

class PulseAudioHardware final : public AudioHardware {
 public:
  explicit PulseAudioHardware(std::shared_ptr<Connection> connection);

  // Reads the server afresh; the reads that follow use that copy until the server reports a
  // change to its sources or its default, so that one enumeration costs one round trip.
  Result<std::uint32_t> deviceListSize() override;
  Result<std::size_t> deviceList(std::vector<AudioObjectId>& ids) override;
  Result<AudioObjectId> defaultInputDevice() override;
  Result<std::uint32_t> inputStreamConfigurationSize(AudioObjectId device) override;
  Result<std::vector<std::uint32_t>> inputStreamConfiguration(AudioObjectId device) override;
  Result<std::uint32_t> transportType(AudioObjectId device) override;
  Result<std::optional<std::string>> stringProperty(AudioObjectId object, StringProperty property) override;

  // The server can always say who records.
  bool reportsProcessInput() override { return true; }
  Result<std::uint32_t> processListSize() override { return processes_.listSize(); }
  Result<std::size_t> processList(std::vector<AudioObjectId>& ids) override { return processes_.list(ids); }
  Result<bool> processIsRunningInput(AudioObjectId process) override { return processes_.isRunningInput(process); }
  Result<std::optional<std::string>> processApplicationId(AudioObjectId process) override {
    return processes_.applicationId(process);
  }

 private:
  template <class Read>
  auto withSource(AudioObjectId id, Read read) -> Result<decltype(read(std::declval<const SourceRecord&>()))>;

  std::shared_ptr<Connection> connection_;
  PulseProcesses processes_{connection_};
};

}  // namespace velmor::platform::pulse

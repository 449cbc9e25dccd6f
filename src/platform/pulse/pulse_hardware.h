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
  HwStatus deviceListSize(std::uint32_t& bytes) override;
  HwStatus deviceList(std::vector<AudioObjectId>& ids) override;
  HwStatus defaultInputDevice(AudioObjectId& id) override;
  HwStatus inputStreamConfigurationSize(AudioObjectId device, std::uint32_t& bytes) override;
  HwStatus inputStreamConfiguration(AudioObjectId device, std::vector<std::uint32_t>& channelsPerBuffer) override;
  HwStatus transportType(AudioObjectId device, std::uint32_t& transport) override;
  HwStatus stringProperty(AudioObjectId object, StringProperty property, std::optional<std::string>& value) override;

  // The server can always say who records.
  bool reportsProcessInput() override { return true; }
  Result<std::uint32_t> processListSize() override { return processes_.listSize(); }
  Result<std::vector<AudioObjectId>> processList(std::size_t capacity) override { return processes_.list(capacity); }
  Result<bool> processIsRunningInput(AudioObjectId process) override { return processes_.isRunningInput(process); }
  Result<std::optional<std::string>> processApplicationId(AudioObjectId process) override {
    return processes_.applicationId(process);
  }

 private:
  template <class Read>
  HwStatus withSource(AudioObjectId id, Read read);

  std::shared_ptr<Connection> connection_;
  PulseProcesses processes_{connection_};
};

}  // namespace velmor::platform::pulse

#pragma once
// Audio process objects as the sound server shows them: one per recording stream (source
// output) on a source that is not the monitor of a sink. It runs input while it is not
// corked; its application identifier is its client's. A look at the list asks the server
// only when it has reported a change to its recording streams or clients since the last
// look (one round trip; two when its sources changed too), so that looking while nothing
// happens costs no traffic; the per-process reads use what that look brought back.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pulse/pulse_connection.h"

namespace velmor::platform::pulse {

// The client's identifier: its "application.id", else the Flatpak application id that
// PipeWire's server records, else its process binary; none when it has none of them.
std::optional<std::string> applicationIdOf(const pa_proplist* clientProperties);

class PulseProcesses {
 public:
  explicit PulseProcesses(std::shared_ptr<Connection> connection);

  // Reads the server afresh.
  Result<std::uint32_t> listSize();
  Result<std::size_t> list(std::vector<AudioObjectId>& ids);
  Result<bool> isRunningInput(AudioObjectId process);
  Result<std::optional<std::string>> applicationId(AudioObjectId process);

 private:
  struct Record {
    std::uint32_t index = PA_INVALID_INDEX;
    bool corked = false;
    std::optional<std::string> applicationId;
  };
  Result<std::vector<Record>> read(Connection::Lock& lock);
  const Record* find(AudioObjectId process) const;  // with mutex_ held

  std::shared_ptr<Connection> connection_;
  std::mutex mutex_;
  std::optional<std::vector<Record>> records_;  // what the last look found
  std::uint64_t recordsGeneration_ = 0;         // the connection's streams generation then
};

}  // namespace velmor::platform::pulse

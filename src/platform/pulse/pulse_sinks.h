#pragma once
// What the server says about its sinks (the outputs the computer plays through), its
// default sink and its clients, read with the connection's lock held, off the mainloop.
// A sink's object id in this program is its index + 1: 0 means "no device" here, and
// index 0 is an ordinary sink on a PulseAudio server.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pcm.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/result.h"

namespace velmor::platform::pulse {

struct SinkRecord {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::string monitorSource;  // the name of the source that records what the sink plays
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
};

struct ClientRecord {
  std::uint32_t index = PA_INVALID_INDEX;
  std::int32_t processID = 0;  // 0 when the client did not say
  std::string applicationID;
};

inline AudioObjectId sinkObjectId(std::uint32_t index) { return index + 1; }
inline std::uint32_t sinkIndexOf(AudioObjectId id) { return id - 1; }

// The server's error code with its text.
PlatformError serverError(int code);

// Each fails with the server's error code (and connects first if need be).
Result<std::vector<SinkRecord>> readSinks(Connection& connection, Connection::Lock& lock);
// None when the server has no default sink, or names one that does not exist.
Result<std::optional<SinkRecord>> readDefaultSink(Connection& connection, Connection::Lock& lock);
// The server's own default format, for when there is no sink to take one from.
Result<pa_sample_spec> readServerSampleSpec(Connection& connection, Connection::Lock& lock);
Result<std::optional<std::string>> readDefaultSinkName(Connection& connection, Connection::Lock& lock);
// The sample format of a source, by name.
Result<pa_sample_spec> readSourceSampleSpec(Connection& connection, Connection::Lock& lock, const std::string& name);
Result<std::vector<ClientRecord>> readClients(Connection& connection, Connection::Lock& lock);

// A server format as the program's PCM describes it (always interleaved).
StreamDescription describeSampleSpec(const pa_sample_spec& sampleSpec);

}  // namespace velmor::platform::pulse

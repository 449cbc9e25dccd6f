#pragma once
// The audio hardware: the system's device objects and their properties. Each read
// returns a status (0 is success) so that the caller decides what a failure means.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace velmor::platform {

using AudioObjectId = std::uint32_t;
using HwStatus = std::int32_t;

constexpr HwStatus kHwNoError = 0;
// Returned by a backend for an object or property it does not know.
constexpr HwStatus kHwBadObject = 0x21626f6a;  // '!boj'
constexpr HwStatus kHwUnknownProperty = 0x77686f3f;  // 'who?'

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// Transport kinds a backend reports.
constexpr std::uint32_t kTransportBuiltIn = fourCharCode("bltn");
constexpr std::uint32_t kTransportUsb = fourCharCode("usb ");
constexpr std::uint32_t kTransportBluetooth = fourCharCode("blue");
constexpr std::uint32_t kTransportVirtual = fourCharCode("virt");
constexpr std::uint32_t kTransportNetwork = fourCharCode("ntwk");
constexpr std::uint32_t kTransportUnknown = 0;

// The text properties of a device.
enum class StringProperty : std::uint32_t {
  deviceUID = fourCharCode("uid "),
  name = fourCharCode("lnam"),
};

class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // Size in bytes of the device-id list (4 bytes an id).
  virtual HwStatus deviceListSize(std::uint32_t& bytes) = 0;
  // Fills at most ids.size() entries; entries the system does not fill keep their value.
  virtual HwStatus deviceList(std::vector<AudioObjectId>& ids) = 0;
  virtual HwStatus defaultInputDevice(AudioObjectId& id) = 0;

  // Input-scope stream configuration: its size in bytes (0 when the device has no input
  // streams) and the channel count of each of its buffers.
  virtual HwStatus inputStreamConfigurationSize(AudioObjectId device, std::uint32_t& bytes) = 0;
  virtual HwStatus inputStreamConfiguration(AudioObjectId device,
                                            std::vector<std::uint32_t>& channelsPerBuffer) = 0;

  virtual HwStatus transportType(AudioObjectId device, std::uint32_t& transport) = 0;

  // A text property; an absent value (the system's null reference) leaves `value` empty.
  virtual HwStatus stringProperty(AudioObjectId object, StringProperty property,
                                  std::optional<std::string>& value) = 0;

  // Audio process objects: the processes that use audio, each with whether it is running
  // audio input right now and its application identifier.
  // False where the system cannot say which processes run audio input.
  virtual bool reportsProcessInput() = 0;
  // Size in bytes of the process-object list (4 bytes an id).
  virtual Result<std::uint32_t> processListSize() = 0;
  // The process objects, at most `capacity` of them.
  virtual Result<std::vector<AudioObjectId>> processList(std::size_t capacity) = 0;
  virtual Result<bool> processIsRunningInput(AudioObjectId process) = 0;
  // The application identifier; none when the process has none (the system's null reference).
  virtual Result<std::optional<std::string>> processApplicationId(AudioObjectId process) = 0;
};

}  // namespace velmor::platform

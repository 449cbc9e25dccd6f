#pragma once
// The audio hardware: the system's device objects and their properties. Each read gives
// back its value or the status it failed with, so that the caller decides what a failure
// means.
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
constexpr HwStatus kHwBadObject = 0x21626f6a;        // '!boj'
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

// A hardware read that failed, with the status the system gave.
PlatformError hardwareError(HwStatus status);

class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // Size in bytes of the device-id list (4 bytes an id).
  virtual Result<std::uint32_t> deviceListSize() = 0;
  // Fills at most ids.size() entries and gives back how many it filled; entries it did not
  // fill keep their value.
  virtual Result<std::size_t> deviceList(std::vector<AudioObjectId>& ids) = 0;
  virtual Result<AudioObjectId> defaultInputDevice() = 0;

  // Input-scope stream configuration: its size in bytes (0 when the device has no input
  // streams) and the channel count of each of its buffers.
  virtual Result<std::uint32_t> inputStreamConfigurationSize(AudioObjectId device) = 0;
  virtual Result<std::vector<std::uint32_t>> inputStreamConfiguration(AudioObjectId device) = 0;

  virtual Result<std::uint32_t> transportType(AudioObjectId device) = 0;

  // A text property; none when the value is absent (the system's null reference).
  virtual Result<std::optional<std::string>> stringProperty(AudioObjectId object, StringProperty property) = 0;

  // Audio process objects: the processes that use audio, each with whether it is running
  // audio input right now and its application identifier.
  // False where the system cannot say which processes run audio input.
  virtual bool reportsProcessInput() = 0;
  // Size in bytes of the process-object list (4 bytes an id).
  virtual Result<std::uint32_t> processListSize() = 0;
  // Fills at most ids.size() entries and gives back how many it filled; entries it did not
  // fill keep their value.
  virtual Result<std::size_t> processList(std::vector<AudioObjectId>& ids) = 0;
  virtual Result<bool> processIsRunningInput(AudioObjectId process) = 0;
  // The application identifier; none when the process has none (the system's null reference).
  virtual Result<std::optional<std::string>> processApplicationId(AudioObjectId process) = 0;
};

}  // namespace velmor::platform

#pragma once
// The system's audio input devices, in a stable order: built-in devices first, then by
// name, compared case-insensitively in the user's locale.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_hardware.h"

namespace velmor {

struct InputDevice {
  std::uint32_t id = 0;
  std::string uid;
  std::string name;
  bool builtin = false;
  bool isDefault = false;
  std::int64_t channels = 0;
  bool operator==(const InputDevice&) const = default;
};

// Every failure is absorbed: an unreadable list gives no devices, an unreadable property
// an empty text or a false flag.
std::vector<InputDevice> inputDevices(platform::AudioHardware& hardware);
// The same devices in the order the system gives them: for finding one by its uid or id,
// which needs no names compared (and so no collation loaded).
std::vector<InputDevice> unsortedInputDevices(platform::AudioHardware& hardware);
// The built-in device that the sorted list names first.
std::optional<InputDevice> firstBuiltinByName(const std::vector<InputDevice>& devices);

// A device's text property; empty when it cannot be read or is absent.
std::string deviceString(platform::AudioHardware& hardware, platform::AudioObjectId object,
                         platform::StringProperty property);

nlohmann::json toJson(const InputDevice& device);

// Sorts stably: built-in first, then names in ascending order under the locale's
// case-insensitive comparison; equal names keep their order.
void sortInputDevices(std::vector<InputDevice>& devices);

}  // namespace velmor

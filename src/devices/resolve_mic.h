#pragma once
// Turns the --mic text into an input device, or none for the system default. Never fails:
// what cannot be found is replaced by a fallback, announced with a non-fatal error event.
#include <optional>
#include <string>

#include "devices/input_devices.h"
#include "events/control_channel.h"

namespace velmor {

std::optional<InputDevice> resolveMic(const std::string& text, platform::AudioHardware& hardware,
                                      ControlChannel& control);

// An unsigned 32-bit decimal: digits with an optional plus sign ("-" only for zero).
std::optional<std::uint32_t> parseDeviceId(const std::string& text);

}  // namespace velmor

#include "devices/resolve_mic.h"

#include <algorithm>

namespace velmor {

std::optional<std::uint32_t> parseDeviceId(const std::string& text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > 0xffffffffULL) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<InputDevice> resolveMic(const std::string& text, platform::AudioHardware& hardware,
                                      ControlChannel& control) {
  // Read unsorted: only the built-in choice needs the list's order, and only it loads the collation.
  const std::vector<InputDevice> devices = unsortedInputDevices(hardware);
  auto report = [&](const std::string& message) {
    control.control(ControlEvent{{"type", "error"}, {"message", message}});
  };

  if (text == "default") return std::nullopt;
  if (text == "builtin") {
    if (const auto builtin = firstBuiltinByName(devices)) return builtin;
    report("No built-in microphone found; using the system default");
    return std::nullopt;
  }
  const auto byUid = std::find_if(devices.begin(), devices.end(), [&](const InputDevice& d) { return d.uid == text; });
  if (byUid != devices.end()) return *byUid;
  if (const auto id = parseDeviceId(text)) {
    const auto byId = std::find_if(devices.begin(), devices.end(), [&](const InputDevice& d) { return d.id == *id; });
    if (byId != devices.end()) return *byId;
  }
  if (const auto builtin = firstBuiltinByName(devices)) {
    report("Microphone " + text + " not found; using " + builtin->name);
    return builtin;
  }
  report("Microphone " + text + " not found; using the system default");
  return std::nullopt;
}

}  // namespace velmor

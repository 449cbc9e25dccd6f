// A control event built from arbitrary text: its line is one compact JSON object and one
// line feed, whatever bytes the texts hold, and it reads back with the same keys.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "events/control_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = bytes.find('\xff');
  const std::string name = bytes.substr(0, cut);
  const std::string message = cut == std::string::npos ? std::string() : bytes.substr(cut + 1);

  const velmor::ControlEvent event{
      {"type", "device"}, {"name", name}, {"reason", message}, {"restarts", static_cast<std::int64_t>(size)}};
  const std::string line = velmor::ControlChannel::eventLine(event);
  if (line.empty() || line.back() != '\n') std::abort();
  if (line.find('\n') != line.size() - 1) std::abort();
  const auto parsed = nlohmann::json::parse(line.substr(0, line.size() - 1));  // throws, and so fails, if not JSON
  if (parsed.size() != 4 || parsed["type"] != "device" || parsed["restarts"] != size) std::abort();
  // Valid UTF-8 comes back unchanged.
  const auto valid = [](const std::string& text) {
    try {
      (void)nlohmann::json(text).dump();
      return true;
    } catch (const nlohmann::json::exception&) {
      return false;
    }
  };
  if (valid(name) && parsed["name"] != name) std::abort();
  if (valid(message) && parsed["reason"] != message) std::abort();
  return 0;
}

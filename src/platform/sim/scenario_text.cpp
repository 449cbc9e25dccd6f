#include "platform/sim/scenario_text.h"

#include <cctype>
#include <stdexcept>

namespace velmor::platform::sim {

std::string scenarioText(const nlohmann::json& json) {
  if (json.is_string()) return json.get<std::string>();
  if (!json.is_object() || !json.contains("hex"))
    throw std::invalid_argument("text must be a string or {\"hex\": ...}: " + json.dump());
  const std::string hex = json.at("hex").get<std::string>();
  std::string bytes;
  int high = -1;
  for (const char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not a hex digit in: " + hex);
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in: " + hex);
  return bytes;
}

std::optional<std::string> optionalScenarioText(const nlohmann::json& object, const char* key) {
  if (!object.contains(key) || object.at(key).is_null()) return std::nullopt;
  return scenarioText(object.at(key));
}

}  // namespace velmor::platform::sim

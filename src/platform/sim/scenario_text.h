#pragma once
// Text in a scenario file: a JSON string, or {"hex": "48 ff 69"} for bytes that JSON cannot
// carry (text that is not valid UTF-8); null for an absent value.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace velmor::platform::sim {

// Throws std::invalid_argument for a malformed value.
std::string scenarioText(const nlohmann::json& json);
// Absent key or null: none.
std::optional<std::string> optionalScenarioText(const nlohmann::json& object, const char* key);

}  // namespace velmor::platform::sim

#pragma once
// A scenario file scripts a simulated world as JSON: the environment, the input devices
// with their faults and audio, the audio process objects, system audio (taps, outputs,
// displays, streams and their faults), and a timeline of actions (unplug, plug, runtime
// errors, interruptions, default changes, a new process table, IO that stops, streams that
// stop) at times counted from the start. The calendar's section is read by sim_calendar.h.
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/process_io.h"
#include "platform/sim/sim_world.h"

namespace velmor::platform::sim {

class ScenarioEnvironment final : public Environment {
 public:
  explicit ScenarioEnvironment(std::map<std::string, std::string> values) : values_(std::move(values)) {}
  std::optional<std::string> get(const std::string& name) const override;

 private:
  std::map<std::string, std::string> values_;
};

SimDevice parseDevice(const nlohmann::json& json);

// Configures the world and schedules its timeline; throws nlohmann::json::exception or
// std::invalid_argument for a malformed scenario. `ownProcess` is the id of the process the
// program runs in, for the applications a scenario lists as "self".
void applyScenario(const nlohmann::json& scenario, SimWorld& world, std::int32_t ownProcess = 0);

std::map<std::string, std::string> scenarioEnvironment(const nlohmann::json& scenario);

}  // namespace velmor::platform::sim

#include "platform/sim/sim_platform.h"

namespace velmor::platform::sim {

SimPlatform::SimPlatform(const nlohmann::json& scenario)
    : environment_(scenarioEnvironment(scenario)), world_(dispatch_), platform_{dispatch_,         stdOut_,
                                                                                stdErr_,           process_,
                                                                                environment_,      signals_,
                                                                                world_.hardware(), world_.capture(),
                                                                                calendar_} {
  applyScenario(scenario, world_);
  if (scenario.contains("calendar")) applyCalendarScenario(scenario.at("calendar"), calendar_, dispatch_.clock());
}

}  // namespace velmor::platform::sim

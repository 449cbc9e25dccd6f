#include "platform/sim/sim_platform.h"

namespace velmor::platform::sim {

SimPlatform::SimPlatform(const nlohmann::json& scenario)
    : environment_(scenarioEnvironment(scenario)), world_(dispatch_), platform_{dispatch_,         stdOut_,
                                                                                stdErr_,           process_,
                                                                                environment_,      signals_,
                                                                                world_.hardware(), world_.capture()} {
  applyScenario(scenario, world_);
}

}  // namespace velmor::platform::sim

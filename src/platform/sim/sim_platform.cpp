#include "platform/sim/sim_platform.h"

#include "platform/sim/sim_system_audio.h"

namespace velmor::platform::sim {

SimPlatform::SimPlatform(const nlohmann::json& scenario)
    : environment_(scenarioEnvironment(scenario)),
      world_(dispatch_),
      platform_{dispatch_,
                stdOut_,
                stdErr_,
                process_,
                environment_,
                signals_,
                world_.hardware(),
                world_.capture(),
                calendar_,
                world_.systemAudio().hardware(),
                world_.systemAudio().screenCapture()} {
  applyScenario(scenario, world_, process_.processIdentifier());
  if (scenario.contains("calendar")) applyCalendarScenario(scenario.at("calendar"), calendar_, dispatch_.clock());
}

}  // namespace velmor::platform::sim

#pragma once
// A whole platform around a simulated world, for the test-only binary: real threads and
// clock, the process's real standard streams and signals, and a scenario's environment.
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/posix/backlogged_output.h"
#include "platform/posix/posix_process.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_calendar.h"
#include "platform/sim/sim_world.h"
#include "platform/threaded/thread_dispatch.h"

namespace velmor::platform::sim {

class SimPlatform {
 public:
  explicit SimPlatform(const nlohmann::json& scenario);
  Platform& platform() { return platform_; }
  SimWorld& world() { return world_; }
  SimCalendar& calendar() { return calendar_; }

 private:
  ThreadDispatch dispatch_;
  BackloggedOutput stdOut_{1};
  BackloggedOutput stdErr_{2};
  PosixProcess process_{&stdOut_, &stdErr_};
  ScenarioEnvironment environment_;
  PosixSignals signals_;
  SimWorld world_;
  SimCalendar calendar_{dispatch_};
  Platform platform_;
};

}  // namespace velmor::platform::sim

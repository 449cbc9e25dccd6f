#pragma once
// In-process test doubles for the process surface, and a Platform around a simulated
// world on the manual clock.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/manual/manual_dispatch.h"
#include "platform/platform.h"
#include "platform/sim/sim_calendar.h"
#include "platform/sim/sim_system_audio.h"
#include "platform/sim/sim_world.h"

namespace velmor::testing {

// Records every write, in order, as one entry each.
class MemoryOutput final : public platform::OutputHandle {
 public:
  void write(std::string_view bytes) override;
  std::vector<std::string> writes() const;
  std::string bytes() const;
  // Each write parsed as one JSON line (for standard error).
  std::vector<nlohmann::json> events() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> writes_;
};

struct ExitCalled {
  int status;
};

// exit() throws ExitCalled, so that a test can see the status of a path that ends the process.
class ThrowingExit final : public platform::ProcessControl {
 public:
  [[noreturn]] void exit(int status) override { throw ExitCalled{status}; }
};

class MapEnvironment final : public platform::Environment {
 public:
  std::map<std::string, std::string> values;
  std::optional<std::string> get(const std::string& name) const override;
};

class ManualSignals final : public platform::Signals {
 public:
  void install(std::function<void()> onTerminate, std::function<void()> onInterrupt) override;
  std::function<void()> terminate;
  std::function<void()> interrupt;
};

// A simulated world on the manual clock.
struct SimTestPlatform {
  platform::ManualDispatch dispatch;
  MemoryOutput stdOut;
  MemoryOutput stdErr;
  ThrowingExit process;
  MapEnvironment environment;
  ManualSignals signals;
  platform::sim::SimWorld world{dispatch};
  platform::sim::SimCalendar calendar{dispatch};
  platform::Platform platform{dispatch,
                              stdOut,
                              stdErr,
                              process,
                              environment,
                              signals,
                              world.hardware(),
                              world.capture(),
                              calendar,
                              world.systemAudio().hardware(),
                              world.systemAudio().screenCapture()};
};

}  // namespace velmor::testing

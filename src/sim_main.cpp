// velmor-audio-sim: the program's real entry point on a simulated platform, for tests.
// The world comes from the JSON scenario file named by VELMOR_SIM_SCENARIO (none: an
// empty world); the arguments are the program's own.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/entry.h"
#include "platform/posix/posix_process.h"
#include "platform/sim/sim_platform.h"

int main(int argc, char** argv) {
  velmor::platform::PosixSignals::blockInThisThread();
  nlohmann::json scenario = nlohmann::json::object();
  if (const char* path = std::getenv("VELMOR_SIM_SCENARIO")) {
    std::ifstream file(path);
    try {
      scenario = nlohmann::json::parse(file);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "velmor-audio-sim: bad scenario %s: %s\n", path, error.what());
      return 2;
    }
  }
  try {
    static velmor::platform::sim::SimPlatform platform(scenario);
    velmor::runProgram(platform.platform(), std::vector<std::string>(argv, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmor-audio-sim: bad scenario: %s\n", error.what());
    return 2;
  }
}

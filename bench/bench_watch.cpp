// One look of the microphone watch: which applications hold the microphone, named, sorted
// and compared with the last list. Against the sound server named by PULSE_SERVER (what
// scripts/measure-watch.sh starts, with ten recording clients): a look while nothing changed
// (what almost every tick is: the server is not asked) and a look that asks the server (after
// it reported a change); and on a simulated world with the same ten, for the program's own
// share.
#include <benchmark/benchmark.h>

#include "micwatch/microphone_holders.h"
#include "platform/pulse/pulse_hardware.h"
#include "platform/pulse/pulse_platform.h"
#include "platform/sim/sim_world.h"
#include "platform/threaded/thread_dispatch.h"

namespace {

using velmor::appsHoldingMicrophone;
using velmor::sameApps;

void lookRepeatedly(benchmark::State& state, velmor::platform::AudioHardware& hardware) {
  std::vector<std::string> last = appsHoldingMicrophone(hardware);
  for (auto _ : state) {
    std::vector<std::string> apps = appsHoldingMicrophone(hardware);
    benchmark::DoNotOptimize(sameApps(last, apps));
    last = std::move(apps);
  }
  state.counters["apps"] = static_cast<double>(last.size());
}

void WatchLookOnTheServer(benchmark::State& state) {
  static velmor::platform::pulse::PulsePlatform platform;
  auto& hardware = platform.platform().hardware;
  if (!hardware.processListSize()) {
    state.SkipWithError("no sound server: run this through scripts/measure-watch.sh");
    return;
  }
  lookRepeatedly(state, hardware);
}
BENCHMARK(WatchLookOnTheServer)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A hardware layer with nothing read yet asks the server, over the connection already made.
void WatchLookAskingTheServer(benchmark::State& state) {
  auto connection = std::make_shared<velmor::platform::pulse::Connection>();
  if (!velmor::platform::pulse::PulseAudioHardware(connection).processListSize()) {
    state.SkipWithError("no sound server: run this through scripts/measure-watch.sh");
    return;
  }
  std::size_t apps = 0;
  for (auto _ : state) {
    velmor::platform::pulse::PulseAudioHardware hardware(connection);
    apps = appsHoldingMicrophone(hardware).size();
  }
  state.counters["apps"] = static_cast<double>(apps);
}
BENCHMARK(WatchLookAskingTheServer)->Unit(benchmark::kMicrosecond)->UseRealTime();

void WatchLookSimulated(benchmark::State& state) {
  velmor::platform::ThreadDispatch dispatch;
  velmor::platform::sim::SimWorld world(dispatch);
  velmor::platform::sim::SimProcessTable table;
  for (std::uint32_t i = 0; i < 10; ++i) {
    // Ten clients of eight applications, one of them with a name beyond ASCII.
    const std::string name = i == 9 ? "org.example.Caf\u00e9" : "org.example.Recorder" + std::to_string(i % 8);
    table.processes.push_back({100 + i, name, true, {}});
  }
  world.processes().set(table);
  lookRepeatedly(state, world.hardware());
}
BENCHMARK(WatchLookSimulated)->Unit(benchmark::kMicrosecond);

}  // namespace

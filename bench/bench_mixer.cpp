// The mixer with both sources at 16000 Hz: seconds of audio mixed per second of CPU,
// writing to memory and to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>

#include <benchmark/benchmark.h>

#include "mixer/mixer.h"
#include "platform/posix/posix_process.h"
#include "platform/threaded/thread_dispatch.h"

namespace {

using namespace velmor;

class MemorySink final : public platform::OutputHandle {
 public:
  void write(std::string_view bytes) override {
    bytes_ += bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  std::size_t bytes_ = 0;
};

class NoExit final : public platform::ProcessControl {
 public:
  [[noreturn]] void exit(int status) override { std::_Exit(status); }
};

void mixBothSources(benchmark::State& state, platform::OutputHandle& out) {
  platform::ThreadDispatch dispatch;
  MemorySink err;
  NoExit process;
  ControlChannel control(dispatch, err, process);
  Mixer mixer(16000, true, true, out, control);
  // 10 ms blocks of a tone from each source, as the capture queues deliver them.
  std::vector<float> mic(160), system(160);
  for (int i = 0; i < 160; ++i) {
    mic[i] = 0.3f * std::sin(0.39f * float(i));
    system[i] = 0.2f * std::sin(0.17f * float(i));
  }
  std::int64_t blocks = 0;
  for (auto _ : state) {
    mixer.pushMic(mic);
    mixer.pushSystem(system);
    ++blocks;
  }
  // Each iteration mixes 10 ms of audio.
  state.counters["realtime_x"] = benchmark::Counter(double(blocks) * 0.01, benchmark::Counter::kIsRate);
}

void BM_MixerToMemory(benchmark::State& state) {
  MemorySink sink;
  mixBothSources(state, sink);
}
BENCHMARK(BM_MixerToMemory);

void BM_MixerToDevNull(benchmark::State& state) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  platform::FdOutput sink(fd);
  mixBothSources(state, sink);
  ::close(fd);
}
BENCHMARK(BM_MixerToDevNull);

}  // namespace

// The cost of one control event as its caller sees it: serialisation, the control queue
// and the write, here to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include <benchmark/benchmark.h>

#include "events/control_channel.h"
#include "platform/posix/posix_process.h"
#include "platform/threaded/thread_dispatch.h"

namespace {

using namespace velmor;

class NoExit final : public platform::ProcessControl {
 public:
  [[noreturn]] void exit(int status) override { std::_Exit(status); }
};

void BM_LevelEvent(benchmark::State& state) {
  static platform::ThreadDispatch dispatch;
  static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  static platform::FdOutput sink(fd);
  static NoExit process;
  static ControlChannel control(dispatch, sink, process);
  for (auto _ : state) {
    control.control(ControlEvent{{"type", "level"}, {"mic", 0.1234}, {"system", 0.0567}});
  }
}
// One caller, and two callers contending for the queue.
BENCHMARK(BM_LevelEvent)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

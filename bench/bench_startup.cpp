// Time from process start to the first control line: the binaries with no arguments, which
// report "Nothing to capture" and exit.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

void startToFirstControlLine(benchmark::State& state, const char* path) {
  std::string binaryText(path);
  char* binary = binaryText.data();
  char* argv[] = {binary, nullptr};
  for (auto _ : state) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) state.SkipWithError("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = 0;
    posix_spawn(&pid, binary, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    char c = 0;
    while (read(err[0], &c, 1) == 1 && c != '\n') {
    }
    state.PauseTiming();
    close(err[0]);
    waitpid(pid, nullptr, 0);
    state.ResumeTiming();
  }
}
BENCHMARK_CAPTURE(startToFirstControlLine, shipped, VELMOR_AUDIO_BINARY)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startToFirstControlLine, simulated, VELMOR_SIM_BINARY)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

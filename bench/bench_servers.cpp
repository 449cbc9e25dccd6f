// Start-up of the private sound servers that the real-server tests start for every case:
// from the first process started to the first answer to a client (for PipeWire, with its
// session manager loaded), and the whole cycle of starting one and stopping it again.
#include <chrono>

#include <benchmark/benchmark.h>

#include "support/audio_server.h"

namespace {

using velmor::testing::AudioServer;
using velmor::testing::ServerKind;

void startToFirstAnswer(benchmark::State& state, ServerKind kind) {
  for (auto _ : state) {
    auto server = AudioServer::start(kind);
    state.SetIterationTime(std::chrono::duration<double>(server->startupTime()).count());
  }
}
BENCHMARK_CAPTURE(startToFirstAnswer, PulseAudio, ServerKind::pulseAudio)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startToFirstAnswer, PipeWire, ServerKind::pipeWire)->UseManualTime()->Unit(benchmark::kMillisecond);

void startAndStop(benchmark::State& state, ServerKind kind) {
  for (auto _ : state) AudioServer::start(kind).reset();
}
BENCHMARK_CAPTURE(startAndStop, PulseAudio, ServerKind::pulseAudio)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(startAndStop, PipeWire, ServerKind::pipeWire)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

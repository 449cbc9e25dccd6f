// Conversion of 48 kHz stereo int16 to 16 kHz mono float in 10 ms buffers, the way a
// capture source does it: through floatSamples.
//
// Counters:
//   realtime_factor  seconds of audio converted per second of CPU
//   delay_ms_mean    delay the resampler adds, averaged over the buffers
//   delay_ms_max     the largest delay seen after any buffer
// The delay is measured on the output: what the converter holds back after each buffer
// (input frames taken in, in output frames, minus output frames given out), plus how late
// a step in the input appears in the output stream.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "conversion/sample_conversion.h"
#include "platform/pcm.h"

namespace {

using velmor::ConverterSlots;
using velmor::platform::MemorySampleBuffer;
using velmor::platform::SampleType;
using velmor::platform::StreamDescription;

constexpr double kInputRate = 48000;
constexpr double kCaptureRate = 16000;
constexpr std::size_t kBufferFrames = 480;
const StreamDescription kFormat{kInputRate, SampleType::signedInteger, 16, 2, true};

// Interleaved stereo int16 buffers of 10 ms from one signal a channel.
std::vector<MemorySampleBuffer> buffers(const std::vector<double>& left, const std::vector<double>& right) {
  std::vector<MemorySampleBuffer> out;
  for (std::size_t begin = 0; begin + kBufferFrames <= left.size(); begin += kBufferFrames) {
    std::vector<std::byte> bytes(kBufferFrames * 4);
    for (std::size_t i = 0; i < kBufferFrames; ++i) {
      const auto l = static_cast<std::int16_t>(std::lround(std::clamp(left[begin + i], -1.0, 1.0) * 32767));
      const auto r = static_cast<std::int16_t>(std::lround(std::clamp(right[begin + i], -1.0, 1.0) * 32767));
      std::memcpy(bytes.data() + 4 * i, &l, 2);
      std::memcpy(bytes.data() + 4 * i + 2, &r, 2);
    }
    out.emplace_back(kFormat, static_cast<std::int64_t>(kBufferFrames),
                     std::vector<std::vector<std::byte>>{std::move(bytes)});
  }
  return out;
}

struct Delay {
  double meanMs = 0;
  double maxMs = 0;
};

Delay measureDelay() {
  const std::size_t frames = 96000;
  const std::size_t stepAt = 48010;  // inside a buffer, not on its edge
  std::vector<double> step(frames, 0.0);
  std::fill(step.begin() + static_cast<std::ptrdiff_t>(stepAt), step.end(), 0.5);

  ConverterSlots slots;
  std::vector<float> out;
  double heldSum = 0;
  double heldMax = 0;
  std::size_t counted = 0;
  std::size_t fed = 0;
  for (const MemorySampleBuffer& buffer : buffers(step, step)) {
    const std::vector<float> block = velmor::floatSamples(buffer, slots, kCaptureRate);
    out.insert(out.end(), block.begin(), block.end());
    fed += kBufferFrames;
    if (fed < 9600) continue;  // past the start-up
    const double held = static_cast<double>(fed) * kCaptureRate / kInputRate - static_cast<double>(out.size());
    heldSum += held;
    heldMax = std::max(heldMax, held);
    ++counted;
  }
  // Where the output crosses half the step, between two samples.
  double late = 0;
  for (std::size_t k = 1; k < out.size(); ++k) {
    if (out[k] >= 0.25f) {
      const double at = static_cast<double>(k - 1) + (0.25 - out[k - 1]) / (out[k] - out[k - 1]);
      late = std::max(0.0, at - static_cast<double>(stepAt) * kCaptureRate / kInputRate);
      break;
    }
  }
  const double toMs = 1000 / kCaptureRate;
  return Delay{(heldSum / static_cast<double>(counted) + late) * toMs, (heldMax + late) * toMs};
}

void BM_FloatSamples48kStereoInt16To16kMono(benchmark::State& state) {
  // One second of speech-band content: two tones and a little noise, different per channel.
  const std::size_t frames = static_cast<std::size_t>(kInputRate);
  std::vector<double> left(frames);
  std::vector<double> right(frames);
  std::uint32_t seed = 1;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kInputRate;
    seed = seed * 1664525u + 1013904223u;
    const double n = 0.05 * (static_cast<double>(seed >> 8) / 8388608.0 - 1.0);
    left[i] = 0.4 * std::sin(2 * std::numbers::pi * 440 * t) + n;
    right[i] = 0.3 * std::sin(2 * std::numbers::pi * 1250 * t) - n;
  }
  const std::vector<MemorySampleBuffer> input = buffers(left, right);

  ConverterSlots slots;
  std::size_t next = 0;
  std::size_t converted = 0;
  std::size_t samplesOut = 0;
  for (auto _ : state) {
    const std::vector<float> block = velmor::floatSamples(input[next], slots, kCaptureRate);
    benchmark::DoNotOptimize(block.data());
    samplesOut += block.size();
    next = (next + 1) % input.size();
    ++converted;
  }
  const double audioSeconds = static_cast<double>(converted * kBufferFrames) / kInputRate;
  // A rate counter is divided by the CPU time the loop took.
  state.counters["realtime_factor"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  state.counters["samples_out_per_buffer"] =
      static_cast<double>(samplesOut) / static_cast<double>(std::max<std::size_t>(converted, 1));
  const Delay delay = measureDelay();
  state.counters["delay_ms_mean"] = delay.meanMs;
  state.counters["delay_ms_max"] = delay.maxMs;
}

BENCHMARK(BM_FloatSamples48kStereoInt16To16kMono);

}  // namespace

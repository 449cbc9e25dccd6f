#pragma once
// The mixer: queues each source's mono float samples, cuts 10 ms frames, mixes them,
// writes each frame to standard output as 16-bit little-endian PCM and reports levels.
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "events/control_channel.h"
#include "platform/process_io.h"
#include "platform/sample_queue.h"

namespace velmor {

// Rates the mixer accepts: at least one sample a frame, and frames of a sane size.
inline constexpr double kMinCaptureRate = 100;
inline constexpr double kMaxCaptureRate = 768000;
bool isSupportedCaptureRate(double rate);

// Samples in a 10 ms frame at the rate, truncated; 0 for an unsupported rate.
std::int64_t frameSamplesFor(double rate);

// Mixes one frame: the microphone gain rule, clipping, truncation, little-endian bytes.
// Appends 2 × mic.size() bytes to `out`; `mic` and `system` have the same length.
void mixFrame(std::span<const float> mic, std::span<const float> system, float micGain, std::string& out);
float rms(std::span<const float> samples);

class Mixer {
 public:
  Mixer(double rate, bool hasMic, bool hasSystem, platform::OutputHandle& stdoutHandle, ControlChannel& control);

  void pushMic(std::span<const float> block);
  void pushSystem(std::span<const float> block);

  double rate() const { return rate_; }
  std::int64_t frameSamples() const { return frameSamples_; }
  bool hasMic() const { return hasMic_; }
  bool hasSystem() const { return hasSystem_; }

  // Samples queued and not yet mixed, for tests and diagnostics.
  std::size_t queuedMic();
  std::size_t queuedSystem();

 private:
  void push(platform::SampleQueue& queue, std::span<const float> block);
  void drain();

  const double rate_;
  const std::int64_t frameSamples_;
  std::mutex lock_;
  platform::SampleQueue micBuffer_;
  platform::SampleQueue systemBuffer_;
  float micLevel_ = 0;
  float systemLevel_ = 0;
  std::int64_t tick_ = 0;
  const bool hasMic_;
  const bool hasSystem_;
  std::vector<float> silence_;
  std::string frameBytes_;
  platform::OutputHandle& stdoutHandle_;
  ControlChannel& control_;
};

}  // namespace velmor

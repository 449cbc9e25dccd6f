#include "mixer/mixer.h"

#include <cmath>

namespace velmor {

bool isSupportedCaptureRate(double rate) {
  return std::isfinite(rate) && rate >= kMinCaptureRate && rate <= kMaxCaptureRate;
}

std::int64_t frameSamplesFor(double rate) {
  return isSupportedCaptureRate(rate) ? static_cast<std::int64_t>(rate / 100) : 0;
}

float rms(std::span<const float> samples) {
  if (samples.empty()) return 0;
  float sum = 0;
  for (float s : samples) sum += s * s;  // single precision, first to last
  return std::sqrt(sum / static_cast<float>(samples.size()));
}

void mixFrame(std::span<const float> mic, std::span<const float> system, float micGain, std::string& out) {
  for (std::size_t j = 0; j < mic.size(); ++j) {
    const float t = micGain * mic[j] + system[j];
    // NaN fails t < 1 and so becomes full scale, like every sum of 1 or more.
    const float v = t < 1.0f ? std::max(t, -1.0f) * 32767.0f : 32767.0f;
    const auto sample = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
    out.push_back(static_cast<char>(sample & 0xff));
    out.push_back(static_cast<char>(sample >> 8));
  }
}

Mixer::Mixer(double rate, bool hasMic, bool hasSystem, platform::OutputHandle& stdoutHandle, ControlChannel& control)
    : rate_(rate),
      frameSamples_(frameSamplesFor(rate)),
      hasMic_(hasMic),
      hasSystem_(hasSystem),
      silence_(static_cast<std::size_t>(frameSamples_), 0.0f),
      stdoutHandle_(stdoutHandle),
      control_(control) {
  frameBytes_.reserve(static_cast<std::size_t>(2 * frameSamples_));
}

void Mixer::pushMic(std::span<const float> block) { push(micBuffer_, block); }
void Mixer::pushSystem(std::span<const float> block) { push(systemBuffer_, block); }

void Mixer::push(platform::SampleQueue& queue, std::span<const float> block) {
  if (block.empty()) return;
  {
    std::lock_guard guard(lock_);
    queue.append(block);
  }
  drain();
}

std::size_t Mixer::queuedMic() {
  std::lock_guard guard(lock_);
  return micBuffer_.size();
}

std::size_t Mixer::queuedSystem() {
  std::lock_guard guard(lock_);
  return systemBuffer_.size();
}

void Mixer::drain() {
  // A rate the mixer cannot frame never gets here: capture mode refuses it at start-up.
  if (frameSamples_ <= 0) return;
  const auto n = static_cast<std::size_t>(frameSamples_);
  std::lock_guard guard(lock_);
  for (;;) {
    const bool micReady = !hasMic_ || micBuffer_.size() >= n;
    const bool systemReady = !hasSystem_ || systemBuffer_.size() >= n;
    const bool overflowing = micBuffer_.size() > 20 * n || systemBuffer_.size() > 20 * n;
    if (!(micReady && systemReady) && !overflowing) break;

    const bool takeMic = hasMic_ && micBuffer_.size() >= n;
    const bool takeSystem = hasSystem_ && systemBuffer_.size() >= n;
    const std::span<const float> m = takeMic ? micBuffer_.front(n) : std::span<const float>(silence_);
    const std::span<const float> s = takeSystem ? systemBuffer_.front(n) : std::span<const float>(silence_);

    micLevel_ = rms(m);
    systemLevel_ = rms(s);
    const float gain = systemLevel_ > 0.01f ? 0.5f : 1.0f;
    frameBytes_.clear();
    mixFrame(m, s, gain, frameBytes_);
    // Consumed only after mixing: the spans point into the queues.
    if (takeMic) micBuffer_.consume(n);
    if (takeSystem) systemBuffer_.consume(n);

    stdoutHandle_.write(frameBytes_);
    ++tick_;
    if (tick_ % 10 == 0) {
      control_.control(ControlEvent{
          {"type", "level"}, {"mic", static_cast<double>(micLevel_)}, {"system", static_cast<double>(systemLevel_)}});
    }
  }
}

}  // namespace velmor

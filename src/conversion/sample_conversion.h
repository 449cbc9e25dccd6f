#pragma once
// Turns delivered PCM of any format into a float sample block: mono 32-bit float at the
// capture rate. Each source owns a pair of converter slots, filled on its first buffer.
#include <memory>
#include <optional>
#include <vector>

#include "platform/pcm.h"

namespace velmor {

struct ConverterSlots {
  std::unique_ptr<platform::AudioConverter> conv;
  std::optional<platform::AudioFormat> target;
  void clear() {
    conv.reset();
    target.reset();
  }
};

// One delivered buffer to a float block; builds the slots' converter on first use.
// Every failure gives an empty block.
std::vector<float> floatSamples(const platform::SampleBuffer& from, ConverterSlots& slots, double captureRate);

// Runs a built converter over one PCM buffer in its input format; never flushes it.
std::vector<float> convert(const platform::PcmBuffer& buffer, platform::AudioConverter& with,
                           const platform::AudioFormat& to);

// Output capacity for a buffer: rate ratio × frames, truncated, plus 16 frames of slack.
// None when that is not a finite count that fits in 32 bits.
std::optional<std::uint32_t> outputCapacity(double inputRate, double targetRate, std::uint32_t frames);

}  // namespace velmor

#include <cmath>

#include "platform/pcm.h"

namespace velmor::platform {
namespace {

constexpr std::uint32_t kMaxChannels = 64;

bool supportedSampleFormat(SampleType type, std::uint32_t bits) {
  switch (type) {
    case SampleType::signedInteger: return bits == 16 || bits == 24 || bits == 32;
    case SampleType::floatingPoint: return bits == 32 || bits == 64;
  }
  return false;
}

}  // namespace

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const StreamDescription& description) {
  if (!std::isfinite(description.sampleRate) || description.sampleRate <= 0) return std::nullopt;
  if (description.channelsPerFrame < 1 || description.channelsPerFrame > kMaxChannels) return std::nullopt;
  if (!supportedSampleFormat(description.type, description.bitsPerChannel)) return std::nullopt;
  return AudioFormat(description);
}

std::optional<AudioFormat> AudioFormat::make(CommonFormat format, double sampleRate, std::uint32_t channels,
                                             bool interleaved) {
  StreamDescription description;
  description.sampleRate = sampleRate;
  description.channelsPerFrame = channels;
  description.interleaved = interleaved;
  switch (format) {
    case CommonFormat::float32:
      description.type = SampleType::floatingPoint;
      description.bitsPerChannel = 32;
      break;
    case CommonFormat::float64:
      description.type = SampleType::floatingPoint;
      description.bitsPerChannel = 64;
      break;
    case CommonFormat::int16:
      description.type = SampleType::signedInteger;
      description.bitsPerChannel = 16;
      break;
    case CommonFormat::int32:
      description.type = SampleType::signedInteger;
      description.bitsPerChannel = 32;
      break;
    default: return std::nullopt;
  }
  return fromStreamDescription(description);
}

std::uint32_t AudioFormat::bytesPerFrameInBuffer() const {
  return interleaved() ? bytesPerSample() * channelCount() : bytesPerSample();
}

}  // namespace velmor::platform

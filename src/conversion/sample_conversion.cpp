#include "conversion/sample_conversion.h"

#include <cmath>
#include <limits>

namespace velmor {

using platform::AudioConverter;
using platform::AudioFormat;
using platform::ConverterInputStatus;
using platform::PcmBuffer;

namespace {

// Slack for the frames a resampler releases beyond the plain rate ratio.
constexpr double kCapacitySlack = 16;

}  // namespace

std::optional<std::uint32_t> outputCapacity(double inputRate, double targetRate, std::uint32_t frames) {
  const double product = targetRate / inputRate * frames;
  if (!std::isfinite(product) || product < 0) return std::nullopt;
  const double capacity = std::trunc(product) + kCapacitySlack;
  if (capacity > static_cast<double>(std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
  return static_cast<std::uint32_t>(capacity);
}

std::vector<float> convert(const PcmBuffer& buffer, AudioConverter& with, const AudioFormat& to) {
  if (buffer.format() != with.inputFormat()) return {};
  const std::optional<std::uint32_t> capacity =
      outputCapacity(buffer.format().sampleRate(), to.sampleRate(), buffer.frameLength());
  if (!capacity) return {};
  const std::unique_ptr<PcmBuffer> output = PcmBuffer::make(to, *capacity);
  if (!output) return {};

  // The buffer goes to the converter once; after that there is nothing more for now. The
  // stream never ends here, so the resampler keeps its tail for the next buffer.
  bool handedOver = false;
  const auto converted = with.convert(*output, [&](std::uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
    if (handedOver) {
      status = ConverterInputStatus::noDataNow;
      return nullptr;
    }
    handedOver = true;
    status = ConverterInputStatus::haveData;
    return &buffer;
  });
  if (!converted) return {};
  const float* samples = output->floatChannelData(0);
  if (!samples) return {};
  return std::vector<float>(samples, samples + output->frameLength());
}

std::vector<float> floatSamples(const platform::SampleBuffer& from, ConverterSlots& slots, double captureRate) {
  const std::optional<platform::StreamDescription> description = from.formatDescription();
  if (!description) return {};
  const std::optional<AudioFormat> inputFormat = AudioFormat::fromStreamDescription(*description);
  if (!inputFormat) return {};

  // Built from the first buffer's format and kept: a later buffer in another format is
  // turned away by convert() rather than compared here.
  if (!slots.conv || !slots.target) {
    std::optional<AudioFormat> target = AudioFormat::make(platform::CommonFormat::float32, captureRate, 1, false);
    if (!target) return {};
    std::unique_ptr<AudioConverter> converter = AudioConverter::make(*inputFormat, *target);
    if (!converter) return {};
    slots.conv = std::move(converter);
    slots.target = std::move(target);
  }

  const std::int64_t frames = from.numSamples();
  if (frames <= 0 || frames > std::numeric_limits<std::uint32_t>::max()) return {};
  const auto count = static_cast<std::uint32_t>(frames);
  const std::unique_ptr<PcmBuffer> buffer = PcmBuffer::make(*inputFormat, count);
  if (!buffer) return {};
  buffer->setFrameLength(count);
  if (!from.copyPcmData(0, frames, *buffer)) return {};
  return convert(*buffer, *slots.conv, *slots.target);
}

}  // namespace velmor

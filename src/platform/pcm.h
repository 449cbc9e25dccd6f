#pragma once
// Linear PCM: stream descriptions, audio formats, PCM buffers, sample buffers and the
// converter that turns any of them into mono float at one rate. Little-endian throughout.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/error.h"
#include "platform/result.h"

namespace velmor::platform {

enum class SampleType { signedInteger, floatingPoint };

// What a device or service says about the PCM it delivers.
struct StreamDescription {
  double sampleRate = 0;
  SampleType type = SampleType::signedInteger;
  std::uint32_t bitsPerChannel = 0;  // 16, 24 (packed in 3 bytes) or 32 for integers; 32 or 64 for floats
  std::uint32_t channelsPerFrame = 0;
  bool interleaved = true;
  bool operator==(const StreamDescription&) const = default;
};

enum class CommonFormat { float32, float64, int16, int32 };

class AudioFormat {
 public:
  // Fails for a description that is not usable linear PCM.
  static std::optional<AudioFormat> fromStreamDescription(const StreamDescription& description);
  static std::optional<AudioFormat> make(CommonFormat format, double sampleRate, std::uint32_t channels,
                                         bool interleaved);

  const StreamDescription& description() const { return description_; }
  double sampleRate() const { return description_.sampleRate; }
  std::uint32_t channelCount() const { return description_.channelsPerFrame; }
  bool interleaved() const { return description_.interleaved; }
  std::uint32_t bytesPerSample() const { return description_.bitsPerChannel / 8; }
  // Bytes one frame takes in one buffer: all channels when interleaved, one when planar.
  std::uint32_t bytesPerFrameInBuffer() const;
  std::uint32_t bufferCount() const { return interleaved() ? 1 : channelCount(); }
  bool operator==(const AudioFormat&) const = default;

 private:
  explicit AudioFormat(const StreamDescription& description) : description_(description) {}
  StreamDescription description_;
};

// Frames of PCM in memory: one buffer when interleaved, one buffer a channel when planar.
class PcmBuffer {
 public:
  // Null when the capacity is zero or the memory cannot be had.
  static std::unique_ptr<PcmBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  std::size_t bufferCount() const { return buffers_.size(); }
  std::span<std::byte> buffer(std::size_t index) { return buffers_[index]; }
  std::span<const std::byte> buffer(std::size_t index) const { return buffers_[index]; }
  // Channel data of a planar 32-bit float buffer; null for any other format.
  const float* floatChannelData(std::size_t channel) const;

 private:
  PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);
  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<std::vector<std::byte>> buffers_;
};

// A delivered buffer of audio, as a capture session or stream hands it over.
class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  // None when the buffer carries no format description.
  virtual std::optional<StreamDescription> formatDescription() const = 0;
  virtual std::int64_t numSamples() const = 0;
  // Copies `frames` frames from `frameOffset` into the buffers of `into`.
  virtual Status copyPcmData(std::int64_t frameOffset, std::int64_t frames, PcmBuffer& into) const = 0;
};

// Error codes of copyPcmData.
constexpr HwStatus kPcmFrameRange = static_cast<HwStatus>(fourCharCode("rng?"));      // frames outside the buffer
constexpr HwStatus kPcmFormatMismatch = static_cast<HwStatus>(fourCharCode("fmt?"));  // other layout, or none
constexpr HwStatus kPcmNoRoom = static_cast<HwStatus>(fourCharCode("room"));          // destination too small

// A sample buffer whose frames sit in memory, laid out as its description says.
class MemorySampleBuffer final : public SampleBuffer {
 public:
  MemorySampleBuffer(std::optional<StreamDescription> description, std::int64_t frames,
                     std::vector<std::vector<std::byte>> buffers);
  std::optional<StreamDescription> formatDescription() const override { return description_; }
  std::int64_t numSamples() const override { return frames_; }
  Status copyPcmData(std::int64_t frameOffset, std::int64_t frames, PcmBuffer& into) const override;
  // The frames' bytes, one buffer a plane.
  const std::vector<std::vector<std::byte>>& buffers() const { return buffers_; }

 private:
  std::optional<StreamDescription> description_;
  std::int64_t frames_;
  std::vector<std::vector<std::byte>> buffers_;
};

enum class ConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus { haveData, inputRanDry, endOfStream };

// Asked for input as the converter needs it; returns the buffer (or null) and sets the status.
using ConverterInputBlock =
    std::function<const PcmBuffer*(std::uint32_t packetsRequested, ConverterInputStatus& status)>;

// Sample-format conversion, channel downmix to mono and resampling, streaming: state is
// kept between calls, and what the resampler holds back comes out in a later call.
class AudioConverter {
 public:
  virtual ~AudioConverter() = default;
  // Null when the pair of formats is not supported (the target must be mono 32-bit float).
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);

  virtual const AudioFormat& inputFormat() const = 0;
  virtual const AudioFormat& outputFormat() const = 0;
  // Fills `output` (in the output format) from the input block; fails with the converter's
  // error, leaving in `output` what was made before it. The block is asked first in every
  // call and again while the output has room; what does not fit, input or output, is kept
  // for the next call.
  virtual Result<ConverterOutputStatus> convert(PcmBuffer& output, const ConverterInputBlock& input) = 0;
};

}  // namespace velmor::platform

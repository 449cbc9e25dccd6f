#include <soxr.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/pcm.h"
#include "platform/sample_queue.h"

namespace velmor::platform {
namespace {

static_assert(std::endian::native == std::endian::little, "PCM samples are read in host byte order");

// Error codes the converter reports in kProgramErrorDomain.
constexpr std::int64_t kConverterFormatError = fourCharCode("fmt?");
constexpr std::int64_t kConverterResamplerError = fourCharCode("rsmp");

PlatformError converterError(std::int64_t code, std::string description) {
  return PlatformError{kProgramErrorDomain, code, std::move(description)};
}

bool isMonoFloat32Planar(const AudioFormat& format) {
  const StreamDescription& d = format.description();
  return d.type == SampleType::floatingPoint && d.bitsPerChannel == 32 && d.channelsPerFrame == 1 && !d.interleaved;
}

// The resampler's filter: minimum phase (no look-ahead), passband to 85 % of the lower
// Nyquist frequency, stopband from 102 %, 20-bit precision, and the smallest DFT blocks
// libsoxr allows, since block processing is most of its delay. At 48 kHz to 16 kHz the
// band is flat to 7 kHz, everything from 8.16 kHz up is rejected by more than 125 dB, and
// 2.5 ms of audio is held back on average (4.7 ms at most); the stock HQ recipe with
// minimum phase and the same blocks holds back twice as much.
soxr_t makeResampler(double inputRate, double outputRate) {
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ | SOXR_MINIMUM_PHASE, 0);
  quality.passband_end = 0.85;
  quality.stopband_begin = 1.02;
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  runtime.log2_min_dft_size = 8;
  runtime.log2_large_dft_size = 8;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_error_t error = nullptr;
  soxr_t resampler = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
  if (error) {
    soxr_delete(resampler);
    return nullptr;
  }
  return resampler;
}

struct ResamplerDelete {
  void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using Resampler = std::unique_ptr<std::remove_pointer_t<soxr_t>, ResamplerDelete>;

double readInt16(const std::byte* p) {
  std::int16_t v;
  std::memcpy(&v, p, sizeof v);
  return v * (1.0 / 32768.0);
}

double readInt24(const std::byte* p) {
  const auto u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                 (static_cast<std::uint32_t>(p[2]) << 16);
  const std::int32_t v = static_cast<std::int32_t>(u << 8) >> 8;  // sign-extends bit 23
  return v * (1.0 / 8388608.0);
}

double readInt32(const std::byte* p) {
  std::int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v * (1.0 / 2147483648.0);
}

double readFloat32(const std::byte* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double readFloat64(const std::byte* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

using SampleReader = double (*)(const std::byte*);

// A mean of the channels as a float. A non-finite value would stay in the resampler's
// filter state for good, so it becomes silence; anything beyond float range is clamped.
float toSample(double mean) {
  if (!std::isfinite(mean)) return 0.0f;
  return static_cast<float>(std::clamp(mean, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
}

template <SampleReader read>
void downmix(const PcmBuffer& buffer, std::uint32_t frames, std::vector<double>& sums, float* out) {
  const AudioFormat& format = buffer.format();
  const std::uint32_t channels = format.channelCount();
  const std::size_t sampleBytes = format.bytesPerSample();
  const std::size_t stride = format.bytesPerFrameInBuffer();
  if (channels == 1) {
    const std::byte* p = buffer.buffer(0).data();
    for (std::uint32_t i = 0; i < frames; ++i) out[i] = toSample(read(p + i * stride));
    return;
  }
  sums.assign(frames, 0.0);
  for (std::uint32_t c = 0; c < channels; ++c) {
    const std::byte* p = format.interleaved() ? buffer.buffer(0).data() + c * sampleBytes : buffer.buffer(c).data();
    for (std::uint32_t i = 0; i < frames; ++i) sums[i] += read(p + i * stride);
  }
  for (std::uint32_t i = 0; i < frames; ++i) out[i] = toSample(sums[i] / channels);
}

using Downmix = void (*)(const PcmBuffer&, std::uint32_t, std::vector<double>&, float*);

Downmix downmixFor(const StreamDescription& d) {
  if (d.type == SampleType::floatingPoint) return d.bitsPerChannel == 32 ? downmix<readFloat32> : downmix<readFloat64>;
  switch (d.bitsPerChannel) {
    case 16: return downmix<readInt16>;
    case 24: return downmix<readInt24>;
    default: return downmix<readInt32>;
  }
}

class MonoFloatConverter final : public AudioConverter {
 public:
  MonoFloatConverter(const AudioFormat& from, const AudioFormat& to, Resampler resampler)
      : from_(from), to_(to), resampler_(std::move(resampler)), downmix_(downmixFor(from.description())) {}

  const AudioFormat& inputFormat() const override { return from_; }
  const AudioFormat& outputFormat() const override { return to_; }

  Result<ConverterOutputStatus> convert(PcmBuffer& output, const ConverterInputBlock& input) override {
    output.setFrameLength(0);
    if (output.format() != to_) {
      return converterError(kConverterFormatError, "The output buffer is not in the converter's output format.");
    }
    float* out = reinterpret_cast<float*>(output.buffer(0).data());
    const std::size_t capacity = output.frameCapacity();
    std::size_t produced = 0;
    bool ranDry = false;
    // Input is asked for before what is held is drained, so that every call with room in
    // the output takes at least one answer from the block: a caller that offers its buffer
    // once loses nothing even while earlier output still fills this one.
    for (;;) {
      if (!ended_ && !ranDry) {
        ConverterInputStatus status = ConverterInputStatus::noDataNow;
        const PcmBuffer* buffer = input(framesWanted(capacity - produced), status);
        switch (status) {
          case ConverterInputStatus::haveData:
            if (!buffer || buffer->format() != from_) {
              output.setFrameLength(static_cast<std::uint32_t>(produced));
              return converterError(kConverterFormatError,
                                    "The input buffer is missing or not in the converter's input format.");
            }
            accept(*buffer);
            // An empty buffer brings nothing; asking again could go on for ever.
            if (buffer->frameLength() == 0) ranDry = true;
            break;
          case ConverterInputStatus::endOfStream: ended_ = true; break;
          case ConverterInputStatus::noDataNow:
          default: ranDry = true; break;
        }
      }
      const std::optional<std::size_t> drained = drain(out + produced, capacity - produced);
      if (!drained) {
        output.setFrameLength(static_cast<std::uint32_t>(produced));
        return converterError(kConverterResamplerError, "The resampler failed.");
      }
      produced += *drained;
      output.setFrameLength(static_cast<std::uint32_t>(produced));
      if (produced == capacity) return ConverterOutputStatus::haveData;
      if (ended_) return produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::endOfStream;
      if (ranDry) return produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
    }
  }

 private:
  // Input frames that would fill `room` output frames, at least one.
  std::uint32_t framesWanted(std::size_t room) const {
    const double frames = std::ceil(static_cast<double>(room) * from_.sampleRate() / to_.sampleRate());
    if (!(frames >= 1)) return 1;
    if (frames >= static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
      return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(frames);
  }

  void accept(const PcmBuffer& buffer) {
    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0) return;
    downmix_(buffer, frames, sums_, pending_.extend(frames));
  }

  // Moves held samples toward `out`: pending input through the resampler (or straight
  // across when the rates are equal), and after the end of the stream the resampler's
  // tail. None when the resampler reports an error.
  std::optional<std::size_t> drain(float* out, std::size_t room) {
    if (!resampler_) {
      const std::size_t n = std::min(room, pending_.size());
      if (n > 0) std::memcpy(out, pending_.data(), n * sizeof(float));
      pending_.consume(n);
      return n;
    }
    std::size_t produced = 0;
    while (produced < room) {
      std::size_t consumed = 0;
      std::size_t made = 0;
      soxr_error_t failure = nullptr;
      if (pending_.size() > 0 || !ended_) {
        // A null input pointer would tell libsoxr that the stream has ended.
        static const float kNoInput = 0.0f;
        const float* in = pending_.size() > 0 ? pending_.data() : &kNoInput;
        failure =
            soxr_process(resampler_.get(), in, pending_.size(), &consumed, out + produced, room - produced, &made);
      } else {
        failure = soxr_process(resampler_.get(), nullptr, 0, nullptr, out + produced, room - produced, &made);
      }
      if (failure) return std::nullopt;
      pending_.consume(consumed);
      produced += made;
      if (consumed == 0 && made == 0) break;
    }
    return produced;
  }

  AudioFormat from_;
  AudioFormat to_;
  Resampler resampler_;  // null when the rates are equal
  Downmix downmix_;
  SampleQueue pending_;  // decoded mono samples waiting for the resampler or the output
  std::vector<double> sums_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (!isMonoFloat32Planar(to)) return nullptr;
  Resampler resampler;
  if (from.sampleRate() != to.sampleRate()) {
    resampler.reset(makeResampler(from.sampleRate(), to.sampleRate()));
    if (!resampler) return nullptr;
  }
  return std::make_unique<MonoFloatConverter>(from, to, std::move(resampler));
}

}  // namespace velmor::platform

#pragma once
// Signals, their encoding into any supported PCM layout, and the measurements the
// conversion tests make on the mono float output.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <span>
#include <vector>

#include "conversion/sample_conversion.h"
#include "platform/pcm.h"

namespace velmor::testing {

using platform::AudioConverter;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::ConverterInputBlock;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PcmBuffer;
using platform::PlatformError;
using platform::SampleType;
using platform::StreamDescription;

inline constexpr auto kInt = SampleType::signedInteger;
inline constexpr auto kFloat = SampleType::floatingPoint;
inline constexpr double kCaptureRate = 16000;

inline AudioFormat formatOf(const StreamDescription& description) {
  return *AudioFormat::fromStreamDescription(description);
}

inline AudioFormat monoTarget(double rate = kCaptureRate) {
  return *AudioFormat::make(CommonFormat::float32, rate, 1, false);
}

// One vector of samples in [-1, 1] a channel.
using Channels = std::vector<std::vector<double>>;

inline StreamDescription describe(double rate, SampleType type, std::uint32_t bits, std::uint32_t channels,
                                  bool interleaved) {
  return StreamDescription{rate, type, bits, channels, interleaved};
}

inline void encodeSample(double x, const StreamDescription& format, std::byte* out) {
  if (format.type == SampleType::floatingPoint) {
    if (format.bitsPerChannel == 32) {
      const auto f = static_cast<float>(x);
      std::memcpy(out, &f, sizeof f);
    } else {
      std::memcpy(out, &x, sizeof x);
    }
    return;
  }
  const int bytes = static_cast<int>(format.bitsPerChannel / 8);
  const double full = std::ldexp(1.0, static_cast<int>(format.bitsPerChannel) - 1);
  const auto v = static_cast<std::int64_t>(std::clamp(std::round(x * full), -full, full - 1));
  for (int b = 0; b < bytes; ++b) out[b] = static_cast<std::byte>((v >> (8 * b)) & 0xff);
}

// Frames [begin, begin + count) of `channels`, laid out as `format` says.
inline std::vector<std::vector<std::byte>> encode(const StreamDescription& format, const Channels& channels,
                                                  std::size_t begin, std::size_t count) {
  const std::size_t bytes = format.bitsPerChannel / 8;
  const std::size_t n = channels.size();
  std::vector<std::vector<std::byte>> buffers(format.interleaved ? 1 : n,
                                              std::vector<std::byte>(count * bytes * (format.interleaved ? n : 1)));
  for (std::size_t f = 0; f < count; ++f) {
    for (std::size_t c = 0; c < n; ++c) {
      std::byte* out = format.interleaved ? buffers[0].data() + (f * n + c) * bytes : buffers[c].data() + f * bytes;
      encodeSample(channels[c][begin + f], format, out);
    }
  }
  return buffers;
}

inline platform::MemorySampleBuffer sampleBuffer(const StreamDescription& format, const Channels& channels,
                                                 std::size_t begin, std::size_t count) {
  return platform::MemorySampleBuffer(format, static_cast<std::int64_t>(count), encode(format, channels, begin, count));
}

inline std::unique_ptr<platform::PcmBuffer> pcmBuffer(const platform::AudioFormat& format, const Channels& channels,
                                                      std::size_t begin, std::size_t count) {
  auto buffer = platform::PcmBuffer::make(format, static_cast<std::uint32_t>(std::max<std::size_t>(count, 1)));
  const auto data = encode(format.description(), channels, begin, count);
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::copy(data[i].begin(), data[i].end(), buffer->buffer(i).begin());
  }
  buffer->setFrameLength(static_cast<std::uint32_t>(count));
  return buffer;
}

inline std::vector<double> sine(double frequency, double amplitude, double rate, std::size_t frames) {
  std::vector<double> x(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    x[i] = amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
  }
  return x;
}

// Deterministic noise in [-amplitude, amplitude].
inline std::vector<double> noise(double amplitude, std::size_t frames, std::uint32_t seed) {
  std::vector<double> x(frames);
  for (auto& v : x) {
    seed = seed * 1664525u + 1013904223u;
    v = amplitude * (static_cast<double>(seed >> 8) / 8388608.0 - 1.0);
  }
  return x;
}

// What the converter still holds after a stream, without ending the stream: empty
// buffers are converted until nothing more comes out.
inline std::vector<float> drainHeld(ConverterSlots& slots) {
  std::vector<float> out;
  auto empty = platform::PcmBuffer::make(slots.conv->inputFormat(), 1);
  for (;;) {
    const std::vector<float> block = convert(*empty, *slots.conv, *slots.target);
    if (block.empty()) return out;
    out.insert(out.end(), block.begin(), block.end());
  }
}

// Runs a whole signal through floatSamples in buffers of `chunk` frames and collects
// every block, then what the converter still held.
inline std::vector<float> streamThrough(const StreamDescription& format, const Channels& channels, std::size_t chunk,
                                        double captureRate) {
  ConverterSlots slots;
  std::vector<float> out;
  const std::size_t frames = channels[0].size();
  for (std::size_t begin = 0; begin < frames; begin += chunk) {
    const std::size_t count = std::min(chunk, frames - begin);
    const std::vector<float> block = floatSamples(sampleBuffer(format, channels, begin, count), slots, captureRate);
    out.insert(out.end(), block.begin(), block.end());
  }
  const std::vector<float> rest = drainHeld(slots);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// Frequency from the positive-going zero crossings, each placed by linear interpolation.
inline double zeroCrossingFrequency(std::span<const float> x, double rate) {
  std::vector<double> crossings;
  for (std::size_t i = 1; i < x.size(); ++i) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      crossings.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
    }
  }
  if (crossings.size() < 2) return 0;
  return static_cast<double>(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
}

template <typename T>
double rms(std::span<const T> x) {
  double sum = 0;
  for (const T v : x) sum += static_cast<double>(v) * static_cast<double>(v);
  return std::sqrt(sum / static_cast<double>(x.size()));
}

inline double decibels(double ratio) { return 20 * std::log10(ratio); }

// The mean of the channels: what a downmix to mono must give.
inline std::vector<double> channelMean(const Channels& channels) {
  std::vector<double> mean(channels[0].size(), 0.0);
  for (const auto& channel : channels) {
    for (std::size_t i = 0; i < mean.size(); ++i) mean[i] += channel[i];
  }
  for (auto& v : mean) v /= static_cast<double>(channels.size());
  return mean;
}

}  // namespace velmor::testing

// The converter: decoding, downmix and resampling quality, and its streaming contract.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "pcm_fixtures.h"

namespace velmor::testing {
namespace {

// Index and values of the first difference, or "" when the two are bit for bit equal.
std::string firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
      return "sample " + std::to_string(i) + ": " + std::to_string(a[i]) + " vs " + std::to_string(b[i]);
    }
  }
  if (a.size() != b.size()) return "lengths " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
  return "";
}

// ---- signal quality through floatSamples, in 10 ms buffers ----

struct ToneCase {
  const char* name;
  StreamDescription format;
  std::vector<double> gains;  // a channel each; the downmix is their mean
};

void PrintTo(const ToneCase& c, std::ostream* os) { *os << c.name; }

class ToneConversion : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneConversion, KeepsFrequencyAndLevelOfA1kHzTone) {
  const ToneCase& c = GetParam();
  const double rate = c.format.sampleRate;
  const auto frames = static_cast<std::size_t>(rate);  // one second: a whole number of periods
  const std::vector<double> tone = sine(1000, 1.0, rate, frames);
  Channels channels;
  for (const double gain : c.gains) {
    channels.emplace_back(tone);
    for (auto& v : channels.back()) v *= gain;
  }
  const std::vector<float> out = streamThrough(c.format, channels, static_cast<std::size_t>(rate / 100), kCaptureRate);
  ASSERT_GT(out.size(), 15000u);

  // Past the resampler's start-up, a whole number of 16-sample periods.
  const std::size_t skip = 800;
  const std::span<const float> steady(out.data() + skip, (out.size() - skip) / 16 * 16 - 16);
  EXPECT_NEAR(zeroCrossingFrequency(steady, kCaptureRate), 1000.0, 5.0);
  const std::vector<double> mean = channelMean(channels);
  EXPECT_NEAR(decibels(rms(steady) / rms(std::span<const double>(mean))), 0.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ToneConversion,
    ::testing::Values(ToneCase{"int16_stereo_48k", describe(48000, kInt, 16, 2, true), {0.6, 0.2}},
                      ToneCase{"float32_stereo_44k1", describe(44100, kFloat, 32, 2, true), {0.5, 0.5}},
                      ToneCase{"int24_stereo_48k", describe(48000, kInt, 24, 2, true), {0.3, 0.5}},
                      ToneCase{"float64_planar_44k1", describe(44100, kFloat, 64, 2, false), {0.7, 0.1}},
                      ToneCase{"int32_mono_16k", describe(16000, kInt, 32, 1, true), {0.4}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(ResamplerResponse, PassesTheBandAndRejectsWhatWouldAlias) {
  const StreamDescription format = describe(48000, kInt, 16, 2, true);
  const struct {
    double frequency;
    double minDb, maxDb;  // output level relative to the input's
  } cases[] = {{6000, -0.1, 0.1}, {8500, -300, -90}, {10000, -300, -90}, {20000, -300, -90}};
  for (const auto& c : cases) {
    const std::vector<double> tone = sine(c.frequency, 0.5, 48000, 48000);
    const std::vector<float> out = streamThrough(format, {tone, tone}, 480, kCaptureRate);
    ASSERT_GT(out.size(), 15000u);
    const std::span<const float> steady(out.data() + 800, out.size() - 816);
    const double level = decibels(rms(steady) / rms(std::span<const double>(tone)));
    EXPECT_GE(level, c.minDb) << c.frequency << " Hz";
    EXPECT_LE(level, c.maxDb) << c.frequency << " Hz";
  }
}

// The delay is what the converter holds back (input taken in minus output given out) plus
// how late a step appears in the output; both measured at 48 kHz to 16 kHz in 10 ms buffers.
TEST(ResamplerDelay, StaysUnder5msFrom48kTo16k) {
  const StreamDescription format = describe(48000, kInt, 16, 2, true);
  const std::size_t frames = 48000;
  const std::size_t stepAt = 24010;
  std::vector<double> step(frames, 0.0);
  std::fill(step.begin() + static_cast<std::ptrdiff_t>(stepAt), step.end(), 0.5);
  const Channels channels{step, step};

  ConverterSlots slots;
  std::vector<float> out;
  double maxHeld = 0;
  for (std::size_t begin = 0; begin < frames; begin += 480) {
    const std::vector<float> block = floatSamples(sampleBuffer(format, channels, begin, 480), slots, kCaptureRate);
    out.insert(out.end(), block.begin(), block.end());
    const double held = static_cast<double>(begin + 480) / 3.0 - static_cast<double>(out.size());
    if (begin >= 4800) maxHeld = std::max(maxHeld, held);
  }
  const auto crossing = std::find_if(out.begin(), out.end(), [](float v) { return v >= 0.25f; });
  ASSERT_NE(crossing, out.end());
  const double late = static_cast<double>(crossing - out.begin()) - static_cast<double>(stepAt) / 3.0;
  EXPECT_LE(std::abs(late), 1.0) << "the output is aligned with the input";
  const double delayMs = (maxHeld + std::max(late, 0.0)) / kCaptureRate * 1000;
  RecordProperty("max_delay_ms", std::to_string(delayMs));
  EXPECT_LT(delayMs, 5.0);
  EXPECT_GT(maxHeld, 0.0) << "a resampler that holds nothing back is not filtering";
}

// ---- chunking ----

struct ChunkCase {
  const char* name;
  StreamDescription format;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class Chunking : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(Chunking, AnyBufferSizeGivesTheSameSamplesAsOneBuffer) {
  const StreamDescription& format = GetParam().format;
  const auto frames = static_cast<std::size_t>(format.sampleRate / 2);
  Channels channels;
  for (std::uint32_t c = 0; c < format.channelsPerFrame; ++c) {
    std::vector<double> x = noise(0.3, frames, 7 + c);
    const std::vector<double> tone = sine(440 * (c + 1), 0.3, format.sampleRate, frames);
    for (std::size_t i = 0; i < frames; ++i) x[i] += tone[i];
    channels.push_back(std::move(x));
  }
  const std::vector<float> whole = streamThrough(format, channels, frames, kCaptureRate);
  ASSERT_GT(whole.size(), static_cast<std::size_t>(kCaptureRate / 2 * 0.95));
  for (const std::size_t chunk : {1u, 7u, 480u, 4096u}) {
    EXPECT_EQ(firstDifference(streamThrough(format, channels, chunk, kCaptureRate), whole), "")
        << "buffers of " << chunk << " frames";
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Chunking,
                         ::testing::Values(ChunkCase{"int16_stereo_48k", describe(48000, kInt, 16, 2, true)},
                                           ChunkCase{"float32_mono_44k1", describe(44100, kFloat, 32, 1, false)},
                                           ChunkCase{"float32_mono_16k", describe(16000, kFloat, 32, 1, true)}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

// ---- downmix ----

TEST(Downmix, AveragesTheChannels) {
  // Multiples of 2^-15 are exact in every sample format, so the mean is known exactly.
  auto quantized = [](std::vector<double> x) {
    for (auto& v : x) v = std::round(v * 32768) / 32768;
    return x;
  };
  const std::vector<double> x = quantized(noise(0.5, 1000, 3));
  std::vector<double> minusX = x;
  for (auto& v : minusX) v = -v;
  const struct {
    const char* name;
    StreamDescription format;
    Channels channels;
  } cases[] = {
      {"opposite int16 stereo", describe(16000, kInt, 16, 2, true), {x, minusX}},
      {"opposite float32 planar", describe(16000, kFloat, 32, 2, false), {x, minusX}},
      {"int24 planar, 3 channels",
       describe(16000, kInt, 24, 3, false),
       {x, quantized(noise(0.5, 1000, 4)), quantized(noise(0.5, 1000, 5))}},
      {"float64 interleaved, 6 channels",
       describe(16000, kFloat, 64, 6, true),
       {x, minusX, x, x, quantized(noise(0.9, 1000, 6)), quantized(noise(0.9, 1000, 7))}},
  };
  for (const auto& c : cases) {
    const AudioFormat format = formatOf(c.format);
    auto converter = AudioConverter::make(format, monoTarget());
    ASSERT_NE(converter, nullptr) << c.name;
    const std::vector<float> out = convert(*pcmBuffer(format, c.channels, 0, 1000), *converter, monoTarget());
    const std::vector<double> mean = channelMean(c.channels);
    ASSERT_EQ(out.size(), mean.size()) << c.name;
    for (std::size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i], static_cast<float>(mean[i])) << c.name << " frame " << i;
    }
  }
}

// ---- make ----

TEST(ConverterMake, TargetMustBeMonoPlanarFloat32) {
  const AudioFormat input = formatOf(describe(48000, kInt, 16, 2, true));
  const struct {
    const char* name;
    AudioFormat target;
    bool made;
  } cases[] = {
      {"mono planar float32", monoTarget(), true},
      {"stereo", *AudioFormat::make(CommonFormat::float32, kCaptureRate, 2, false), false},
      {"interleaved", *AudioFormat::make(CommonFormat::float32, kCaptureRate, 1, true), false},
      {"float64", *AudioFormat::make(CommonFormat::float64, kCaptureRate, 1, false), false},
      {"int16", *AudioFormat::make(CommonFormat::int16, kCaptureRate, 1, false), false},
  };
  for (const auto& c : cases) {
    const auto converter = AudioConverter::make(input, c.target);
    EXPECT_EQ(converter != nullptr, c.made) << c.name;
    if (converter) {
      EXPECT_EQ(converter->inputFormat(), input);
      EXPECT_EQ(converter->outputFormat(), c.target);
    }
  }
}

// ---- the streaming contract, on the converter itself ----

// Hands over its buffers in order, then answers with `then`; counts the calls.
struct Feeder {
  std::vector<const PcmBuffer*> buffers;
  ConverterInputStatus then = ConverterInputStatus::noDataNow;
  std::size_t next = 0;
  int calls = 0;

  ConverterInputBlock block() {
    return [this](std::uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
      ++calls;
      if (next < buffers.size()) {
        status = ConverterInputStatus::haveData;
        return buffers[next++];
      }
      status = then;
      return nullptr;
    };
  }
};

struct Pieces {
  std::vector<float> samples;
  std::vector<ConverterOutputStatus> statuses;
};

// Calls convert with outputs of `capacity` frames until a call gives nothing.
Pieces convertInPieces(AudioConverter& converter, Feeder& feeder, std::uint32_t capacity) {
  Pieces run;
  for (;;) {
    auto output = PcmBuffer::make(converter.outputFormat(), capacity);
    const auto status = converter.convert(*output, feeder.block());
    EXPECT_TRUE(status.ok());
    if (!status) return run;
    run.statuses.push_back(status.value());
    const float* data = output->floatChannelData(0);
    run.samples.insert(run.samples.end(), data, data + output->frameLength());
    if (output->frameLength() == 0) return run;
  }
}

struct StreamFixture {
  AudioFormat input = formatOf(describe(48000, kInt, 16, 2, true));
  Channels channels{noise(0.4, 48000, 21), noise(0.4, 48000, 22)};
  std::unique_ptr<PcmBuffer> buffer = pcmBuffer(input, channels, 0, 48000);
};

TEST(ConverterStreaming, SmallOutputsLoseNoInputAndNoOutput) {
  StreamFixture f;
  auto reference = AudioConverter::make(f.input, monoTarget());
  Feeder once{{f.buffer.get()}};
  const Pieces whole = convertInPieces(*reference, once, 20000);

  auto converter = AudioConverter::make(f.input, monoTarget());
  Feeder feeder{{f.buffer.get()}};
  const Pieces pieces = convertInPieces(*converter, feeder, 7);
  ASSERT_GT(pieces.statuses.size(), 2u);
  EXPECT_EQ(pieces.statuses.front(), ConverterOutputStatus::haveData);
  EXPECT_EQ(pieces.statuses.back(), ConverterOutputStatus::inputRanDry);
  EXPECT_EQ(firstDifference(pieces.samples, whole.samples), "");
  EXPECT_GT(whole.samples.size(), 15900u);
}

TEST(ConverterStreaming, AsksForInputWhileThereIsRoom) {
  const AudioFormat input = formatOf(describe(16000, kFloat, 32, 1, false));
  const auto piece = pcmBuffer(input, {noise(0.5, 10, 1)}, 0, 10);
  auto converter = AudioConverter::make(input, monoTarget());
  Feeder feeder{std::vector<const PcmBuffer*>(20, piece.get())};
  auto output = PcmBuffer::make(monoTarget(), 35);
  EXPECT_EQ(converter->convert(*output, feeder.block()).value(), ConverterOutputStatus::haveData);
  EXPECT_EQ(output->frameLength(), 35u);
  EXPECT_EQ(feeder.calls, 4) << "three buffers and a half fill 35 frames";
  // The other half of the fourth buffer comes first next time.
  EXPECT_EQ(converter->convert(*output, feeder.block()).value(), ConverterOutputStatus::haveData);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(output->floatChannelData(0)[i], piece->floatChannelData(0)[5 + i]);
}

TEST(ConverterStreaming, RunsDryWithoutData) {
  StreamFixture f;
  const auto empty = PcmBuffer::make(f.input, 1);  // no frames in it
  Feeder nothing;
  Feeder emptyForEver{std::vector<const PcmBuffer*>(100, empty.get())};
  for (Feeder* feeder : {&nothing, &emptyForEver}) {
    auto converter = AudioConverter::make(f.input, monoTarget());
    auto output = PcmBuffer::make(monoTarget(), 100);
    EXPECT_EQ(converter->convert(*output, feeder->block()).value(), ConverterOutputStatus::inputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);
    EXPECT_EQ(feeder->calls, 1);
  }
}

TEST(ConverterStreaming, EndOfStreamReleasesTheTail) {
  StreamFixture f;
  auto converter = AudioConverter::make(f.input, monoTarget());
  Feeder feeder{{f.buffer.get()}, ConverterInputStatus::endOfStream};
  const Pieces run = convertInPieces(*converter, feeder, 1000);
  EXPECT_NEAR(static_cast<double>(run.samples.size()), 16000.0, 1.0);
  EXPECT_EQ(run.statuses.back(), ConverterOutputStatus::endOfStream);
  const int callsAtEnd = feeder.calls;
  auto output = PcmBuffer::make(monoTarget(), 10);
  EXPECT_EQ(converter->convert(*output, feeder.block()).value(), ConverterOutputStatus::endOfStream);
  EXPECT_EQ(feeder.calls, callsAtEnd) << "no input is asked for after the end";
}

TEST(ConverterStreaming, RefusesBuffersInAnotherFormat) {
  StreamFixture f;
  const auto otherInput = pcmBuffer(formatOf(describe(44100, kInt, 16, 2, true)), f.channels, 0, 100);
  const struct {
    const char* name;
    const PcmBuffer* input;
    std::unique_ptr<PcmBuffer> output;
  } cases[] = {
      {"input in another format", otherInput.get(), PcmBuffer::make(monoTarget(), 100)},
      {"haveData without a buffer", nullptr, PcmBuffer::make(monoTarget(), 100)},
      {"output in another format", f.buffer.get(), PcmBuffer::make(monoTarget(44100), 100)},
  };
  for (const auto& c : cases) {
    auto converter = AudioConverter::make(f.input, monoTarget());
    const ConverterInputBlock block = [&](std::uint32_t, ConverterInputStatus& status) {
      status = ConverterInputStatus::haveData;
      return c.input;
    };
    EXPECT_FALSE(converter->convert(*c.output, block).ok()) << c.name;
    EXPECT_EQ(c.output->frameLength(), 0u) << c.name;
  }
}

TEST(ConverterInput, NonFiniteSamplesBecomeSilence) {
  const StreamDescription format = describe(48000, kFloat, 32, 1, true);
  std::vector<double> clean = sine(1000, 0.5, 48000, 9600);
  std::vector<double> broken = clean;
  for (const std::size_t i : {100u, 2000u, 2001u, 5000u}) clean[i] = 0.0;
  broken[100] = std::numeric_limits<double>::quiet_NaN();
  broken[2000] = std::numeric_limits<double>::infinity();
  broken[2001] = -std::numeric_limits<double>::infinity();
  broken[5000] = std::numeric_limits<double>::quiet_NaN();
  const std::vector<float> out = streamThrough(format, {broken}, 480, kCaptureRate);
  EXPECT_EQ(firstDifference(out, streamThrough(format, {clean}, 480, kCaptureRate)), "");
}

}  // namespace
}  // namespace velmor::testing

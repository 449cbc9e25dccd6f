// From delivered buffers to float blocks: output capacity, one conversion, and the
// converter slots a source keeps.
#include <gtest/gtest.h>

#include <limits>

#include "platform/pcm/pcm_fixtures.h"

namespace velmor::testing {
namespace {

// ---- outputCapacity ----

TEST(OutputCapacity, RateRatioTimesFramesTruncatedPlus16) {
  const double maxU32 = std::numeric_limits<std::uint32_t>::max();
  const struct {
    double inputRate, targetRate;
    std::uint32_t frames;
    std::optional<std::uint32_t> capacity;
  } cases[] = {
      {48000, 16000, 480, 176},
      {48000, 16000, 1024, 357},
      {48000, 16000, 1, 16},
      {44100, 16000, 1000, 378},
      {16000, 16000, 0, 16},
      {16000, 16000, 4096, 4112},
      {16000, 16000, std::numeric_limits<std::uint32_t>::max() - 16, std::numeric_limits<std::uint32_t>::max()},
      {16000, 16000, std::numeric_limits<std::uint32_t>::max() - 15, std::nullopt},
      {1, maxU32 - 16, 1, std::numeric_limits<std::uint32_t>::max()},
      {1, maxU32 - 15, 1, std::nullopt},
      {0, 16000, 1, std::nullopt},         // infinite
      {0, 0, 1, std::nullopt},             // not a number
      {-48000, 16000, 480, std::nullopt},  // negative
      {48000, std::numeric_limits<double>::infinity(), 1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outputCapacity(c.inputRate, c.targetRate, c.frames), c.capacity)
        << c.inputRate << " -> " << c.targetRate << ", " << c.frames << " frames";
  }
}

// ---- convert, against a converter that records how it is fed ----

class RecordingConverter final : public AudioConverter {
 public:
  RecordingConverter(const AudioFormat& in, const AudioFormat& out) : in_(in), out_(out) {}
  const AudioFormat& inputFormat() const override { return in_; }
  const AudioFormat& outputFormat() const override { return out_; }

  platform::Result<ConverterOutputStatus> convert(PcmBuffer& output, const ConverterInputBlock& input) override {
    ++calls;
    capacity = output.frameCapacity();
    for (int i = 0; i < asks; ++i) {
      // Left as endOfStream unless the block says otherwise.
      ConverterInputStatus status = ConverterInputStatus::endOfStream;
      buffers.push_back(input(1, status));
      statuses.push_back(status);
    }
    const std::size_t bytes = std::min(output.buffer(0).size(), produce.size() * sizeof(float));
    std::memcpy(output.buffer(0).data(), produce.data(), bytes);
    output.setFrameLength(static_cast<std::uint32_t>(produce.size()));
    if (fail) return PlatformError{platform::kProgramErrorDomain, 1, "failed"};
    return ConverterOutputStatus::haveData;
  }

  int asks = 3;
  std::vector<float> produce{0.5f, -0.25f, 0.125f, 1.0f, -1.0f};
  bool fail = false;
  int calls = 0;
  std::uint32_t capacity = 0;
  std::vector<ConverterInputStatus> statuses;
  std::vector<const PcmBuffer*> buffers;

 private:
  AudioFormat in_;
  AudioFormat out_;
};

const StreamDescription kStereo48k = describe(48000, kInt, 16, 2, true);

TEST(Convert, HandsTheBufferOverOnceAndReturnsChannelZero) {
  const AudioFormat input = formatOf(kStereo48k);
  const auto buffer = pcmBuffer(input, {noise(0.5, 480, 1), noise(0.5, 480, 2)}, 0, 480);
  RecordingConverter converter(input, monoTarget());
  const std::vector<float> out = convert(*buffer, converter, monoTarget());
  EXPECT_EQ(out, converter.produce);
  EXPECT_EQ(converter.capacity, 176u);
  EXPECT_EQ(converter.statuses,
            (std::vector<ConverterInputStatus>{ConverterInputStatus::haveData, ConverterInputStatus::noDataNow,
                                               ConverterInputStatus::noDataNow}));
  EXPECT_EQ(converter.buffers, (std::vector<const PcmBuffer*>{buffer.get(), nullptr, nullptr}));
}

TEST(Convert, EveryFailureGivesAnEmptyBlock) {
  const AudioFormat input = formatOf(kStereo48k);
  // Rates so low that the capacity does not fit in 32 bits, or is not even finite.
  const AudioFormat tooSlow = formatOf(describe(1e-300, kInt, 16, 2, true));
  const AudioFormat slowest = formatOf(describe(1e-310, kInt, 16, 2, true));
  const struct {
    const char* name;
    AudioFormat converterInput;
    AudioFormat bufferFormat;
    AudioFormat to;
    bool fail;
    int calls;
  } cases[] = {
      {"buffer in another format", input, formatOf(describe(44100, kInt, 16, 2, true)), monoTarget(), false, 0},
      {"capacity beyond 32 bits", tooSlow, tooSlow, monoTarget(), false, 0},
      {"capacity not finite", slowest, slowest, monoTarget(), false, 0},
      {"converter error", input, input, monoTarget(), true, 1},
      {"no float channel data", input, input, *AudioFormat::make(CommonFormat::int16, kCaptureRate, 1, false), false,
       1},
  };
  for (const auto& c : cases) {
    RecordingConverter converter(c.converterInput, monoTarget());
    converter.fail = c.fail;
    const auto buffer = pcmBuffer(c.bufferFormat, {noise(0.5, 480, 1), noise(0.5, 480, 2)}, 0, 480);
    EXPECT_TRUE(convert(*buffer, converter, c.to).empty()) << c.name;
    EXPECT_EQ(converter.calls, c.calls) << c.name;
  }
}

// ---- floatSamples ----

// A buffer with a valid description whose copy fails, recording what was asked of it.
class FailingCopyBuffer final : public platform::SampleBuffer {
 public:
  std::optional<StreamDescription> formatDescription() const override { return kStereo48k; }
  std::int64_t numSamples() const override { return 480; }
  platform::Status copyPcmData(std::int64_t frameOffset, std::int64_t frames, PcmBuffer& into) const override {
    asked = {frameOffset, frames, into.frameCapacity(), into.frameLength()};
    return PlatformError{platform::kProgramErrorDomain, platform::kPcmFrameRange, "copy refused"};
  }
  mutable std::tuple<std::int64_t, std::int64_t, std::uint32_t, std::uint32_t> asked{};
};

Channels stereoNoise(std::size_t frames) { return {noise(0.5, frames, 1), noise(0.5, frames, 2)}; }

TEST(FloatSamples, NoUsableDescriptionLeavesTheSlotsEmpty) {
  const platform::MemorySampleBuffer noDescription(std::nullopt, 480, encode(kStereo48k, stereoNoise(480), 0, 480));
  const StreamDescription eightBit = describe(48000, kInt, 8, 1, true);
  const platform::MemorySampleBuffer unsupported(eightBit, 4, {std::vector<std::byte>(4)});
  for (const platform::SampleBuffer* buffer : {static_cast<const platform::SampleBuffer*>(&noDescription),
                                               static_cast<const platform::SampleBuffer*>(&unsupported)}) {
    ConverterSlots slots;
    EXPECT_TRUE(floatSamples(*buffer, slots, kCaptureRate).empty());
    EXPECT_EQ(slots.conv, nullptr);
    EXPECT_FALSE(slots.target.has_value());
  }
}

TEST(FloatSamples, ATargetOrConverterThatCannotBeBuiltLeavesTheSlotsEmpty) {
  for (const double captureRate : {0.0, -16000.0, std::numeric_limits<double>::quiet_NaN()}) {
    ConverterSlots slots;
    EXPECT_TRUE(floatSamples(sampleBuffer(kStereo48k, stereoNoise(480), 0, 480), slots, captureRate).empty());
    EXPECT_EQ(slots.conv, nullptr);
    EXPECT_FALSE(slots.target.has_value());
  }
}

TEST(FloatSamples, ZeroSamplesGiveNothingButBuildTheSlots) {
  ConverterSlots slots;
  const platform::MemorySampleBuffer empty(kStereo48k, 0, {std::vector<std::byte>()});
  EXPECT_TRUE(floatSamples(empty, slots, kCaptureRate).empty());
  ASSERT_NE(slots.conv, nullptr);
  EXPECT_EQ(slots.conv->inputFormat(), formatOf(kStereo48k));
  EXPECT_EQ(slots.target, monoTarget());
}

TEST(FloatSamples, AFailedCopyGivesNothing) {
  ConverterSlots slots;
  const FailingCopyBuffer buffer;
  EXPECT_TRUE(floatSamples(buffer, slots, kCaptureRate).empty());
  EXPECT_EQ(buffer.asked, std::make_tuple(std::int64_t{0}, std::int64_t{480}, 480u, 480u));
  EXPECT_NE(slots.conv, nullptr);
}

TEST(FloatSamples, TheSlotsKeepTheFirstFormatUntilCleared) {
  ConverterSlots slots;
  EXPECT_FALSE(floatSamples(sampleBuffer(kStereo48k, stereoNoise(4800), 0, 4800), slots, kCaptureRate).empty());
  const AudioConverter* first = slots.conv.get();

  const StreamDescription mono16k = describe(16000, kFloat, 32, 1, false);
  const std::vector<double> x = noise(0.5, 160, 9);
  EXPECT_TRUE(floatSamples(sampleBuffer(mono16k, {x}, 0, 160), slots, kCaptureRate).empty())
      << "a buffer in another format is turned away";
  EXPECT_EQ(slots.conv.get(), first);

  slots.clear();
  const std::vector<float> out = floatSamples(sampleBuffer(mono16k, {x}, 0, 160), slots, kCaptureRate);
  ASSERT_NE(slots.conv, nullptr);
  EXPECT_EQ(slots.conv->inputFormat(), formatOf(mono16k));
  ASSERT_EQ(out.size(), x.size()) << "rebuilt for the new format: equal rates pass straight through";
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(out[i], static_cast<float>(x[i]));
}

}  // namespace
}  // namespace velmor::testing

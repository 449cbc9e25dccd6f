// Stream descriptions, PCM buffers and the copy out of a memory sample buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pcm_fixtures.h"

namespace velmor::testing {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::MemorySampleBuffer;
using platform::PcmBuffer;

constexpr auto kInt = SampleType::signedInteger;
constexpr auto kFloat = SampleType::floatingPoint;

struct DescriptionCase {
  const char* name;
  StreamDescription description;
  bool accepted;
  std::uint32_t bytesPerFrameInBuffer;  // when accepted
  std::uint32_t bufferCount;
};

void PrintTo(const DescriptionCase& c, std::ostream* os) { *os << c.name; }

class AudioFormatDescriptions : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(AudioFormatDescriptions, AcceptOnlyUsableLinearPcm) {
  const DescriptionCase& c = GetParam();
  const auto format = AudioFormat::fromStreamDescription(c.description);
  ASSERT_EQ(format.has_value(), c.accepted);
  if (!format) return;
  EXPECT_EQ(format->description(), c.description);
  EXPECT_EQ(format->bytesPerFrameInBuffer(), c.bytesPerFrameInBuffer);
  EXPECT_EQ(format->bufferCount(), c.bufferCount);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, AudioFormatDescriptions,
    ::testing::Values(DescriptionCase{"int16_stereo_interleaved", describe(48000, kInt, 16, 2, true), true, 4, 1},
                      DescriptionCase{"int24_packed_stereo", describe(48000, kInt, 24, 2, true), true, 6, 1},
                      DescriptionCase{"int24_planar", describe(48000, kInt, 24, 2, false), true, 3, 2},
                      DescriptionCase{"int32_mono", describe(8000, kInt, 32, 1, true), true, 4, 1},
                      DescriptionCase{"float32_planar_64ch", describe(44100, kFloat, 32, 64, false), true, 4, 64},
                      DescriptionCase{"float64_planar", describe(96000, kFloat, 64, 2, false), true, 8, 2},
                      DescriptionCase{"int8", describe(48000, kInt, 8, 1, true), false, 0, 0},
                      DescriptionCase{"int64", describe(48000, kInt, 64, 1, true), false, 0, 0},
                      DescriptionCase{"float16", describe(48000, kFloat, 16, 1, true), false, 0, 0},
                      DescriptionCase{"float24", describe(48000, kFloat, 24, 1, true), false, 0, 0},
                      DescriptionCase{"no_channels", describe(48000, kInt, 16, 0, true), false, 0, 0},
                      DescriptionCase{"65_channels", describe(48000, kInt, 16, 65, true), false, 0, 0},
                      DescriptionCase{"zero_rate", describe(0, kInt, 16, 1, true), false, 0, 0},
                      DescriptionCase{"negative_rate", describe(-48000, kInt, 16, 1, true), false, 0, 0},
                      DescriptionCase{"nan_rate", describe(kNaN, kInt, 16, 1, true), false, 0, 0},
                      DescriptionCase{"infinite_rate", describe(kInf, kFloat, 32, 1, true), false, 0, 0}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(AudioFormatMake, CommonFormatsMapToTheirSampleLayout) {
  const struct {
    CommonFormat common;
    SampleType type;
    std::uint32_t bits;
  } cases[] = {{CommonFormat::float32, kFloat, 32},
               {CommonFormat::float64, kFloat, 64},
               {CommonFormat::int16, kInt, 16},
               {CommonFormat::int32, kInt, 32}};
  for (const auto& c : cases) {
    const auto format = AudioFormat::make(c.common, 16000, 1, false);
    ASSERT_TRUE(format.has_value());
    EXPECT_EQ(format->description(), describe(16000, c.type, c.bits, 1, false));
  }
  EXPECT_FALSE(AudioFormat::make(CommonFormat::float32, 0, 1, false));
  EXPECT_FALSE(AudioFormat::make(CommonFormat::float32, 16000, 0, false));
}

AudioFormat formatOf(const StreamDescription& description) { return *AudioFormat::fromStreamDescription(description); }

TEST(PcmBufferMake, RefusesEmptyAndOversizedBuffers) {
  const AudioFormat stereo16 = formatOf(describe(48000, kInt, 16, 2, true));
  const AudioFormat wide = formatOf(describe(48000, kFloat, 64, 64, false));
  EXPECT_EQ(PcmBuffer::make(stereo16, 0), nullptr);
  // 64 channels of 8 bytes: 2^21 frames are exactly 1 GiB, one frame more is too much.
  EXPECT_EQ(PcmBuffer::make(wide, (1u << 21) + 1), nullptr);
  EXPECT_EQ(PcmBuffer::make(wide, std::numeric_limits<std::uint32_t>::max()), nullptr);
}

TEST(PcmBufferMake, BuffersMatchTheLayoutAndStartZeroed) {
  const auto interleaved = PcmBuffer::make(formatOf(describe(48000, kInt, 24, 3, true)), 10);
  ASSERT_NE(interleaved, nullptr);
  ASSERT_EQ(interleaved->bufferCount(), 1u);
  EXPECT_EQ(interleaved->buffer(0).size(), 10u * 9);

  const auto planar = PcmBuffer::make(formatOf(describe(48000, kFloat, 64, 3, false)), 10);
  ASSERT_NE(planar, nullptr);
  ASSERT_EQ(planar->bufferCount(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(planar->buffer(i).size(), 80u);
    for (const std::byte b : planar->buffer(i)) ASSERT_EQ(b, std::byte{0});
  }
  EXPECT_EQ(planar->frameLength(), 0u);
  planar->setFrameLength(7);
  EXPECT_EQ(planar->frameLength(), 7u);
  planar->setFrameLength(11);
  EXPECT_EQ(planar->frameLength(), 10u);
}

TEST(PcmBufferFloatChannelData, OnlyForPlanarOrMonoFloat32) {
  const struct {
    StreamDescription description;
    std::size_t channel;
    bool available;
  } cases[] = {
      {describe(16000, kFloat, 32, 1, false), 0, true}, {describe(16000, kFloat, 32, 1, true), 0, true},
      {describe(16000, kFloat, 32, 2, false), 1, true}, {describe(16000, kFloat, 32, 2, false), 2, false},
      {describe(16000, kFloat, 32, 2, true), 0, false}, {describe(16000, kFloat, 64, 1, false), 0, false},
      {describe(16000, kInt, 32, 1, false), 0, false},
  };
  for (const auto& c : cases) {
    const auto buffer = PcmBuffer::make(formatOf(c.description), 4);
    const float* data = buffer->floatChannelData(c.channel);
    EXPECT_EQ(data != nullptr, c.available) << "channels " << c.description.channelsPerFrame << " bits "
                                            << c.description.bitsPerChannel << " channel " << c.channel;
    if (data) {
      EXPECT_EQ(static_cast<const void*>(data), static_cast<const void*>(buffer->buffer(c.channel).data()));
    }
  }
}

// A planar stereo int16 buffer of 6 frames whose samples are 100 * frame + channel.
struct CopyFixture {
  StreamDescription description = describe(48000, kInt, 16, 2, false);
  Channels channels{{0, 100, 200, 300, 400, 500}, {1, 101, 201, 301, 401, 501}};
  MemorySampleBuffer source{description, 6, encode(description, scaled(channels), 0, 6)};

  static Channels scaled(Channels c) {
    for (auto& channel : c) {
      for (auto& v : channel) v /= 32768.0;
    }
    return c;
  }
  static std::int16_t sampleAt(const PcmBuffer& buffer, std::size_t channel, std::size_t frame) {
    std::int16_t v;
    std::memcpy(&v, buffer.buffer(channel).data() + 2 * frame, 2);
    return v;
  }
};

TEST(MemorySampleBufferCopy, CopiesTheFramesFromTheOffset) {
  CopyFixture f;
  const auto into = PcmBuffer::make(formatOf(f.description), 4);
  ASSERT_TRUE(f.source.copyPcmData(2, 3, *into).ok());
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(CopyFixture::sampleAt(*into, c, i), 100 * (i + 2) + c);
    EXPECT_EQ(CopyFixture::sampleAt(*into, c, 3), 0) << "beyond the copied frames";
  }
}

TEST(MemorySampleBufferCopy, RefusesWhatItCannotCopy) {
  CopyFixture f;
  const auto fits = PcmBuffer::make(formatOf(f.description), 6);
  const auto small = PcmBuffer::make(formatOf(f.description), 3);
  const auto interleaved = PcmBuffer::make(formatOf(describe(48000, kInt, 16, 2, true)), 6);
  const auto otherRate = PcmBuffer::make(formatOf(describe(44100, kInt, 16, 2, false)), 6);
  const MemorySampleBuffer noDescription(std::nullopt, 6, encode(f.description, f.channels, 0, 6));
  // The description promises 6 frames but the buffers hold 2.
  const MemorySampleBuffer truncated(f.description, 6, encode(f.description, f.channels, 0, 2));
  const struct {
    const char* name;
    const MemorySampleBuffer& source;
    std::int64_t offset, frames;
    PcmBuffer& into;
    platform::HwStatus status;
  } cases[] = {
      {"whole buffer", f.source, 0, 6, *fits, platform::kHwNoError},
      {"negative offset", f.source, -1, 2, *fits, platform::kPcmFrameRange},
      {"negative count", f.source, 0, -1, *fits, platform::kPcmFrameRange},
      {"past the end", f.source, 4, 3, *fits, platform::kPcmFrameRange},
      {"offset past the end", f.source, 7, 0, *fits, platform::kPcmFrameRange},
      {"huge count", f.source, 1, std::numeric_limits<std::int64_t>::max(), *fits, platform::kPcmFrameRange},
      {"destination too small", f.source, 0, 4, *small, platform::kPcmNoRoom},
      {"interleaved destination", f.source, 0, 2, *interleaved, platform::kPcmFormatMismatch},
      {"other rate", f.source, 0, 2, *otherRate, platform::kPcmFormatMismatch},
      {"no description", noDescription, 0, 2, *fits, platform::kPcmFormatMismatch},
      {"short source buffers", truncated, 0, 6, *fits, platform::kPcmFrameRange},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.source.copyPcmData(c.offset, c.frames, c.into).status(), c.status) << c.name;
  }
}

}  // namespace
}  // namespace velmor::testing

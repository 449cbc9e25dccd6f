// The tap's IO cycles reach standard output as system audio, converted from whatever
// format the tap reports to the capture rate; every cycle counts as IO, read or not.
#include <gtest/gtest.h>

#include "support/system_audio_fixture.h"

namespace velmor {
namespace {

using platform::SampleType;
using platform::StreamDescription;
using testing::SystemAudioFixture;

struct TapFormatCase {
  const char* name;
  StreamDescription format;
  std::uint32_t bufferFrames;
};

class TapInputFormatTest : public SystemAudioFixture, public ::testing::WithParamInterface<TapFormatCase> {};

TEST_P(TapInputFormatTest, TheToneComesOutAtTheCaptureRateWithItsLevelAndPitch) {
  system.setTapFormat(GetParam().format);
  system.setTapAudio(platform::sim::SimAudio{std::nullopt, GetParam().bufferFrames, {tone(440, 0.5)}});
  ASSERT_EQ(startTap(), std::nullopt);
  ASSERT_FALSE(run(2.0));
  const auto samples = output();
  // Two seconds of cycles, less the resampler's delay and the last partial frame.
  EXPECT_GT(samples.size(), 31000u);
  EXPECT_LE(samples.size(), 32000u);
  const auto tone = testing::measureTone(samples, 16000, 1600);
  EXPECT_NEAR(20 * std::log10(tone.rms / (0.5 / std::numbers::sqrt2)), 0, 0.1);
  EXPECT_NEAR(tone.frequency, 440, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TapInputFormatTest,
    ::testing::Values(TapFormatCase{"Float32StereoPlanar48k", {48000, SampleType::floatingPoint, 32, 2, false}, 480},
                      TapFormatCase{"Int16StereoInterleaved44k", {44100, SampleType::signedInteger, 16, 2, true}, 441},
                      TapFormatCase{"Int24Mono48k", {48000, SampleType::signedInteger, 24, 1, true}, 512},
                      TapFormatCase{
                          "Float32StereoInterleaved96k", {96000, SampleType::floatingPoint, 32, 2, true}, 960},
                      TapFormatCase{"Float32At16k", {16000, SampleType::floatingPoint, 32, 1, false}, 160}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(SystemAudioFixture, AnotherCaptureRateGivesBlocksAtThatRate) {
  useRate(22050);
  ASSERT_EQ(startTap(), std::nullopt);
  ASSERT_FALSE(run(2.0));
  const auto samples = output();
  EXPECT_GT(samples.size(), 2 * 22050u - 1000);
  EXPECT_LE(samples.size(), 2 * 22050u);
  EXPECT_NEAR(testing::measureTone(samples, 22050, 2205).frequency, 440, 1);
}

// The tap reports planar stereo but its cycles carry one interleaved buffer: nothing can
// be read from them, yet each is IO, so the tap is never quiet.
TEST_F(SystemAudioFixture, CyclesThatCannotBeReadStillCountAsIO) {
  system.setTapAudio(
      platform::sim::SimAudio{StreamDescription{48000, SampleType::floatingPoint, 32, 2, true}, 480, {tone(440, 0.5)}});
  ASSERT_EQ(startTap(), std::nullopt);
  EXPECT_FALSE(run(9.0));
  EXPECT_TRUE(output().empty());
  EXPECT_GT(system.counts().cyclesDelivered, 800);
  EXPECT_TRUE(nonLevelEvents().empty());
}

}  // namespace
}  // namespace velmor

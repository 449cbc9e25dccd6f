#include "mixer/mixer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/threaded/thread_dispatch.h"
#include "support/memory_platform.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using testing::MemoryOutput;
using testing::pcmSamples;

struct MixCase {
  float gain, mic, system;
  std::int16_t expected;
};

class MixFrameTest : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixFrameTest, ClipsScalesAndTruncatesTowardZero) {
  const auto& c = GetParam();
  std::string bytes;
  const float m[] = {c.mic};
  const float s[] = {c.system};
  mixFrame(m, s, c.gain, bytes);
  ASSERT_EQ(bytes.size(), 2u);
  EXPECT_EQ(pcmSamples(bytes)[0], c.expected);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Table, MixFrameTest,
                         ::testing::Values(MixCase{0.5f, 0.8f, 0.1f, 16383},  // t = 0.5
                                           MixCase{1, -0.5f, 0, -16383}, MixCase{1, 1.5f, 0, 32767},
                                           MixCase{1, -1.5f, 0, -32767}, MixCase{1, 1.0f, 0, 32767},
                                           MixCase{1, -1.0f, 0, -32767}, MixCase{1, 0.99999f, 0, 32766},
                                           MixCase{1, -0.00001f, 0, 0},  // toward zero, not down
                                           MixCase{1, kNaN, 0, 32767}, MixCase{1, kInf, 0, 32767},
                                           MixCase{1, -kInf, 0, -32767}, MixCase{1, 0.3f, 0.3f, 19660}));

TEST(MixFrameBytes, LittleEndian) {
  std::string bytes;
  const float m[] = {-1.0f, 256.0f / 32767.0f};
  const float s[] = {0, 0};
  mixFrame(m, s, 1, bytes);
  EXPECT_EQ(bytes, std::string("\x01\x80\x00\x01", 4));  // -32767 = 0x8001, 256 = 0x0100
}

TEST(FrameSamples, HundredthOfTheRateTruncatedAndUnsupportedRatesRefused) {
  EXPECT_EQ(frameSamplesFor(16000), 160);
  EXPECT_EQ(frameSamplesFor(22050), 220);
  EXPECT_EQ(frameSamplesFor(44100), 441);
  EXPECT_EQ(frameSamplesFor(100), 1);
  EXPECT_EQ(frameSamplesFor(768000), 7680);
  for (double bad : {99.9, 0.0, -16000.0, 768001.0, 1e300, double(kInf), double(kNaN)}) {
    EXPECT_EQ(frameSamplesFor(bad), 0) << bad;
    EXPECT_FALSE(isSupportedCaptureRate(bad)) << bad;
  }
}

struct MixerFixture : ::testing::Test {
  platform::ThreadDispatch dispatch;
  MemoryOutput out;
  MemoryOutput err;
  testing::ThrowingExit process;
  ControlChannel control{dispatch, err, process};

  std::vector<float> constant(std::size_t n, float value) { return std::vector<float>(n, value); }
};

TEST_F(MixerFixture, MicOnlyWritesWholeFramesAndKeepsTheRest) {
  Mixer mixer(16000, true, false, out, control);
  mixer.pushMic(constant(1000, 0.25f));
  const auto writes = out.writes();
  ASSERT_EQ(writes.size(), 6u);
  for (const auto& w : writes) EXPECT_EQ(w.size(), 320u);
  EXPECT_EQ(mixer.queuedMic(), 40u);
  EXPECT_TRUE(err.writes().empty());
}

TEST_F(MixerFixture, FrameSizeFollowsTheRate) {
  Mixer mixer(22050, true, false, out, control);
  mixer.pushMic(constant(441, 0.1f));
  ASSERT_EQ(out.writes().size(), 2u);
  EXPECT_EQ(out.writes()[0].size(), 440u);
  EXPECT_EQ(mixer.queuedMic(), 1u);
}

TEST_F(MixerFixture, EmptyBlockChangesNothing) {
  Mixer mixer(16000, true, false, out, control);
  mixer.pushMic({});
  EXPECT_TRUE(out.writes().empty());
  EXPECT_EQ(mixer.queuedMic(), 0u);
}

TEST_F(MixerFixture, LevelEventAfterEveryTenthFrameCarriesThatFrameOnly) {
  Mixer mixer(16000, true, false, out, control);
  for (int frame = 1; frame <= 20; ++frame) mixer.pushMic(constant(160, frame == 10 ? 0.5f : 0.1f));
  const auto events = err.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "level");
  EXPECT_DOUBLE_EQ(events[0]["mic"].get<double>(), 0.5);  // not an average of ten frames
  EXPECT_DOUBLE_EQ(events[0]["system"].get<double>(), 0.0);
  EXPECT_NEAR(events[1]["mic"].get<double>(), 0.1, 1e-6);
}

TEST_F(MixerFixture, MicIsHalvedOnlyWhenThatFramesSystemLevelExceedsOnePercent) {
  Mixer mixer(16000, true, true, out, control);
  mixer.pushMic(constant(320, 0.8f));
  mixer.pushSystem(constant(160, 0.1f));    // RMS 0.1: gain 0.5
  mixer.pushSystem(constant(160, 0.005f));  // RMS 0.005: gain 1
  const auto samples = pcmSamples(out.bytes());
  ASSERT_EQ(samples.size(), 320u);
  EXPECT_EQ(samples[0], 16383);                                                    // 0.5 × 0.8 + 0.1
  EXPECT_EQ(samples[160], static_cast<std::int16_t>((0.8f + 0.005f) * 32767.0f));  // gain 1
}

TEST_F(MixerFixture, BothSourcesWaitForTheLaggardUntilTwentyFramesThenGoOnWithoutIt) {
  Mixer mixer(16000, true, true, out, control);
  mixer.pushMic(constant(3200, 0.2f));  // exactly 20 frames: still waiting
  EXPECT_TRUE(out.writes().empty());
  mixer.pushMic(constant(1, 0.2f));  // more than 20 frames: one frame without system audio
  EXPECT_EQ(out.writes().size(), 1u);
  EXPECT_EQ(mixer.queuedMic(), 3041u);
  // A partial system block stays queued and is used, in order, once it completes a frame.
  mixer.pushSystem(constant(100, 0.001f));
  EXPECT_EQ(out.writes().size(), 1u);
  mixer.pushSystem(constant(60, 0.002f));
  ASSERT_EQ(out.writes().size(), 2u);
  const auto second = pcmSamples(out.writes()[1]);
  EXPECT_EQ(second[0], static_cast<std::int16_t>((0.2f + 0.001f) * 32767.0f));
  EXPECT_EQ(second[159], static_cast<std::int16_t>((0.2f + 0.002f) * 32767.0f));
  EXPECT_EQ(mixer.queuedSystem(), 0u);
}

TEST_F(MixerFixture, StalledSystemAudioReportsZeroLevel) {
  Mixer mixer(16000, true, true, out, control);
  mixer.pushMic(constant(3200 + 160 * 10, 0.3f));
  ASSERT_EQ(out.writes().size(), 10u);
  const auto events = err.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["system"], 0.0);
}

// Every pushed sample is written exactly once, in order, or is still queued, whichever
// thread happens to drain.
TEST_F(MixerFixture, ConcurrentPushesLoseAndDuplicateNothing) {
  for (bool micCarriesData : {true, false}) {
    MemoryOutput sink;
    Mixer mixer(16000, true, true, sink, control);
    std::vector<float> pushed;
    auto producer = [&](bool carriesData, unsigned seed) {
      std::mt19937 random(seed);
      int next = 1;
      for (int block = 0; block < 400; ++block) {
        std::vector<float> samples(std::uniform_int_distribution<int>(1, 500)(random));
        for (float& s : samples) s = carriesData ? static_cast<float>(1 + next++ % 299) / 32767.0f : 0.0f;
        if (carriesData) pushed.insert(pushed.end(), samples.begin(), samples.end());
        carriesData ? (micCarriesData ? mixer.pushMic(samples) : mixer.pushSystem(samples))
                    : (micCarriesData ? mixer.pushSystem(samples) : mixer.pushMic(samples));
      }
    };
    std::thread a(producer, true, 1u);
    std::thread b(producer, false, 2u);
    a.join();
    b.join();
    // A frame cut while the data source lagged carries only silence: no data sample is 0.
    std::vector<std::int16_t> written;
    for (const auto& frame : sink.writes()) {
      const auto samples = pcmSamples(frame);
      if (std::any_of(samples.begin(), samples.end(), [](std::int16_t v) { return v != 0; })) {
        written.insert(written.end(), samples.begin(), samples.end());
      }
    }
    const std::size_t queued = micCarriesData ? mixer.queuedMic() : mixer.queuedSystem();
    ASSERT_EQ(written.size() + queued, pushed.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
      ASSERT_EQ(written[i], static_cast<std::int16_t>(pushed[i] * 32767.0f)) << "sample " << i;
    }
  }
}

}  // namespace
}  // namespace velmor

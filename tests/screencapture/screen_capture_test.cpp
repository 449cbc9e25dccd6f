// System audio through the screen-capture stream: the filter and configuration of a start,
// the first start's failure, the stop and its restart series with their waits, and a
// missing display, which ends the process even during a restart.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/system_audio_fixture.h"

namespace velmor {
namespace {

using platform::PlatformError;
using testing::SystemAudioFixture;

const nlohmann::json kScreenInUse{
    {"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "screen"}};

nlohmann::json restarted(int count) {
  return {{"type", "device"}, {"name", "system audio"}, {"source", "system"},
          {"via", "screen"},  {"event", "restarted"},   {"restarts", count}};
}

nlohmann::json stopped(const std::string& reason) {
  return {{"type", "device"}, {"name", "system audio"}, {"event", "stopped"}, {"reason", reason}};
}

nlohmann::json error(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

const PlatformError kDisplaySlept{"sim.screencapture", -3821, "the display went to sleep"};

struct ScreenTest : SystemAudioFixture {
  void startFirst() {
    runTask([&] { startSystemAudio(*systemOutput, 1); });
  }
  // Starts, lets the stream run a second, and stops it by itself: the time of the stop.
  double startThenStop() {
    startFirst();
    EXPECT_FALSE(run(1.0));
    system.stopStreams(kDisplaySlept);
    EXPECT_TRUE(sim.dispatch.settleTasks());
    return now();
  }
  // Moves the clock to `at` and says whether the events are still `expected` then.
  void expectEventsAt(double at, const std::vector<nlohmann::json>& expected) {
    ASSERT_FALSE(run(at - now()));
    EXPECT_EQ(nonLevelEvents(), expected) << "at " << at;
  }
};

TEST_F(ScreenTest, TheFirstDisplayWithThisProcessLeftOutAndAudioOnly) {
  const std::int32_t self = getpid();
  system.setDisplays({{7, "Studio Display"}, {8, "Built-in Display"}});
  system.setApplications({{1, "com.example.player"},
                          {self, "com.velmor.audio"},
                          {2, "com.example.call"},
                          {self, "com.velmor.audio.helper"}});
  startFirst();
  EXPECT_EQ(nonLevelEvents(), std::vector<nlohmann::json>{kScreenInUse});
  EXPECT_NE(stream.get(), nullptr);
  EXPECT_EQ(systemRestarts.load(), 0);

  const auto filter = system.lastFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->display.displayID, 7u);
  ASSERT_EQ(filter->excludedApplications.size(), 2u);
  EXPECT_EQ(filter->excludedApplications[0].bundleIdentifier, "com.velmor.audio");
  EXPECT_EQ(filter->excludedApplications[1].bundleIdentifier, "com.velmor.audio.helper");
  EXPECT_TRUE(filter->exceptedWindows.empty());

  const auto configuration = system.lastConfiguration();
  ASSERT_TRUE(configuration);
  EXPECT_TRUE(configuration->capturesAudio);
  EXPECT_TRUE(configuration->excludesCurrentProcessAudio);
  EXPECT_EQ(configuration->sampleRate, 16000);
  EXPECT_EQ(configuration->channelCount, 1);
  EXPECT_EQ(configuration->width, 2);
  EXPECT_EQ(configuration->height, 2);
  EXPECT_EQ(configuration->minimumFrameInterval.value, 1);
  EXPECT_EQ(configuration->minimumFrameInterval.timescale, 1);

  ASSERT_FALSE(run(1.0));
  const auto tone = testing::measureTone(output(), 16000, 1600);
  EXPECT_NEAR(tone.frequency, 1000, 2);
  EXPECT_NEAR(20 * std::log10(tone.rms / (0.25 / std::numbers::sqrt2)), 0, 0.1);
}

TEST_F(ScreenTest, TheStreamsRateIsTheCaptureRateTruncated) {
  useRate(22050.9);
  startFirst();
  ASSERT_TRUE(system.lastConfiguration());
  EXPECT_EQ(system.lastConfiguration()->sampleRate, 22050);
}

struct FirstFailure {
  const char* name;
  std::function<void(platform::sim::SimSystemAudio&)> arrange;
  const char* message;
};

class FirstStartFailureTest : public ScreenTest, public ::testing::WithParamInterface<FirstFailure> {};

TEST_P(FirstStartFailureTest, OneErrorAndNoRetry) {
  GetParam().arrange(system);
  startFirst();
  ASSERT_FALSE(run(20));
  EXPECT_EQ(nonLevelEvents(), std::vector<nlohmann::json>{error(GetParam().message)});
  EXPECT_EQ(stream.get(), nullptr);
  EXPECT_EQ(system.counts().contentQueries, 1);
  EXPECT_EQ(system.counts().streamsRunning, 0);
  EXPECT_TRUE(output().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstStartFailureTest,
    ::testing::Values(FirstFailure{"ContentQuery", [](auto& s) { s.failContentQueries({1}); },
                                   "System audio unavailable: the shareable content could not be read"},
                      FirstFailure{"OutputRefused", [](auto& s) { s.refuseOutputs({1}); },
                                   "System audio unavailable: the stream took no audio output"},
                      FirstFailure{"StartFailed", [](auto& s) { s.failStarts({1}); },
                                   "System audio unavailable: the stream did not start"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(ScreenTest, AStopIsReportedAndTheStreamRestartsSevenTenthsLater) {
  const double stop = startThenStop();
  const std::vector<nlohmann::json> afterStop{kScreenInUse, stopped("the display went to sleep")};
  EXPECT_EQ(nonLevelEvents(), afterStop);
  EXPECT_EQ(stream.get(), nullptr);
  EXPECT_EQ(system.counts().stopCalls, 1);  // the old stream is wound down first
  const auto heard = output().size();
  expectEventsAt(stop + 0.69, afterStop);
  ASSERT_FALSE(run(0.01));
  auto expected = afterStop;
  expected.push_back(restarted(1));
  EXPECT_EQ(nonLevelEvents(), expected);
  EXPECT_NE(stream.get(), nullptr);
  EXPECT_EQ(systemRestarts.load(), 1);
  // The new stream's audio goes through the converter built for the first one.
  ASSERT_FALSE(run(1.0));
  EXPECT_GT(output().size(), heard + 14000);

  // Another stop, another series.
  system.stopStreams(kDisplaySlept);
  ASSERT_FALSE(run(0.7));
  expected.push_back(stopped("the display went to sleep"));
  expected.push_back(restarted(2));
  EXPECT_EQ(nonLevelEvents(), expected);
}

// Starts 2 and 3 fail: one "restarted" after waits of 1.0 and 1.5 s.
TEST_F(ScreenTest, ARestartThatSucceedsAtAttemptFourIsOneRestart) {
  system.failStarts({2, 3});
  const double stop = startThenStop();
  const std::vector<nlohmann::json> afterStop{kScreenInUse, stopped("the display went to sleep")};
  expectEventsAt(stop + 0.7 + 1.0 + 1.5 - 0.01, afterStop);
  ASSERT_FALSE(run(0.01));
  auto expected = afterStop;
  expected.push_back(restarted(1));
  EXPECT_EQ(nonLevelEvents(), expected);
  EXPECT_EQ(system.counts().startCalls, 4);
}

// Each kind of failure is retried: the content query at attempt 2, the output at attempt 3,
// the start at attempt 4; attempt 5 runs after waits of 1.0, 1.5 and 2.0 s.
TEST_F(ScreenTest, EveryKindOfFailureIsRetried) {
  system.failContentQueries({2});
  system.refuseOutputs({2});
  system.failStarts({2});
  const double stop = startThenStop();
  const std::vector<nlohmann::json> afterStop{kScreenInUse, stopped("the display went to sleep")};
  expectEventsAt(stop + 0.7 + 1.0 + 1.5 + 2.0 - 0.01, afterStop);
  ASSERT_FALSE(run(0.01));
  ASSERT_EQ(nonLevelEvents().size(), 3u);
  EXPECT_EQ(nonLevelEvents().back(), restarted(1));
}

// Attempts 2 to 6 fail: one error after waits of 1.0, 1.5, 2.0 and 2.5 s, and no more tries.
TEST_F(ScreenTest, FiveFailedRestartAttemptsStopSystemAudio) {
  system.failStarts({2, 3, 4, 5, 6});
  const double stop = startThenStop();
  const std::vector<nlohmann::json> afterStop{kScreenInUse, stopped("the display went to sleep")};
  // Attempt n starts after the pause and the waits before it.
  const std::vector<double> attemptAt{0.7, 1.7, 3.2, 5.2, 7.7};
  for (std::size_t i = 0; i < attemptAt.size(); ++i) {
    expectEventsAt(stop + attemptAt[i] - 0.01, afterStop);
    EXPECT_EQ(system.counts().startCalls, static_cast<int>(1 + i));
    ASSERT_FALSE(run(0.01));
    EXPECT_EQ(system.counts().startCalls, static_cast<int>(2 + i));
  }
  auto expected = afterStop;
  expected.push_back(error("System audio stopped: the stream did not start"));
  EXPECT_EQ(nonLevelEvents(), expected);
  ASSERT_FALSE(run(20));
  EXPECT_EQ(nonLevelEvents(), expected);
  EXPECT_EQ(system.counts().startCalls, 6);
  EXPECT_EQ(stream.get(), nullptr);
  EXPECT_EQ(systemRestarts.load(), 0);
}

TEST_F(ScreenTest, AStopWithNoStreamHeldStillPausesAndRestarts) {
  startFirst();
  ASSERT_FALSE(run(0.5));
  const auto held = stream.take();  // as if a stop had already taken it
  system.stopStreams(kDisplaySlept);
  ASSERT_FALSE(run(0.7));
  EXPECT_EQ(system.counts().stopCalls, 0);
  EXPECT_EQ(nonLevelEvents().back(), restarted(1));
}

TEST_F(ScreenTest, NoDisplayIsFatalAtTheFirstStart) {
  system.setDisplays({});
  sim.dispatch.runTask([&] { startSystemAudio(*systemOutput, 1); });
  const auto exit = run(0.01);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 1);
  EXPECT_EQ(nonLevelEvents(), std::vector<nlohmann::json>{error("No display to capture audio from")});
}

TEST_F(ScreenTest, NoDisplayIsFatalDuringARestartToo) {
  startFirst();
  ASSERT_FALSE(run(0.5));
  system.setDisplays({});
  system.stopStreams(kDisplaySlept);
  const double stop = now();
  const auto exit = run(5);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 1);
  EXPECT_NEAR(exit->at, stop + 0.7, 1e-9);
  EXPECT_EQ(nonLevelEvents().back(), error("No display to capture audio from"));
}

TEST_F(ScreenTest, OnlyAudioBuffersReachTheMixer) {
  startFirst();
  auto running = stream.get();
  ASSERT_NE(running, nullptr);
  system.stopStreams(kDisplaySlept);  // nothing else reaches the mixer from here
  const platform::StreamDescription format{16000, platform::SampleType::floatingPoint, 32, 1, false};
  std::vector<std::vector<std::byte>> data(1, std::vector<std::byte>(4 * 1600));
  const platform::MemorySampleBuffer buffer(format, 1600, std::move(data));
  systemOutput->didOutputSampleBuffer(*running, buffer, platform::StreamOutputType::screen);
  EXPECT_EQ(mixer->queuedSystem(), 0u);
  EXPECT_TRUE(output().empty());
  systemOutput->didOutputSampleBuffer(*running, buffer, platform::StreamOutputType::audio);
  EXPECT_GT(output().size(), 1000u);
}

}  // namespace
}  // namespace velmor

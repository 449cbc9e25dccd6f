// Building the tap: four attempts with 0.4 s pauses, the failure of each build step with
// its status, nothing left behind by a failed attempt, and the stop at shutdown.
#include <gtest/gtest.h>

#include "support/system_audio_fixture.h"

namespace velmor {
namespace {

using platform::sim::StepFailure;
using platform::sim::TapStep;
using testing::kHeadphones;
using testing::kSpeakers;
using testing::SystemAudioFixture;

struct BuildFailure {
  const char* name;
  std::function<void(platform::sim::SimSystemAudio&, int attempts)> arrange;
  const char* message;
};

class TapBuildFailureTest : public SystemAudioFixture, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(TapBuildFailureTest, FourAttemptsThenTheLastMessageWithNothingLeftBehind) {
  GetParam().arrange(system, 4);
  const double from = now();
  const auto result = startTap();
  EXPECT_NEAR(now() - from, 1.2, 1e-9);  // three pauses of 0.4 s
  EXPECT_EQ(result, GetParam().message);
  EXPECT_EQ(system.tapDescriptions().size(), 4u);
  const auto counts = system.counts();
  EXPECT_EQ(counts.tapsAlive, 0);
  EXPECT_EQ(counts.aggregatesAlive, 0);
  EXPECT_EQ(counts.procsAlive, 0);
  EXPECT_EQ(activeTap.get(), nullptr);
  EXPECT_TRUE(sim.stdErr.writes().empty());  // the caller reports it
}

TEST_P(TapBuildFailureTest, ThreeFailuresThenATapThatRuns) {
  GetParam().arrange(system, 3);
  const double from = now();
  EXPECT_EQ(startTap(), std::nullopt);
  EXPECT_NEAR(now() - from, 1.2, 1e-9);
  ASSERT_NE(activeTap.get(), nullptr);
  const auto counts = system.counts();
  EXPECT_EQ(counts.tapsAlive, 1);
  EXPECT_EQ(counts.aggregatesAlive, 1);
  EXPECT_EQ(counts.devicesRunning, 1);
}

void failFor(platform::sim::SimSystemAudio& system, TapStep step, std::int64_t status, int attempts) {
  system.failStep(step, StepFailure{attempts, status});
}

// The build step fails on its first `attempts` calls; the system output is missing or
// nameless in the first attempts only because it is put back after them.
INSTANTIATE_TEST_SUITE_P(
    Table, TapBuildFailureTest,
    ::testing::Values(
        BuildFailure{"TapNotMade", [](auto& s, int n) { failFor(s, TapStep::createTap, 560947818, n); },
                     "the audio tap could not be made (560947818)"},
        BuildFailure{"TapIdZero", [](auto& s, int n) { failFor(s, TapStep::createTap, 0, n); },
                     "the audio tap could not be made (0)"},
        BuildFailure{"FormatUnreadable", [](auto& s, int n) { failFor(s, TapStep::tapFormat, 2003332927, n); },
                     "the audio tap has no format (2003332927)"},
        BuildFailure{"NoFormatFromTheDescription", [](auto& s, int n) { failFor(s, TapStep::tapFormat, 0, n); },
                     "the audio tap has no format (0)"},
        BuildFailure{"AggregateNotMade", [](auto& s, int n) { failFor(s, TapStep::aggregate, -50, n); },
                     "the tap's device could not be made (-50)"},
        BuildFailure{"AggregateIdZero", [](auto& s, int n) { failFor(s, TapStep::aggregate, 0, n); },
                     "the tap's device could not be made (0)"},
        BuildFailure{"ReaderNotRegistered", [](auto& s, int n) { failFor(s, TapStep::ioProc, 1852797029, n); },
                     "the tap's device took no reader (1852797029)"},
        BuildFailure{"NoProcId", [](auto& s, int n) { failFor(s, TapStep::ioProc, 0, n); },
                     "the tap's device took no reader (0)"},
        BuildFailure{"DeviceDidNotStart", [](auto& s, int n) { failFor(s, TapStep::start, 1937010544, n); },
                     "the tap's device did not start (1937010544)"},
        BuildFailure{"DeviceDidNotStartWithoutStatus", [](auto& s, int n) { failFor(s, TapStep::start, 0, n); },
                     "the tap's device did not start (0)"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// No system output: every attempt fails at the same step.
TEST_F(SystemAudioFixture, NoSystemOutputIsNoDeviceToTap) {
  for (const auto& arrange : std::vector<std::function<void()>>{
           [&] { system.setDefaultSystemOutput(std::nullopt); },      // the read fails
           [&] { system.setDefaultSystemOutput(0); },                 // no device
           [&] { system.addOutputDevice(kSpeakers, std::nullopt); },  // a device without a UID
           [&] { system.addOutputDevice(kSpeakers, ""); }}) {
    arrange();
    const double from = now();
    EXPECT_EQ(startTap(), "no output device to tap (0)");
    EXPECT_NEAR(now() - from, 1.2, 1e-9);
    EXPECT_EQ(system.counts().tapsAlive, 0);
    system.setDefaultSystemOutput(kSpeakers);
    system.addOutputDevice(kSpeakers, "BuiltInSpeakerDevice");
  }
}

TEST_F(SystemAudioFixture, WithoutTapsNothingIsMadeAndNothingWaits) {
  system.setTapsAvailable(false);
  const double from = now();
  EXPECT_EQ(startTap(), "this macOS has no audio taps");
  EXPECT_EQ(now() - from, 0);
  EXPECT_TRUE(system.tapDescriptions().empty());
  stopSystemTap(activeTap);  // only clears the global
  EXPECT_EQ(activeTap.get(), nullptr);
}

TEST_F(SystemAudioFixture, TheTapsDeviceIsPrivateOnTheSystemOutputWithItsOwnTap) {
  system.failStep(TapStep::start, StepFailure{1, 5});  // two builds
  ASSERT_EQ(startTap(), std::nullopt);
  const auto taps = system.tapDescriptions();
  const auto devices = system.aggregateDescriptions();
  ASSERT_EQ(taps.size(), 2u);
  ASSERT_EQ(devices.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(taps[i].excludedProcesses.empty());  // every process, this one included
    EXPECT_FALSE(taps[i].muted);
    EXPECT_EQ(devices[i].name, "Velmor system audio");
    EXPECT_EQ(devices[i].mainSubDevice, "BuiltInSpeakerDevice");
    EXPECT_EQ(devices[i].subDevices, std::vector<std::string>{"BuiltInSpeakerDevice"});
    EXPECT_TRUE(devices[i].isPrivate);
    EXPECT_FALSE(devices[i].isStacked);
    EXPECT_TRUE(devices[i].tapAutoStart);
    ASSERT_EQ(devices[i].taps.size(), 1u);
    EXPECT_EQ(devices[i].taps[0].uid, taps[i].uuid);
    EXPECT_TRUE(devices[i].taps[0].driftCompensation);
    EXPECT_EQ(devices[i].uid.size(), 36u);
  }
  EXPECT_NE(devices[0].uid, devices[1].uid);
  EXPECT_NE(taps[0].uuid, taps[1].uuid);
  EXPECT_EQ(activeTap.get()->builtOutput(), kSpeakers);
  EXPECT_EQ(activeTap.get()->builtSystemOutput(), kSpeakers);
}

TEST_F(SystemAudioFixture, StopSystemTapDestroysEverythingOnceAndStopsTheAudio) {
  ASSERT_EQ(startTap(), std::nullopt);
  ASSERT_FALSE(run(0.5));
  const auto heard = output().size();
  EXPECT_GT(heard, 7000u);
  auto tap = activeTap.get();
  stopSystemTap(activeTap);
  EXPECT_EQ(activeTap.get(), nullptr);
  EXPECT_TRUE(tap->leaving());
  EXPECT_EQ(tap->tapID(), 0u);
  EXPECT_EQ(tap->aggregateID(), 0u);
  const auto counts = system.counts();
  EXPECT_EQ(counts.tapsAlive, 0);
  EXPECT_EQ(counts.aggregatesAlive, 0);
  EXPECT_EQ(counts.procsAlive, 0);
  stopSystemTap(activeTap);  // again: nothing
  tap->teardown();           // again: nothing
  ASSERT_FALSE(run(1.0));
  EXPECT_EQ(output().size(), heard);
}

}  // namespace
}  // namespace velmor

#include <gtest/gtest.h>

#include "microphone/mic_fixture.h"

namespace velmor {
namespace {

using testing::ExitCalled;
using testing::MicFixture;
using testing::simMic;

using MicCaptureTest = MicFixture;

TEST_F(MicCaptureTest, StartOpensTheChosenDeviceAndNamesIt) {
  addBuiltInAndUsb();
  makeMic("uid-2");
  mic->start();
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "device"}, {"name", "USB Headset"}, {"uid", "uid-2"}, {"source", "mic"}}}));
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
}

TEST_F(MicCaptureTest, NoMicrophoneAtAllEndsTheProcess) {
  makeMic("default");
  try {
    mic->start();
    FAIL() << "start returned";
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "error"}, {"message", "Microphone could not start: no microphone is available"}}}));
}

TEST_F(MicCaptureTest, ListedButNotOpenableFallsBackToTheDefault) {
  addBuiltInAndUsb();
  auto hidden = simMic(3, "Aggregate", platform::kTransportVirtual);
  hidden.openableByUid = false;
  sim.world.addDevice(hidden);
  makeMic("uid-3");
  mic->start();
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "error"}, {"message", "Microphone Aggregate could not be opened; using the system default"}},
                {{"type", "device"}, {"name", "Built-in Microphone"}, {"uid", "uid-1"}, {"source", "mic"}}}));
}

struct BuildFailure {
  const char* name;
  void (*script)(platform::sim::SimDevice&);
  const char* message;
};

class MicBuildFailureTest : public MicFixture, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(MicBuildFailureTest, StartFailsWithTheErrorsDescription) {
  auto d = simMic(1, "Built-in Microphone", platform::kTransportBuiltIn);
  GetParam().script(d);
  sim.world.addDevice(d);
  sim.world.setDefaultInput(1);
  makeMic("default");
  EXPECT_THROW(mic->start(), ExitCalled);
  EXPECT_EQ(sim.stdErr.events().back()["message"], GetParam().message);
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MicBuildFailureTest,
    ::testing::Values(BuildFailure{"InputCannotBeMade", [](auto& d) { d.inputFailures = 1; },
                                   "Microphone could not start: Built-in Microphone could not be opened for input"},
                      BuildFailure{"InputRefused", [](auto& d) { d.refuseInput = true; },
                                   "Microphone could not start: Built-in Microphone refused the capture session"},
                      BuildFailure{"OutputRefused", [](auto& d) { d.refuseOutput = true; },
                                   "Microphone could not start: the capture session took no audio output"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(MicCaptureTest, DeliversConvertedAudioToTheMixer) {
  addBuiltInAndUsb();
  makeMic("builtin");
  mic->start();
  advance(1.0);
  const auto samples = testing::pcmSamples(sim.stdOut.bytes());
  ASSERT_GE(samples.size(), 15000u);
  // A 0.5 sine: RMS 0.354 of full scale.
  double sum = 0;
  for (std::size_t i = 1000; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  EXPECT_NEAR(std::sqrt(sum / double(samples.size() - 1000)) / 32767.0, 0.5 / std::sqrt(2.0), 0.005);
}

TEST_F(MicCaptureTest, StopEndsDeliveryAndIgnoresLaterNotifications) {
  addBuiltInAndUsb();
  makeMic("default");
  mic->start();
  advance(0.2);
  mic->stop();
  const auto written = sim.stdOut.bytes().size();
  sim.world.postRuntimeError(std::nullopt);
  sim.world.unplug(1);
  advance(5);
  EXPECT_EQ(sim.stdOut.bytes().size(), written);
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
  EXPECT_EQ(nonLevelEvents().size(), 1u);  // only the start's device event
  mic->stop();                             // stopping twice is harmless
}

}  // namespace
}  // namespace velmor

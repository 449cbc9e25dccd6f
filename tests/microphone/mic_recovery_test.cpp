#include <gtest/gtest.h>

#include "microphone/mic_fixture.h"

namespace velmor {
namespace {

using testing::MicFixture;
using testing::simMic;

nlohmann::json restarted(const std::string& name, const std::string& uid, const std::string& reason, int count) {
  return {{"type", "device"},     {"name", name},     {"uid", uid},       {"source", "mic"},
          {"event", "restarted"}, {"reason", reason}, {"restarts", count}};
}

struct MicRecoveryTest : MicFixture {
  void SetUp() override {
    addBuiltInAndUsb();
    makeMic("default");
    mic->start();
  }
  std::vector<nlohmann::json> afterStart() {
    auto events = nonLevelEvents();
    events.erase(events.begin());
    return events;
  }
};

struct Trigger {
  const char* name;
  void (*fire)(platform::sim::SimWorld&);
  const char* reason;
};

class MicRecoveryReasonTest : public MicRecoveryTest, public ::testing::WithParamInterface<Trigger> {};

TEST_P(MicRecoveryReasonTest, RestartsAfterTheDebounceWithTheReason) {
  GetParam().fire(sim.world);
  advance(0.39);
  EXPECT_TRUE(afterStart().empty());
  advance(0.01);
  const auto events = afterStart();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["reason"], GetParam().reason);
  EXPECT_EQ(events[0]["restarts"], 1);
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MicRecoveryReasonTest,
    ::testing::Values(
        Trigger{"RuntimeErrorWithError",
                [](auto& w) {
                  w.postRuntimeError(platform::PlatformError{"sim", 1, "The operation couldn't be completed"});
                },
                "The operation couldn't be completed"},
        Trigger{"RuntimeErrorWithoutError", [](auto& w) { w.postRuntimeError(std::nullopt); },
                "the capture session stopped"},
        Trigger{"Interruption", [](auto& w) { w.postInterruption(); }, "the capture session was interrupted"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// The rebuild lands on a device of another format: the converter is rebuilt for it.
TEST_F(MicFixture, UnpluggedMicrophoneComesBackOnTheFallbackDeviceWithItsAudio) {
  auto builtin = simMic(1, "Built-in Microphone", platform::kTransportBuiltIn);
  builtin.format = platform::StreamDescription{44100, platform::SampleType::floatingPoint, 32, 1, true};
  builtin.bufferFrames = 441;
  builtin.audio = {{platform::sim::AudioSegment::Kind::sine, 500, 0.25, 3600}};
  sim.world.addDevice(builtin);
  sim.world.addDevice(simMic(2, "USB Headset", platform::kTransportUsb));
  sim.world.setDefaultInput(1);
  makeMic("uid-2");
  mic->start();
  advance(0.5);
  sim.world.unplug(2);
  advance(0.4);
  auto events = nonLevelEvents();
  ASSERT_EQ(events.size(), 3u);
  // The text no longer names a device: resolving falls back to the built-in device.
  EXPECT_EQ(events[1]["message"], "Microphone uid-2 not found; using Built-in Microphone");
  EXPECT_EQ(events[2], restarted("Built-in Microphone", "uid-1", "the microphone was disconnected", 1));

  const auto before = sim.stdOut.bytes().size() / 2;
  advance(1.0);
  const auto samples = testing::pcmSamples(sim.stdOut.bytes());
  ASSERT_GE(samples.size(), before + 15000);
  double sum = 0;
  for (std::size_t i = before + 1000; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  EXPECT_NEAR(std::sqrt(sum / double(samples.size() - before - 1000)) / 32767.0, 0.25 / std::sqrt(2.0), 0.005);
}

TEST_F(MicRecoveryTest, ABurstOfNotificationsGivesOneRestartWithTheFirstReason) {
  sim.world.postInterruption();
  advance(0.1);
  sim.world.unplug(1);  // the session is already halted; the device still posts
  sim.world.postRuntimeError(std::nullopt);
  advance(0.3);
  // Device 1 is gone: the default is gone too, so the rebuild needs another default.
  EXPECT_TRUE(afterStart().empty());
  sim.world.setDefaultInput(2);
  advance(10);
  const auto events = afterStart();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], restarted("USB Headset", "uid-2", "the capture session was interrupted", 1));
}

TEST_F(MicRecoveryTest, SuccessAtTheThirdAttemptAfterHalfSecondSteps) {
  sim.world.setInputFailures(1, 2);
  sim.world.postRuntimeError(std::nullopt);
  advance(0.4 + 0.5 + 1.0 - 0.001);
  EXPECT_TRUE(afterStart().empty());
  EXPECT_TRUE(mic->restartPending());
  advance(0.001);
  EXPECT_EQ(afterStart(),
            std::vector<nlohmann::json>{restarted("Built-in Microphone", "uid-1", "the capture session stopped", 1)});
  EXPECT_FALSE(mic->restartPending());
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
}

// A session that is built but does not start is a failed attempt, not a restart: "restarted"
// goes out only for a microphone that records.
TEST_F(MicRecoveryTest, ASessionThatDoesNotStartIsAFailedAttempt) {
  sim.world.setStartFailures(1, 1);
  sim.world.postRuntimeError(std::nullopt);
  advance(0.4 + 0.5 - 0.001);
  EXPECT_TRUE(afterStart().empty());
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
  advance(0.001);
  EXPECT_EQ(afterStart(),
            std::vector<nlohmann::json>{restarted("Built-in Microphone", "uid-1", "the capture session stopped", 1)});
  EXPECT_EQ(sim.world.sessionsRunning(), 1);

  sim.world.setStartFailures(1, 5);
  sim.world.postInterruption();
  advance(0.4 + 0.5 + 1.0 + 1.5 + 2.0);
  EXPECT_EQ(afterStart().back(),
            (nlohmann::json{{"type", "error"}, {"message", "Microphone stopped: Built-in Microphone did not start"}}));
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
}

// At launch the session is set up; if it then fails to start, recovery takes it on.
TEST_F(MicFixture, ASessionThatDoesNotStartAtLaunchIsRecovered) {
  addBuiltInAndUsb();
  sim.world.setStartFailures(1, 1);
  makeMic("default");
  mic->start();
  advance(0.4);
  const auto events = nonLevelEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0],
            (nlohmann::json{{"type", "device"}, {"name", "Built-in Microphone"}, {"uid", "uid-1"}, {"source", "mic"}}));
  EXPECT_EQ(events[1], restarted("Built-in Microphone", "uid-1", "Built-in Microphone did not start", 1));
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
}

TEST_F(MicRecoveryTest, FiveFailuresGiveUpWithOneErrorAndNothingAfter) {
  sim.world.setInputFailures(1, 1000);
  sim.world.postRuntimeError(std::nullopt);
  advance(0.4 + 0.5 + 1.0 + 1.5 + 2.0 - 0.001);
  EXPECT_TRUE(afterStart().empty());
  advance(0.001);
  const std::vector<nlohmann::json> gaveUp{
      {{"type", "error"}, {"message", "Microphone stopped: Built-in Microphone could not be opened for input"}}};
  EXPECT_EQ(afterStart(), gaveUp);
  EXPECT_FALSE(mic->restartPending());
  sim.world.setInputFailures(1, 0);
  sim.world.postRuntimeError(std::nullopt);
  sim.world.unplug(1);
  advance(60);
  EXPECT_EQ(afterStart(), gaveUp);
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
  EXPECT_EQ(sim.dispatch.pendingTasks(), 0u);
}

TEST_F(MicRecoveryTest, TheCountGoesOnAcrossSeries) {
  sim.world.postInterruption();
  advance(1);
  sim.world.postRuntimeError(std::nullopt);
  advance(1);
  const auto events = afterStart();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]["restarts"], 2);
  EXPECT_EQ(mic->restarts(), 2);
}

// A capture layer whose new session is interrupted while the rebuild registers its observers.
class InterruptDuringBuild final : public platform::CaptureSystem {
 public:
  InterruptDuringBuild(platform::sim::SimWorld& world) : world_(world), inner_(world.capture()) {}
  platform::Result<std::shared_ptr<platform::CaptureDevice>> deviceWithUniqueID(const std::string& uid) override {
    return inner_.deviceWithUniqueID(uid);
  }
  platform::Result<std::shared_ptr<platform::CaptureDevice>> defaultAudioDevice() override {
    return inner_.defaultAudioDevice();
  }
  platform::Result<std::shared_ptr<platform::CaptureInput>> makeInput(
      const std::shared_ptr<platform::CaptureDevice>& device) override {
    return inner_.makeInput(device);
  }
  std::shared_ptr<platform::CaptureSession> makeSession() override { return inner_.makeSession(); }
  std::shared_ptr<platform::AudioDataOutput> makeAudioDataOutput() override { return inner_.makeAudioDataOutput(); }
  platform::ObserverToken addObserver(platform::CaptureNotification name, const void* object,
                                      std::function<void(const platform::CaptureNotificationInfo&)> block) override {
    const auto token = inner_.addObserver(name, object, std::move(block));
    if (++added_ == 8) world_.postInterruption();  // the second build's last observer
    return token;
  }
  void removeObserver(platform::ObserverToken token) override { inner_.removeObserver(token); }

 private:
  platform::sim::SimWorld& world_;
  platform::CaptureSystem& inner_;
  int added_ = 0;
};

TEST_F(MicFixture, ANotificationFromTheSessionBeingBuiltIsIgnored) {
  addBuiltInAndUsb();
  InterruptDuringBuild capture(sim.world);
  makeMic("default", &capture);
  mic->start();
  sim.world.postRuntimeError(std::nullopt);
  advance(30);
  const auto restarts = eventsOfType("device");
  ASSERT_EQ(restarts.size(), 2u);  // the start, then one restart: the interruption started no series
  EXPECT_EQ(restarts[1]["reason"], "the capture session stopped");
  EXPECT_EQ(mic->restarts(), 1);
}

}  // namespace
}  // namespace velmor

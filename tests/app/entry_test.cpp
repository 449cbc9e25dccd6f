// The entry point in-process, on the manual clock: start-up, modes and the shutdown paths.
#include "app/entry.h"

#include <gtest/gtest.h>

#include "microphone/mic_fixture.h"

namespace velmor {
namespace {

using testing::ExitCalled;

struct EntryTest : ::testing::Test {
  testing::SimTestPlatform sim;

  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/velmor-audio");
    try {
      runProgram(sim.platform, args);
    } catch (const ExitCalled& exit) {
      return exit.status;
    }
    return -1;
  }
  int signal(const std::function<void()>& handler) {
    try {
      handler();
    } catch (const ExitCalled& exit) {
      return exit.status;
    }
    return -1;
  }
};

TEST_F(EntryTest, SigtermStopsTheMicrophoneBeforeExitingZero) {
  sim.world.addDevice(testing::simMic(1, "Built-in Microphone", platform::kTransportBuiltIn));
  sim.world.setDefaultInput(1);
  // The manual main loop returns at once, so the entry leaves with status 0 right after "ready".
  EXPECT_EQ(run({"--mic", "default"}), 0);
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
  EXPECT_EQ(signal(sim.signals.terminate), 0);
  EXPECT_EQ(sim.world.sessionsRunning(), 0);
  const auto events = sim.stdErr.events();
  ASSERT_EQ(events.size(), 2u);  // nothing emitted on shutdown
  EXPECT_EQ(events[0]["type"], "device");
  EXPECT_EQ(events[1], (nlohmann::json{{"type", "ready"}}));
}

TEST_F(EntryTest, SigintExitsAtOnceLeavingTheSessionAsItIs) {
  sim.world.addDevice(testing::simMic(1, "Built-in Microphone", platform::kTransportBuiltIn));
  sim.world.setDefaultInput(1);
  EXPECT_EQ(run({"--mic", "default"}), 0);
  EXPECT_EQ(signal(sim.signals.interrupt), 0);
  EXPECT_EQ(sim.world.sessionsRunning(), 1);
  EXPECT_EQ(sim.stdErr.events().size(), 2u);
}

TEST_F(EntryTest, AMicrophoneThatCannotStartPreventsReadyAndSystemAudio) {
  EXPECT_EQ(run({"--mic", "default", "--system"}), 1);
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "error"}, {"message", "Microphone could not start: no microphone is available"}}}));
}

struct RateCase {
  const char* rate;
  const char* message;
};

class EntryRateTest : public EntryTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(EntryRateTest, CaptureRefusesARateItCannotFrame) {
  EXPECT_EQ(run({"--system", "--rate", GetParam().rate}), 1);
  EXPECT_EQ(sim.stdErr.events(), (std::vector<nlohmann::json>{{{"type", "error"}, {"message", GetParam().message}}}));
  EXPECT_TRUE(sim.stdOut.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EntryRateTest,
    ::testing::Values(RateCase{"99", "Unsupported capture rate 99: --rate must be between 100 and 768000 Hz"},
                      RateCase{"-16000", "Unsupported capture rate -16000: --rate must be between 100 and 768000 Hz"},
                      RateCase{"nan", "Unsupported capture rate nan: --rate must be between 100 and 768000 Hz"},
                      RateCase{"inf", "Unsupported capture rate inf: --rate must be between 100 and 768000 Hz"},
                      RateCase{"1e7", "Unsupported capture rate 1e+07: --rate must be between 100 and 768000 Hz"},
                      RateCase{"768000.4",
                               "Unsupported capture rate 768000.4: --rate must be between 100 and 768000 Hz"},
                      RateCase{"99.99", "Unsupported capture rate 99.99: --rate must be between 100 and 768000 Hz"}));

TEST_F(EntryTest, ExtremeRatesThatFrameAreAccepted) {
  EXPECT_EQ(run({"--system", "--rate", "768000"}), 0);
  EXPECT_EQ(sim.stdErr.events().back(), (nlohmann::json{{"type", "ready"}}));
}

}  // namespace
}  // namespace velmor

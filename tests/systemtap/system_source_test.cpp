// Which source records the system's sound: the tap first, the screen-capture stream when
// the environment asks for it or the tap cannot be built, with the events that say which.
#include <gtest/gtest.h>

#include "support/system_audio_fixture.h"
#include "systemtap/system_audio_source.h"

namespace velmor {
namespace {

using platform::sim::StepFailure;
using platform::sim::TapStep;
using testing::SystemAudioFixture;

const nlohmann::json kTapInUse{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "tap"}};
const nlohmann::json kScreenInUse{
    {"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "screen"}};

nlohmann::json fallback(const std::string& reason) {
  return {
      {"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"event", "fallback"}, {"reason", reason}};
}

struct SourceTest : SystemAudioFixture {
  // startSystem on a task of its own (it blocks through the tap's pauses), then a second
  // for whatever the screen-capture start does.
  void startSystemAndSettle() {
    runTask([&] { startSystem(tapContext(), activeTap, systemOutput); });
    ASSERT_FALSE(run(1.0));
  }
};

TEST_F(SourceTest, TheTapWhenItCanBeBuilt) {
  startSystemAndSettle();
  EXPECT_EQ(nonLevelEvents(), std::vector<nlohmann::json>{kTapInUse});
  EXPECT_NE(activeTap.get(), nullptr);
  EXPECT_EQ(system.counts().contentQueries, 0);
  EXPECT_GT(output().size(), 10000u);
}

TEST_F(SourceTest, OtherValuesOfTheVariableStillTryTheTapFirst) {
  for (const char* value : {"Screen", "tap", "", " screen", "screen "}) {
    SCOPED_TRACE(value);
    sim.environment.values["VELMOR_SYSTEM_AUDIO"] = value;
    ActiveTap tap;
    runTask([&] { startSystem(tapContext(), tap, systemOutput); });
    EXPECT_NE(tap.get(), nullptr);
    stopSystemTap(tap);
  }
  EXPECT_EQ(system.counts().contentQueries, 0);
}

TEST_F(SourceTest, ScreenInTheEnvironmentSkipsTheTapSilently) {
  sim.environment.values["VELMOR_SYSTEM_AUDIO"] = "screen";
  startSystemAndSettle();
  EXPECT_TRUE(system.tapDescriptions().empty());
  EXPECT_EQ(nonLevelEvents(), std::vector<nlohmann::json>{kScreenInUse});
  EXPECT_NE(stream.get(), nullptr);
}

TEST_F(SourceTest, WithoutTapsTheFallbackThenTheScreenPath) {
  system.setTapsAvailable(false);
  startSystemAndSettle();
  EXPECT_EQ(nonLevelEvents(), (std::vector<nlohmann::json>{fallback("this macOS has no audio taps"), kScreenInUse}));
  // The screen-capture stream's tone reaches the mixer.
  ASSERT_FALSE(run(1.0));
  EXPECT_NEAR(testing::measureTone(output(), 16000, 1600).frequency, 1000, 2);
}

// Four failed builds: one fallback, with the text of the fourth.
TEST_F(SourceTest, OneFallbackWithTheLastAttemptsText) {
  system.failStep(TapStep::createTap, StepFailure{3, 560947818});
  system.failStep(TapStep::aggregate, StepFailure{1, -50});
  startSystemAndSettle();
  EXPECT_EQ(nonLevelEvents(),
            (std::vector<nlohmann::json>{fallback("the tap's device could not be made (-50)"), kScreenInUse}));
  EXPECT_EQ(activeTap.get(), nullptr);
}

}  // namespace
}  // namespace velmor

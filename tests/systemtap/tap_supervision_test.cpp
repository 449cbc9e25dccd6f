// A running tap's supervision: a change of output device ends the process with status 75,
// a tap whose IO stopped for more than 3 s with status 76, each after one "reopen" event;
// what is no change, what is not quiet, and the quiet test switched off.
#include <gtest/gtest.h>

#include "support/system_audio_fixture.h"

namespace velmor {
namespace {

using testing::kHeadphones;
using testing::kSpeakers;
using testing::ProgramExit;
using testing::SystemAudioFixture;

nlohmann::json reopen(const std::string& cause, const std::string& reason) {
  return {{"type", "device"},  {"name", "system audio"}, {"source", "system"}, {"via", "tap"},
          {"event", "reopen"}, {"cause", cause},         {"reason", reason}};
}

struct SupervisionTest : SystemAudioFixture {
  // Starts the tap at t = 0 and runs the script: `steps` are (time, action) in time order.
  std::optional<ProgramExit> runScript(std::vector<std::pair<double, std::function<void()>>> steps, double until) {
    EXPECT_EQ(startTap(), std::nullopt);
    for (auto& [at, action] : steps) {
      if (auto exit = run(at - now())) return exit;
      action();
    }
    return run(until - now());
  }
  void expectNoEvent() { EXPECT_TRUE(nonLevelEvents().empty()) << nonLevelEvents().front(); }
  void expectOneReopen(const std::string& cause, const std::string& reason) {
    const auto events = nonLevelEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], reopen(cause, reason));
  }
};

TEST_F(SupervisionTest, ADefaultOutputChangeLeavesWithStatus75SevenTenthsLater) {
  const auto exit = runScript({{1.0, [&] { system.setDefaultOutput(kHeadphones); }}}, 10);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 75);
  EXPECT_NEAR(exit->at, 1.7, 1e-9);
  expectOneReopen("device", "the output device changed");
}

TEST_F(SupervisionTest, ASystemOutputChangeLeavesToo) {
  const auto exit = runScript({{2.5, [&] { system.setDefaultSystemOutput(kHeadphones); }}}, 10);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 75);
  EXPECT_NEAR(exit->at, 3.2, 1e-9);
  expectOneReopen("device", "the output device changed");
}

TEST_F(SupervisionTest, AChangeUndoneBeforeTheChecksIsNoChange) {
  const auto exit = runScript(
      {{1.0, [&] { system.setDefaultOutput(kHeadphones); }}, {1.3, [&] { system.setDefaultOutput(kSpeakers); }}}, 12);
  EXPECT_FALSE(exit);
  expectNoEvent();
}

TEST_F(SupervisionTest, ReadsThatFailOrGiveNoDeviceAreNoChange) {
  const auto exit = runScript({{0.5, [&] { system.setDefaultOutput(std::nullopt); }},
                               {1.0, [&] { system.setDefaultSystemOutput(std::nullopt); }},
                               {3.0, [&] { system.setDefaultOutput(0); }},
                               {3.5, [&] { system.setDefaultSystemOutput(0); }}},
                              8);
  EXPECT_FALSE(exit);
  expectNoEvent();
}

TEST_F(SupervisionTest, ATapBuiltWithoutADefaultOutputSeesTheFirstOneAsAChange) {
  system.setDefaultOutput(std::nullopt);
  const auto exit = runScript({{1.0, [&] { system.setDefaultOutput(kSpeakers); }}}, 10);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 75);
  EXPECT_NEAR(exit->at, 1.7, 1e-9);
}

// IO stops after the cycle at 1.0 s: exactly 3 s later (at 4.0) it is not yet quiet; at the
// next check (6.0) it is.
TEST_F(SupervisionTest, IOThatStopsForMoreThanThreeSecondsLeavesWithStatus76) {
  const auto exit = runScript({{1.0, [&] { system.setTapIOStopped(true); }}}, 20);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 76);
  EXPECT_NEAR(exit->at, 6.0, 1e-9);
  expectOneReopen("quiet", "the tap went quiet");
}

TEST_F(SupervisionTest, SilenceWithIORunningIsNotQuiet) {
  system.setTapAudio(platform::sim::SimAudio{std::nullopt, 480, {}});
  EXPECT_FALSE(runScript({}, 12));
  expectNoEvent();
}

TEST_F(SupervisionTest, ATapThatNeverDeliveredIsNeverQuiet) {
  system.setTapIOStopped(true);
  EXPECT_FALSE(runScript({}, 20));
  expectNoEvent();
}

// The parent has reopened for quiet twice: the quiet test is off, the device test is not.
TEST_F(SupervisionTest, TheQuietTestIsOffFromTwoReopens) {
  sim.environment.values["VELMOR_TAP_QUIET_REOPENS"] = "2";
  EXPECT_FALSE(runScript({{0.5, [&] { system.setTapIOStopped(true); }}}, 12));
  expectNoEvent();
  system.setDefaultOutput(kHeadphones);
  const auto exit = run(1);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 75);
}

TEST_F(SupervisionTest, TheQuietTestStaysOnBelowTwo) {
  for (const char* value : {"1", "-5", "abc", " 2", ""}) {
    SCOPED_TRACE(value);
    sim.environment.values["VELMOR_TAP_QUIET_REOPENS"] = value;
    auto tap = std::make_shared<SystemAudioTap>(tapContext());
    EXPECT_LE(tap->quietReopens(), 1);
  }
  sim.environment.values["VELMOR_TAP_QUIET_REOPENS"] = "1";
  const auto exit = runScript({{0.5, [&] { system.setTapIOStopped(true); }}}, 12);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 76);
}

// A check scheduled by a notification before the stop runs after it: nothing happens.
TEST_F(SupervisionTest, NothingAfterStopSystemTap) {
  const auto exit = runScript({{1.0, [&] { system.setDefaultOutput(kHeadphones); }},
                               {1.2, [&] { stopSystemTap(activeTap); }},
                               {1.5, [&] { system.setTapIOStopped(true); }}},
                              12);
  EXPECT_FALSE(exit);
  expectNoEvent();
}

// IO stopped at 0.1 s and the device changed at 2.5 s: the check at 3.2 s finds both, and
// the device change is what it reports.
TEST_F(SupervisionTest, ADeviceChangeWinsOverQuietInOneCheck) {
  const auto exit = runScript(
      {{0.1, [&] { system.setTapIOStopped(true); }}, {2.5, [&] { system.setDefaultOutput(kHeadphones); }}}, 10);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status, 75);
  EXPECT_NEAR(exit->at, 3.2, 1e-9);
  expectOneReopen("device", "the output device changed");
}

TEST_F(SupervisionTest, OneReopenAtMost) {
  const auto exit = runScript(
      {{1.0, [&] { system.setDefaultOutput(kHeadphones); }}, {1.1, [&] { system.setTapIOStopped(true); }}}, 10);
  ASSERT_TRUE(exit);
  // The process would be gone; here it is not, and later checks must stay silent.
  EXPECT_FALSE(run(10));
  EXPECT_EQ(nonLevelEvents().size(), 1u);
}

struct QuietReopensCase {
  std::optional<std::string> text;
  std::int64_t value;
};

TEST(ParseQuietReopens, SignedDecimalIntegersThatFitAndNothingElse) {
  const std::vector<QuietReopensCase> cases{
      {std::nullopt, 0},
      {"", 0},
      {"0", 0},
      {"1", 1},
      {"2", 2},
      {"+3", 3},
      {"-5", -5},
      {"007", 7},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", 0},
      {"abc", 0},
      {" 2", 0},
      {"2 ", 0},
      {"+", 0},
      {"-", 0},
      {"+-3", 0},
      {"--3", 0},
      {"0x10", 0},
      {"1e3", 0},
      {"\xd9\xa3", 0},  // an Arabic-Indic three: digits are ASCII only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.value_or("(absent)"));
    EXPECT_EQ(parseQuietReopens(c.text), c.value);
  }
}

}  // namespace
}  // namespace velmor

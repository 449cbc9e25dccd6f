// The watch on the manual clock: the first line at once, one line per change of the set,
// nothing while it stays, a look every 2 seconds; and the mode where the system cannot say.
#include "micwatch/mic_watch.h"

#include <gtest/gtest.h>

#include "app/entry.h"
#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::seconds;
using platform::sim::parseProcessTable;

struct MicWatchTest : ::testing::Test {
  testing::SimTestPlatform sim;
  MicWatch watch{sim.dispatch, sim.world.hardware(), sim.stdOut};

  void processes(const std::vector<nlohmann::json>& list) { table(nlohmann::json(list)); }
  void table(const nlohmann::json& json) { sim.world.processes().set(parseProcessTable(json)); }
  static nlohmann::json app(platform::AudioObjectId id, const std::string& name) { return {{"id", id}, {"app", name}}; }
  static std::string line(const std::vector<std::string>& apps) {
    return nlohmann::json{{"type", "mic"}, {"apps", apps}}.dump() + "\n";
  }
};

TEST_F(MicWatchTest, WritesTheFirstSetAtOnceThenEachChangeOnly) {
  watch.start();
  sim.dispatch.runUntilIdle();
  EXPECT_EQ(sim.stdOut.writes(), std::vector<std::string>{line({})});

  sim.dispatch.advance(seconds(9));  // four looks, nothing changed
  EXPECT_EQ(sim.stdOut.writes().size(), 1u);

  processes({app(1, "com.zoom.us")});
  sim.dispatch.advance(seconds(1));  // t = 10: the look that sees it
  processes({app(1, "com.zoom.us"), app(2, "com.apple.FaceTime")});
  sim.dispatch.advance(seconds(2));
  processes({app(1, "com.zoom.us")});
  sim.dispatch.advance(seconds(2));
  EXPECT_EQ(sim.stdOut.writes(),
            (std::vector<std::string>{line({}), line({"com.zoom.us"}), line({"com.apple.FaceTime", "com.zoom.us"}),
                                      line({"com.zoom.us"})}));
  EXPECT_TRUE(sim.stdErr.writes().empty());  // the lines never pass through the control channel
}

TEST_F(MicWatchTest, LooksEveryTwoSecondsAndSeesAChangeAtTheNextLook) {
  watch.start();
  sim.dispatch.runUntilIdle();
  processes({app(1, "com.a")});
  sim.dispatch.advance(seconds(1.999));
  EXPECT_EQ(sim.stdOut.writes().size(), 1u);
  sim.dispatch.advance(seconds(0.001));
  EXPECT_EQ(sim.stdOut.writes().size(), 2u);
  sim.dispatch.advance(seconds(10));
  EXPECT_EQ(sim.world.processes().sizeQueries(), 7);  // t = 0, 2, 4, ..., 12
}

// One application's processes take turns holding the input: the set never changes.
TEST_F(MicWatchTest, ProcessesOfOneApplicationTakingTurnsWriteNothing) {
  processes({app(1, "com.example.meet"), {{"id", 2}, {"app", "com.example.meet"}, {"input", false}}});
  watch.start();
  sim.dispatch.runUntilIdle();
  processes({app(1, "com.example.meet"), app(2, "com.example.meet")});
  sim.dispatch.advance(seconds(2));
  processes({{{"id", 1}, {"app", "com.example.meet"}, {"input", false}}, app(2, "com.example.meet")});
  sim.dispatch.advance(seconds(2));
  EXPECT_EQ(sim.stdOut.writes(), std::vector<std::string>{line({"com.example.meet"})});
}

// Another spelling of the same identifiers is the same set.
TEST_F(MicWatchTest, ACanonicallyEquivalentSpellingIsNoChange) {
  processes({app(1, "com.caf\u00e9")});
  watch.start();
  sim.dispatch.runUntilIdle();
  processes({app(1, "com.cafe\u0301")});
  sim.dispatch.advance(seconds(4));
  EXPECT_EQ(sim.stdOut.writes().size(), 1u);
}

TEST_F(MicWatchTest, AFailingListReadsAsNobody) {
  processes({app(1, "com.a")});
  watch.start();
  sim.dispatch.runUntilIdle();
  table({{"list", nlohmann::json::array({app(1, "com.a")})}, {"fail", {"list"}}});
  sim.dispatch.advance(seconds(2));
  EXPECT_EQ(sim.stdOut.writes(), (std::vector<std::string>{line({"com.a"}), line({})}));
}

TEST_F(MicWatchTest, StoppedItLooksNoMore) {
  watch.start();
  sim.dispatch.runUntilIdle();
  watch.stop();
  processes({app(1, "com.a")});
  sim.dispatch.advance(seconds(10));
  EXPECT_EQ(sim.stdOut.writes().size(), 1u);
}

struct WatchEntryTest : ::testing::Test {
  testing::SimTestPlatform sim;
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "velmor-audio");
    try {
      runProgram(sim.platform, args);
    } catch (const testing::ExitCalled& exit) {
      return exit.status;
    }
    return -1;
  }
};

// The manual main loop returns once nothing is due: the mode ends after its first look.
TEST_F(WatchEntryTest, WatchWinsOverTheCalendarAndEndsWithStatusZero) {
  sim.world.processes().set(parseProcessTable(nlohmann::json::array({{{"id", 4}, {"app", "com.a"}}})));
  EXPECT_EQ(run({"--events", "--watch"}), 0);
  EXPECT_EQ(sim.stdOut.bytes(), R"({"apps":["com.a"],"type":"mic"})"
                                "\n");
  EXPECT_EQ(sim.stdErr.bytes(), "");
  EXPECT_EQ(sim.calendar.fetches(), 0);
}

TEST_F(WatchEntryTest, ASystemThatCannotSayFailsWithNothingOnStandardOutput) {
  sim.world.processes().set(
      parseProcessTable({{"reported", false}, {"list", nlohmann::json::array({{{"id", 4}, {"app", "com.a"}}})}}));
  EXPECT_EQ(run({"--watch"}), 1);
  EXPECT_EQ(sim.stdOut.bytes(), "");
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "error"}, {"message", "this macOS cannot say which apps hold the microphone"}}}));
}

}  // namespace
}  // namespace velmor

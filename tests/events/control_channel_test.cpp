#include "events/control_channel.h"

#include <thread>

#include <gtest/gtest.h>

#include "platform/threaded/thread_dispatch.h"
#include "support/memory_platform.h"

namespace velmor {
namespace {

using testing::ExitCalled;
using testing::MemoryOutput;
using testing::ThrowingExit;

struct ControlFixture : ::testing::Test {
  platform::ThreadDispatch dispatch;
  MemoryOutput stderrOut;
  ThrowingExit process;
  ControlChannel channel{dispatch, stderrOut, process};
};

TEST_F(ControlFixture, OneCompactLineInOneWrite) {
  channel.control(ControlEvent{{"type", "level"}, {"mic", 0.25}, {"system", 0}});
  const auto writes = stderrOut.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], R"({"mic":0.25,"system":0,"type":"level"})"
                       "\n");
}

TEST_F(ControlFixture, TextWithQuotesBackslashesAndLineFeedsStaysOnOneLine) {
  channel.control(ControlEvent{{"type", "error"}, {"message", "a \"b\"\\c\nd\re"}});
  const std::string line = stderrOut.writes().at(0);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(nlohmann::json::parse(line)["message"], "a \"b\"\\c\nd\re");
}

TEST_F(ControlFixture, InvalidUtf8IsReplacedNotDropped) {
  channel.control(ControlEvent{{"type", "device"},
                               {"name",
                                "Mic \xff\xfe"
                                "A"}});
  const auto events = stderrOut.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["name"],
            "Mic \xEF\xBF\xBD\xEF\xBF\xBD"
            "A");
}

TEST_F(ControlFixture, FailWritesItsLineThenExitsWithStatusOne) {
  try {
    channel.fail("boom");
    FAIL() << "fail returned";
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_EQ(stderrOut.writes(), std::vector<std::string>{R"({"message":"boom","type":"error"})"
                                                         "\n"});
}

TEST_F(ControlFixture, LinesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        channel.control(ControlEvent{{"type", "level"}, {"thread", t}, {"i", i}, {"pad", std::string(300, 'x')}});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto events = stderrOut.events();  // each write parses as exactly one object
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const auto& event : events) {
    const int t = event["thread"];
    EXPECT_EQ(event["i"], next[t]++) << "a thread's lines arrived out of order";
  }
}

// A real process: fail from a background thread writes its whole line before status 1.
TEST(ControlProcess, FailFromABackgroundThreadWritesBeforeExiting) {
  EXPECT_EXIT(
      {
        platform::ThreadDispatch dispatch;
        class Stderr final : public platform::OutputHandle {
         public:
          void write(std::string_view bytes) override { std::fwrite(bytes.data(), 1, bytes.size(), stderr); }
        } err;
        class Exit final : public platform::ProcessControl {
         public:
          [[noreturn]] void exit(int status) override { std::_Exit(status); }
        } process;
        ControlChannel channel(dispatch, err, process);
        std::thread([&] { channel.fail("background " + std::string(5000, 'y')); }).join();
      },
      ::testing::ExitedWithCode(1), "\\{\"message\":\"background y+\",\"type\":\"error\"\\}");
}

}  // namespace
}  // namespace velmor

// Calendar consent: the word for each status, and the request with its bounded wait, on the
// manual clock.
#include "calendar/calendar_access.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "calendar/calendar_read.h"
#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::seconds;
using platform::sim::SimAccessRequest;

TEST(AccessWord, NamesEveryStatus) {
  const std::vector<std::pair<int, std::string>> table{{0, "undetermined"}, {1, "restricted"}, {2, "denied"},
                                                       {3, "granted"},      {4, "denied"},  // write-only is no access
                                                       {5, "denied"},       {-1, "denied"}};
  for (const auto& [status, word] : table) EXPECT_EQ(accessWord(status), word) << status;
}

struct AskCase {
  const char* name;
  int status;  // before
  std::optional<SimAccessRequest> request;
  bool ask;
  int requests;        // prompts shown
  const char* access;  // the document's word
};

class Ask : public ::testing::TestWithParam<AskCase> {};

TEST_P(Ask, PromptsOnlyWhenUndecidedAndReportsTheWordAfterwards) {
  testing::SimTestPlatform sim;
  sim.calendar.setStatus(GetParam().status);
  if (GetParam().request) sim.calendar.setRequest(*GetParam().request);
  // The answer comes on the calendar's queue, which the manual clock runs: a thread plays
  // the user while the mode waits.
  std::atomic<bool> done{false};
  std::thread user([&] {
    while (!done) {
      sim.dispatch.advance(seconds(0.5));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};
  const auto message = readCalendar({sim.calendar, sim.dispatch, sim.stdOut, control}, GetParam().ask, 24, true);
  done = true;
  user.join();
  EXPECT_EQ(message, std::nullopt);
  EXPECT_EQ(sim.calendar.requests(), GetParam().requests);
  EXPECT_EQ(nlohmann::json::parse(sim.stdOut.bytes()).at("access"), GetParam().access);
}

SimAccessRequest answer(std::optional<int> status, double after = 1) {
  return SimAccessRequest{true, status, seconds(after)};
}

INSTANTIATE_TEST_SUITE_P(Table, Ask,
                         ::testing::Values(AskCase{"GrantedNeedsNoPrompt", 3, answer(2), true, 0, "granted"},
                                           AskCase{"DeniedNeedsNoPrompt", 2, answer(3), true, 0, "denied"},
                                           AskCase{"RestrictedNeedsNoPrompt", 1, answer(3), true, 0, "restricted"},
                                           AskCase{"WriteOnlyNeedsNoPromptAndIsDenied", 4, answer(3), true, 0,
                                                   "denied"},
                                           AskCase{"WithoutAskNobodyIsAsked", 0, answer(3), false, 0, "undetermined"},
                                           AskCase{"UserGrants", 0, answer(3, 30), true, 1, "granted"},
                                           AskCase{"UserRefuses", 0, answer(2), true, 1, "denied"},
                                           AskCase{"UserGrantsWriteOnly", 0, answer(4), true, 1, "denied"},
                                           AskCase{"RequestFails", 0, answer(std::nullopt), true, 1, "undetermined"}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

// Nobody answers: the wait gives up after 120 seconds on the clock, not before.
TEST(AskUnanswered, WaitsAtMost120Seconds) {
  testing::SimTestPlatform sim;
  sim.calendar.setRequest(SimAccessRequest{false, std::nullopt, {}});
  std::atomic<bool> finished{false};
  std::thread mode([&] {
    askForCalendar(sim.calendar, sim.dispatch);
    finished = true;
  });
  while (sim.dispatch.blockedWaits() == 0) std::this_thread::yield();
  sim.dispatch.advance(seconds(119.9));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(finished);
  sim.dispatch.advance(seconds(0.1));
  mode.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(calendarAccess(sim.calendar), "undetermined");
}

// An answer that comes after the wait gave up finds nothing freed under it.
TEST(AskLateAnswer, ArrivesSafelyAfterTheWaitGaveUp) {
  testing::SimTestPlatform sim;
  sim.calendar.setRequest(SimAccessRequest{true, 3, seconds(200)});
  std::thread mode([&] { askForCalendar(sim.calendar, sim.dispatch); });
  while (sim.dispatch.blockedWaits() == 0) std::this_thread::yield();
  sim.dispatch.advance(seconds(120));
  mode.join();
  EXPECT_EQ(calendarAccess(sim.calendar), "undetermined");
  sim.dispatch.advance(seconds(100));
  EXPECT_EQ(calendarAccess(sim.calendar), "granted");
}

}  // namespace
}  // namespace velmor

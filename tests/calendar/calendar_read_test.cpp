// The --events document on a scripted calendar and the manual clock: its keys and types,
// what is read when, the window asked of the store, and text that is not what JSON wants.
#include "calendar/calendar_read.h"

#include <gtest/gtest.h>

#include "support/memory_platform.h"

namespace velmor {
namespace {

using platform::sim::parseCalendarEvent;

constexpr double kNow = 1'780'000'000.5;  // a Tuesday in 2026, half a second past

struct CalendarReadTest : ::testing::Test {
  testing::SimTestPlatform sim;
  ControlChannel control{sim.dispatch, sim.stdErr, sim.process};

  CalendarReadTest() { sim.dispatch.setUnixTime(static_cast<std::int64_t>(kNow * 1e9)); }

  void events(const nlohmann::json& list) {
    std::vector<platform::CalendarEvent> parsed;
    for (const auto& event : list) parsed.push_back(parseCalendarEvent(event, kNow));
    sim.calendar.setEvents(std::move(parsed));
  }
  std::optional<std::string> read(double hours = 24, bool accessOnly = false) {
    return readCalendar({sim.calendar, sim.dispatch, sim.stdOut, control}, false, hours, accessOnly);
  }
  nlohmann::json document() { return nlohmann::json::parse(sim.stdOut.bytes()); }
};

TEST_F(CalendarReadTest, WritesEveryEventAsOneLineWithItsKeysAndTypes) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  events({{{"id", "A1B2:EV-1"},
           {"title", "Weekly sync"},
           {"start", {{"fromNow", -1800}}},
           {"end", {{"fromNow", 1800}}},
           {"location", "https://us02web.zoom.us/j/1"},
           {"attendees", {{{"name", "Ada"}, {"status", 2}}, {{"currentUser", true}, {"status", 3}, {"name", "Me"}}}}},
          {{"start", 1'780'000'000.9999}, {"end", 1'780'003'600.0}, {"allDay", true}, {"status", 3}},
          {{"id", "no-end"}, {"start", {{"fromNow", 0}}}},
          {{"id", "no-start"}, {"end", {{"fromNow", 60}}}}});
  EXPECT_EQ(read(), std::nullopt);
  const std::string bytes = sim.stdOut.bytes();
  ASSERT_EQ(sim.stdOut.writes().size(), 1u);  // one write
  ASSERT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1);
  ASSERT_EQ(bytes.back(), '\n');
  EXPECT_EQ(document(), nlohmann::json::parse(R"({"type": "events", "access": "granted", "events": [
      {"id": "A1B2:EV-1", "title": "Weekly sync", "start": 1779998200500, "end": 1780001800500,
       "allDay": false, "cancelled": false, "declined": true, "online": true, "attendees": ["Ada"]},
      {"id": "", "title": "", "start": 1780000000999, "end": 1780003600000,
       "allDay": true, "cancelled": true, "declined": false, "online": false, "attendees": []}]})"));
  // Integers, not floating-point numbers.
  EXPECT_TRUE(document()["events"][0]["start"].is_number_integer());
  EXPECT_EQ(sim.stdErr.bytes(), "");
}

TEST_F(CalendarReadTest, AsksTheStoreForAnHourBackAndTheHoursAhead) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  const std::vector<std::pair<double, double>> table{{24, 86400}, {0, 3600}, {-5, 3600}, {2.5, 9000}};
  for (const auto& [hours, ahead] : table) {
    ASSERT_EQ(read(hours), std::nullopt);
    ASSERT_TRUE(sim.calendar.lastWindow());
    EXPECT_DOUBLE_EQ(sim.calendar.lastWindow()->first, kNow - 3600) << hours;
    EXPECT_DOUBLE_EQ(sim.calendar.lastWindow()->second, kNow + ahead) << hours;
  }
}

// The store returns what overlaps the window: a meeting under way since 30 minutes is in.
TEST_F(CalendarReadTest, AMeetingUnderWayIsListed) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  events({{{"id", "running"}, {"start", {{"fromNow", -1800}}}, {"end", {{"fromNow", 600}}}},
          {{"id", "over"}, {"start", {{"fromNow", -7200}}}, {"end", {{"fromNow", -3700}}}},
          {{"id", "later"}, {"start", {{"fromNow", 3600 * 30}}}, {"end", {{"fromNow", 3600 * 31}}}}});
  EXPECT_EQ(read(), std::nullopt);
  ASSERT_EQ(document()["events"].size(), 1u);
  EXPECT_EQ(document()["events"][0]["id"], "running");
}

struct AccessCase {
  int status;
  bool accessOnly;
  const char* access;
  int fetches;
};

TEST_F(CalendarReadTest, ReadsEventsOnlyWithFullAccessAndNotForTheAccessAlone) {
  const std::vector<AccessCase> table{
      {0, false, "undetermined", 0}, {1, false, "restricted", 0}, {2, false, "denied", 0}, {4, false, "denied", 0},
      {7, false, "denied", 0},       {3, true, "granted", 0},     {3, false, "granted", 1}};
  for (const auto& row : table) {
    testing::SimTestPlatform fresh;
    ControlChannel freshControl{fresh.dispatch, fresh.stdErr, fresh.process};
    fresh.calendar.setStatus(row.status);
    fresh.calendar.setEvents({parseCalendarEvent({{"id", "x"}, {"start", 60}, {"end", 120}}, 0)});
    EXPECT_EQ(readCalendar({fresh.calendar, fresh.dispatch, fresh.stdOut, freshControl}, false, 24, row.accessOnly),
              std::nullopt);
    const auto written = nlohmann::json::parse(fresh.stdOut.bytes());
    EXPECT_EQ(written["access"], row.access) << row.status;
    EXPECT_EQ(written["events"].size(), static_cast<std::size_t>(row.fetches)) << row.status;
    EXPECT_EQ(fresh.calendar.fetches(), row.fetches) << row.status;
  }
}

// Quotes, line feeds and text beyond ASCII stay in one line; bytes that are not UTF-8 become
// U+FFFD and the rest of the document is written.
TEST_F(CalendarReadTest, AwkwardTextIsWrittenAndBadBytesAreReplaced) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  events({{{"id", "q"}, {"title", "\"Design\" review\nroom \\ 2 — Zoë 会議 😀"}, {"start", kNow}, {"end", kNow + 1}},
          {{"id", {{"hex", "69 64 c3"}}},
           {"title", {{"hex", "50 6c 61 6e ff fe 21"}}},
           {"start", kNow},
           {"end", kNow + 1},
           {"attendees", {{{"name", {{"hex", "41 64 61 80"}}}}}}}});
  EXPECT_EQ(read(), std::nullopt);
  const std::string bytes = sim.stdOut.bytes();
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1);
  const auto written = document();
  EXPECT_EQ(written["events"][0]["title"], "\"Design\" review\nroom \\ 2 — Zoë 会議 😀");
  EXPECT_EQ(written["events"][1]["id"], "id\uFFFD");
  EXPECT_EQ(written["events"][1]["title"], "Plan\uFFFD\uFFFD!");
  EXPECT_EQ(written["events"][1]["attendees"], nlohmann::json::array({"Ada\uFFFD"}));
}

// A store that cannot be read is not an empty calendar.
TEST_F(CalendarReadTest, AStoreThatCannotBeReadIsAnErrorWithNothingWritten) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  sim.calendar.setFetchFails(true);
  EXPECT_EQ(read(), std::optional<std::string>("the calendar could not be read: the calendar store is not available"));
  EXPECT_EQ(sim.stdOut.bytes(), "");
}

// Nor is one calendar that could not be read: it is named, and the others are listed.
TEST_F(CalendarReadTest, ACalendarThatCouldNotBeReadIsNamedAndTheOthersAreListed) {
  sim.calendar.setStatus(platform::calendar_authorization::kFullAccess);
  events({{{"id", "kept"}, {"start", kNow}, {"end", kNow + 60}}});
  sim.calendar.setMissing({{"eds", 1, "\"Work\" (work-1): did not answer within 10 s"}, {"eds", 2, "\"Old\" (old)"}});
  EXPECT_EQ(read(), std::nullopt);
  EXPECT_EQ(sim.stdErr.events(),
            (std::vector<nlohmann::json>{
                {{"type", "error"}, {"message", "Calendar unavailable: \"Work\" (work-1): did not answer within 10 s"}},
                {{"type", "error"}, {"message", "Calendar unavailable: \"Old\" (old)"}}}));
  ASSERT_EQ(document()["events"].size(), 1u);
  EXPECT_EQ(document()["events"][0]["id"], "kept");
}

}  // namespace
}  // namespace velmor

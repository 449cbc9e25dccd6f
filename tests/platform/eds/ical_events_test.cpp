// iCalendar components as calendar events, without a store: times in every form a
// calendar writes them (and forms it should not), participants, and repeating events
// expanded into the window with their detached instances.
#include "platform/eds/ical_events.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace velmor::platform::eds {
namespace {

constexpr CalendarDate kHour = 3600;
// 2026-03-10 12:00:00 UTC, a Tuesday; 21:00 in Tokyo.
constexpr CalendarDate kNow = 1773144000;

std::string utc(CalendarDate seconds) {
  const auto whole = static_cast<std::time_t>(seconds);
  std::tm fields{};
  gmtime_r(&whole, &fields);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &fields);
  return text;
}

class IcalEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    eds_ = EdsLibrary::load(&why);
    ASSERT_NE(eds_, nullptr) << why;
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "Asia/Tokyo", 1);  // local time: UTC+9 all year
  }
  void TearDown() override {
    for (ICalComponent* component : components_) g_object_unref(component);
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
  }

  // Components from iCalendar text (lines joined by \n), each VEVENT one.
  std::vector<ICalComponent*> parse(const std::vector<std::string>& events) {
    std::vector<ICalComponent*> parsed;
    for (const auto& text : events) {
      std::string crlf;
      for (char c : "BEGIN:VEVENT\n" + text + "END:VEVENT\n") {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
      }
      ICalComponent* component = i_cal_component_new_from_string(crlf.c_str());
      EXPECT_NE(component, nullptr) << text;
      if (!component) continue;
      components_.push_back(component);
      parsed.push_back(component);
    }
    return parsed;
  }

  CalendarEvents read(const std::vector<std::string>& events, CalendarDate start = kNow - kHour,
                      CalendarDate end = kNow + 24 * kHour, std::vector<std::string> addresses = {"me@example.com"}) {
    const ZoneResolver builtin = [this](const std::string& tzid) {
      ICalTimezone* zone = eds_->timezoneGetBuiltinFromTzid(tzid.c_str());
      return zone ? zone : eds_->timezoneGetBuiltin(tzid.c_str());
    };
    const IcalEvents reader(*eds_, localZone(*eds_), builtin, std::move(addresses));
    auto result = reader.eventsIn(parse(events), start, end, nullptr);
    EXPECT_TRUE(result.ok());
    return result.ok() ? result.value() : CalendarEvents{};
  }

  CalendarEvent only(const std::string& text) {
    const auto found = read({text}, kNow - 400 * 24 * kHour, kNow + 400 * 24 * kHour);
    EXPECT_EQ(found.events.size(), 1u) << text;
    return found.events.empty() ? CalendarEvent{} : found.events[0];
  }

  const EdsLibrary* eds_ = nullptr;

 private:
  std::vector<ICalComponent*> components_;
  std::optional<std::string> savedTz_;
};

struct TimesCase {
  const char* what;
  std::string lines;
  std::optional<CalendarDate> start;
  std::optional<CalendarDate> end;
  bool allDay;
};

TEST_F(IcalEventsTest, ReadsTimesInEveryFormAndNoneFromMalformedOnes) {
  const CalendarDate tokyoMidnight = 1773068400;  // 2026-03-10 00:00 in Tokyo
  const std::vector<TimesCase> table{
      {"UTC", "DTSTART:20260310T120000Z\nDTEND:20260310T130000Z\n", kNow, kNow + kHour, false},
      {"a named zone", "DTSTART;TZID=Europe/Berlin:20260310T130000\nDTEND;TZID=America/New_York:20260310T090000\n",
       kNow, kNow + kHour, false},
      {"a zone's full identifier",
       "DTSTART;TZID=/freeassociation.sourceforge.net/Europe/Berlin:20260310T130000\n"
       "DURATION:PT30M\n",
       kNow, kNow + 1800, false},
      {"floating: local time", "DTSTART:20260310T210000\nDTEND:20260310T220000\n", kNow, kNow + kHour, false},
      {"an unknown zone: local time", "DTSTART;TZID=Nowhere/Atlantis:20260310T210000\nDURATION:PT1H\n", kNow,
       kNow + kHour, false},
      {"a date: local midnight", "DTSTART;VALUE=DATE:20260310\nDTEND;VALUE=DATE:20260312\n", tokyoMidnight,
       tokyoMidnight + 48 * kHour, true},
      {"a date without an end lasts a day", "DTSTART;VALUE=DATE:20260310\n", tokyoMidnight, tokyoMidnight + 24 * kHour,
       true},
      {"a date with a duration in days", "DTSTART;VALUE=DATE:20260310\nDURATION:P3D\n", tokyoMidnight,
       tokyoMidnight + 72 * kHour, true},
      {"a time without an end is an instant", "DTSTART:20260310T120000Z\n", kNow, kNow, false},
      {"DTEND wins over a DURATION beside it", "DTSTART:20260310T120000Z\nDTEND:20260310T130000Z\nDURATION:PT5H\n",
       kNow, kNow + kHour, false},
      {"no start", "DTEND:20260310T130000Z\n", std::nullopt, std::nullopt, false},
      {"a month 13", "DTSTART:20261310T120000Z\nDTEND:20260310T130000Z\n", std::nullopt, std::nullopt, false},
      {"an hour 25", "DTSTART:20260310T250000Z\nDTEND:20260310T130000Z\n", std::nullopt, std::nullopt, false},
      {"a 30 February", "DTSTART;VALUE=DATE:20260230\n", std::nullopt, std::nullopt, false},
      {"text for a time", "DTSTART:soon\nDTEND:20260310T130000Z\n", std::nullopt, std::nullopt, false},
      {"a bad end", "DTSTART:20260310T120000Z\nDTEND:20260399T130000Z\n", kNow, std::nullopt, false},
  };
  for (const auto& row : table) {
    const CalendarEvent event = only("UID:t\n" + row.lines);
    EXPECT_EQ(event.startDate, row.start) << row.what;
    EXPECT_EQ(event.endDate, row.end) << row.what;
    EXPECT_EQ(event.allDay, row.allDay) << row.what;
  }
}

TEST_F(IcalEventsTest, CopiesTheTextFieldsAndTheStatus) {
  const CalendarEvent event = only(
      "UID:abc@example.com\nDTSTART:20260310T120000Z\nSUMMARY:\"Plan\"\\, Zoë\\; 会議\nLOCATION:Room 1\n"
      "URL:https://example.com/m\nDESCRIPTION:First\\nline\nDESCRIPTION:second part\nSTATUS:CANCELLED\n");
  EXPECT_EQ(event.identifier, "abc@example.com");
  EXPECT_EQ(event.title, "\"Plan\", Zoë; 会議");
  EXPECT_EQ(event.location, "Room 1");
  EXPECT_EQ(event.url, "https://example.com/m");
  EXPECT_EQ(event.notes, "First\nline\nsecond part");
  EXPECT_EQ(event.status, event_status::kCanceled);
  EXPECT_EQ(event.attendees, std::nullopt);

  const CalendarEvent bare = only("UID:b\nDTSTART:20260310T120000Z\n");
  EXPECT_EQ(bare.title, std::nullopt);
  EXPECT_EQ(bare.location, std::nullopt);
  EXPECT_EQ(bare.url, std::nullopt);
  EXPECT_EQ(bare.notes, std::nullopt);
  EXPECT_EQ(bare.status, event_status::kNone);
  for (const auto& [text, status] : std::vector<std::pair<std::string, int>>{{"CONFIRMED", event_status::kConfirmed},
                                                                             {"TENTATIVE", event_status::kTentative}}) {
    EXPECT_EQ(only("UID:s\nDTSTART:20260310T120000Z\nSTATUS:" + text + "\n").status, status) << text;
  }
}

struct AttendeeCase {
  std::string line;
  CalendarParticipant expected;
};

TEST_F(IcalEventsTest, MapsEachAttendeeAndFindsTheUserByAddress) {
  namespace status = participant_status;
  namespace type = participant_type;
  const std::vector<AttendeeCase> table{
      {"ATTENDEE;CN=Ada:mailto:ada@example.com",
       {false, status::kPending, type::kPerson, "Ada", "mailto:ada@example.com"}},
      {"ATTENDEE;PARTSTAT=ACCEPTED;CUTYPE=INDIVIDUAL:MAILTO:bob@example.com",
       {false, status::kAccepted, type::kPerson, std::nullopt, "mailto:bob@example.com"}},
      {"ATTENDEE;PARTSTAT=DECLINED:mailto:Me@Example.COM",
       {true, status::kDeclined, type::kPerson, std::nullopt, "mailto:Me@Example.COM"}},
      {"ATTENDEE;PARTSTAT=TENTATIVE;CUTYPE=ROOM;CN=Room:mailto:room@example.com",
       {false, status::kTentative, type::kRoom, "Room", "mailto:room@example.com"}},
      {"ATTENDEE;PARTSTAT=DELEGATED;CUTYPE=RESOURCE:mailto:beamer@example.com",
       {false, status::kDelegated, type::kResource, std::nullopt, "mailto:beamer@example.com"}},
      {"ATTENDEE;PARTSTAT=COMPLETED;CUTYPE=GROUP;CN=Team:mailto:team@example.com",
       {false, status::kCompleted, type::kGroup, "Team", "mailto:team@example.com"}},
      {"ATTENDEE;PARTSTAT=IN-PROCESS;CUTYPE=UNKNOWN:mailto:x@example.com",
       {false, status::kInProcess, type::kUnknown, std::nullopt, "mailto:x@example.com"}},
      {"ATTENDEE;PARTSTAT=X-MAYBE;CUTYPE=X-ROBOT:urn:uuid:1234",
       {false, status::kUnknown, type::kUnknown, std::nullopt, "urn:uuid:1234"}},
      {"ATTENDEE;PARTSTAT=needs-action:mailto:me@example.com.evil.org",
       {false, status::kPending, type::kPerson, std::nullopt, "mailto:me@example.com.evil.org"}},
  };
  std::string lines = "UID:a\nDTSTART:20260310T120000Z\n";
  for (const auto& row : table) lines += row.line + "\n";
  const CalendarEvent event = only(lines);
  ASSERT_TRUE(event.attendees);
  ASSERT_EQ(event.attendees->size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& got = (*event.attendees)[i];
    const auto& want = table[i].expected;
    EXPECT_EQ(got.isCurrentUser, want.isCurrentUser) << table[i].line;
    EXPECT_EQ(got.status, want.status) << table[i].line;
    EXPECT_EQ(got.type, want.type) << table[i].line;
    EXPECT_EQ(got.name, want.name) << table[i].line;
    EXPECT_EQ(got.url, want.url) << table[i].line;
  }
  // Without the user's address nobody is the user.
  const auto anonymous = read({lines}, kNow - kHour, kNow + kHour, {});
  ASSERT_EQ(anonymous.events.size(), 1u);
  for (const auto& participant : *anonymous.events[0].attendees) EXPECT_FALSE(participant.isCurrentUser);
}

TEST_F(IcalEventsTest, KeepsWhatOverlapsTheWindow) {
  const CalendarDate start = kNow - kHour;
  const auto found = read({
      "UID:running\nDTSTART:" + utc(start - kHour) + "\nDTEND:" + utc(start + 1) + "\n",
      "UID:ended-at-start\nDTSTART:" + utc(start - kHour) + "\nDTEND:" + utc(start) + "\n",
      "UID:instant-at-start\nDTSTART:" + utc(start) + "\n",
      "UID:instant-at-end\nDTSTART:" + utc(kNow + 24 * kHour) + "\n",
      "UID:starts-at-end\nDTSTART:" + utc(kNow + 24 * kHour) + "\nDURATION:PT1H\n",
      "UID:undated\nSUMMARY:No dates\n",
  });
  std::vector<std::string> ids;
  for (const auto& event : found.events) ids.push_back(event.identifier.value_or(""));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"instant-at-start", "running", "undated"}));
}

TEST_F(IcalEventsTest, ExpandsARepeatingEventIntoItsInstancesInTheWindow) {
  // Daily for two hours since yesterday, 90 minutes before now: today's instance started
  // before the window and still runs; tomorrow's starts within it. Today's third series
  // instance is skipped by EXDATE.
  const CalendarDate first = kNow - 24 * kHour - 90 * 60;
  const auto found = read({
      "UID:standup\nDTSTART:" + utc(first) +
          "\nDURATION:PT2H\nRRULE:FREQ=DAILY\nSUMMARY:Standup\n"
          "ATTENDEE;PARTSTAT=DECLINED:mailto:me@example.com\n",
      "UID:hourly\nDTSTART:" + utc(kNow) + "\nDURATION:PT10M\nRRULE:FREQ=HOURLY;COUNT=4\nEXDATE:" + utc(kNow + kHour) +
          "\n",
      "UID:days\nDTSTART;VALUE=DATE:20260309\nRRULE:FREQ=DAILY;COUNT=3\n",
  });
  std::vector<std::pair<std::string, CalendarDate>> got;
  for (const auto& event : found.events) got.emplace_back(event.identifier.value_or(""), event.startDate.value_or(0));
  std::sort(got.begin(), got.end());
  const CalendarDate tokyoMidnight = 1773068400;
  EXPECT_EQ(got, (std::vector<std::pair<std::string, CalendarDate>>{
                     {"days/20260310", tokyoMidnight},
                     {"days/20260311", tokyoMidnight + 24 * kHour},
                     {"hourly/" + utc(kNow), kNow},
                     {"hourly/" + utc(kNow + 2 * kHour), kNow + 2 * kHour},
                     {"hourly/" + utc(kNow + 3 * kHour), kNow + 3 * kHour},
                     {"standup/" + utc(first + 24 * kHour), first + 24 * kHour},
                     {"standup/" + utc(first + 48 * kHour), first + 48 * kHour},
                 }));
  for (const auto& event : found.events) {
    if (event.identifier->rfind("standup/", 0) != 0) continue;
    EXPECT_EQ(*event.endDate - *event.startDate, 2 * kHour);
    EXPECT_EQ(event.title, "Standup");
    ASSERT_TRUE(event.attendees);
    EXPECT_TRUE((*event.attendees)[0].isCurrentUser);
  }
  EXPECT_EQ(found.incomplete, std::nullopt);
}

TEST_F(IcalEventsTest, ADetachedInstanceReplacesItsSeriesInstanceWhereverItMoved) {
  const std::string series =
      "DTSTART;TZID=Europe/Berlin:20260310T140000\nDTEND;TZID=Europe/Berlin:20260310T150000\n"
      "RRULE:FREQ=DAILY;COUNT=2\nSUMMARY:Sync\n";
  // 14:00 in Berlin is 13:00 UTC; the detached instances name it in UTC and in Berlin time.
  const auto found = read(
      {
          "UID:sync\n" + series,
          "UID:sync\nRECURRENCE-ID:20260310T130000Z\nDTSTART:" + utc(kNow + 3 * kHour) +
              "\nDTEND:" + utc(kNow + 4 * kHour) + "\nSUMMARY:Sync (moved)\n",
          "UID:away\n" + series,
          "UID:away\nRECURRENCE-ID;TZID=Europe/Berlin:20260310T140000\nDTSTART:20260320T100000Z\n"
          "DTEND:20260320T110000Z\n",
      },
      kNow - kHour, kNow + 30 * kHour);
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& event : found.events) got.emplace_back(event.identifier.value_or(""), event.title.value_or(""));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{{"away/20260311T130000Z", "Sync"},
                                                                   {"sync/20260310T130000Z", "Sync (moved)"},
                                                                   {"sync/20260311T130000Z", "Sync"}}));
}

// Rules no meeting has: one every minute for two days is cut short at the cap, one every
// second (which would take minutes to expand) is left out; both are said.
TEST_F(IcalEventsTest, AFloodOfInstancesIsCutShortAndSaidSo) {
  const auto found = read({"UID:minutes\nDTSTART:" + utc(kNow) + "\nDURATION:PT1S\nRRULE:FREQ=MINUTELY\n",
                           "UID:seconds\nDTSTART:" + utc(kNow) + "\nDURATION:PT1S\nRRULE:FREQ=SECONDLY;INTERVAL=59\n",
                           "UID:calm\nDTSTART:" + utc(kNow) + "\nDURATION:PT1H\n"},
                          kNow - kHour, kNow + 48 * kHour);
  std::size_t minutes = 0;
  for (const auto& event : found.events) minutes += event.identifier->rfind("minutes/", 0) == 0;
  EXPECT_EQ(minutes, kMaxInstancesPerEvent);
  EXPECT_EQ(found.events.size(), kMaxInstancesPerEvent + 1);
  EXPECT_EQ(found.incomplete,
            "the repeating event minutes has more than 2000 instances in the window; the rest are left out; the "
            "repeating event seconds repeats more often than once a minute and is left out");
}

// A window beyond what the calendar can write is read up to where it can.
TEST_F(IcalEventsTest, AWindowBeyondTheYear9999EndsThere) {
  const auto found =
      read({"UID:daily\nDTSTART:" + utc(kNow) + "\nDURATION:PT1H\nRRULE:FREQ=DAILY;COUNT=3\n"}, kNow - kHour, 1e300);
  EXPECT_EQ(found.events.size(), 3u);
  EXPECT_EQ(found.incomplete, std::nullopt);
}

TEST(CalendarAddress, IsTheMailAddressInLowerCase) {
  EXPECT_EQ(addressOf("mailto:Ada@Example.com"), "ada@example.com");
  EXPECT_EQ(addressOf("MAILTO: bob@example.com "), "bob@example.com");
  EXPECT_EQ(addressOf("urn:uuid:AB"), "urn:uuid:ab");
  EXPECT_EQ(addressOf(""), "");
}

}  // namespace
}  // namespace velmor::platform::eds

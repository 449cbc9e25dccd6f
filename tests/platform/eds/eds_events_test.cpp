// The shipped binary's `--events` against a real calendar store on a private session bus:
// the document checked field by field for meetings of every kind, a calendar that cannot
// be read, an account that is offline, and entries no store should hold.
#include <ctime>

#include <algorithm>
#include <cstdio>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/eds/eds_test_store.h"
#include "support/subprocess.h"

namespace velmor {
namespace {

using testing::EdsTestStore;
using testing::ProcessOptions;
using testing::ProcessResult;

constexpr std::time_t kHour = 3600;

std::string format(std::time_t seconds, const char* pattern) {
  std::tm fields{};
  gmtime_r(&seconds, &fields);
  char text[32];
  std::strftime(text, sizeof text, pattern, &fields);
  return text;
}
std::string utc(std::time_t seconds) { return format(seconds, "%Y%m%dT%H%M%SZ"); }
// Wall-clock times in zones without daylight saving time, so that the test can write them.
std::string kolkata(std::time_t seconds) { return format(seconds + 19800, "%Y%m%dT%H%M%S"); }
std::string tokyoDate(std::time_t seconds) { return format(seconds + 9 * kHour, "%Y%m%d"); }
// Local midnight in Tokyo of the day `seconds` falls on there.
std::time_t tokyoMidnight(std::time_t seconds) { return (seconds + 9 * kHour) / 86400 * 86400 - 9 * kHour; }

std::string calendar(const std::string& events) {
  std::string ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//velmor//tests//EN\r\n" + events + "END:VCALENDAR\r\n";
  // iCalendar lines end in CRLF.
  std::string out;
  for (std::size_t i = 0; i < ics.size(); ++i) {
    if (ics[i] == '\n' && (i == 0 || ics[i - 1] != '\r')) out.push_back('\r');
    out.push_back(ics[i]);
  }
  return out;
}

std::string event(const std::string& uid, const std::string& lines) {
  return "BEGIN:VEVENT\nUID:" + uid + "\nDTSTAMP:20260101T000000Z\n" + lines + "END:VEVENT\n";
}

constexpr const char* kIdentity = R"([Data Source]
DisplayName=Me
Enabled=true
Parent=

[Mail Identity]
Address=me@example.com
Name=Me
)";

// A local calendar of the user's work account: it carries the account's address.
constexpr const char* kWorkSource = R"([Data Source]
DisplayName=Work
Enabled=true
Parent=local-stub

[Calendar]
BackendName=local

[WebDAV Backend]
EmailAddress=Work@Example.com
)";

// An online account's calendar whose server is out of reach: the store answers from what
// it last fetched (nothing here), at once.
constexpr const char* kOfflineSource = R"([Data Source]
DisplayName=Team (offline)
Enabled=true
Parent=caldav-stub

[Calendar]
BackendName=caldav

[Authentication]
Host=127.0.0.1
Port=9
User=me
Method=none

[Security]
Method=none

[WebDAV Backend]
ResourcePath=/calendars/team/
EmailAddress=me@example.com
)";

constexpr const char* kBrokenSource = R"([Data Source]
DisplayName=Broken
Enabled=true
Parent=

[Calendar]
BackendName=no-such-backend
)";

struct EdsEventsTest : ::testing::Test {
  EdsTestStore store;
  // Whole minutes, so that the texts written are the times expected.
  const std::time_t now = std::time(nullptr) / 60 * 60;

  ProcessResult events(const std::vector<std::string>& extra = {}) {
    ProcessOptions options;
    options.args = {"--events", "--hours", "24"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.env = store.environment();
    options.env["TZ"] = "Asia/Tokyo";
    options.timeout = std::chrono::seconds(60);
    return runProcess(VELMOR_AUDIO_BINARY, options);
  }
};

nlohmann::json meeting(const std::string& id, const std::string& title, std::time_t start, std::time_t end, bool allDay,
                       bool cancelled, bool declined, bool online, const nlohmann::json& attendees) {
  return {{"id", id},
          {"title", title},
          {"start", static_cast<long long>(start) * 1000},
          {"end", static_cast<long long>(end) * 1000},
          {"allDay", allDay},
          {"cancelled", cancelled},
          {"declined", declined},
          {"online", online},
          {"attendees", attendees}};
}

TEST_F(EdsEventsTest, ListsEveryMeetingOfTheWindowFieldByField) {
  const std::time_t h = kHour;
  store.writeSource("me-identity", kIdentity);
  store.writeSource("work", kWorkSource);
  store.writeSource("team-offline", kOfflineSource);
  store.writeCalendar(
      "system-calendar",
      calendar(event("weekly-sync",
                     "DTSTART:" + utc(now + 2 * h) + "\nDTEND:" + utc(now + 3 * h) +
                         "\nSUMMARY:Weekly sync\nDESCRIPTION:Agenda\\nJoin: https://meet.google.com/abc-defg-hij\n"
                         "ORGANIZER;CN=Me:mailto:me@example.com\n"
                         "ATTENDEE;CN=Me;PARTSTAT=ACCEPTED:mailto:ME@example.com\n"
                         "ATTENDEE;CN=Ada Lovelace;PARTSTAT=ACCEPTED:mailto:ada@example.com\n"
                         "ATTENDEE;PARTSTAT=NEEDS-ACTION:MAILTO:bob@example.com\n"
                         "ATTENDEE;CUTYPE=ROOM;CN=Room 4.01:mailto:room401@example.com\n"
                         "ATTENDEE;CUTYPE=RESOURCE;CN=Projector:mailto:projector@example.com\n"
                         "ATTENDEE;CUTYPE=GROUP;CN=Design team:mailto:design@example.com\n"
                         "ATTENDEE;CN=Ada Lovelace:mailto:ada.lovelace@example.org\n") +
               // Started yesterday, every day for two hours: today's began 90 minutes ago, before the
               // window, and still runs; tomorrow's starts before the window ends.
               event("standup", "DTSTART:" + utc(now - 24 * h - 90 * 60) +
                                    "\nDURATION:PT2H\nRRULE:FREQ=DAILY\nSUMMARY:Daily standup\n"
                                    "LOCATION:https://us02web.zoom.us/j/123\n") +
               event("holiday", "DTSTART;VALUE=DATE:" + tokyoDate(now) + "\nSUMMARY:Company holiday\n") +
               event("cancelled", "DTSTART:" + utc(now + 4 * h) + "\nDTEND:" + utc(now + 5 * h) +
                                      "\nSUMMARY:Cancelled sync\nSTATUS:CANCELLED\n") +
               event("budget", "DTSTART;TZID=Asia/Kolkata:" + kolkata(now + 6 * h) +
                                   "\nDTEND;TZID=Asia/Kolkata:" + kolkata(now + 7 * h) +
                                   "\nSUMMARY:Budget review\nURL:https://teams.microsoft.com/l/meetup-join/x\n"
                                   "ATTENDEE;CN=Me;PARTSTAT=DECLINED:mailto:me@example.com\n"
                                   "ATTENDEE;CN=Carol:mailto:carol@example.com\n") +
               event("awkward", "DTSTART:" + utc(now + 8 * h) + "\nDTEND:" + utc(now + 8 * h + 1800) +
                                    "\nSUMMARY:\"Design\" review\\, Zoë\\; 会議\n") +
               event("far", "DTSTART:" + utc(now + 30 * h) + "\nDTEND:" + utc(now + 31 * h) + "\nSUMMARY:Far away\n") +
               event("over", "DTSTART:" + utc(now - 3 * h) + "\nDTEND:" + utc(now - 2 * h) + "\nSUMMARY:Over\n") +
               // A series whose first instance moved later the same day, and one whose first
               // instance moved out of the window: the moved one is listed where it went.
               event("focus", "DTSTART:" + utc(now + 10 * h) + "\nDTEND:" + utc(now + 11 * h) +
                                  "\nRRULE:FREQ=DAILY;COUNT=3\nSUMMARY:Focus time\n") +
               event("focus", "RECURRENCE-ID:" + utc(now + 10 * h) + "\nDTSTART:" + utc(now + 12 * h) +
                                  "\nDTEND:" + utc(now + 13 * h) + "\nSUMMARY:Focus time (moved)\n") +
               event("retro", "DTSTART:" + utc(now + 14 * h) + "\nDTEND:" + utc(now + 15 * h) +
                                  "\nRRULE:FREQ=DAILY;COUNT=3\nSUMMARY:Retro\n") +
               event("retro", "RECURRENCE-ID:" + utc(now + 14 * h) + "\nDTSTART:" + utc(now + 50 * h) +
                                  "\nDTEND:" + utc(now + 51 * h) + "\nSUMMARY:Retro (moved)\n")));
  // In the work calendar the user is the work address; the personal one is anyone's.
  store.writeCalendar("work",
                      calendar(event("quarterly", "DTSTART:" + utc(now + 9 * h) + "\nDTEND:" + utc(now + 10 * h) +
                                                      "\nSUMMARY:Quarterly review\n"
                                                      "ATTENDEE;PARTSTAT=DECLINED:mailto:work@example.com\n"
                                                      "ATTENDEE;CN=Me at home:mailto:me@example.com\n")));
  store.start();

  const ProcessResult result = events();
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0) << result.stderrBytes;
  EXPECT_EQ(result.stderrBytes, "");
  ASSERT_FALSE(result.stdoutBytes.empty());
  EXPECT_EQ(result.stdoutBytes.back(), '\n');
  const auto document = nlohmann::json::parse(result.stdoutBytes);

  std::vector<nlohmann::json> expected{
      meeting("weekly-sync", "Weekly sync", now + 2 * h, now + 3 * h, false, false, false, true,
              {"Ada Lovelace", "bob@example.com", "Design team"}),
      meeting("standup/" + utc(now - 90 * 60), "Daily standup", now - 90 * 60, now + 30 * 60, false, false, false, true,
              nlohmann::json::array()),
      meeting("standup/" + utc(now + 24 * h - 90 * 60), "Daily standup", now + 24 * h - 90 * 60, now + 24 * h + 30 * 60,
              false, false, false, true, nlohmann::json::array()),
      meeting("holiday", "Company holiday", tokyoMidnight(now), tokyoMidnight(now) + 24 * h, true, false, false, false,
              nlohmann::json::array()),
      meeting("cancelled", "Cancelled sync", now + 4 * h, now + 5 * h, false, true, false, false,
              nlohmann::json::array()),
      meeting("budget", "Budget review", now + 6 * h, now + 7 * h, false, false, true, true, {"Carol"}),
      meeting("awkward", "\"Design\" review, Zoë; 会議", now + 8 * h, now + 8 * h + 1800, false, false, false, false,
              nlohmann::json::array()),
      meeting("quarterly", "Quarterly review", now + 9 * h, now + 10 * h, false, false, true, false, {"Me at home"}),
      meeting("focus/" + utc(now + 10 * h), "Focus time (moved)", now + 12 * h, now + 13 * h, false, false, false,
              false, nlohmann::json::array()),
  };
  // The store's order: by start, then identifier.
  std::sort(expected.begin(), expected.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
    return std::make_pair(a["start"].get<long long>(), a["id"].get<std::string>()) <
           std::make_pair(b["start"].get<long long>(), b["id"].get<std::string>());
  });
  EXPECT_EQ(document["type"], "events");
  EXPECT_EQ(document["access"], "granted");
  ASSERT_EQ(document["events"].size(), expected.size()) << document.dump(2);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(document["events"][i], expected[i]) << "event " << i;
  }
}

// Asking for the access alone opens no calendar.
TEST_F(EdsEventsTest, TheAccessAloneReadsNoCalendar) {
  store.writeCalendar("system-calendar", calendar(event("soon", "DTSTART:" + utc(now + kHour) +
                                                                    "\nDTEND:" + utc(now + 2 * kHour) + "\n")));
  store.start();
  const ProcessResult result = events({"--access-only"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stderrBytes, "");
  EXPECT_EQ(nlohmann::json::parse(result.stdoutBytes),
            (nlohmann::json{{"type", "events"}, {"access", "granted"}, {"events", nlohmann::json::array()}}));
  EXPECT_TRUE(store.processes("evolution-calendar-factory").empty());
  // --ask has nobody to ask: the same answer.
  const ProcessResult asked = events({"--access-only", "--ask"});
  EXPECT_EQ(asked.stdoutBytes, result.stdoutBytes);
}

// One calendar that cannot be opened is named; the others are listed.
TEST_F(EdsEventsTest, ACalendarThatCannotBeOpenedIsNamedAndTheOthersListed) {
  store.writeSource("broken", kBrokenSource);
  store.writeCalendar(
      "system-calendar",
      calendar(event("kept", "DTSTART:" + utc(now + kHour) + "\nDTEND:" + utc(now + 2 * kHour) + "\nSUMMARY:Kept\n")));
  store.start();
  const ProcessResult result = events();
  EXPECT_EQ(result.status, 0);
  const auto errors = result.events();
  ASSERT_EQ(errors.size(), 1u) << result.stderrBytes;
  EXPECT_EQ(errors[0]["type"], "error");
  EXPECT_EQ(errors[0]["message"].get<std::string>().rfind("Calendar unavailable: \"Broken\" (broken): could not be "
                                                          "opened: ",
                                                          0),
            0u)
      << errors[0];
  const auto document = nlohmann::json::parse(result.stdoutBytes);
  ASSERT_EQ(document["events"].size(), 1u);
  EXPECT_EQ(document["events"][0]["title"], "Kept");
}

constexpr const char* kStormSource = R"([Data Source]
DisplayName=Storm
Enabled=true
Parent=local-stub

[Calendar]
BackendName=local
)";

// Bytes that are not UTF-8, a field of megabytes and times that are no times: the entries
// that can be read are listed, the rest left out. A rule that repeats every second keeps
// the store itself busy for minutes: its calendar is given up after the wait, and named.
TEST_F(EdsEventsTest, EntriesNoStoreShouldHoldNeitherCrashNorEmptyTheDocument) {
  const std::string start = utc(now + kHour);
  const std::string end = utc(now + 2 * kHour);
  const std::string huge(4 << 20, 'x');
  store.writeCalendar(
      "system-calendar",
      calendar(event("bad-bytes", "DTSTART:" + start + "\nDTEND:" + end +
                                      "\nSUMMARY:caf\xe9 \xff\xfe ok\nATTENDEE;CN=Jos\xe9:mailto:jose@example.com\n") +
               event("huge", "DTSTART:" + start + "\nDTEND:" + end + "\nSUMMARY:Huge\nDESCRIPTION:" + huge +
                                 " https://zoom.us/j/1\n") +
               event("no-time", "DTSTART:notatime\nDTEND:" + end + "\nSUMMARY:No time\n") +
               event("bad-date", "DTSTART:20261399T999999Z\nDTEND:" + end + "\nSUMMARY:Bad date\n") +
               event("bad-zone", "DTSTART;TZID=Nowhere/Atlantis:" + kolkata(now + 5 * kHour) +
                                     "\nDTEND;TZID=Nowhere/Atlantis:" + kolkata(now + 6 * kHour) +
                                     "\nSUMMARY:Unknown zone\n") +
               event("fine", "DTSTART:" + start + "\nDTEND:" + end + "\nSUMMARY:Fine\n")));
  store.writeSource("storm", kStormSource);
  store.writeCalendar(
      "storm", calendar(event("storm", "DTSTART:" + start + "\nDURATION:PT1S\nRRULE:FREQ=SECONDLY\nSUMMARY:Storm\n")));
  store.start();
  const ProcessResult result = events();
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0) << result.stderrBytes;
  const auto errors = result.events();
  ASSERT_EQ(errors.size(), 1u) << result.stderrBytes;
  EXPECT_EQ(errors[0]["message"], "Calendar unavailable: \"Storm\" (storm): did not answer within 10 s");
  const auto document = nlohmann::json::parse(result.stdoutBytes);
  std::map<std::string, nlohmann::json> byId;
  for (const auto& meeting : document["events"]) byId[meeting["id"]] = meeting;
  ASSERT_EQ(byId.count("fine"), 1u);
  ASSERT_EQ(byId.count("bad-bytes"), 1u);
  // The store itself puts U+FFFD in place of what is not UTF-8.
  EXPECT_EQ(byId["bad-bytes"]["title"], "caf\uFFFD \uFFFD\uFFFD ok");
  EXPECT_EQ(byId["bad-bytes"]["attendees"], nlohmann::json::array({"Jos\uFFFD"}));
  ASSERT_EQ(byId.count("huge"), 1u);
  EXPECT_EQ(byId["huge"]["online"], true);
  // A zone nobody knows is read as local time, Tokyo here.
  ASSERT_EQ(byId.count("bad-zone"), 1u);
  EXPECT_EQ(byId["bad-zone"]["start"], (static_cast<long long>(now + 5 * kHour) + 19800 - 9 * kHour) * 1000);
  // Without a readable start an event has no place in the window.
  EXPECT_EQ(byId.count("no-time"), 0u);
  EXPECT_EQ(byId.count("bad-date"), 0u);
}

}  // namespace
}  // namespace velmor

// The pieces of the meeting document as tables: the window, the milliseconds, the call
// link, the invitees.
#include "calendar/meeting_list.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "platform/sim/sim_calendar.h"

namespace velmor {
namespace {

using platform::sim::parseCalendarEvent;

TEST(CalendarWindow, ReachesAnHourBackAndAtLeastAnHourAhead) {
  const double now = 1'780'000'000.25;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<double, double>> table{{24, now + 86400}, {1, now + 3600},   {1.5, now + 5400},
                                                     {0.5, now + 3600}, {0, now + 3600},   {-5, now + 3600},
                                                     {nan, now + 3600}, {-0.0, now + 3600}};
  for (const auto& [hours, end] : table) {
    const CalendarWindow window = calendarWindow(now, hours);
    EXPECT_EQ(window.start, now - 3600) << hours;
    EXPECT_EQ(window.end, end) << hours;
  }
}

TEST(Milliseconds, DropTheFractionTowardZero) {
  const std::vector<std::pair<double, std::optional<std::int64_t>>> table{
      {0, 0},
      {1.0009, 1000},
      {-1.0009, -1000},  // toward zero, not down
      {1'700'000'000.1239, 1'700'000'000'123},
      {-0.0005, 0},
      {64'092'211'200.0, 64'092'211'200'000},  // year 4001, the calendar's far future
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {1e17, std::nullopt},
      {-1e17, std::nullopt}};
  for (const auto& [seconds, milliseconds] : table) EXPECT_EQ(millisecondsSince1970(seconds), milliseconds) << seconds;
}

struct LinkCase {
  const char* name;
  nlohmann::json event;
  bool online;
};

class CallLink : public ::testing::TestWithParam<LinkCase> {};

TEST_P(CallLink, IsAnyMeetingHostInLocationLinkOrNotes) {
  EXPECT_EQ(hasCallLink(parseCalendarEvent(GetParam().event, 0)), GetParam().online);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallLink,
    ::testing::Values(LinkCase{"Nothing", nlohmann::json::object(), false},
                      LinkCase{"PlainRoom", {{"location", "Room 4.12"}, {"notes", "Bring the slides"}}, false},
                      LinkCase{"InLocationUpperCase", {{"location", "HTTPS://US02WEB.ZOOM.US/J/8512345678"}}, true},
                      LinkCase{"InLinkOnly", {{"url", "https://meet.google.com/abc-defg-hij"}}, true},
                      LinkCase{
                          "InNotesOnly",
                          {{"location", "HQ"}, {"notes", "Join:\nhttps://teams.microsoft.com/l/meetup-join/19%3a"}},
                          true},
                      LinkCase{"SubdomainOfAListedDomain", {{"notes", "https://acme.webex.com/meet/ada"}}, true},
                      LinkCase{"InsideALongerHostName", {{"notes", "see notzoom.usual.example"}}, true},
                      LinkCase{"MixedCaseInNotes", {{"notes", "Meet.Jit.Si/SprintReview"}}, true},
                      LinkCase{"SimilarButNotAHost", {{"notes", "zoom us at meet google com"}}, false},
                      // The three parts are joined with spaces: a host never forms across two of them.
                      LinkCase{"NotAcrossParts", {{"location", "zoom"}, {"url", ".us"}}, false},
                      LinkCase{"NonAsciiAround", {{"location", "Überraschung – whereby.com/ÉQUIPE"}}, true}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(CallLinkHosts, EachServicesLinkCounts) {
  const std::vector<std::string> links{"https://us06web.zoom.us/j/85123456789?pwd=abc",
                                       "https://meet.google.com/xyz-abcd-efg",
                                       "https://teams.microsoft.com/l/meetup-join/19%3ameeting",
                                       "https://teams.live.com/meet/9876543210",
                                       "https://acme.webex.com/acme/j.php?MTID=m1",
                                       "https://whereby.com/team-standup",
                                       "https://facetime.apple.com/join#v=1&p=AbCd",
                                       "https://global.gotomeeting.com/join/123456789",
                                       "https://meet.jit.si/OurStandup",
                                       "https://chime.aws/1234567890",
                                       "https://bluejeans.com/123456789"};
  ASSERT_EQ(links.size(), kCallHosts.size());
  for (const auto& link : links) EXPECT_TRUE(hasCallLink(parseCalendarEvent({{"url", link}}, 0))) << link;
}

struct InviteCase {
  const char* name;
  nlohmann::json attendees;
  std::vector<std::string> names;
  bool declined;
};

class Invited : public ::testing::TestWithParam<InviteCase> {};

TEST_P(Invited, ListsOthersOnceAndTellsWhetherTheUserDeclined) {
  const Invitees invitees = invited(parseCalendarEvent({{"attendees", GetParam().attendees}}, 0));
  EXPECT_EQ(invitees.names, GetParam().names);
  EXPECT_EQ(invitees.declined, GetParam().declined);
}

// Statuses: 1 pending, 2 accepted, 3 declined, 4 tentative. Types: 0 unknown, 1 person,
// 2 room, 3 resource, 4 group.
INSTANTIATE_TEST_SUITE_P(
    Table, Invited,
    ::testing::Values(
        InviteCase{"NoList", nullptr, {}, false}, InviteCase{"EmptyList", nlohmann::json::array(), {}, false},
        InviteCase{"UserDeclinedIsNotListed",
                   {{{"name", "Me"}, {"currentUser", true}, {"status", 3}}, {{"name", "Ada"}, {"status", 2}}},
                   {"Ada"},
                   true},
        InviteCase{"UserAcceptedIsNotListed", {{{"name", "Me"}, {"currentUser", true}, {"status", 2}}}, {}, false},
        InviteCase{"UserTentative", {{{"name", "Me"}, {"currentUser", true}, {"status", 4}}}, {}, false},
        InviteCase{"OthersDeclinedIsNotTheUser", {{{"name", "Ada"}, {"status", 3}}}, {"Ada"}, false},
        InviteCase{"RoomsAndResourcesAreLeftOut",
                   {{{"name", "Room 4.12"}, {"type", 2}},
                    {{"name", "Projector"}, {"type", 3}},
                    {{"name", "Team"}, {"type", 4}},
                    {{"name", "Someone"}, {"type", 0}},
                    {{"name", "Ada"}, {"type", 1}}},
                   {"Team", "Someone", "Ada"},
                   false},
        InviteCase{"MailLinkWithoutName",
                   {{{"url", "mailto:bob@example.com"}}, {{"name", ""}, {"url", "mailto:eve@example.com"}}},
                   {"bob@example.com", "eve@example.com"},
                   false},
        InviteCase{
            "OnlyLowerCaseMailtoIsRemoved", {{{"url", "MAILTO:bob@example.com"}}}, {"MAILTO:bob@example.com"}, false},
        InviteCase{
            "OtherLinkStays", {{{"url", "https://example.com/people/ada"}}}, {"https://example.com/people/ada"}, false},
        InviteCase{"NeitherNameNorLink",
                   {{{"name", ""}}, {{"url", ""}}, {{"url", "mailto:"}}, nlohmann::json::object()},
                   {},
                   false},
        InviteCase{"DuplicatesOnceInFirstPlace",
                   {{{"name", "Ada"}},
                    {{"name", "Bob"}},
                    {{"name", "Ada"}, {"url", "mailto:ada@b.example"}},
                    {{"url", "mailto:Bob"}},
                    {{"name", "Bob"}}},
                   {"Ada", "Bob"},
                   false},
        InviteCase{"CanonicallyEquivalentNamesOnce",
                   {{{"name", "Ren\u00e9e"}}, {{"name", "Rene\u0301e"}}},
                   {"Ren\u00e9e"},
                   false},
        InviteCase{"NamesDifferingInCaseAreTwo", {{{"name", "ada"}}, {{"name", "Ada"}}}, {"ada", "Ada"}, false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
}  // namespace velmor

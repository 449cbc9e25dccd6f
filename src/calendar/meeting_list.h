#pragma once
// The pieces of the calendar document: the time window, each event's meeting object with
// its invitees, declined flag and video-call link.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/calendar.h"

namespace velmor {

// The meeting services' link hosts, searched in this order: Zoom, Google Meet, Microsoft
// Teams (business, then consumer), Webex, Whereby, FaceTime, GoToMeeting, Jitsi Meet,
// Amazon Chime, BlueJeans.
inline constexpr std::array<const char*, 11> kCallHosts{
    "zoom.us",     "meet.google.com", "teams.microsoft.com", "teams.live.com",
    "webex.com",   "whereby.com",     "facetime.apple.com",  "gotomeeting.com",
    "meet.jit.si", "chime.aws",       "bluejeans.com"};

struct CalendarWindow {
  platform::CalendarDate start;
  platform::CalendarDate end;
};

// From one hour before `now` to max(hours, 1) hours after it; NaN counts as 1.
CalendarWindow calendarWindow(platform::CalendarDate now, double hours);

// Milliseconds since 1970, the fraction dropped toward zero; none for a date that no
// 64-bit count of milliseconds can hold.
std::optional<std::int64_t> millisecondsSince1970(platform::CalendarDate date);

// A meeting-service host occurs in the event's location, link or notes, in any case.
bool hasCallLink(const platform::CalendarEvent& event);

struct Invitees {
  std::vector<std::string> names;  // in attendee order, each once
  bool declined = false;           // the user's own entry declined
};
Invitees invited(const platform::CalendarEvent& event);

// The event's meeting object; none for an event without a usable start and end date.
std::optional<nlohmann::json> meetingObject(const platform::CalendarEvent& event);

}  // namespace velmor

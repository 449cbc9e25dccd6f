#include "calendar/meeting_list.h"

#include <algorithm>
#include <cmath>

#include "unicode/unicode_text.h"

namespace velmor {
namespace {

std::string textOr(const std::optional<std::string>& text) { return text.value_or(std::string()); }

std::string withoutAll(std::string text, const std::string& part) {
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
  return text;
}

}  // namespace

CalendarWindow calendarWindow(platform::CalendarDate now, double hours) {
  const double ahead = hours >= 1 ? hours : 1;  // also for NaN, which compares false
  return CalendarWindow{now - 3600, now + ahead * 3600};
}

std::optional<std::int64_t> millisecondsSince1970(platform::CalendarDate date) {
  const double milliseconds = std::trunc(date * 1000);
  // 2^63 is exact as a double; anything from it up (and NaN) does not fit.
  if (!(milliseconds >= -9223372036854775808.0 && milliseconds < 9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(milliseconds);
}

bool hasCallLink(const platform::CalendarEvent& event) {
  const std::string text = lowerCased(textOr(event.location) + " " + textOr(event.url) + " " + textOr(event.notes));
  return std::any_of(kCallHosts.begin(), kCallHosts.end(),
                     [&](const char* host) { return text.find(host) != std::string::npos; });
}

Invitees invited(const platform::CalendarEvent& event) {
  Invitees invitees;
  std::vector<std::string> keys;  // canonically equivalent names are one name
  if (!event.attendees) return invitees;
  for (const auto& participant : *event.attendees) {
    if (participant.isCurrentUser) {
      if (participant.status == platform::participant_status::kDeclined) invitees.declined = true;
      continue;
    }
    if (participant.type == platform::participant_type::kRoom ||
        participant.type == platform::participant_type::kResource) {
      continue;
    }
    std::string name = textOr(participant.name);
    // A mail link without a display name leaves the bare address.
    if (name.empty()) name = withoutAll(textOr(participant.url), "mailto:");
    if (name.empty()) continue;
    std::string key = canonicalKey(name);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    keys.push_back(std::move(key));
    invitees.names.push_back(std::move(name));
  }
  return invitees;
}

std::optional<nlohmann::json> meetingObject(const platform::CalendarEvent& event) {
  if (!event.startDate || !event.endDate) return std::nullopt;
  const auto start = millisecondsSince1970(*event.startDate);
  const auto end = millisecondsSince1970(*event.endDate);
  if (!start || !end) return std::nullopt;
  const Invitees invitees = invited(event);
  return nlohmann::json{{"id", textOr(event.identifier)},
                        {"title", textOr(event.title)},
                        {"start", *start},
                        {"end", *end},
                        {"allDay", event.allDay},
                        {"cancelled", event.status == platform::event_status::kCanceled},
                        {"declined", invitees.declined},
                        {"online", hasCallLink(event)},
                        {"attendees", invitees.names}};
}

}  // namespace velmor

#pragma once
// The store's iCalendar components as the platform's calendar events: one event for a
// single meeting, one per instance in the window for a repeating one, each field mapped as
// the README's calendar section says. Nothing here talks to the store: time zones the
// components name are resolved through a function the caller gives.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/calendar.h"
#include "platform/eds/eds_library.h"

namespace velmor::platform::eds {

// Releases a libical-glib or GLib object.
struct Unref {
  const GioLibrary* eds;
  void operator()(gpointer object) const {
    if (object) eds->objectUnref(object);
  }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;

// The zone of a TZID, owned elsewhere; null when unknown.
using ZoneResolver = std::function<ICalTimezone*(const std::string& tzid)>;

// The user's local zone: TZ when it names a zone, else the system's, else UTC. Dates and
// times without a zone count in it.
ICalTimezone* localZone(const EdsLibrary& eds);

// What one calendar's components gave: the events, and why some are missing, if any are.
struct CalendarEvents {
  std::vector<CalendarEvent> events;
  std::optional<std::string> incomplete;
};

// A repeating event gives at most this many instances in one window; the rest are left out
// and the calendar is reported incomplete. Expanding a rule costs more than linear time in
// its instances (a rule every minute takes 4 s to reach 10000), and no meeting repeats this
// often in a window of days.
inline constexpr std::size_t kMaxInstancesPerEvent = 2000;
// A rule that repeats more often than once a minute is no meeting, and expanding it costs
// minutes: such an event is left out, and said so.
inline constexpr int kShortestRepeat = 60;  // seconds

// The latest time the calendar's libraries can write: 9999-12-31 23:59:59 UTC. A window
// reaching further is read up to it.
inline constexpr CalendarDate kLatestTime = 253402300799;
inline CalendarDate withinCalendarRange(CalendarDate seconds) {
  return seconds < 0 ? 0 : seconds > kLatestTime ? kLatestTime : seconds;
}

class IcalEvents {
 public:
  // `userAddresses`: the user's e-mail addresses in this calendar, lower case.
  IcalEvents(const EdsLibrary& eds, ICalTimezone* local, ZoneResolver resolveZone,
             std::vector<std::string> userAddresses);

  // The events of `components` (single events, repeating events and their detached
  // instances; each UID's complete set) that overlap [start, end). An event whose start or
  // end cannot be read is kept without it. An error only when `cancellable` was cancelled.
  Result<CalendarEvents> eventsIn(const std::vector<ICalComponent*>& components, CalendarDate start, CalendarDate end,
                                  GCancellable* cancellable) const;

 private:
  struct Times {
    std::optional<CalendarDate> start;
    std::optional<CalendarDate> end;
    bool allDay = false;
  };
  struct Instance {
    Times times;
    std::string recurrenceId;
  };

  CalendarEvent describe(ICalComponent* component, const Times& times, std::optional<std::string> identifier) const;
  std::vector<CalendarParticipant> attendees(ICalComponent* component) const;
  Times timesOf(ICalComponent* component) const;
  // The recurrence id of a detached instance, as an instance of its series would carry it.
  std::optional<std::string> recurrenceIdOf(ICalComponent* component) const;
  // A property's time and the zone its TZID names.
  std::optional<CalendarDate> secondsOf(ICalTime* time, ICalTimezone* zone) const;
  std::optional<std::string> recurrenceText(ICalTime* time, ICalTimezone* zone) const;
  ICalTimezone* zoneOf(ICalProperty* property) const;
  Result<std::vector<Instance>> instancesOf(ICalComponent* series, CalendarDate start, CalendarDate end,
                                            GCancellable* cancellable, bool* capped) const;
  // One of its rules repeats more often than kShortestRepeat allows.
  bool repeatsTooOften(ICalComponent* series) const;

  const EdsLibrary& eds_;
  ICalTimezone* local_;
  ICalTimezone* utc_;
  ZoneResolver resolveZone_;
  std::vector<std::string> userAddresses_;
};

// A UTC time as iCalendar writes it, "20261210T093000Z"; whole seconds, rounded down.
std::string utcText(CalendarDate seconds);

// The address of a calendar address such as "mailto:Ada@Example.com", lower case; the
// whole text, lower case, for another scheme.
std::string addressOf(const std::string& calendarAddress);

}  // namespace velmor::platform::eds

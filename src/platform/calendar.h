#pragma once
// The user's calendar: the consent the system keeps for reading it, the request that asks
// the user, and a store that fetches the events of a time window with their participants.
// Numeric statuses and kinds are the calendar framework's own values, passed through as
// they come, so that a value the program does not know still reaches its logic.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace velmor::platform {

// Authorisation for events.
namespace calendar_authorization {
inline constexpr int kNotDetermined = 0;
inline constexpr int kRestricted = 1;
inline constexpr int kDenied = 2;
inline constexpr int kFullAccess = 3;
inline constexpr int kWriteOnly = 4;
}  // namespace calendar_authorization

namespace event_status {
inline constexpr int kNone = 0;
inline constexpr int kConfirmed = 1;
inline constexpr int kTentative = 2;
inline constexpr int kCanceled = 3;
}  // namespace event_status

namespace participant_status {
inline constexpr int kUnknown = 0;
inline constexpr int kPending = 1;
inline constexpr int kAccepted = 2;
inline constexpr int kDeclined = 3;
inline constexpr int kTentative = 4;
inline constexpr int kDelegated = 5;
inline constexpr int kCompleted = 6;
inline constexpr int kInProcess = 7;
}  // namespace participant_status

namespace participant_type {
inline constexpr int kUnknown = 0;
inline constexpr int kPerson = 1;
inline constexpr int kRoom = 2;
inline constexpr int kResource = 3;
inline constexpr int kGroup = 4;
}  // namespace participant_type

// A point in time: seconds since 1970-01-01 00:00 UTC, with a fraction.
using CalendarDate = double;

struct CalendarParticipant {
  bool isCurrentUser = false;
  int status = participant_status::kUnknown;
  int type = participant_type::kUnknown;
  std::optional<std::string> name;
  std::optional<std::string> url;  // the link's absolute text, e.g. "mailto:ada@example.com"
};

// Text comes as the store holds it: bytes that should be UTF-8 but may not be.
struct CalendarEvent {
  std::optional<std::string> identifier;
  std::optional<std::string> title;
  std::optional<CalendarDate> startDate;
  std::optional<CalendarDate> endDate;
  bool allDay = false;
  int status = event_status::kNone;
  std::optional<std::string> location;
  std::optional<std::string> url;  // the link's absolute text
  std::optional<std::string> notes;
  std::optional<std::vector<CalendarParticipant>> attendees;  // none: the event has no list
};

// What a fetch found. A store made of several calendars lists the events of those it could
// read and says which it could not read, or read only in part, rather than failing whole for
// one bad calendar or passing a partial list off as a full one.
struct CalendarFetch {
  std::vector<CalendarEvent> events;
  std::vector<PlatformError> missing;  // one per calendar whose events are missing, in whole or in part
};

class CalendarStore {
 public:
  virtual ~CalendarStore() = default;
  // The events of every calendar that overlap [start, end), in the store's order. An error
  // when nothing could be read.
  virtual Result<CalendarFetch> events(CalendarDate start, CalendarDate end) = 0;
};

class Calendar {
 public:
  virtual ~Calendar() = default;
  // The authorisation status for events; never blocks, never fails.
  virtual int authorizationStatus() = 0;
  // Asks the user for full access to events. `completion` runs once, on a thread of the
  // calendar's choosing, when the user answered or the request failed; it may never run.
  virtual void requestAccess(std::function<void()> completion) = 0;
  virtual std::unique_ptr<CalendarStore> makeStore() = 0;
};

}  // namespace velmor::platform

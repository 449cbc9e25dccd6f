#pragma once
// Calendar consent: the system's authorisation status as one of four words, and a request
// that asks the user and waits a bounded time for the answer.
#include <string>

#include "platform/calendar.h"
#include "platform/dispatch.h"

namespace velmor {

inline constexpr platform::Duration kAskTimeout = platform::seconds(120);

// "undetermined", "restricted", "denied" or "granted"; write-only and unknown statuses are
// "denied".
std::string accessWord(int authorizationStatus);
std::string calendarAccess(platform::Calendar& calendar);

// Asks the user for access and blocks until the answer comes or 120 seconds have passed.
void askForCalendar(platform::Calendar& calendar, platform::Dispatch& dispatch);

}  // namespace velmor

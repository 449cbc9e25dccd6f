#pragma once
// Reading one calendar of the store: open it, ask it for the events that may fall in the
// window, and turn them into the platform's events.
#include <string>
#include <vector>

#include "platform/calendar.h"
#include "platform/eds/eds_library.h"
#include "platform/eds/ical_events.h"

namespace velmor::platform::eds {

// Blocks until the store answered; `cancellable` makes it give up. Call it on a thread of
// its own: it leaves nothing behind on the thread's main context.
Result<CalendarEvents> readCalendarSource(const EdsLibrary& eds, ESource* source,
                                          const std::vector<std::string>& userAddresses, CalendarDate start,
                                          CalendarDate end, GCancellable* cancellable);

// The store's query for objects with an occurrence in [start, end), and for every object
// of the given UIDs.
std::string rangeQuery(CalendarDate start, CalendarDate end);
std::string uidQuery(const std::vector<std::string>& uids);

}  // namespace velmor::platform::eds

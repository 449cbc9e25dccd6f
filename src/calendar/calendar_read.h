#pragma once
// The --events mode: the calendar's events from one hour ago to some hours ahead, as one
// JSON document on standard output, with the access state; optionally after asking for
// access, or the access state alone.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "calendar/calendar_access.h"
#include "calendar/meeting_list.h"
#include "events/control_channel.h"
#include "platform/calendar.h"
#include "platform/dispatch.h"
#include "platform/process_io.h"

namespace velmor {

inline constexpr const char* kCalendarNotWritten = "the calendar could not be written out";
inline constexpr const char* kCalendarNotRead = "the calendar could not be read: ";
// A calendar left out of the document, or in part, while the others are listed.
inline constexpr const char* kCalendarMissing = "Calendar unavailable: ";

struct CalendarContext {
  platform::Calendar& calendar;
  platform::Dispatch& dispatch;  // the clock, and the wait for an answer
  platform::OutputHandle& stdoutHandle;
  ControlChannel& control;  // says which calendars are missing from the document
};

// The document's line: compact JSON and a line feed, text that is not valid UTF-8 written
// with U+FFFD in place of the bad bytes; empty when it cannot be serialised.
std::string calendarLine(const nlohmann::json& document);

// Writes the document and returns nothing, whatever the access state; returns an error
// text when no events could be fetched or the document could not be written. A calendar
// that could not be read while others could is named in an "error" event before the
// document, which lists the events of the others.
std::optional<std::string> readCalendar(const CalendarContext& context, bool ask, double hours, bool accessOnly);

}  // namespace velmor

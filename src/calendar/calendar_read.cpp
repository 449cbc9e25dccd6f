#include "calendar/calendar_read.h"

namespace velmor {

std::string calendarLine(const nlohmann::json& document) {
  try {
    std::string line = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    return line;
  } catch (const std::exception&) {
    return {};
  }
}

std::optional<std::string> readCalendar(const CalendarContext& context, bool ask, double hours, bool accessOnly) {
  if (ask && calendarAccess(context.calendar) == "undetermined") askForCalendar(context.calendar, context.dispatch);
  const std::string access = calendarAccess(context.calendar);

  nlohmann::json meetings = nlohmann::json::array();
  if (access == "granted" && !accessOnly) {
    const auto store = context.calendar.makeStore();
    const platform::CalendarDate now = static_cast<double>(context.dispatch.clock().unixTimeNanos()) / 1e9;
    const CalendarWindow window = calendarWindow(now, hours);
    const auto fetched = store->events(window.start, window.end);
    // An unreadable store is not an empty calendar: the parent must not take it for one.
    if (!fetched) return kCalendarNotRead + fetched.error().description;
    // Nor is a calendar that could not be read; the others' events still count.
    for (const auto& missing : fetched.value().missing) {
      context.control.control(ControlEvent{{"type", "error"}, {"message", kCalendarMissing + missing.description}});
    }
    for (const auto& event : fetched.value().events) {
      if (auto meeting = meetingObject(event)) meetings.push_back(std::move(*meeting));
    }
  }

  const std::string line = calendarLine(nlohmann::json{{"type", "events"}, {"access", access}, {"events", meetings}});
  if (line.empty()) return std::string(kCalendarNotWritten);
  context.stdoutHandle.write(line);
  return std::nullopt;
}

}  // namespace velmor

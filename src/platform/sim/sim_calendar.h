#pragma once
// A scripted calendar: its authorisation status, how a request for access is answered
// (with a new status after a delay, without a change, or never), the events its store holds
// and a fetch that fails. It records what the program asked of it, for tests.
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/calendar.h"
#include "platform/dispatch.h"

namespace velmor::platform::sim {

struct SimAccessRequest {
  bool answered = true;          // false: the completion never comes
  std::optional<int> newStatus;  // none: the request fails and the status stays
  Duration after{0};
};

class SimCalendar final : public Calendar {
 public:
  explicit SimCalendar(Dispatch& dispatch);

  // Scripting; safe from any thread.
  void setStatus(int status);
  void setRequest(SimAccessRequest request);
  void setEvents(std::vector<CalendarEvent> events);
  void setFetchFails(bool fails);
  // Calendars a fetch could not read (their descriptions), reported beside the events.
  void setMissing(std::vector<PlatformError> missing);

  int authorizationStatus() override;
  void requestAccess(std::function<void()> completion) override;
  std::unique_ptr<CalendarStore> makeStore() override;

  // What the program did.
  int requests();
  int fetches();
  std::optional<std::pair<CalendarDate, CalendarDate>> lastWindow();

 private:
  class Store;
  struct State;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<State> state_;
};

// The scenario's "calendar" section: {"status": 0, "request": {"answer": 3, "after": 0.5}
// ({"answer": null}: the request fails; "never": no answer), "fetchFails": false,
// "missing": ["\"Work\" (work-1): …"] (calendars a fetch could not read), "events": [...]}.
// An event's dates are seconds since 1970, or {"fromNow": seconds} counted from the
// dispatch's calendar time when the scenario is applied.
void applyCalendarScenario(const nlohmann::json& section, SimCalendar& calendar, const Clock& clock);
CalendarEvent parseCalendarEvent(const nlohmann::json& json, CalendarDate now);

}  // namespace velmor::platform::sim

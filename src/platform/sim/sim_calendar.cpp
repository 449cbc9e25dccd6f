#include "platform/sim/sim_calendar.h"

#include <stdexcept>

#include "platform/sim/scenario_text.h"

namespace velmor::platform::sim {

struct SimCalendar::State {
  std::mutex mutex;
  int status = calendar_authorization::kNotDetermined;
  SimAccessRequest request;
  std::vector<CalendarEvent> events;
  bool fetchFails = false;
  std::vector<PlatformError> missing;
  int requests = 0;
  int fetches = 0;
  std::optional<std::pair<CalendarDate, CalendarDate>> lastWindow;
};

// The store keeps the calendar's state alive, as a framework's store outlives nothing it needs.
class SimCalendar::Store final : public CalendarStore {
 public:
  explicit Store(std::shared_ptr<State> state) : state_(std::move(state)) {}

  Result<CalendarFetch> events(CalendarDate start, CalendarDate end) override {
    std::lock_guard lock(state_->mutex);
    ++state_->fetches;
    state_->lastWindow = {start, end};
    if (state_->fetchFails) return PlatformError{"sim.calendar", 1013, "the calendar store is not available"};
    CalendarFetch found;
    for (const auto& event : state_->events) {
      // Undated events are scripted to test how the reader copes: they always come back.
      const bool dated = event.startDate && event.endDate;
      if (!dated || (*event.endDate > start && *event.startDate < end)) found.events.push_back(event);
    }
    found.missing = state_->missing;
    return found;
  }

 private:
  std::shared_ptr<State> state_;
};

SimCalendar::SimCalendar(Dispatch& dispatch)
    : queue_(dispatch.makeSerialQueue("velmor.sim.calendar")), state_(std::make_shared<State>()) {}

void SimCalendar::setStatus(int status) {
  std::lock_guard lock(state_->mutex);
  state_->status = status;
}

void SimCalendar::setRequest(SimAccessRequest request) {
  std::lock_guard lock(state_->mutex);
  state_->request = request;
}

void SimCalendar::setEvents(std::vector<CalendarEvent> events) {
  std::lock_guard lock(state_->mutex);
  state_->events = std::move(events);
}

void SimCalendar::setFetchFails(bool fails) {
  std::lock_guard lock(state_->mutex);
  state_->fetchFails = fails;
}

void SimCalendar::setMissing(std::vector<PlatformError> missing) {
  std::lock_guard lock(state_->mutex);
  state_->missing = std::move(missing);
}

int SimCalendar::authorizationStatus() {
  std::lock_guard lock(state_->mutex);
  return state_->status;
}

void SimCalendar::requestAccess(std::function<void()> completion) {
  SimAccessRequest request;
  {
    std::lock_guard lock(state_->mutex);
    ++state_->requests;
    request = state_->request;
  }
  if (!request.answered) return;  // the prompt is never answered
  // Answered on the calendar's own queue, never on the asking thread.
  queue_->after(request.after, [state = state_, request, completion = std::move(completion)] {
    if (request.newStatus) {
      std::lock_guard lock(state->mutex);
      // The user's answer changes only an undecided state.
      if (state->status == calendar_authorization::kNotDetermined) state->status = *request.newStatus;
    }
    completion();
  });
}

std::unique_ptr<CalendarStore> SimCalendar::makeStore() { return std::make_unique<Store>(state_); }

int SimCalendar::requests() {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

int SimCalendar::fetches() {
  std::lock_guard lock(state_->mutex);
  return state_->fetches;
}

std::optional<std::pair<CalendarDate, CalendarDate>> SimCalendar::lastWindow() {
  std::lock_guard lock(state_->mutex);
  return state_->lastWindow;
}

namespace {

std::optional<CalendarDate> parseDate(const nlohmann::json& event, const char* key, CalendarDate now) {
  if (!event.contains(key) || event.at(key).is_null()) return std::nullopt;
  const auto& value = event.at(key);
  if (value.is_object()) return now + value.at("fromNow").get<double>();
  return value.get<double>();
}

CalendarParticipant parseParticipant(const nlohmann::json& json) {
  CalendarParticipant participant;
  participant.isCurrentUser = json.value("currentUser", false);
  participant.status = json.value("status", participant_status::kUnknown);
  participant.type = json.value("type", participant_type::kPerson);
  participant.name = optionalScenarioText(json, "name");
  participant.url = optionalScenarioText(json, "url");
  return participant;
}

}  // namespace

CalendarEvent parseCalendarEvent(const nlohmann::json& json, CalendarDate now) {
  CalendarEvent event;
  event.identifier = optionalScenarioText(json, "id");
  event.title = optionalScenarioText(json, "title");
  event.startDate = parseDate(json, "start", now);
  event.endDate = parseDate(json, "end", now);
  event.allDay = json.value("allDay", false);
  event.status = json.value("status", event_status::kConfirmed);
  event.location = optionalScenarioText(json, "location");
  event.url = optionalScenarioText(json, "url");
  event.notes = optionalScenarioText(json, "notes");
  if (json.contains("attendees") && !json.at("attendees").is_null()) {
    event.attendees.emplace();
    for (const auto& participant : json.at("attendees")) event.attendees->push_back(parseParticipant(participant));
  }
  return event;
}

void applyCalendarScenario(const nlohmann::json& section, SimCalendar& calendar, const Clock& clock) {
  calendar.setStatus(section.value("status", calendar_authorization::kNotDetermined));
  if (section.contains("request")) {
    const auto& json = section.at("request");
    SimAccessRequest request;
    if (json == "never") {
      request.answered = false;
    } else if (json.is_object()) {
      if (json.contains("answer") && !json.at("answer").is_null()) request.newStatus = json.at("answer").get<int>();
      request.after = seconds(json.value("after", 0.0));
    } else {
      throw std::invalid_argument("calendar request must be \"never\" or an object: " + json.dump());
    }
    calendar.setRequest(request);
  }
  calendar.setFetchFails(section.value("fetchFails", false));
  std::vector<PlatformError> missing;
  for (const auto& reason : section.value("missing", nlohmann::json::array()))
    missing.push_back(PlatformError{"sim.calendar", 1014, reason.get<std::string>()});
  calendar.setMissing(std::move(missing));
  const CalendarDate now = static_cast<double>(clock.unixTimeNanos()) / 1e9;
  std::vector<CalendarEvent> events;
  for (const auto& event : section.value("events", nlohmann::json::array()))
    events.push_back(parseCalendarEvent(event, now));
  calendar.setEvents(std::move(events));
}

}  // namespace velmor::platform::sim

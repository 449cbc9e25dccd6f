#include "platform/eds/ical_events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

namespace velmor::platform::eds {
namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string upperCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upper);
  return text;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

std::optional<std::string> textOf(const gchar* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

// libical keeps whatever digits a malformed value had; such a time is no time.
bool validFields(int year, int month, int day, int hour, int minute, int second, bool date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysIn(year, month)) return false;
  return date || (hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60);
}

int participantStatus(const std::optional<std::string>& partstat) {
  namespace status = participant_status;
  // No PARTSTAT means NEEDS-ACTION.
  if (!partstat) return status::kPending;
  static const std::map<std::string, int> kStatuses{
      {"NEEDS-ACTION", status::kPending}, {"ACCEPTED", status::kAccepted},   {"DECLINED", status::kDeclined},
      {"TENTATIVE", status::kTentative},  {"DELEGATED", status::kDelegated}, {"COMPLETED", status::kCompleted},
      {"IN-PROCESS", status::kInProcess}};
  const auto found = kStatuses.find(upperCased(*partstat));
  return found == kStatuses.end() ? status::kUnknown : found->second;
}

int participantType(const std::optional<std::string>& cutype) {
  namespace type = participant_type;
  // No CUTYPE means INDIVIDUAL.
  if (!cutype) return type::kPerson;
  static const std::map<std::string, int> kTypes{
      {"INDIVIDUAL", type::kPerson}, {"GROUP", type::kGroup}, {"RESOURCE", type::kResource}, {"ROOM", type::kRoom}};
  const auto found = kTypes.find(upperCased(*cutype));
  return found == kTypes.end() ? type::kUnknown : found->second;
}

bool overlaps(const std::optional<CalendarDate>& from, const std::optional<CalendarDate>& to, CalendarDate start,
              CalendarDate end) {
  if (!from || !to) return true;  // kept, for the reader to judge
  if (*to > *from) return *from<end&& * to> start;
  return *from >= start && *from < end;  // an instant (or a backward event): where it starts
}

}  // namespace

std::string utcText(CalendarDate seconds) {
  const auto whole = static_cast<std::time_t>(std::floor(seconds));
  std::tm fields{};
  gmtime_r(&whole, &fields);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &fields);
  return text;
}

ICalTimezone* localZone(const EdsLibrary& eds) {
  if (const char* tz = std::getenv("TZ"); tz && *tz) {
    std::string name = tz[0] == ':' ? tz + 1 : tz;
    if (const auto at = name.find("zoneinfo/"); at != std::string::npos) name = name.substr(at + 9);
    if (ICalTimezone* zone = eds.timezoneGetBuiltin(name.c_str())) return zone;
  }
  if (const auto location = takeText(eds, eds.systemTimezoneLocation())) {
    if (ICalTimezone* zone = eds.timezoneGetBuiltin(location->c_str())) return zone;
  }
  return eds.timezoneGetUtc();
}

std::string addressOf(const std::string& calendarAddress) {
  std::string address = startsWithNoCase(calendarAddress, "mailto:") ? calendarAddress.substr(7) : calendarAddress;
  const auto first = address.find_first_not_of(" \t");
  const auto last = address.find_last_not_of(" \t");
  address = first == std::string::npos ? std::string() : address.substr(first, last - first + 1);
  std::transform(address.begin(), address.end(), address.begin(), lower);
  return address;
}

IcalEvents::IcalEvents(const EdsLibrary& eds, ICalTimezone* local, ZoneResolver resolveZone,
                       std::vector<std::string> userAddresses)
    : eds_(eds),
      local_(local),
      utc_(eds.timezoneGetUtc()),
      resolveZone_(std::move(resolveZone)),
      userAddresses_(std::move(userAddresses)) {}

ICalTimezone* IcalEvents::zoneOf(ICalProperty* property) const {
  const auto tzid = takeText(eds_, eds_.propertyGetParameterAsString(property, "TZID"));
  return tzid ? resolveZone_(*tzid) : nullptr;
}

std::optional<CalendarDate> IcalEvents::secondsOf(ICalTime* time, ICalTimezone* zone) const {
  if (!time || eds_.timeIsNullTime(time)) return std::nullopt;
  gint year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  eds_.timeGetDate(time, &year, &month, &day);
  eds_.timeGetTime(time, &hour, &minute, &second);
  const bool date = eds_.timeIsDate(time);
  if (!validFields(year, month, day, hour, minute, second, date)) return std::nullopt;
  // A date, or a time without a zone (or in a zone nobody knows), is the user's local time.
  ICalTimezone* in = date ? local_ : eds_.timeIsUtc(time) ? utc_ : zone ? zone : local_;
  return static_cast<CalendarDate>(eds_.timeAsTimetWithZone(time, in));
}

std::optional<std::string> IcalEvents::recurrenceText(ICalTime* time, ICalTimezone* zone) const {
  const auto seconds = secondsOf(time, zone);
  if (!seconds) return std::nullopt;
  if (!eds_.timeIsDate(time)) return utcText(*seconds);
  gint year = 0, month = 0, day = 0;
  eds_.timeGetDate(time, &year, &month, &day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
  return std::string(text);
}

IcalEvents::Times IcalEvents::timesOf(ICalComponent* component) const {
  Times times;
  const Owned<ICalProperty> startProperty(eds_.componentGetFirstProperty(component, I_CAL_DTSTART_PROPERTY),
                                          Unref{&eds_});
  if (!startProperty) return times;
  ICalTimezone* startZone = zoneOf(startProperty.get());
  const Owned<ICalTime> start(eds_.propertyGetDtstart(startProperty.get()), Unref{&eds_});
  times.start = secondsOf(start.get(), startZone);
  if (!times.start) return times;
  times.allDay = eds_.timeIsDate(start.get());

  if (const Owned<ICalProperty> endProperty(eds_.componentGetFirstProperty(component, I_CAL_DTEND_PROPERTY),
                                            Unref{&eds_});
      endProperty) {
    const Owned<ICalTime> end(eds_.propertyGetDtend(endProperty.get()), Unref{&eds_});
    times.end = secondsOf(end.get(), zoneOf(endProperty.get()));
    return times;
  }
  gint length = 0;  // seconds; without DTEND or DURATION a date lasts a day, a time an instant
  bool lasting = false;
  if (const Owned<ICalProperty> durationProperty(eds_.componentGetFirstProperty(component, I_CAL_DURATION_PROPERTY),
                                                 Unref{&eds_});
      durationProperty) {
    const Owned<ICalDuration> duration(eds_.propertyGetDuration(durationProperty.get()), Unref{&eds_});
    if (duration) {
      length = eds_.durationAsInt(duration.get());
      lasting = true;
    }
  }
  if (times.allDay) {
    // Whole days from midnight to midnight in local time, whatever the clocks do between.
    const Owned<ICalTime> end(eds_.propertyGetDtstart(startProperty.get()), Unref{&eds_});
    eds_.timeAdjust(end.get(), lasting ? static_cast<gint>(length / 86400) : 1, 0, 0, 0);
    times.end = secondsOf(end.get(), startZone);
  } else {
    times.end = *times.start + length;
  }
  return times;
}

std::optional<std::string> IcalEvents::recurrenceIdOf(ICalComponent* component) const {
  const Owned<ICalProperty> property(eds_.componentGetFirstProperty(component, I_CAL_RECURRENCEID_PROPERTY),
                                     Unref{&eds_});
  if (!property) return std::nullopt;
  const Owned<ICalTime> time(eds_.propertyGetRecurrenceid(property.get()), Unref{&eds_});
  return recurrenceText(time.get(), zoneOf(property.get()));
}

std::vector<CalendarParticipant> IcalEvents::attendees(ICalComponent* component) const {
  std::vector<CalendarParticipant> list;
  for (Owned<ICalProperty> property(eds_.componentGetFirstProperty(component, I_CAL_ATTENDEE_PROPERTY), Unref{&eds_});
       property; property.reset(eds_.componentGetNextProperty(component, I_CAL_ATTENDEE_PROPERTY))) {
    const auto parameter = [&](const char* name) {
      return takeText(eds_, eds_.propertyGetParameterAsString(property.get(), name));
    };
    CalendarParticipant participant;
    participant.name = parameter("CN");
    participant.type = participantType(parameter("CUTYPE"));
    participant.status = participantStatus(parameter("PARTSTAT"));
    if (const auto value = textOf(eds_.propertyGetAttendee(property.get()))) {
      // The scheme in one spelling, so that a mail link reads as one whatever its case.
      participant.url = startsWithNoCase(*value, "mailto:") ? "mailto:" + value->substr(7) : *value;
      const std::string address = addressOf(*value);
      participant.isCurrentUser =
          !address.empty() && std::find(userAddresses_.begin(), userAddresses_.end(), address) != userAddresses_.end();
    }
    list.push_back(std::move(participant));
  }
  return list;
}

CalendarEvent IcalEvents::describe(ICalComponent* component, const Times& times,
                                   std::optional<std::string> identifier) const {
  CalendarEvent event;
  event.identifier = std::move(identifier);
  event.title = textOf(eds_.componentGetSummary(component));
  event.startDate = times.start;
  event.endDate = times.end;
  event.allDay = times.allDay;
  switch (eds_.componentGetStatus(component)) {
    case I_CAL_STATUS_CONFIRMED: event.status = event_status::kConfirmed; break;
    case I_CAL_STATUS_TENTATIVE: event.status = event_status::kTentative; break;
    case I_CAL_STATUS_CANCELLED: event.status = event_status::kCanceled; break;
    default: event.status = event_status::kNone; break;
  }
  event.location = textOf(eds_.componentGetLocation(component));
  if (const Owned<ICalProperty> url(eds_.componentGetFirstProperty(component, I_CAL_URL_PROPERTY), Unref{&eds_}); url) {
    event.url = textOf(eds_.propertyGetUrl(url.get()));
  }
  for (Owned<ICalProperty> description(eds_.componentGetFirstProperty(component, I_CAL_DESCRIPTION_PROPERTY),
                                       Unref{&eds_});
       description; description.reset(eds_.componentGetNextProperty(component, I_CAL_DESCRIPTION_PROPERTY))) {
    const auto text = textOf(eds_.propertyGetDescription(description.get()));
    if (!text) continue;
    event.notes = event.notes ? *event.notes + "\n" + *text : *text;
  }
  auto list = attendees(component);
  if (!list.empty()) event.attendees = std::move(list);
  return event;
}

Result<std::vector<IcalEvents::Instance>> IcalEvents::instancesOf(ICalComponent* series, CalendarDate start,
                                                                  CalendarDate end, GCancellable* cancellable,
                                                                  bool* capped) const {
  struct Collected {
    const IcalEvents* self;
    std::vector<Instance> instances;
    bool capped = false;
  } collected{this, {}, false};
  const auto onInstance = [](ICalComponent*, ICalTime* from, ICalTime* to, gpointer data, GCancellable*,
                             GError**) -> gboolean {
    auto& into = *static_cast<Collected*>(data);
    const IcalEvents& self = *into.self;
    Instance instance;
    instance.times.start = self.secondsOf(from, self.eds_.timeGetTimezone(from));
    instance.times.end = self.secondsOf(to, self.eds_.timeGetTimezone(to));
    instance.times.allDay = self.eds_.timeIsDate(from);
    instance.recurrenceId = self.recurrenceText(from, self.eds_.timeGetTimezone(from)).value_or("");
    into.instances.push_back(std::move(instance));
    if (into.instances.size() < kMaxInstancesPerEvent) return TRUE;
    into.capped = true;
    return FALSE;
  };
  const auto onZone = [](const gchar* tzid, gpointer data, GCancellable*, GError**) -> ICalTimezone* {
    return tzid ? static_cast<const IcalEvents*>(data)->resolveZone_(tzid) : nullptr;
  };
  const auto first = static_cast<time_t>(std::floor(withinCalendarRange(start)));
  const auto last = std::max(first + 1, static_cast<time_t>(std::ceil(withinCalendarRange(end))));
  const Owned<ICalTime> from(eds_.timeNewFromTimetWithZone(first, FALSE, utc_), Unref{&eds_});
  const Owned<ICalTime> to(eds_.timeNewFromTimetWithZone(last, FALSE, utc_), Unref{&eds_});
  GError* error = nullptr;
  // Stopped at the cap, the expansion reports a failure that is none.
  if (!eds_.recurGenerateInstancesSync(series, from.get(), to.get(), onInstance, &collected, onZone,
                                       const_cast<IcalEvents*>(this), local_, cancellable, &error) &&
      !collected.capped) {
    const gint code = error ? error->code : 0;
    return PlatformError{kEdsErrorDomain, code, takeErrorText(eds_, error)};
  }
  *capped = collected.capped;
  return std::move(collected.instances);
}

bool IcalEvents::repeatsTooOften(ICalComponent* series) const {
  for (Owned<ICalProperty> property(eds_.componentGetFirstProperty(series, I_CAL_RRULE_PROPERTY), Unref{&eds_});
       property; property.reset(eds_.componentGetNextProperty(series, I_CAL_RRULE_PROPERTY))) {
    const Owned<ICalRecurrence> rule(eds_.propertyGetRrule(property.get()), Unref{&eds_});
    if (!rule) continue;
    const int interval = std::max(1, static_cast<int>(eds_.recurrenceGetInterval(rule.get())));
    const ICalRecurrenceFrequency frequency = eds_.recurrenceGetFreq(rule.get());
    if (frequency == I_CAL_SECONDLY_RECURRENCE && interval < kShortestRepeat) return true;
  }
  return false;
}

Result<CalendarEvents> IcalEvents::eventsIn(const std::vector<ICalComponent*>& components, CalendarDate start,
                                            CalendarDate end, GCancellable* cancellable) const {
  CalendarEvents found;
  std::vector<std::string> problems;
  const auto keep = [&](ICalComponent* component, const Times& times, std::optional<std::string> identifier) {
    if (overlaps(times.start, times.end, start, end)) {
      found.events.push_back(describe(component, times, std::move(identifier)));
    }
  };

  // A detached instance replaces its series' instance with the same recurrence id, wherever
  // it moved to.
  std::map<std::string, std::set<std::string>> detachedIds;  // UID -> recurrence ids
  for (ICalComponent* component : components) {
    const auto recurrenceId = recurrenceIdOf(component);
    if (!recurrenceId) continue;
    const auto uid = textOf(eds_.componentGetUid(component)).value_or("");
    detachedIds[uid].insert(*recurrenceId);
    keep(component, timesOf(component), uid + "/" + *recurrenceId);
  }
  for (ICalComponent* component : components) {
    if (recurrenceIdOf(component)) continue;
    const auto uid = textOf(eds_.componentGetUid(component));
    if (!eds_.componentHasRecurrences(component)) {
      keep(component, timesOf(component), uid);
      continue;
    }
    if (repeatsTooOften(component)) {
      problems.push_back("the repeating event " + uid.value_or("") +
                         " repeats more often than once a minute and is "
                         "left out");
      continue;
    }
    bool capped = false;
    auto instances = instancesOf(component, start, end, cancellable, &capped);
    if (!instances) {
      // Cancelled: the calendar is given up as a whole.
      if (cancellable && eds_.cancellableIsCancelled(cancellable)) return instances.error();
      problems.push_back("the repeating event " + uid.value_or("") +
                         " could not be expanded: " + instances.error().description);
      continue;
    }
    if (capped) {
      problems.push_back("the repeating event " + uid.value_or("") + " has more than " +
                         std::to_string(kMaxInstancesPerEvent) + " instances in the window; the rest are left out");
    }
    const auto& replaced = detachedIds[uid.value_or("")];
    for (const Instance& instance : instances.value()) {
      if (replaced.count(instance.recurrenceId)) continue;
      keep(component, instance.times, uid.value_or("") + "/" + instance.recurrenceId);
    }
  }
  if (!problems.empty()) {
    std::string text;
    for (const auto& problem : problems) text += (text.empty() ? "" : "; ") + problem;
    found.incomplete = text;
  }
  return found;
}

}  // namespace velmor::platform::eds

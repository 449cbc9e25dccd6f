#include "platform/eds/calendar_source.h"

#include "platform/eds/thread_context.h"

#include <cmath>
#include <ctime>
#include <map>
#include <set>

namespace velmor::platform::eds {
namespace {

// The store reads dates and floating times in a zone of its own: ask a day wider on each
// side, and keep what overlaps the window once the times are read in the user's zone.
constexpr double kQueryMargin = 86400;

// A string in the store's query language.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// A list of components the store returned, released with it.
class ComponentList {
 public:
  explicit ComponentList(const EdsLibrary& eds) : eds_(eds) {}
  ~ComponentList() {
    if (list_) eds_.slistFreeFull(list_, eds_.objectUnref);
  }
  ComponentList(const ComponentList&) = delete;
  ComponentList& operator=(const ComponentList&) = delete;
  GSList** out() { return &list_; }
  std::vector<ICalComponent*> items() const {
    std::vector<ICalComponent*> components;
    for (GSList* item = list_; item; item = item->next) components.push_back(static_cast<ICalComponent*>(item->data));
    return components;
  }

 private:
  const EdsLibrary& eds_;
  GSList* list_ = nullptr;
};

PlatformError storeError(const EdsLibrary& eds, const std::string& what, GError* error) {
  const gint code = error ? error->code : 0;
  return PlatformError{kEdsErrorDomain, code, what + takeErrorText(eds, error)};
}

}  // namespace

std::string rangeQuery(CalendarDate start, CalendarDate end) {
  return "(occur-in-time-range? (make-time \"" + utcText(withinCalendarRange(start)) + "\") (make-time \"" +
         utcText(withinCalendarRange(end)) + "\"))";
}

std::string uidQuery(const std::vector<std::string>& uids) {
  std::string query = "(or";
  for (const auto& uid : uids) query += " (uid? " + quoted(uid) + ")";
  return query + ")";
}

Result<CalendarEvents> readCalendarSource(const EdsLibrary& eds, ESource* source,
                                          const std::vector<std::string>& userAddresses, CalendarDate start,
                                          CalendarDate end, GCancellable* cancellable) {
  const ThreadContext context(eds);
  GError* error = nullptr;
  // No wait for the calendar to come online: with one, a calendar whose account is offline
  // sits out the whole wait, and a wait of 0 never ends. Offline, the store answers from
  // what it last fetched.
  const Owned<EClient> client(
      eds.calClientConnectSync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, static_cast<guint32>(-1), cancellable, &error),
      Unref{&eds});
  if (!client) return storeError(eds, "could not be opened: ", error);
  auto* calendar = reinterpret_cast<ECalClient*>(client.get());

  ComponentList inRange(eds);
  if (!eds.calClientGetObjectListSync(calendar, rangeQuery(start - kQueryMargin, end + kQueryMargin).c_str(),
                                      inRange.out(), cancellable, &error)) {
    return storeError(eds, "could not be read: ", error);
  }
  // A repeating event comes with the detached instances that fall in the range, but one
  // moved out of it still replaces its series' instance: fetch each series whole.
  std::vector<ICalComponent*> components;
  std::map<std::string, std::vector<ICalComponent*>> series;  // UID -> its components in the range
  for (ICalComponent* component : inRange.items()) {
    const bool repeating = eds.componentHasRecurrences(component) ||
                           Owned<ICalProperty>(eds.componentGetFirstProperty(component, I_CAL_RECURRENCEID_PROPERTY),
                                               Unref{&eds}) != nullptr;
    const gchar* uid = eds.componentGetUid(component);
    if (repeating && uid) {
      series[uid].push_back(component);
    } else {
      components.push_back(component);
    }
  }
  ComponentList wholeSeries(eds);
  if (!series.empty()) {
    std::vector<std::string> uids;
    for (const auto& entry : series) uids.push_back(entry.first);
    if (!eds.calClientGetObjectListSync(calendar, uidQuery(uids).c_str(), wholeSeries.out(), cancellable, &error)) {
      return storeError(eds, "could not be read: ", error);
    }
    std::set<std::string> whole;
    for (ICalComponent* component : wholeSeries.items()) {
      if (const gchar* uid = eds.componentGetUid(component); uid && series.count(uid)) {
        whole.insert(uid);
        components.push_back(component);
      }
    }
    // A series the second question did not return is read from what the first one did.
    for (const auto& [uid, parts] : series) {
      if (!whole.count(uid)) components.insert(components.end(), parts.begin(), parts.end());
    }
  }

  // Zones the components name but libical does not know are the calendar's own; asked for
  // once each.
  std::map<std::string, ICalTimezone*> zones;
  const ZoneResolver resolve = [&](const std::string& tzid) -> ICalTimezone* {
    if (const auto known = zones.find(tzid); known != zones.end()) return known->second;
    ICalTimezone* zone = eds.timezoneGetBuiltinFromTzid(tzid.c_str());
    if (!zone) zone = eds.timezoneGetBuiltin(tzid.c_str());
    if (!zone) {
      GError* ignored = nullptr;
      if (!eds.calClientGetTimezoneSync(calendar, tzid.c_str(), &zone, cancellable, &ignored)) zone = nullptr;
      if (ignored) eds.errorFree(ignored);
    }
    zones.emplace(tzid, zone);
    return zone;
  };
  const IcalEvents events(eds, localZone(eds), resolve, userAddresses);
  return events.eventsIn(components, start, end, cancellable);
}

}  // namespace velmor::platform::eds

#include "platform/eds/eds_calendar.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "platform/eds/bounded_tasks.h"
#include "platform/eds/calendar_source.h"
#include "platform/eds/eds_library.h"
#include "platform/eds/thread_context.h"

namespace velmor::platform::eds {

// The session bus, on which the store answered.
struct EdsCalendar::Session {
  const GioLibrary& gio;
  GDBusConnection* bus;
  EdsLimits limits;

  ~Session() { gio.objectUnref(bus); }
};

namespace {

using Session = EdsCalendar::Session;

// The bus name of the store's source registry, for the libedataserver this backend is built
// against; it changes only with that library's interface.
constexpr const char* kRegistryService = "org.gnome.evolution.dataserver.Sources5";
constexpr const char* kRegistryPath = "/org/gnome/evolution/dataserver/SourceManager";

std::string secondsText(std::chrono::milliseconds limit) {
  const auto count = limit.count();
  return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

// Without an address for the session bus GLib would try to start one of its own (with X11's
// autolaunch), and the calendars on it would not be the user's.
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat status {};
  return stat((std::string(runtime) + "/bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

std::shared_ptr<GCancellable> newCancellable(const GioLibrary& gio) {
  return std::shared_ptr<GCancellable>(gio.cancellableNew(), [&gio](GCancellable* c) { gio.objectUnref(c); });
}

// The bus, and an answer from the store's registry on it, which the bus starts if it is
// installed and not running. Only GIO is needed for this.
Result<std::shared_ptr<Session>> reach(const GioLibrary& gio, GCancellable* cancellable, EdsLimits limits) {
  const ThreadContext context(gio);
  GError* error = nullptr;
  GDBusConnection* bus = gio.busGetSync(G_BUS_TYPE_SESSION, cancellable, &error);
  if (!bus) return PlatformError{kEdsErrorDomain, 1, "no session bus: " + takeErrorText(gio, error)};
  // GLib ends the process when the bus goes away under a connection that says otherwise;
  // every client of the store shares this one.
  gio.connectionSetExitOnClose(bus, FALSE);
  auto session = std::shared_ptr<Session>(new Session{gio, bus, limits});
  GVariant* reply = gio.connectionCallSync(bus, kRegistryService, kRegistryPath, "org.freedesktop.DBus.Peer", "Ping",
                                           nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable, &error);
  if (!reply) {
    return PlatformError{kEdsErrorDomain, 2, "the calendar store does not answer: " + takeErrorText(gio, error)};
  }
  gio.variantUnref(reply);
  return session;
}

// The store's list of calendars and accounts.
struct Registry {
  const EdsLibrary& eds;
  ESourceRegistry* registry;
  ~Registry() { eds.objectUnref(registry); }
};

Result<std::shared_ptr<Registry>> openRegistry(const EdsLibrary& eds, GCancellable* cancellable) {
  const ThreadContext context(eds);
  GError* error = nullptr;
  ESourceRegistry* registry = eds.registryNewSync(cancellable, &error);
  if (!registry) {
    return PlatformError{kEdsErrorDomain, 3, "the calendar store cannot be reached: " + takeErrorText(eds, error)};
  }
  return std::shared_ptr<Registry>(new Registry{eds, registry});
}

// One enabled calendar, with the addresses by which its events name the user.
struct CalendarInfo {
  std::string uid;
  std::string name;
  std::shared_ptr<ESource> source;
  std::vector<std::string> userAddresses;
};

std::string dupText(const EdsLibrary& eds, gchar* text) { return takeText(eds, text).value_or(""); }

std::vector<CalendarInfo> enabledCalendars(const Registry& registry) {
  const EdsLibrary& eds = registry.eds;
  struct Identity {
    std::string parent;
    std::string address;
  };
  std::vector<Identity> identities;
  GList* identitySources = eds.registryListEnabled(registry.registry, E_SOURCE_EXTENSION_MAIL_IDENTITY);
  for (GList* item = identitySources; item; item = item->next) {
    auto* source = static_cast<ESource*>(item->data);
    auto* extension =
        static_cast<ESourceMailIdentity*>(eds.sourceGetExtension(source, E_SOURCE_EXTENSION_MAIL_IDENTITY));
    const std::string address = addressOf(dupText(eds, eds.mailIdentityDupAddress(extension)));
    if (!address.empty()) identities.push_back({dupText(eds, eds.sourceDupParent(source)), address});
  }
  eds.listFreeFull(identitySources, eds.objectUnref);

  std::vector<CalendarInfo> calendars;
  GList* calendarSources = eds.registryListEnabled(registry.registry, E_SOURCE_EXTENSION_CALENDAR);
  for (GList* item = calendarSources; item; item = item->next) {
    auto* source = static_cast<ESource*>(item->data);
    CalendarInfo info;
    info.uid = dupText(eds, eds.sourceDupUid(source));
    info.name = dupText(eds, eds.sourceDupDisplayName(source));
    eds.objectRef(source);
    info.source = std::shared_ptr<ESource>(source, [&eds](ESource* s) { eds.objectUnref(s); });
    // The calendar's own address (a CalDAV calendar's, an online account's); else the
    // identities of the account it belongs to; else every identity the user has, as
    // Evolution takes them for the user in a calendar of no account.
    if (eds.sourceHasExtension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)) {
      auto* webdav = static_cast<ESourceWebdav*>(eds.sourceGetExtension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND));
      const std::string own = addressOf(dupText(eds, eds.webdavDupEmailAddress(webdav)));
      if (!own.empty()) info.userAddresses.push_back(own);
    }
    if (info.userAddresses.empty()) {
      const std::string parent = dupText(eds, eds.sourceDupParent(source));
      for (const auto& identity : identities) {
        if (!parent.empty() && identity.parent == parent) info.userAddresses.push_back(identity.address);
      }
    }
    if (info.userAddresses.empty()) {
      for (const auto& identity : identities) info.userAddresses.push_back(identity.address);
    }
    calendars.push_back(std::move(info));
  }
  eds.listFreeFull(calendarSources, eds.objectUnref);
  std::sort(calendars.begin(), calendars.end(), [](const auto& a, const auto& b) { return a.uid < b.uid; });
  return calendars;
}

class EdsStore final : public CalendarStore {
 public:
  explicit EdsStore(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  Result<CalendarFetch> events(CalendarDate start, CalendarDate end) override {
    if (!session_) return PlatformError{kEdsErrorDomain, 4, "the calendar store cannot be reached"};
    std::string whyNot;
    const EdsLibrary* loaded = EdsLibrary::load(&whyNot);
    if (!loaded) return PlatformError{kEdsErrorDomain, 5, "the calendar store's libraries cannot be loaded: " + whyNot};
    const EdsLibrary& eds = *loaded;
    // The registry and the calendars together have the read's time.
    const auto limit = session_->limits.read;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string late = "did not answer within " + secondsText(limit);

    auto cancellable = newCancellable(eds);
    std::vector<BoundedTask<Result<std::shared_ptr<Registry>>>> opening;
    opening.push_back({[&eds, cancellable] { return openRegistry(eds, cancellable.get()); },
                       [&eds, cancellable] { eds.cancellableCancel(cancellable.get()); }});
    auto opened = runWithin(std::move(opening), limit);
    if (!opened[0]) return PlatformError{kEdsErrorDomain, 6, "the calendar store " + late};
    if (!*opened[0]) return opened[0]->error();
    const std::shared_ptr<Registry> registry = opened[0]->value();
    const std::vector<CalendarInfo> calendars = enabledCalendars(*registry);

    std::vector<BoundedTask<Result<CalendarEvents>>> tasks;
    for (const CalendarInfo& calendar : calendars) {
      auto reading = newCancellable(eds);
      // Each task keeps the registry alive: its calendar's source belongs to it.
      tasks.push_back(
          {[&eds, registry, source = calendar.source, addresses = calendar.userAddresses, start, end, reading] {
             return readCalendarSource(eds, source.get(), addresses, start, end, reading.get());
           },
           [&eds, reading] { eds.cancellableCancel(reading.get()); }});
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto results = runWithin(std::move(tasks), std::max(left, std::chrono::milliseconds(0)));

    struct Found {
      CalendarEvent event;
      std::size_t calendar;
    };
    std::vector<Found> found;
    CalendarFetch fetch;
    std::size_t read = 0;
    for (std::size_t index = 0; index < calendars.size(); ++index) {
      const std::string label = "\"" + calendars[index].name + "\" (" + calendars[index].uid + "): ";
      auto& result = results[index];
      if (!result) {
        fetch.missing.push_back({kEdsErrorDomain, 7, label + late});
        continue;
      }
      if (!*result) {
        fetch.missing.push_back({result->error().domain, result->error().code, label + result->error().description});
        continue;
      }
      ++read;
      auto& events = result->value();
      if (events.incomplete) fetch.missing.push_back({kEdsErrorDomain, 8, label + *events.incomplete});
      for (auto& event : events.events) found.push_back({std::move(event), index});
    }
    // Nothing read at all is no calendar, not an empty one.
    if (read == 0 && !calendars.empty()) {
      std::string text;
      for (const auto& missing : fetch.missing) text += (text.empty() ? "" : "; ") + missing.description;
      return PlatformError{kEdsErrorDomain, fetch.missing.front().code, text};
    }
    // By start, then identifier, then calendar; events without a start last.
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
      const auto& x = a.event;
      const auto& y = b.event;
      if (x.startDate.has_value() != y.startDate.has_value()) return x.startDate.has_value();
      if (x.startDate && *x.startDate != *y.startDate) return *x.startDate < *y.startDate;
      if (x.identifier != y.identifier) return x.identifier < y.identifier;
      return a.calendar < b.calendar;
    });
    for (auto& item : found) fetch.events.push_back(std::move(item.event));
    return fetch;
  }

 private:
  std::shared_ptr<Session> session_;
};

}  // namespace

EdsCalendar::EdsCalendar(EdsLimits limits) : limits_(limits) {}
EdsCalendar::~EdsCalendar() = default;

std::shared_ptr<Session> EdsCalendar::session() {
  std::lock_guard lock(mutex_);
  if (tried_) return session_;
  tried_ = true;
  const GioLibrary* gio = GioLibrary::load(&unreachable_);
  if (!gio) return nullptr;
  if (!sessionBusConfigured()) {
    unreachable_ = "no session bus";
    return nullptr;
  }
  auto cancellable = newCancellable(*gio);
  const EdsLimits limits = limits_;
  std::vector<BoundedTask<Result<std::shared_ptr<Session>>>> tasks;
  tasks.push_back({[gio, cancellable, limits] { return reach(*gio, cancellable.get(), limits); },
                   [gio, cancellable] { gio->cancellableCancel(cancellable.get()); }});
  auto reached = runWithin(std::move(tasks), limits_.reach);
  if (!reached[0]) {
    unreachable_ = "the calendar store did not answer within " + secondsText(limits_.reach);
  } else if (!*reached[0]) {
    unreachable_ = reached[0]->error().description;
  } else {
    session_ = reached[0]->value();
    unreachable_.clear();
  }
  return session_;
}

int EdsCalendar::authorizationStatus() {
  return session() ? calendar_authorization::kFullAccess : calendar_authorization::kRestricted;
}

void EdsCalendar::requestAccess(std::function<void()> completion) { completion(); }

std::unique_ptr<CalendarStore> EdsCalendar::makeStore() { return std::make_unique<EdsStore>(session()); }

std::optional<std::string> EdsCalendar::unreachableReason() {
  std::lock_guard lock(mutex_);
  if (!tried_ || session_) return std::nullopt;
  return unreachable_;
}

}  // namespace velmor::platform::eds

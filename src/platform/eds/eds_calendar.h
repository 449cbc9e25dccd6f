#pragma once
// The calendar of a Linux desktop: the calendars of Evolution Data Server, the store behind
// GNOME's calendar and its online accounts, reached over the session bus.
//
// Access is "full" when the store answers and "restricted" when there is none to ask: its
// libraries are not installed, there is no session bus, or the store does not answer on
// it. Nobody is ever asked: the store has no consent of its own to give.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/calendar.h"

namespace velmor::platform::eds {

struct EdsLimits {
  // Reaching the store: the bus, and the list of calendars (which may start the store).
  std::chrono::milliseconds reach{10000};
  // Reading every calendar, together; one that has not answered by then is missing.
  std::chrono::milliseconds read{10000};
};

class EdsCalendar final : public Calendar {
 public:
  explicit EdsCalendar(EdsLimits limits = {});
  ~EdsCalendar() override;

  // The first call loads the libraries and reaches the store, waiting at most `reach`;
  // later calls give the same answer at once. Nothing is loaded before.
  int authorizationStatus() override;
  // Completes at once: there is nobody to ask.
  void requestAccess(std::function<void()> completion) override;
  std::unique_ptr<CalendarStore> makeStore() override;

  // Why access is restricted; none while it is not.
  std::optional<std::string> unreachableReason();

  struct Session;

 private:
  std::shared_ptr<Session> session();

  const EdsLimits limits_;
  std::mutex mutex_;
  bool tried_ = false;
  std::shared_ptr<Session> session_;
  std::string unreachable_;
};

}  // namespace velmor::platform::eds

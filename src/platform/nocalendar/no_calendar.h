#pragma once
// The calendar of a build that reads none: access is "restricted" (the user cannot grant
// it, so nobody is asked), and its store holds nothing.
#include "platform/calendar.h"

namespace velmor::platform {

class NoCalendar final : public Calendar {
 public:
  int authorizationStatus() override;
  // Completes at once, with nothing changed.
  void requestAccess(std::function<void()> completion) override;
  std::unique_ptr<CalendarStore> makeStore() override;
};

}  // namespace velmor::platform

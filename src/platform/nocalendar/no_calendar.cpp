#include "platform/nocalendar/no_calendar.h"

namespace velmor::platform {
namespace {

class NoStore final : public CalendarStore {
 public:
  Result<CalendarFetch> events(CalendarDate, CalendarDate) override {
    return PlatformError{kProgramErrorDomain, 1, "this build reads no calendar"};
  }
};

}  // namespace

int NoCalendar::authorizationStatus() { return calendar_authorization::kRestricted; }

void NoCalendar::requestAccess(std::function<void()> completion) { completion(); }

std::unique_ptr<CalendarStore> NoCalendar::makeStore() { return std::make_unique<NoStore>(); }

}  // namespace velmor::platform

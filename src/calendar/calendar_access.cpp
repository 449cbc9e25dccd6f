#include "calendar/calendar_access.h"

#include <memory>

namespace velmor {

std::string accessWord(int status) {
  namespace auth = platform::calendar_authorization;
  switch (status) {
    case auth::kNotDetermined: return "undetermined";
    case auth::kRestricted: return "restricted";
    case auth::kFullAccess: return "granted";
    default: return "denied";  // denied, write-only, and anything newer
  }
}

std::string calendarAccess(platform::Calendar& calendar) { return accessWord(calendar.authorizationStatus()); }

void askForCalendar(platform::Calendar& calendar, platform::Dispatch& dispatch) {
  // The answer may come after the wait gave up, or never: the completion keeps the semaphore.
  auto answered = std::shared_ptr<platform::Semaphore>(dispatch.makeSemaphore(0));
  calendar.requestAccess([answered] { answered->signal(); });
  answered->waitFor(kAskTimeout);
}

}  // namespace velmor

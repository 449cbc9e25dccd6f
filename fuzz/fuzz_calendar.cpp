// The calendar document built from whatever a store hands over: events decoded from the
// input with titles, names, links and notes of any bytes, dates that may be NaN, infinite or
// beyond any 64-bit count of milliseconds, optional fields missing, and calendars that could
// not be read. The document is one line of JSON, it holds exactly the events with usable
// dates, in the store's order, and every "error" event is one line of JSON.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "calendar/calendar_read.h"
#include "platform/manual/manual_dispatch.h"

namespace {

using velmor::platform::CalendarDate;
using velmor::platform::CalendarEvent;
using velmor::platform::CalendarParticipant;

// Takes bytes, numbers and texts from the front of the input; zeros once it runs out.
struct Decoder {
  std::string_view rest;

  std::uint8_t byte() {
    if (rest.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest.front());
    rest.remove_prefix(1);
    return value;
  }
  std::string text() {
    const std::size_t length = std::min<std::size_t>(byte(), rest.size());
    std::string value(rest.substr(0, length));
    rest.remove_prefix(length);
    return value;
  }
  std::optional<std::string> optionalText() {
    if (byte() % 4 == 0) return std::nullopt;
    return text();
  }
  CalendarDate date() {
    switch (byte() % 10) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return std::numeric_limits<double>::infinity();
      case 2: return -std::numeric_limits<double>::infinity();
      case 3: return 1e300;
      case 4: return 9223372036854775.807;  // about the last second a 64-bit count of milliseconds holds
      case 5: return -9223372036854775.808;
      case 6: {  // any bit pattern
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | byte();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      default: {  // an ordinary moment, with a fraction
        std::uint32_t seconds = 0;
        for (int i = 0; i < 4; ++i) seconds = seconds << 8 | byte();
        return 1.7e9 + static_cast<double>(seconds) / 7.0 - 3e8;
      }
    }
  }
  std::optional<CalendarDate> optionalDate() {
    if (byte() % 8 == 0) return std::nullopt;
    return date();
  }
};

class Store final : public velmor::platform::CalendarStore {
 public:
  explicit Store(velmor::platform::CalendarFetch fetch) : fetch_(std::move(fetch)) {}
  velmor::platform::Result<velmor::platform::CalendarFetch> events(CalendarDate, CalendarDate) override {
    return fetch_;
  }

 private:
  velmor::platform::CalendarFetch fetch_;
};

class Granted final : public velmor::platform::Calendar {
 public:
  explicit Granted(velmor::platform::CalendarFetch fetch) : fetch_(std::move(fetch)) {}
  int authorizationStatus() override { return velmor::platform::calendar_authorization::kFullAccess; }
  void requestAccess(std::function<void()> completion) override { completion(); }
  std::unique_ptr<velmor::platform::CalendarStore> makeStore() override { return std::make_unique<Store>(fetch_); }

 private:
  velmor::platform::CalendarFetch fetch_;
};

// Every write is one line of JSON.
class Lines final : public velmor::platform::OutputHandle {
 public:
  void write(std::string_view bytes) override {
    if (bytes.empty() || bytes.back() != '\n' || bytes.find('\n') != bytes.size() - 1) std::abort();
    lines.push_back(nlohmann::json::parse(bytes));  // throws, and so fails, if not JSON
  }
  std::vector<nlohmann::json> lines;
};

class NoExit final : public velmor::platform::ProcessControl {
 public:
  [[noreturn]] void exit(int) override { std::abort(); }
};

bool validUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// The milliseconds the document must carry for `date`, or none when they do not fit.
std::optional<std::int64_t> expectedMilliseconds(CalendarDate date) {
  const double milliseconds = std::trunc(date * 1000);
  if (!std::isfinite(milliseconds) || milliseconds < -0x1p63 || milliseconds >= 0x1p63) return std::nullopt;
  return static_cast<std::int64_t>(milliseconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Decoder in{std::string_view(reinterpret_cast<const char*>(data), size)};
  velmor::platform::CalendarFetch fetch;
  const int missing = in.byte() % 3;
  for (int i = 0; i < missing; ++i) fetch.missing.push_back({"calendar", i, in.text()});
  while (!in.rest.empty() && fetch.events.size() < 16) {
    CalendarEvent event;
    event.identifier = in.optionalText();
    event.title = in.optionalText();
    event.startDate = in.optionalDate();
    event.endDate = in.optionalDate();
    const std::uint8_t flags = in.byte();
    event.allDay = flags & 1;
    event.status = static_cast<std::int8_t>(in.byte());
    event.location = in.optionalText();
    event.url = in.optionalText();
    event.notes = in.optionalText();
    if (flags & 2) {
      event.attendees.emplace();
      const int count = in.byte() % 6;
      for (int a = 0; a < count; ++a) {
        CalendarParticipant participant;
        const std::uint8_t kind = in.byte();
        participant.isCurrentUser = kind & 1;
        participant.status = (kind >> 1) % 9;
        participant.type = (kind >> 5) % 6;
        participant.name = in.optionalText();
        participant.url = in.optionalText();
        event.attendees->push_back(std::move(participant));
      }
    }
    fetch.events.push_back(std::move(event));
  }

  velmor::platform::ManualDispatch dispatch;
  dispatch.setUnixTime(1'780'000'000'000'000'000);
  Granted calendar(fetch);
  Lines out;
  Lines err;
  NoExit process;
  velmor::ControlChannel control(dispatch, err, process);
  const velmor::CalendarContext context{calendar, dispatch, out, control};
  if (velmor::readCalendar(context, false, 24, false)) std::abort();

  if (out.lines.size() != 1 || err.lines.size() != fetch.missing.size()) std::abort();
  for (const auto& error : err.lines) {
    if (error["type"] != "error") std::abort();
  }
  const auto& document = out.lines.front();
  if (document["type"] != "events" || document["access"] != "granted") std::abort();
  const auto& meetings = document["events"];
  std::size_t at = 0;
  for (const auto& event : fetch.events) {
    const auto start = event.startDate ? expectedMilliseconds(*event.startDate) : std::nullopt;
    const auto end = event.endDate ? expectedMilliseconds(*event.endDate) : std::nullopt;
    if (!start || !end) continue;  // an event without usable dates is left out
    if (at >= meetings.size()) std::abort();
    const auto& meeting = meetings[at++];
    if (meeting["start"] != *start || meeting["end"] != *end) std::abort();
    if (meeting["allDay"] != event.allDay) std::abort();
    if (meeting["cancelled"] != (event.status == velmor::platform::event_status::kCanceled)) std::abort();
    const std::string title = event.title.value_or("");
    if (validUtf8(title) && meeting["title"] != title) std::abort();
    bool declined = false;
    for (const auto& participant : event.attendees.value_or(std::vector<CalendarParticipant>{})) {
      declined = declined ||
                 (participant.isCurrentUser && participant.status == velmor::platform::participant_status::kDeclined);
    }
    if (meeting["declined"] != declined) std::abort();
    for (const auto& name : meeting["attendees"]) {
      if (name.get<std::string>().empty()) std::abort();
    }
  }
  if (at != meetings.size()) std::abort();
  return 0;
}

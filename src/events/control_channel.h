#pragma once
// Control events: one compact JSON object per line on standard error, written one at a
// time on the control queue; and the fatal-error path.
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/dispatch.h"
#include "platform/process_io.h"

namespace velmor {

using ControlEvent = nlohmann::json;

class ControlChannel {
 public:
  ControlChannel(platform::Dispatch& dispatch, platform::OutputHandle& stderrHandle, platform::ProcessControl& process);

  // Returns once the event's line is written (or the event was dropped). Any thread, but
  // never from a task already running on the control queue.
  void control(const ControlEvent& event);
  // Emits {"type":"error","message":message} and ends the process with status 1.
  [[noreturn]] void fail(const std::string& message);

  platform::SerialQueue& controlQueue() { return *controlQueue_; }

  // The event's line: compact JSON and a line feed. Text that is not valid UTF-8 is
  // written with U+FFFD in place of the bad bytes, so that the event still reaches the
  // parent. Empty when the event cannot be serialised.
  static std::string eventLine(const ControlEvent& event);

 private:
  std::shared_ptr<platform::SerialQueue> controlQueue_;
  platform::OutputHandle& stderrHandle_;
  platform::ProcessControl& process_;
};

}  // namespace velmor

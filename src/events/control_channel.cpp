#include "events/control_channel.h"

namespace velmor {

ControlChannel::ControlChannel(platform::Dispatch& dispatch, platform::OutputHandle& stderrHandle,
                               platform::ProcessControl& process)
    : controlQueue_(dispatch.makeSerialQueue("velmor.audio.control")), stderrHandle_(stderrHandle), process_(process) {}

std::string ControlChannel::eventLine(const ControlEvent& event) {
  try {
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    return line;
  } catch (const std::exception&) {
    return {};  // not serialisable: the event is dropped
  }
}

void ControlChannel::control(const ControlEvent& event) {
  controlQueue_->sync([&] {
    const std::string line = eventLine(event);
    if (!line.empty()) stderrHandle_.write(line);
  });
}

void ControlChannel::fail(const std::string& message) {
  control(ControlEvent{{"type", "error"}, {"message", message}});
  platform::exitProcess(process_, 1);
}

}  // namespace velmor

#include "platform/pulse/pulse_platform.h"

#include "platform/eds/eds_calendar.h"
#include "platform/posix/backlogged_output.h"
#include "platform/posix/posix_process.h"
#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_hardware.h"
#include "platform/pulse/pulse_screen.h"
#include "platform/pulse/pulse_tap.h"
#include "platform/threaded/thread_dispatch.h"

namespace velmor::platform::pulse {

// Constructing it touches no server: the connection is made by the first hardware read or
// capture call.
struct PulsePlatform::Parts {
  ThreadDispatch dispatch;
  BackloggedOutput stdOut{1};
  BackloggedOutput stdErr{2};
  PosixProcess process{&stdOut, &stdErr};
  PosixEnvironment environment;
  PosixSignals signals;
  std::shared_ptr<Connection> connection = std::make_shared<Connection>();
  PulseAudioHardware hardware{connection};
  PulseCaptureSystem capture{dispatch, connection};
  eds::EdsCalendar calendar;  // loads nothing until the calendar is read
  PulseSystemAudio systemAudio{connection};
  PulseScreenCapture screenCapture{dispatch, connection};
  Platform platform{dispatch, stdOut,  stdErr,   process,     environment,  signals,
                    hardware, capture, calendar, systemAudio, screenCapture};
};

PulsePlatform::PulsePlatform() : parts_(std::make_unique<Parts>()) {}
PulsePlatform::~PulsePlatform() = default;

Platform& PulsePlatform::platform() { return parts_->platform; }

}  // namespace velmor::platform::pulse

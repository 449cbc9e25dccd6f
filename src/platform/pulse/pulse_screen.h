#pragma once
// The screen-capture path on a sound server, reduced to what it records: the server's
// sinks stand for the displays (object id index + 1), its clients for the running
// applications, and a stream records the monitor of the default sink as it is when the
// stream starts, in 32-bit float at the configured rate and channel count. The stream stops
// by itself, telling its delegate why, when the default sink changes, when the sink it
// records goes away, when the server kills it or when the connection is lost.
#include <memory>

#include "platform/dispatch.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/screen_capture.h"

namespace velmor::platform::pulse {

class ScreenCore;

class PulseScreenCapture final : public ScreenCapture {
 public:
  PulseScreenCapture(Dispatch& dispatch, std::shared_ptr<Connection> connection);
  ~PulseScreenCapture() override;

  // Answers on the calling thread.
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           std::function<void(Result<ShareableContent>)> completion) override;
  std::shared_ptr<ScreenStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                           std::weak_ptr<StreamDelegate> delegate) override;

 private:
  std::shared_ptr<ScreenCore> core_;
};

}  // namespace velmor::platform::pulse

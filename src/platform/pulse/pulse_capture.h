#pragma once
// Microphone capture from the sound server: a device is a source (by name), a running
// session is one low-latency record stream on it. Removal of the source, a failed or
// killed stream and a lost connection become the capture notifications, posted from a
// queue of their own so that observers never run inside the mainloop.
#include <memory>

#include "platform/capture.h"
#include "platform/dispatch.h"
#include "platform/pulse/pulse_connection.h"

namespace velmor::platform::pulse {

class CaptureCore;

class PulseCaptureSystem final : public CaptureSystem {
 public:
  PulseCaptureSystem(Dispatch& dispatch, std::shared_ptr<Connection> connection);
  ~PulseCaptureSystem() override;

  Result<std::shared_ptr<CaptureDevice>> deviceWithUniqueID(const std::string& uid) override;
  // The server's default source, unless it is a monitor (then there is no microphone).
  Result<std::shared_ptr<CaptureDevice>> defaultAudioDevice() override;
  Result<std::shared_ptr<CaptureInput>> makeInput(const std::shared_ptr<CaptureDevice>& device) override;
  std::shared_ptr<CaptureSession> makeSession() override;
  std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override;

  ObserverToken addObserver(CaptureNotification name, const void* object,
                            std::function<void(const CaptureNotificationInfo&)> block) override;
  void removeObserver(ObserverToken token) override;

 private:
  std::shared_ptr<CaptureCore> core_;
};

// The stream format used for a source's sample format: its own where the program's PCM
// reads it (s16le, s24le, s32le, float32le), float32le otherwise.
pa_sample_spec recordingSpec(const pa_sample_spec& source);

}  // namespace velmor::platform::pulse

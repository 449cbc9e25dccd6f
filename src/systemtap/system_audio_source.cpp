#include "systemtap/system_audio_source.h"

namespace velmor {

bool screenPathAsked(const std::optional<std::string>& value) { return value == "screen"; }

void startSystem(const TapContext& tapContext, ActiveTap& activeTap,
                 const std::shared_ptr<SystemAudioOutput>& systemOutput) {
  if (!screenPathAsked(tapContext.environment.get("VELMOR_SYSTEM_AUDIO"))) {
    const auto error = startSystemTap(tapContext, activeTap);
    if (!error) {
      tapContext.control.control(
          ControlEvent{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "tap"}});
      return;
    }
    tapContext.control.control(ControlEvent{
        {"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"event", "fallback"}, {"reason", *error}});
  }
  // The screen-capture path reports its own outcome; nothing here waits for it.
  tapContext.dispatch.runTask([systemOutput] { startSystemAudio(*systemOutput, 1); });
}

}  // namespace velmor

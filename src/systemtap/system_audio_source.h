#pragma once
// Which system-audio source runs: the process tap unless the environment asks for the
// screen-capture stream or the tap cannot be built.
#include <memory>
#include <optional>
#include <string>

#include "screencapture/system_audio_output.h"
#include "systemtap/system_audio_tap.h"

namespace velmor {

// VELMOR_SYSTEM_AUDIO asks for the screen-capture stream with exactly "screen"; any other
// value, or none, leaves the tap first.
bool screenPathAsked(const std::optional<std::string>& value);

// Once, on the main thread, after the microphone started and before "ready": returns once
// the tap runs or once the screen-capture start has been launched. Never ends the process.
void startSystem(const TapContext& tapContext, ActiveTap& activeTap,
                 const std::shared_ptr<SystemAudioOutput>& systemOutput);

}  // namespace velmor

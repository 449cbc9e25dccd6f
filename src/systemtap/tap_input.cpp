#include "systemtap/system_audio_tap.h"

namespace velmor {

// One IO cycle: time-stamped first, whatever follows; the input is converted where it
// lies, without a copy.
void SystemAudioTap::take(platform::InputBufferList input) {
  lastIO_ = context_.dispatch.clock().uptimeNanos();
  if (!format_) return;
  const auto buffer = platform::PcmBuffer::wrap(*format_, input);
  if (!buffer || buffer->frameLength() == 0) return;
  if (!slots_.conv || !slots_.target) {
    auto target = platform::AudioFormat::make(platform::CommonFormat::float32, context_.captureRate, 1, false);
    if (!target) return;
    auto converter = platform::AudioConverter::make(*format_, *target);
    if (!converter) return;
    slots_.conv = std::move(converter);
    slots_.target = std::move(target);
  }
  const std::vector<float> block = convert(*buffer, *slots_.conv, *slots_.target);
  if (!block.empty()) context_.mixer.pushSystem(block);
}

}  // namespace velmor

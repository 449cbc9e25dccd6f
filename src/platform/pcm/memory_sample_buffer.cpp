#include <cstring>

#include "platform/pcm.h"

namespace velmor::platform {
namespace {

PlatformError pcmError(HwStatus code) {
  const char* text = code == kPcmFormatMismatch ? "the buffer is not in the destination's layout"
                     : code == kPcmFrameRange   ? "the frames lie outside the buffer"
                                                : "the destination has no room for the frames";
  return PlatformError{kProgramErrorDomain, code, text};
}

}  // namespace

MemorySampleBuffer::MemorySampleBuffer(std::optional<StreamDescription> description, std::int64_t frames,
                                       std::vector<std::vector<std::byte>> buffers)
    : description_(std::move(description)), frames_(frames), buffers_(std::move(buffers)) {}

Status MemorySampleBuffer::copyPcmData(std::int64_t frameOffset, std::int64_t frames, PcmBuffer& into) const {
  if (!description_ || into.format().description() != *description_) return pcmError(kPcmFormatMismatch);
  if (frameOffset < 0 || frames < 0 || frameOffset > frames_ || frames > frames_ - frameOffset)
    return pcmError(kPcmFrameRange);
  if (frames > into.frameCapacity()) return pcmError(kPcmNoRoom);

  const AudioFormat& format = into.format();
  const std::size_t frameBytes = format.bytesPerFrameInBuffer();
  const std::size_t offset = static_cast<std::size_t>(frameOffset) * frameBytes;
  const std::size_t length = static_cast<std::size_t>(frames) * frameBytes;
  // Buffers shorter than the description promises cannot supply the frames.
  if (buffers_.size() != into.bufferCount()) return pcmError(kPcmFormatMismatch);
  for (const auto& source : buffers_) {
    if (source.size() < offset + length) return pcmError(kPcmFrameRange);
  }
  for (std::size_t i = 0; i < buffers_.size(); ++i) {
    if (length > 0) std::memcpy(into.buffer(i).data(), buffers_[i].data() + offset, length);
  }
  return {};
}

}  // namespace velmor::platform

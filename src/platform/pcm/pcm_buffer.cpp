#include <algorithm>
#include <new>

#include "platform/pcm.h"

namespace velmor::platform {
namespace {

// Far beyond any real capture buffer; guards against sizes computed from garbage.
constexpr std::uint64_t kMaxBufferBytes = std::uint64_t{1} << 30;

}  // namespace

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  const std::size_t bytes = std::size_t{frameCapacity} * format.bytesPerFrameInBuffer();
  buffers_.assign(format.bufferCount(), std::vector<std::byte>(bytes));
}

std::unique_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (frameCapacity == 0) return nullptr;
  // At most 64 channels of 8 bytes times 2^32 frames: the product fits in 64 bits.
  const std::uint64_t total = std::uint64_t{frameCapacity} * format.bytesPerFrameInBuffer() * format.bufferCount();
  if (total > kMaxBufferBytes) return nullptr;
  try {
    return std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) { frameLength_ = std::min(frames, frameCapacity_); }

const float* PcmBuffer::floatChannelData(std::size_t channel) const {
  const StreamDescription& d = format_.description();
  const bool float32 = d.type == SampleType::floatingPoint && d.bitsPerChannel == 32;
  // Mono interleaved and mono planar are the same layout.
  const bool planar = !d.interleaved || d.channelsPerFrame == 1;
  if (!float32 || !planar || channel >= buffers_.size()) return nullptr;
  return reinterpret_cast<const float*>(buffers_[channel].data());
}

}  // namespace velmor::platform

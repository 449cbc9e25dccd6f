#include <algorithm>
#include <limits>
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
  for (auto& buffer : buffers_) views_.emplace_back(buffer);
}

// A view is only ever handed out as const, so its memory is never written through it.
PcmBuffer::PcmBuffer(const AudioFormat& format, std::span<const InputBuffer> buffers, std::uint32_t frames)
    : format_(format), frameCapacity_(frames), frameLength_(frames) {
  for (const auto& buffer : buffers) {
    views_.emplace_back(const_cast<std::byte*>(buffer.data.data()), buffer.data.size());
  }
}

std::unique_ptr<const PcmBuffer> PcmBuffer::wrap(const AudioFormat& format, std::span<const InputBuffer> buffers) {
  if (buffers.empty() || buffers.size() != format.bufferCount()) return nullptr;
  const std::uint32_t channelsPerBuffer = format.interleaved() ? format.channelCount() : 1;
  const std::size_t bytes = buffers.front().data.size();
  for (const auto& buffer : buffers) {
    if (buffer.channels != channelsPerBuffer || buffer.data.size() != bytes) return nullptr;
  }
  const std::uint64_t frames = bytes / format.bytesPerFrameInBuffer();
  if (frames > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  return std::unique_ptr<const PcmBuffer>(new PcmBuffer(format, buffers, static_cast<std::uint32_t>(frames)));
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
  if (!float32 || !planar || channel >= views_.size()) return nullptr;
  return reinterpret_cast<const float*>(views_[channel].data());
}

}  // namespace velmor::platform

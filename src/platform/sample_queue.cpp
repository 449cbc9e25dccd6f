#include "platform/sample_queue.h"

#include <algorithm>
#include <cstring>

namespace velmor::platform {

void SampleQueue::reclaim() {
  if (head_ > 0 && head_ >= size()) {
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void SampleQueue::append(std::span<const float> block) {
  if (block.empty()) return;
  std::memcpy(extend(block.size()), block.data(), block.size() * sizeof(float));
}

float* SampleQueue::extend(std::size_t count) {
  reclaim();
  const std::size_t old = samples_.size();
  samples_.resize(old + count);
  return samples_.data() + old;
}

void SampleQueue::consume(std::size_t count) {
  head_ += std::min(count, size());
  if (head_ == samples_.size()) clear();
}

void SampleQueue::clear() {
  samples_.clear();
  head_ = 0;
}

}  // namespace velmor::platform

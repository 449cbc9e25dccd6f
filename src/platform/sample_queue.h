#pragma once
// A growable queue of mono float samples: appended at the back, consumed from the front
// without moving what stays. The consumed front is given back once it outweighs what is
// still queued, so a steady stream costs amortised constant time per sample.
#include <cstddef>
#include <span>
#include <vector>

namespace velmor::platform {

class SampleQueue {
 public:
  std::size_t size() const { return samples_.size() - head_; }
  bool empty() const { return size() == 0; }
  const float* data() const { return samples_.data() + head_; }
  // The first n samples; n must not exceed size().
  std::span<const float> front(std::size_t n) const { return {data(), n}; }

  void append(std::span<const float> block);
  // Room for `count` more samples at the back, to be written by the caller.
  float* extend(std::size_t count);
  // Drops up to `count` samples from the front.
  void consume(std::size_t count);
  void clear();

 private:
  void reclaim();
  std::vector<float> samples_;
  std::size_t head_ = 0;
};

}  // namespace velmor::platform

#include "platform/shared/sample_backlog.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmor::platform {

SampleBacklog::SampleBacklog(StreamDescription format, std::size_t capacity, std::shared_ptr<DeliveryGate> gate,
                             std::uint64_t generation)
    : format_(format),
      planes_(format.interleaved ? 1 : std::max<std::size_t>(format.channelsPerFrame, 1)),
      planeFrameBytes_(format.bitsPerChannel / 8 * (format.interleaved ? format.channelsPerFrame : 1)),
      capacity_(std::max<std::size_t>(capacity, 1)),
      gate_(std::move(gate)),
      generation_(generation),
      data_(planes_) {}

std::size_t SampleBacklog::capacityFor(const StreamDescription& format, double seconds) {
  const double frames = std::ceil(format.sampleRate * seconds);
  return frames >= 1 ? static_cast<std::size_t>(frames) : 1;
}

bool SampleBacklog::push(std::span<const std::byte* const> planes, std::size_t frames, QueueOutput& output) {
  if (frames == 0 || planes.size() != planes_ || planeFrameBytes_ == 0) return false;
  bool began = false;
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    // More than fits: only the newest frames of this push are kept.
    std::size_t skip = 0;
    if (frames > capacity_) {
      skip = frames - capacity_;
      dropped_ += skip;
      frames = capacity_;
    }
    std::size_t lost = skip;
    if (frames_ + frames > capacity_) {
      const std::size_t excess = frames_ + frames - capacity_;
      head_ += excess;
      frames_ -= excess;
      dropped_ += excess;
      lost += excess;
      for (std::size_t left = excess; left > 0;) {
        const std::size_t cut = std::min(left, pushes_.front());
        pushes_.front() -= cut;
        if (pushes_.front() == 0) pushes_.pop_front();
        left -= cut;
      }
    }
    if (lost > 0 && !dropping_) {
      dropping_ = true;
      began = true;
    }
    for (std::size_t p = 0; p < planes_; ++p) {
      auto& plane = data_[p];
      // Give back the consumed front once it outweighs what is still queued.
      if (head_ > 0 && head_ >= frames_) {
        plane.erase(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(head_ * planeFrameBytes_));
      }
      const std::size_t old = plane.size();
      plane.resize(old + frames * planeFrameBytes_);
      std::memcpy(plane.data() + old, planes[p] + skip * planeFrameBytes_, frames * planeFrameBytes_);
    }
    if (head_ > 0 && head_ >= frames_) head_ = 0;
    frames_ += frames;
    pushes_.push_back(frames);
    if (!delivering_) {
      delivering_ = true;
      schedule = true;
    }
  }
  if (schedule) {
    auto [delegate, queue] = output.target();
    if (!queue) {
      std::lock_guard lock(mutex_);
      delivering_ = false;
      return began;
    }
    queue->async([self = shared_from_this(), delegate = delegate] { self->deliverAll(delegate); });
  }
  return began;
}

void SampleBacklog::deliverAll(const std::weak_ptr<SampleBufferDelegate>& delegate) {
  for (;;) {
    std::vector<std::vector<std::byte>> planes(planes_);
    std::size_t frames = 0;
    {
      std::lock_guard lock(mutex_);
      if (frames_ == 0) {
        delivering_ = false;
        dropping_ = false;  // caught up: a later loss is a new episode
        return;
      }
      frames = pushes_.front();
      pushes_.pop_front();
      for (std::size_t p = 0; p < planes_; ++p) {
        const auto begin = data_[p].begin() + static_cast<std::ptrdiff_t>(head_ * planeFrameBytes_);
        planes[p].assign(begin, begin + static_cast<std::ptrdiff_t>(frames * planeFrameBytes_));
      }
      head_ += frames;
      frames_ -= frames;
      if (frames_ == 0) {
        for (auto& plane : data_) plane.clear();
        head_ = 0;
      }
    }
    const MemorySampleBuffer buffer(format_, static_cast<std::int64_t>(frames), std::move(planes));
    gate_->deliver(generation_, [&] {
      if (auto target = delegate.lock()) target->captureOutput(buffer);
    });
  }
}

std::size_t SampleBacklog::queuedFrames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::uint64_t SampleBacklog::droppedFrames() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace velmor::platform

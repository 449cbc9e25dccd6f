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
  bool began = false;
  if (!queue(planes, frames, began)) return began;
  auto [delegate, target] = output.target();
  if (!target) {
    std::lock_guard lock(mutex_);
    delivering_ = false;
    return began;
  }
  auto consume = std::make_shared<const Consumer>(
      [format = format_, delegate = delegate](std::vector<std::vector<std::byte>>&& buffers, std::size_t count) {
        const MemorySampleBuffer buffer(format, static_cast<std::int64_t>(count), std::move(buffers));
        if (auto receiver = delegate.lock()) receiver->captureOutput(buffer);
      });
  schedule(*target, std::move(consume));
  return began;
}

bool SampleBacklog::push(std::span<const std::byte* const> planes, std::size_t frames, SerialQueue& target,
                         std::shared_ptr<const Consumer> consume) {
  bool began = false;
  if (queue(planes, frames, began)) schedule(target, std::move(consume));
  return began;
}

void SampleBacklog::schedule(SerialQueue& target, std::shared_ptr<const Consumer> consume) {
  // An idle consumer queue takes the delivery on this thread: one thread wake-up less for
  // every buffer. The consumer never blocks on its reader (standard output holds back
  // instead), so a producer that must not wait does not wait here either.
  auto self = shared_from_this();
  if (target.tryRunHere([&] { self->deliverAll(*consume); })) return;
  target.async([self = std::move(self), consume = std::move(consume)] { self->deliverAll(*consume); });
}

bool SampleBacklog::queue(std::span<const std::byte* const> planes, std::size_t frames, bool& began) {
  if (frames == 0 || planes.size() != planes_ || planeFrameBytes_ == 0) return false;
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
  return schedule;
}

void SampleBacklog::deliverAll(const Consumer& consume) {
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
    gate_->deliver(generation_, [&] { consume(std::move(planes), frames); });
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

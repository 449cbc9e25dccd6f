#pragma once
// Audio that a source has read and its consumer has not taken yet, bounded: when the consumer
// falls behind (a parent that stopped reading standard output holds the mixer, and with it
// every source's queue), the oldest frames go first, so memory stays flat and what follows a
// resumed read is the most recent audio, continuous from where dropping stopped.
//
// A producer (a sound server's read callback, a scripted device) pushes frames; a push onto
// an idle backlog delivers at once on the producer's thread when the consumer's queue is idle,
// and otherwise schedules one delivery task on that queue; either way the queued pushes go
// through the run's gate, one buffer a push, until the backlog is empty. One backlog serves
// one run of a source.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/pcm.h"
#include "platform/shared/delivery_gate.h"
#include "platform/shared/queue_output.h"

namespace velmor::platform {

// How much audio a source holds for a consumer that does not keep up.
inline constexpr double kBacklogSeconds = 2.0;

class SampleBacklog : public std::enable_shared_from_this<SampleBacklog> {
 public:
  // `format` describes the frames (one plane a channel when planar); at most `capacity`
  // frames are held.
  SampleBacklog(StreamDescription format, std::size_t capacity, std::shared_ptr<DeliveryGate> gate,
                std::uint64_t generation);

  // Frames held at most for `seconds` of the format's audio.
  static std::size_t capacityFor(const StreamDescription& format, double seconds);

  // Queues `frames` frames, one pointer a plane, and schedules their delivery to the output's
  // delegate. True when this push began dropping: the first frames lost since the backlog
  // last ran empty.
  bool push(std::span<const std::byte* const> planes, std::size_t frames, QueueOutput& output);

  // Takes one push's frames on the consumer's queue, one buffer a plane, through the gate.
  using Consumer = std::function<void(std::vector<std::vector<std::byte>>&& planes, std::size_t frames)>;
  // The same for any consumer: `consume` runs on `queue` (which the caller keeps alive), and
  // must hold only weakly what owns that queue.
  bool push(std::span<const std::byte* const> planes, std::size_t frames, SerialQueue& queue,
            std::shared_ptr<const Consumer> consume);

  std::size_t queuedFrames() const;
  std::uint64_t droppedFrames() const;

 private:
  // Delivers on this thread if the queue is idle, else schedules the delivery on it.
  void schedule(SerialQueue& target, std::shared_ptr<const Consumer> consume);
  // Queues the frames; true when the caller must schedule a delivery.
  bool queue(std::span<const std::byte* const> planes, std::size_t frames, bool& began);
  // On the consumer's queue: delivers what is queued until nothing is.
  void deliverAll(const Consumer& consume);

  const StreamDescription format_;
  const std::size_t planes_;
  const std::size_t planeFrameBytes_;
  const std::size_t capacity_;
  const std::shared_ptr<DeliveryGate> gate_;
  const std::uint64_t generation_;

  mutable std::mutex mutex_;
  std::vector<std::vector<std::byte>> data_;  // a plane each; frames from `head_` on are queued
  std::size_t head_ = 0;                      // in frames
  std::size_t frames_ = 0;
  std::deque<std::size_t> pushes_;  // frames of each queued push, oldest first; they sum to frames_
  bool delivering_ = false;         // a delivery task is scheduled or running
  bool dropping_ = false;           // frames were lost since the backlog last ran empty
  std::uint64_t dropped_ = 0;
};

}  // namespace velmor::platform

#pragma once
// An audio data output as every backend keeps it: the delegate and the queue it is called
// on, read by the backend each time it delivers a buffer.
#include <memory>
#include <mutex>
#include <utility>

#include "platform/capture.h"

namespace velmor::platform {

class QueueOutput final : public AudioDataOutput {
 public:
  void setSampleBufferDelegate(std::weak_ptr<SampleBufferDelegate> delegate,
                               std::shared_ptr<SerialQueue> queue) override {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
  }
  std::pair<std::weak_ptr<SampleBufferDelegate>, std::shared_ptr<SerialQueue>> target() {
    std::lock_guard lock(mutex_);
    return {delegate_, queue_};
  }

 private:
  std::mutex mutex_;
  std::weak_ptr<SampleBufferDelegate> delegate_;
  std::shared_ptr<SerialQueue> queue_;
};

}  // namespace velmor::platform

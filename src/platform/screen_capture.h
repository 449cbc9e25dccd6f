#pragma once
// Screen capture reduced to its audio: the shareable content (displays, running
// applications), a stream made from a content filter and a configuration, its outputs on
// a queue, its asynchronous start and stop, and the delegate told when it stops by itself.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/pcm.h"
#include "platform/result.h"

namespace velmor::platform {

struct Display {
  std::uint32_t displayID = 0;
  std::string name;
};

struct RunningApplication {
  std::int32_t processID = 0;
  std::string bundleIdentifier;
};

struct ShareableContent {
  std::vector<Display> displays;
  std::vector<RunningApplication> applications;
};

struct ContentFilter {
  Display display;
  std::vector<RunningApplication> excludedApplications;
  std::vector<std::uint32_t> exceptedWindows;
};

// A time as value / timescale seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
};

struct StreamConfiguration {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  std::int64_t sampleRate = 48000;
  std::int64_t channelCount = 2;
  std::int64_t width = 0;
  std::int64_t height = 0;
  MediaTime minimumFrameInterval;
};

enum class StreamOutputType { screen = 0, audio = 1 };

class ScreenStream;

// Receives a stream's buffers on the queue it was added with.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(ScreenStream& stream, const SampleBuffer& buffer, StreamOutputType type) = 0;
  // On the output's queue: audio it had not yet taken was dropped because it fell too far
  // behind; once when dropping begins, again only after it caught up.
  virtual void didDropSampleBuffers(ScreenStream&) {}
};

// Told, on a platform thread, that a stream stopped by itself.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void didStopWithError(ScreenStream& stream, const PlatformError& error) = 0;
};

using Completion = std::function<void(Status)>;

class ScreenStream {
 public:
  virtual ~ScreenStream() = default;
  // Buffers of `type` go to the output on `queue`, for as long as the output exists.
  virtual Status addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                 std::shared_ptr<SerialQueue> queue) = 0;
  // The completion runs once, on a thread of the platform's choosing.
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // The completion runs once, on a thread of the platform's choosing.
  virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                   std::function<void(Result<ShareableContent>)> completion) = 0;
  // The delegate is held weakly.
  virtual std::shared_ptr<ScreenStream> makeStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace velmor::platform

#pragma once
// System audio through a screen-capture stream reduced to its audio: the start sequence
// with its retries, the one output that turns the stream's buffers into system audio for
// the mixer, and the restart after the stream stops by itself.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "conversion/sample_conversion.h"
#include "events/control_channel.h"
#include "mixer/mixer.h"
#include "platform/dispatch.h"
#include "platform/process_io.h"
#include "platform/screen_capture.h"

namespace velmor {

// The global `stream`: the running stream or none, written by a start sequence and by the
// stop callback and read by the shutdown path, each on a thread of its own.
class StreamSlot {
 public:
  std::shared_ptr<platform::ScreenStream> get() const;
  void set(std::shared_ptr<platform::ScreenStream> stream);
  std::shared_ptr<platform::ScreenStream> take();

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::ScreenStream> stream_;
};

// What the screen-capture path reads and writes besides its own output.
struct ScreenCaptureContext {
  platform::Dispatch& dispatch;
  platform::ScreenCapture& screenCapture;
  platform::ProcessControl& process;
  ControlChannel& control;
  Mixer& mixer;
  double captureRate;
  StreamSlot& stream;
  std::atomic<std::int64_t>& systemRestarts;
};

// Once when dropping begins, whichever path records system audio: its queue did not get to
// mix the audio in time.
inline constexpr const char* kSystemAudioDropped = "System audio dropped: it was not mixed in time";

// Retry policy of a start sequence.
inline constexpr int kFirstRestartAttempt = 2;
inline constexpr int kLastScreenAttempt = 6;
inline constexpr platform::Duration kScreenRetryStep = platform::seconds(0.5);  // times the attempt number
inline constexpr platform::Duration kRestartPause = platform::seconds(0.7);

// The output and delegate of every stream, one for the process's life: the converter it
// builds from the first stream's first buffer serves every later stream.
class SystemAudioOutput final : public platform::StreamOutput,
                                public platform::StreamDelegate,
                                public std::enable_shared_from_this<SystemAudioOutput> {
 public:
  explicit SystemAudioOutput(ScreenCaptureContext context) : context_(context) {}

  void didOutputSampleBuffer(platform::ScreenStream& stream, const platform::SampleBuffer& buffer,
                             platform::StreamOutputType type) override;
  void didStopWithError(platform::ScreenStream& stream, const platform::PlatformError& error) override;
  void didDropSampleBuffers(platform::ScreenStream& stream) override;

  // Takes the stream out of `stream` and starts the restart task; returns at once.
  void restartSystemAudio();

  const ScreenCaptureContext& context() const { return context_; }

 private:
  ScreenCaptureContext context_;
  ConverterSlots slots_;  // used on the stream's sample queue only; never cleared
};

// The start sequence from `attempt`, run in the calling task: it waits for the platform and
// sleeps between retries, and reports only through events and the globals.
void startSystemAudio(SystemAudioOutput& systemOutput, int attempt);

}  // namespace velmor

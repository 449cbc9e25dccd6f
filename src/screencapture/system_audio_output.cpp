#include "screencapture/system_audio_output.h"

#include <optional>
#include <utility>

namespace velmor {

using platform::PlatformError;
using platform::Result;
using platform::Status;

namespace {

// Calls `start` with a completion and waits, in the calling task, until it has run. The
// completion may run on any thread, or before `start` returns.
template <class T, class Start>
T awaitCompletion(platform::Dispatch& dispatch, Start start) {
  struct State {
    std::mutex mutex;
    std::optional<T> value;
    std::unique_ptr<platform::Semaphore> done;
  };
  auto state = std::make_shared<State>();
  state->done = dispatch.makeSemaphore(0);
  start([state](T value) {
    {
      std::lock_guard lock(state->mutex);
      state->value.emplace(std::move(value));
    }
    state->done->signal();
  });
  state->done->wait();
  std::lock_guard lock(state->mutex);
  return std::move(*state->value);
}

}  // namespace

std::shared_ptr<platform::ScreenStream> StreamSlot::get() const {
  std::lock_guard lock(mutex_);
  return stream_;
}

void StreamSlot::set(std::shared_ptr<platform::ScreenStream> stream) {
  std::shared_ptr<platform::ScreenStream> previous;
  std::lock_guard lock(mutex_);
  previous = std::exchange(stream_, std::move(stream));
}

std::shared_ptr<platform::ScreenStream> StreamSlot::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(stream_, nullptr);
}

void startSystemAudio(SystemAudioOutput& systemOutput, int attempt) {
  const ScreenCaptureContext& context = systemOutput.context();

  auto failure = [&](const PlatformError& error) {
    if (attempt >= kFirstRestartAttempt && attempt < kLastScreenAttempt) {
      context.dispatch.sleep(kScreenRetryStep * attempt);
      startSystemAudio(systemOutput, attempt + 1);
    } else if (attempt == 1) {
      context.control.control(
          ControlEvent{{"type", "error"}, {"message", "System audio unavailable: " + error.description}});
    } else {
      context.control.control(
          ControlEvent{{"type", "error"}, {"message", "System audio stopped: " + error.description}});
    }
  };

  auto content = awaitCompletion<Result<platform::ShareableContent>>(context.dispatch, [&](auto completion) {
    context.screenCapture.getShareableContent(false, false, std::move(completion));
  });
  if (!content.ok()) return failure(content.error());
  if (content.value().displays.empty()) context.control.fail("No display to capture audio from");

  // This process's own sound is left out twice over: its application is excluded from the
  // filter and the configuration excludes the current process's audio. (On Linux the
  // program plays nothing, so neither changes what is recorded.)
  platform::ContentFilter filter;
  filter.display = content.value().displays.front();
  const std::int32_t self = context.process.processIdentifier();
  for (const auto& application : content.value().applications) {
    if (application.processID == self) filter.excludedApplications.push_back(application);
  }

  platform::StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate =
      static_cast<std::int64_t>(context.captureRate);  // truncated; the rate was checked at start
  configuration.channelCount = 1;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = platform::MediaTime{1, 1};

  auto stream = context.screenCapture.makeStream(filter, configuration, systemOutput.weak_from_this());
  auto queue = context.dispatch.makeSerialQueue("velmor.audio.system");
  const Status added = stream->addStreamOutput(systemOutput.weak_from_this(), platform::StreamOutputType::audio, queue);
  if (!added.ok()) {
    stream.reset();
    return failure(added.error());
  }
  const Status started =
      awaitCompletion<Status>(context.dispatch, [&](auto completion) { stream->startCapture(std::move(completion)); });
  if (!started.ok()) {
    stream.reset();
    return failure(started.error());
  }

  context.stream.set(stream);
  ControlEvent event{{"type", "device"}, {"name", "system audio"}, {"source", "system"}, {"via", "screen"}};
  if (attempt != 1) {
    event["event"] = "restarted";
    event["restarts"] = context.systemRestarts.fetch_add(1) + 1;
  }
  context.control.control(event);
}

void SystemAudioOutput::didDropSampleBuffers(platform::ScreenStream&) {
  context_.control.control(ControlEvent{{"type", "error"}, {"message", kSystemAudioDropped}});
}

void SystemAudioOutput::didOutputSampleBuffer(platform::ScreenStream&, const platform::SampleBuffer& buffer,
                                              platform::StreamOutputType type) {
  if (type != platform::StreamOutputType::audio) return;
  const std::vector<float> block = floatSamples(buffer, slots_, context_.captureRate);
  if (block.empty()) return;
  context_.mixer.pushSystem(block);
}

void SystemAudioOutput::didStopWithError(platform::ScreenStream&, const PlatformError& error) {
  context_.control.control(
      ControlEvent{{"type", "device"}, {"name", "system audio"}, {"event", "stopped"}, {"reason", error.description}});
  // The stream in the global is the one wound down, whichever the callback names.
  restartSystemAudio();
}

void SystemAudioOutput::restartSystemAudio() {
  auto old = context_.stream.take();
  context_.dispatch.runTask([self = shared_from_this(), old = std::move(old)]() mutable {
    const ScreenCaptureContext& context = self->context_;
    if (old) {
      // Whatever the stop says, the old stream is done with.
      (void)awaitCompletion<Status>(context.dispatch,
                                    [&](auto completion) { old->stopCapture(std::move(completion)); });
      old.reset();
    }
    context.dispatch.sleep(kRestartPause);
    startSystemAudio(*self, kFirstRestartAttempt);
  });
}

}  // namespace velmor

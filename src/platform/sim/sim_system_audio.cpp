#include "platform/sim/sim_system_audio.h"

#include <algorithm>

#include "platform/shared/delivery_gate.h"

namespace velmor::platform::sim {
namespace {

constexpr const char* kScreenDomain = "sim.screencapture";

// `frames` frames of the script from frame `start`, laid out as `format` says; silence
// once the script has ended (the device keeps running).
std::shared_ptr<PcmBuffer> render(const SimAudio& audio, const StreamDescription& format, std::int64_t start) {
  SimDevice script;
  script.audio = audio.segments;
  auto rendered = renderAudio(script, format, start, audio.bufferFrames);
  if (!rendered) {
    script.audio.clear();
    rendered = renderAudio(script, format, start, audio.bufferFrames);
  }
  const auto pcmFormat = AudioFormat::fromStreamDescription(format);
  if (!rendered || !pcmFormat) return nullptr;
  const auto frames = static_cast<std::uint32_t>(rendered->numSamples());
  std::shared_ptr<PcmBuffer> buffer = PcmBuffer::make(*pcmFormat, frames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(frames);
  if (!rendered->copyPcmData(0, frames, *buffer).ok()) return nullptr;
  return buffer;
}

Duration periodOf(std::uint32_t frames, double rate, double speed) {
  return seconds(static_cast<double>(frames) / rate / speed);
}

}  // namespace

// ---- the tap side ----

struct SimSystemAudio::Proc {
  AudioObjectId device = 0;
  std::shared_ptr<SerialQueue> queue;
  IOBlock block;
  std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
  bool running = false;
  std::uint64_t run = 0;
  std::int64_t nextFrame = 0;
};

struct SimSystemAudio::Listener {
  DefaultDeviceProperty property;
  std::shared_ptr<SerialQueue> queue;
  Task task;
};

class SimSystemAudio::Hardware final : public SystemAudioHardware {
 public:
  explicit Hardware(SimSystemAudio& owner) : owner_(owner) {}

  bool tapsAvailable() override {
    std::lock_guard lock(owner_.mutex_);
    return owner_.tapsAvailable_;
  }

  Result<AudioObjectId> createProcessTap(const TapDescription& description) override {
    std::lock_guard lock(owner_.mutex_);
    owner_.tapDescriptions_.push_back(description);
    if (const auto status = owner_.takeFailure(TapStep::createTap)) {
      if (*status == 0) return AudioObjectId{0};
      return stepError(*status);
    }
    const AudioObjectId id = owner_.nextObject_++;
    owner_.taps_.insert(id);
    ++owner_.counts_.tapsCreated;
    return id;
  }

  Result<StreamDescription> tapFormat(AudioObjectId tap) override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.taps_.count(tap)) return PlatformError{"sim.hal", kHwBadObject, "no such tap"};
    if (const auto status = owner_.takeFailure(TapStep::tapFormat)) {
      if (*status == 0) return StreamDescription{};  // read, but no format can be made from it
      return stepError(*status);
    }
    return owner_.tapFormat_;
  }

  Status destroyProcessTap(AudioObjectId tap) override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.taps_.erase(tap)) return PlatformError{"sim.hal", kHwBadObject, "no such tap"};
    return {};
  }

  Result<AudioObjectId> defaultOutputDevice() override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.defaultOutput_)
      return PlatformError{"sim.hal", kHwUnknownProperty, "the default output cannot be read"};
    return *owner_.defaultOutput_;
  }

  Result<AudioObjectId> defaultSystemOutputDevice() override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.defaultSystemOutput_) {
      return PlatformError{"sim.hal", kHwUnknownProperty, "the default system output cannot be read"};
    }
    return *owner_.defaultSystemOutput_;
  }

  Result<std::string> outputDeviceUID(AudioObjectId device) override {
    std::lock_guard lock(owner_.mutex_);
    const auto it = owner_.outputs_.find(device);
    if (it == owner_.outputs_.end()) return PlatformError{"sim.hal", kHwBadObject, "no such device"};
    return it->second.value_or("");
  }

  Result<AudioObjectId> createAggregateDevice(const AggregateDeviceDescription& description) override {
    std::lock_guard lock(owner_.mutex_);
    owner_.aggregateDescriptions_.push_back(description);
    if (const auto status = owner_.takeFailure(TapStep::aggregate)) {
      if (*status == 0) return AudioObjectId{0};
      return stepError(*status);
    }
    const AudioObjectId id = owner_.nextObject_++;
    owner_.aggregates_.insert(id);
    return id;
  }

  Status destroyAggregateDevice(AudioObjectId device) override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.aggregates_.erase(device)) return PlatformError{"sim.hal", kHwBadObject, "no such device"};
    return {};
  }

  Result<IOProcId> createIOProc(AudioObjectId device, std::shared_ptr<SerialQueue> queue, IOBlock block) override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.aggregates_.count(device)) return PlatformError{"sim.hal", kHwBadObject, "no such device"};
    if (const auto status = owner_.takeFailure(TapStep::ioProc)) {
      if (*status == 0) return IOProcId{0};
      return stepError(*status);
    }
    auto proc = std::make_shared<Proc>();
    proc->device = device;
    proc->queue = std::move(queue);
    proc->block = std::move(block);
    const IOProcId id = owner_.nextProc_++;
    owner_.procs_.emplace(id, std::move(proc));
    return id;
  }

  Status setIOProcOverrunListener(IOProcId proc, Task) override {
    std::lock_guard lock(owner_.mutex_);
    if (!owner_.procs_.count(proc)) return PlatformError{"sim.hal", kHwBadObject, "no such reader"};
    return {};  // the simulated reader is never behind: nothing is dropped
  }

  Status destroyIOProc(AudioObjectId, IOProcId proc) override {
    std::shared_ptr<Proc> gone;
    {
      std::lock_guard lock(owner_.mutex_);
      const auto it = owner_.procs_.find(proc);
      if (it == owner_.procs_.end()) return PlatformError{"sim.hal", kHwBadObject, "no such proc"};
      gone = std::move(it->second);
      owner_.procs_.erase(it);
    }
    gone->gate->closeAndWait();
    return {};
  }

  Status startDevice(AudioObjectId device, IOProcId id) override {
    std::uint64_t run = 0;
    Duration period{};
    {
      std::lock_guard lock(owner_.mutex_);
      const auto it = owner_.procs_.find(id);
      if (it == owner_.procs_.end() || it->second->device != device) {
        return PlatformError{"sim.hal", kHwBadObject, "no such proc"};
      }
      if (const auto status = owner_.takeFailure(TapStep::start)) return stepError(*status);
      Proc& proc = *it->second;
      if (proc.running) return {};
      proc.running = true;
      proc.run = proc.gate->open();
      run = proc.run;
      const StreamDescription format = owner_.tapAudio_.format.value_or(owner_.tapFormat_);
      period = periodOf(owner_.tapAudio_.bufferFrames, format.sampleRate, owner_.speed_);
    }
    owner_.scheduleTapTick(period, id, run);
    return {};
  }

  Status stopDevice(AudioObjectId, IOProcId id) override {
    std::shared_ptr<Proc> proc;
    {
      std::lock_guard lock(owner_.mutex_);
      const auto it = owner_.procs_.find(id);
      if (it == owner_.procs_.end()) return PlatformError{"sim.hal", kHwBadObject, "no such proc"};
      proc = it->second;
      proc->running = false;
    }
    proc->gate->closeAndWait();
    return {};
  }

  Status addDefaultDeviceListener(DefaultDeviceProperty property, std::shared_ptr<SerialQueue> queue,
                                  Task listener) override {
    std::lock_guard lock(owner_.mutex_);
    owner_.listeners_.push_back(Listener{property, std::move(queue), std::move(listener)});
    return {};
  }

 private:
  SimSystemAudio& owner_;
};

// With mutex_ held: the status of this call's scripted failure, if it fails.
std::optional<std::int64_t> SimSystemAudio::takeFailure(TapStep step) {
  const auto it = failures_.find(step);
  if (it == failures_.end() || it->second.count <= 0) return std::nullopt;
  --it->second.count;
  return it->second.status;
}

PlatformError SimSystemAudio::stepError(std::int64_t status) {
  return PlatformError{"sim.hal", status, "the simulated call failed"};
}

// One IO cycle of one running proc, then the next one scheduled.
void SimSystemAudio::tickTap(IOProcId id, std::uint64_t run) {
  std::shared_ptr<Proc> proc;
  std::shared_ptr<PcmBuffer> buffer;
  Duration period{};
  {
    std::lock_guard lock(mutex_);
    const auto it = procs_.find(id);
    if (it == procs_.end() || !it->second->running || it->second->run != run) return;
    proc = it->second;
    const StreamDescription format = tapAudio_.format.value_or(tapFormat_);
    period = periodOf(tapAudio_.bufferFrames, format.sampleRate, speed_);
    if (!tapIOStopped_) {
      buffer = render(tapAudio_, format, proc->nextFrame);
      if (buffer) proc->nextFrame += buffer->frameLength();
    }
  }
  if (buffer) {
    // The task holds the gate, the reader and the audio: never the queue it runs on.
    proc->queue->async([owner = weak_from_this(), gate = proc->gate, block = proc->block, buffer, run] {
      gate->deliver(run, [&] {
        std::vector<InputBuffer> list;
        const std::uint32_t channels = buffer->format().interleaved() ? buffer->format().channelCount() : 1;
        for (std::size_t i = 0; i < buffer->bufferCount(); ++i) {
          list.push_back(InputBuffer{channels, buffer->buffer(i)});
        }
        if (auto self = owner.lock()) {
          std::lock_guard lock(self->mutex_);
          ++self->counts_.cyclesDelivered;
        }
        block(list);
      });
    });
  }
  scheduleTapTick(period, id, run);
}

// The first cycle comes one buffer's time after the start, as from a device.
void SimSystemAudio::scheduleTapTick(Duration delay, IOProcId id, std::uint64_t run) {
  worldQueue_.after(delay, [weak = weak_from_this(), id, run] {
    if (auto self = weak.lock()) self->tickTap(id, run);
  });
}

// ---- the screen-capture side ----

class SimSystemAudio::Stream final : public ScreenStream, public std::enable_shared_from_this<Stream> {
 public:
  Stream(SimSystemAudio& owner, ContentFilter filter, StreamConfiguration configuration,
         std::weak_ptr<StreamDelegate> delegate)
      : owner_(owner), filter_(std::move(filter)), configuration_(configuration), delegate_(std::move(delegate)) {}

  ~Stream() override {
    // A queue must not go in one of its own tasks: let another thread drop it.
    std::lock_guard lock(mutex_);
    for (auto& output : outputs_) {
      if (output.queue && output.queue->isCurrent()) owner_.dispatch_.runTask([queue = std::move(output.queue)] {});
    }
  }

  Status addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override {
    {
      std::lock_guard lock(owner_.mutex_);
      if (owner_.outputRefusals_.count(++owner_.outputCalls_)) {
        return PlatformError{kScreenDomain, -3802, "the stream took no audio output"};
      }
    }
    std::lock_guard lock(mutex_);
    outputs_.push_back(Output{std::move(output), type, std::move(queue)});
    return {};
  }

  void startCapture(Completion completion) override {
    bool fails = false;
    {
      std::lock_guard lock(owner_.mutex_);
      fails = owner_.startFailures_.count(++owner_.counts_.startCalls) > 0;
    }
    if (fails) return completion(PlatformError{kScreenDomain, -3805, "the stream did not start"});
    std::uint64_t run = 0;
    {
      std::lock_guard lock(mutex_);
      if (!running_) {
        running_ = true;
        run = gate_->open();
      }
    }
    if (run != 0) scheduleTick(run);
    completion(Status{});
  }

  void stopCapture(Completion completion) override {
    {
      std::lock_guard lock(owner_.mutex_);
      ++owner_.counts_.stopCalls;
    }
    halt();
    completion(Status{});
  }

  // Stops delivery; once it returns, no buffer reaches an output.
  void halt() {
    gate_->closeAndWait();
    std::lock_guard lock(mutex_);
    running_ = false;
  }

  bool running() {
    std::lock_guard lock(mutex_);
    return running_;
  }

  void stopWithError(const PlatformError& error) {
    if (!running()) return;
    halt();
    if (auto delegate = delegate_.lock()) delegate->didStopWithError(*this, error);
  }

  const ContentFilter& filter() const { return filter_; }
  const StreamConfiguration& configuration() const { return configuration_; }

 private:
  struct Output {
    std::weak_ptr<StreamOutput> output;
    StreamOutputType type;
    std::shared_ptr<SerialQueue> queue;
  };

  StreamDescription format() {
    // Float samples, one buffer a channel, at the configured rate: unless the script says otherwise.
    std::lock_guard lock(owner_.mutex_);
    return owner_.streamAudio_.format.value_or(
        StreamDescription{static_cast<double>(configuration_.sampleRate), SampleType::floatingPoint, 32,
                          static_cast<std::uint32_t>(configuration_.channelCount), false});
  }

  void scheduleTick(std::uint64_t run) {
    const StreamDescription described = format();
    Duration period{};
    {
      std::lock_guard lock(owner_.mutex_);
      period = periodOf(owner_.streamAudio_.bufferFrames, described.sampleRate, owner_.speed_);
    }
    owner_.worldQueue_.after(period, [weak = weak_from_this(), run] {
      if (auto self = weak.lock()) self->tick(run);
    });
  }

  void tick(std::uint64_t run) {
    if (gate_->current() != run) return;
    const StreamDescription described = format();
    SimAudio audio;
    {
      std::lock_guard lock(owner_.mutex_);
      audio = owner_.streamAudio_;
    }
    if (auto pcm = render(audio, described, nextFrame_)) {
      nextFrame_ += pcm->frameLength();
      std::vector<std::vector<std::byte>> data;
      for (std::size_t i = 0; i < pcm->bufferCount(); ++i) {
        const auto bytes = pcm->buffer(i);
        data.emplace_back(bytes.begin(), bytes.end());
      }
      auto buffer = std::make_shared<MemorySampleBuffer>(described, pcm->frameLength(), std::move(data));
      std::vector<Output> outputs;
      {
        std::lock_guard lock(mutex_);
        outputs = outputs_;
      }
      for (const auto& output : outputs) {
        if (!output.queue) continue;
        output.queue->async(
            [gate = gate_, weak = weak_from_this(), receiver = output.output, type = output.type, buffer, run] {
              gate->deliver(run, [&] {
                auto self = weak.lock();
                auto target = receiver.lock();
                if (self && target) target->didOutputSampleBuffer(*self, *buffer, type);
              });
            });
      }
    }
    scheduleTick(run);
  }

  SimSystemAudio& owner_;
  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<DeliveryGate> gate_ = std::make_shared<DeliveryGate>();
  std::mutex mutex_;
  std::vector<Output> outputs_;
  bool running_ = false;
  std::int64_t nextFrame_ = 0;  // on the world's queue only
};

class SimSystemAudio::Screen final : public ScreenCapture {
 public:
  explicit Screen(SimSystemAudio& owner) : owner_(owner) {}

  void getShareableContent(bool, bool, std::function<void(Result<ShareableContent>)> completion) override {
    std::optional<Result<ShareableContent>> answer;
    {
      std::lock_guard lock(owner_.mutex_);
      if (owner_.contentFailures_.count(++owner_.counts_.contentQueries)) {
        answer.emplace(PlatformError{kScreenDomain, -3801, "the shareable content could not be read"});
      } else {
        answer.emplace(ShareableContent{owner_.displays_, owner_.applications_});
      }
    }
    completion(std::move(*answer));
  }

  std::shared_ptr<ScreenStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                           std::weak_ptr<StreamDelegate> delegate) override {
    auto stream = std::make_shared<Stream>(owner_, filter, configuration, std::move(delegate));
    std::lock_guard lock(owner_.mutex_);
    ++owner_.counts_.streamsMade;
    owner_.lastFilter_ = filter;
    owner_.lastConfiguration_ = configuration;
    std::erase_if(owner_.streams_, [](const auto& weak) { return weak.expired(); });
    owner_.streams_.push_back(stream);
    return stream;
  }

 private:
  SimSystemAudio& owner_;
};

// ---- the whole ----

SimSystemAudio::SimSystemAudio(Dispatch& dispatch, SerialQueue& worldQueue)
    : dispatch_(dispatch),
      worldQueue_(worldQueue),
      tapFormat_{48000, SampleType::floatingPoint, 32, 2, false},
      hardware_(std::make_unique<Hardware>(*this)),
      screen_(std::make_unique<Screen>(*this)) {
  tapAudio_.bufferFrames = 512;
  streamAudio_.bufferFrames = 1024;
}

SimSystemAudio::~SimSystemAudio() = default;

SystemAudioHardware& SimSystemAudio::hardware() { return *hardware_; }
ScreenCapture& SimSystemAudio::screenCapture() { return *screen_; }

void SimSystemAudio::setTapsAvailable(bool available) {
  std::lock_guard lock(mutex_);
  tapsAvailable_ = available;
}

void SimSystemAudio::addOutputDevice(AudioObjectId id, std::optional<std::string> uid) {
  std::lock_guard lock(mutex_);
  outputs_[id] = std::move(uid);
}

void SimSystemAudio::setDefaultOutput(std::optional<AudioObjectId> id) {
  {
    std::lock_guard lock(mutex_);
    if (defaultOutput_ == id) return;
    defaultOutput_ = id;
  }
  notify(DefaultDeviceProperty::output);
}

void SimSystemAudio::setDefaultSystemOutput(std::optional<AudioObjectId> id) {
  {
    std::lock_guard lock(mutex_);
    if (defaultSystemOutput_ == id) return;
    defaultSystemOutput_ = id;
  }
  notify(DefaultDeviceProperty::systemOutput);
}

void SimSystemAudio::notify(DefaultDeviceProperty property) {
  std::vector<Listener> told;
  {
    std::lock_guard lock(mutex_);
    for (const auto& listener : listeners_) {
      if (listener.property == property) told.push_back(listener);
    }
  }
  for (auto& listener : told) listener.queue->async(listener.task);
}

void SimSystemAudio::failStep(TapStep step, StepFailure failure) {
  std::lock_guard lock(mutex_);
  failures_[step] = failure;
}

void SimSystemAudio::setTapFormat(StreamDescription format) {
  std::lock_guard lock(mutex_);
  tapFormat_ = format;
}

void SimSystemAudio::setTapAudio(SimAudio audio) {
  std::lock_guard lock(mutex_);
  if (audio.bufferFrames == 0) audio.bufferFrames = 1;
  tapAudio_ = std::move(audio);
}

void SimSystemAudio::setTapIOStopped(bool stopped) {
  std::lock_guard lock(mutex_);
  tapIOStopped_ = stopped;
}

void SimSystemAudio::setAudioSpeed(double speed) {
  std::lock_guard lock(mutex_);
  speed_ = speed > 0 ? speed : 1;
}

void SimSystemAudio::setDisplays(std::vector<Display> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void SimSystemAudio::setApplications(std::vector<RunningApplication> applications) {
  std::lock_guard lock(mutex_);
  applications_ = std::move(applications);
}

void SimSystemAudio::failContentQueries(std::set<int> calls) {
  std::lock_guard lock(mutex_);
  contentFailures_ = std::move(calls);
}

void SimSystemAudio::refuseOutputs(std::set<int> calls) {
  std::lock_guard lock(mutex_);
  outputRefusals_ = std::move(calls);
}

void SimSystemAudio::failStarts(std::set<int> calls) {
  std::lock_guard lock(mutex_);
  startFailures_ = std::move(calls);
}

void SimSystemAudio::setStreamAudio(SimAudio audio) {
  std::lock_guard lock(mutex_);
  if (audio.bufferFrames == 0) audio.bufferFrames = 1;
  streamAudio_ = std::move(audio);
}

std::vector<std::shared_ptr<SimSystemAudio::Stream>> SimSystemAudio::liveStreams() {
  std::vector<std::shared_ptr<Stream>> live;
  std::lock_guard lock(mutex_);
  for (const auto& weak : streams_) {
    if (auto stream = weak.lock()) live.push_back(std::move(stream));
  }
  return live;
}

void SimSystemAudio::stopStreams(PlatformError error) {
  for (const auto& stream : liveStreams()) stream->stopWithError(error);
}

SimSystemAudio::Counts SimSystemAudio::counts() {
  int running = 0;
  for (const auto& stream : liveStreams()) running += stream->running() ? 1 : 0;
  std::lock_guard lock(mutex_);
  Counts counts = counts_;
  counts.tapsAlive = static_cast<int>(taps_.size());
  counts.aggregatesAlive = static_cast<int>(aggregates_.size());
  counts.procsAlive = static_cast<int>(procs_.size());
  counts.devicesRunning = static_cast<int>(
      std::count_if(procs_.begin(), procs_.end(), [](const auto& entry) { return entry.second->running; }));
  counts.streamsRunning = running;
  return counts;
}

std::vector<TapDescription> SimSystemAudio::tapDescriptions() {
  std::lock_guard lock(mutex_);
  return tapDescriptions_;
}

std::vector<AggregateDeviceDescription> SimSystemAudio::aggregateDescriptions() {
  std::lock_guard lock(mutex_);
  return aggregateDescriptions_;
}

std::optional<ContentFilter> SimSystemAudio::lastFilter() {
  std::lock_guard lock(mutex_);
  return lastFilter_;
}

std::optional<StreamConfiguration> SimSystemAudio::lastConfiguration() {
  std::lock_guard lock(mutex_);
  return lastConfiguration_;
}

}  // namespace velmor::platform::sim

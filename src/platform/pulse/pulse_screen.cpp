#include "platform/pulse/pulse_screen.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/pulse/pulse_monitor_stream.h"
#include "platform/pulse/pulse_sinks.h"
#include "platform/shared/delivery_gate.h"
#include "platform/shared/sample_backlog.h"

namespace velmor::platform::pulse {
namespace {

constexpr const char* kDomain = "pulse";

}  // namespace

class PulseScreenStream;

// What the capture layer and its streams share: the connection, the queue the stop
// callbacks run on, and the streams that record, told of the server's events.
class ScreenCore final : public ConnectionListener {
 public:
  ScreenCore(Dispatch& dispatch, std::shared_ptr<Connection> shared)
      : connection(std::move(shared)), callbacks(dispatch.makeSerialQueue("velmor.pulse.screen")) {}
  ~ScreenCore() override;

  void add(const std::shared_ptr<PulseScreenStream>& stream) {
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [](const auto& weak) { return weak.expired(); });
    streams_.push_back(stream);
  }
  std::vector<std::shared_ptr<PulseScreenStream>> live() {
    std::vector<std::shared_ptr<PulseScreenStream>> found;
    std::lock_guard lock(mutex_);
    for (const auto& weak : streams_) {
      if (auto stream = weak.lock()) found.push_back(std::move(stream));
    }
    return found;
  }

  // On the mainloop, with the lock held.
  void serverChanged() override;
  void sinkRemoved(std::uint32_t index) override;
  void sourceRemoved(std::uint32_t index) override;
  void connectionLost(int error) override;

  const std::shared_ptr<Connection> connection;
  const std::shared_ptr<SerialQueue> callbacks;

 private:
  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata);

  std::mutex mutex_;
  std::vector<std::weak_ptr<PulseScreenStream>> streams_;
  pa_operation* defaultQuery_ = nullptr;  // with the lock held
};

class PulseScreenStream final : public ScreenStream, public std::enable_shared_from_this<PulseScreenStream> {
 public:
  PulseScreenStream(std::shared_ptr<ScreenCore> core, const StreamConfiguration& configuration,
                    std::weak_ptr<StreamDelegate> delegate)
      : core_(std::move(core)), configuration_(configuration), delegate_(std::move(delegate)) {}

  ~PulseScreenStream() override {
    {
      Connection::Lock lock(*core_->connection);
      cancelQuery();
      monitor_.reset();
      deliveries_.clear();
    }
    // A queue must not go in one of its own tasks (the last reference to a stream may be a
    // delivery's): another queue lets go of it.
    std::lock_guard lock(mutex_);
    for (auto& output : outputs_) {
      if (output.queue && output.queue->isCurrent()) core_->callbacks->async([queue = std::move(output.queue)] {});
    }
  }

  Status addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override {
    std::lock_guard lock(mutex_);
    outputs_.push_back(Output{std::move(output), type, std::move(queue)});
    return {};
  }

  void startCapture(Completion completion) override { completion(start()); }

  void stopCapture(Completion completion) override {
    // Outside the server's lock: a delivery under way may be waiting on the mixer.
    gate_->closeAndWait();
    {
      Connection::Lock lock(*core_->connection);
      ended_ = true;
      cancelQuery();
      if (monitor_) monitor_->stop(lock);
      monitor_.reset();
    }
    completion(Status{});
  }

  // ---- on the mainloop, with the lock held ----

  void defaultSinkIs(const std::optional<std::string>& name) {
    if (monitor_ && !ended_ && name != sinkName_) stopBySelf(PA_OK, "the default output changed");
  }
  void sinkRemoved(std::uint32_t index) {
    if (monitor_ && !ended_ && index == sinkIndex_) stopBySelf(PA_ERR_NOENTITY, "the recorded output was removed");
  }
  void sourceRemoved(std::uint32_t index) {
    if (monitor_ && !ended_ && index == monitor_->sourceIndex()) {
      stopBySelf(PA_ERR_NOENTITY, "the recorded output was removed");
    }
  }
  void connectionLost(int error) {
    if (monitor_ && !ended_) stopBySelf(error, pa_strerror(error));
  }

 private:
  struct Output {
    std::weak_ptr<StreamOutput> output;
    StreamOutputType type;
    std::shared_ptr<SerialQueue> queue;
  };
  struct Delivery {
    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<SampleBacklog> backlog;
    std::shared_ptr<const SampleBacklog::Consumer> consume;
    std::weak_ptr<StreamOutput> output;
    std::uint64_t generation = 0;
  };

  Status start() {
    Connection& connection = *core_->connection;
    Connection::Lock lock(connection);
    if (monitor_) return {};
    auto sink = readDefaultSink(connection, lock);
    if (!sink.ok()) return sink.error();
    if (!sink.value() || sink.value()->monitorSource.empty()) {
      return PlatformError{kDomain, PA_ERR_NOENTITY, "the server has no output to record"};
    }
    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_FLOAT32LE;
    sampleSpec.rate = static_cast<std::uint32_t>(std::clamp<std::int64_t>(configuration_.sampleRate, 0, PA_RATE_MAX));
    sampleSpec.channels =
        static_cast<std::uint8_t>(std::clamp<std::int64_t>(configuration_.channelCount, 0, PA_CHANNELS_MAX));
    if (!pa_sample_spec_valid(&sampleSpec)) return serverError(PA_ERR_INVALID);

    description_ = describeSampleSpec(sampleSpec);
    frameBytes_ = pa_frame_size(&sampleSpec);
    auto monitor = std::make_unique<MonitorStream>(
        connection, sampleSpec, [this](std::span<const std::byte> bytes) { deliver(bytes); },
        [this](int error) { failed(error); });
    prepareDeliveries(gate_->open());
    const int error = monitor->start(lock, sink.value()->monitorSource);
    if (error != PA_OK) {
      gate_->close();
      return serverError(error);
    }
    monitor_ = std::move(monitor);
    sinkName_ = sink.value()->name;
    sinkIndex_ = sink.value()->index;
    ended_ = false;
    core_->add(shared_from_this());
    return {};
  }

  // One read callback's audio to every audio output, on its queue, through a backlog that
  // holds at most 2 s for an output that falls behind (the oldest audio goes first). The
  // delivery holds the stream and the output weakly, never the queue it runs on.
  void deliver(std::span<const std::byte> bytes) {
    if (frameBytes_ == 0) return;
    const std::byte* planes[] = {bytes.data()};
    for (const auto& delivery : deliveries_) {
      if (delivery.backlog->push(planes, bytes.size() / frameBytes_, *delivery.queue, delivery.consume)) {
        delivery.queue->async(
            [gate = gate_, generation = delivery.generation, weak = weak_from_this(), receiver = delivery.output] {
              gate->deliver(generation, [&] {
                auto self = weak.lock();
                auto target = receiver.lock();
                if (self && target) target->didDropSampleBuffers(*self);
              });
            });
      }
    }
  }

  // The deliveries of a run that starts under `generation`.
  void prepareDeliveries(std::uint64_t generation) {
    deliveries_.clear();
    std::vector<Output> outputs;
    {
      std::lock_guard lock(mutex_);
      outputs = outputs_;
    }
    for (const auto& output : outputs) {
      if (output.type != StreamOutputType::audio || !output.queue) continue;
      Delivery delivery;
      delivery.queue = output.queue;
      delivery.output = output.output;
      delivery.generation = generation;
      delivery.backlog = std::make_shared<SampleBacklog>(
          description_, SampleBacklog::capacityFor(description_, kBacklogSeconds), gate_, generation);
      delivery.consume = std::make_shared<const SampleBacklog::Consumer>(
          [weak = weak_from_this(), receiver = output.output, format = description_](
              std::vector<std::vector<std::byte>>&& planes, std::size_t frames) {
            const MemorySampleBuffer buffer(format, static_cast<std::int64_t>(frames), std::move(planes));
            auto self = weak.lock();
            auto target = receiver.lock();
            if (self && target) target->didOutputSampleBuffer(*self, buffer, StreamOutputType::audio);
          });
      deliveries_.push_back(std::move(delivery));
    }
  }

  // The server killed the stream or its source went: which, the sink's presence says.
  void failed(int error) {
    if (ended_ || query_) return;
    Connection::Lock lock(*core_->connection);  // held already, on the mainloop
    failure_ = error;
    sinkFound_ = false;
    query_ = pa_context_get_sink_info_by_index(core_->connection->context(lock), sinkIndex_, onSinkQuery, this);
    if (!query_) stopBySelf(error, pa_strerror(error));
  }

  static void onSinkQuery(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseScreenStream*>(userdata);
    if (info) self->sinkFound_ = true;
    if (eol == 0) return;
    pa_operation_unref(self->query_);
    self->query_ = nullptr;
    if (self->sinkFound_) {
      self->stopBySelf(self->failure_, pa_strerror(self->failure_));
    } else {
      self->stopBySelf(PA_ERR_NOENTITY, "the recorded output was removed");
    }
  }

  // Ends the recording and tells the delegate, once, on the callback queue.
  void stopBySelf(int code, const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    gate_->close();
    Connection::Lock lock(*core_->connection);  // held already, on the mainloop
    if (monitor_) monitor_->stop(lock);
    core_->callbacks->async(
        [weak = weak_from_this(), delegate = delegate_, error = PlatformError{kDomain, code, reason}] {
          auto self = weak.lock();
          auto target = delegate.lock();
          if (self && target) target->didStopWithError(*self, error);
        });
  }

  void cancelQuery() {
    if (!query_) return;
    pa_operation_cancel(query_);
    pa_operation_unref(query_);
    query_ = nullptr;
  }

  const std::shared_ptr<ScreenCore> core_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<DeliveryGate> gate_ = std::make_shared<DeliveryGate>();
  std::mutex mutex_;
  std::vector<Output> outputs_;
  // With the connection's lock held.
  std::unique_ptr<MonitorStream> monitor_;
  std::vector<Delivery> deliveries_;
  StreamDescription description_;
  std::size_t frameBytes_ = 0;
  std::string sinkName_;
  std::uint32_t sinkIndex_ = PA_INVALID_INDEX;
  bool ended_ = false;
  pa_operation* query_ = nullptr;
  bool sinkFound_ = false;
  int failure_ = PA_OK;
};

// ---- the core's events ----

ScreenCore::~ScreenCore() {
  Connection::Lock lock(*connection);
  if (defaultQuery_) {
    pa_operation_cancel(defaultQuery_);
    pa_operation_unref(defaultQuery_);
    defaultQuery_ = nullptr;
  }
}

void ScreenCore::serverChanged() {
  if (defaultQuery_ || live().empty()) return;
  Connection::Lock lock(*connection);  // held already, on the mainloop
  if (pa_context* context = connection->context(lock)) {
    defaultQuery_ = pa_context_get_server_info(context, onServerInfo, this);
  }
}

void ScreenCore::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<ScreenCore*>(userdata);
  if (self->defaultQuery_) {
    pa_operation_unref(self->defaultQuery_);
    self->defaultQuery_ = nullptr;
  }
  if (!info) return;
  std::optional<std::string> name;
  if (info->default_sink_name && *info->default_sink_name) name = info->default_sink_name;
  for (const auto& stream : self->live()) stream->defaultSinkIs(name);
}

void ScreenCore::sinkRemoved(std::uint32_t index) {
  for (const auto& stream : live()) stream->sinkRemoved(index);
}

void ScreenCore::sourceRemoved(std::uint32_t index) {
  for (const auto& stream : live()) stream->sourceRemoved(index);
}

void ScreenCore::connectionLost(int error) {
  // The lost connection's requests are cancelled without an answer.
  if (defaultQuery_) {
    pa_operation_cancel(defaultQuery_);
    pa_operation_unref(defaultQuery_);
    defaultQuery_ = nullptr;
  }
  for (const auto& stream : live()) stream->connectionLost(error);
}

// ---- the capture layer ----

PulseScreenCapture::PulseScreenCapture(Dispatch& dispatch, std::shared_ptr<Connection> connection)
    : core_(std::make_shared<ScreenCore>(dispatch, connection)) {
  connection->addListener(core_);
}

PulseScreenCapture::~PulseScreenCapture() = default;

void PulseScreenCapture::getShareableContent(bool, bool, std::function<void(Result<ShareableContent>)> completion) {
  std::optional<Result<ShareableContent>> answer;
  {
    Connection::Lock lock(*core_->connection);
    auto sinks = readSinks(*core_->connection, lock);
    auto clients =
        sinks.ok() ? readClients(*core_->connection, lock) : Result<std::vector<ClientRecord>>(sinks.error());
    if (!clients.ok()) {
      answer.emplace(clients.error());
    } else {
      ShareableContent content;
      for (const auto& sink : sinks.value())
        content.displays.push_back(Display{sinkObjectId(sink.index), sink.description});
      for (const auto& client : clients.value()) {
        content.applications.push_back(RunningApplication{client.processID, client.applicationID});
      }
      answer.emplace(std::move(content));
    }
  }
  completion(std::move(*answer));
}

std::shared_ptr<ScreenStream> PulseScreenCapture::makeStream(const ContentFilter&,
                                                             const StreamConfiguration& configuration,
                                                             std::weak_ptr<StreamDelegate> delegate) {
  // The filter's display and applications change nothing here: the stream records what the
  // default output plays, and this process plays nothing.
  return std::make_shared<PulseScreenStream>(core_, configuration, std::move(delegate));
}

}  // namespace velmor::platform::pulse

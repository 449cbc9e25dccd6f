#include "platform/pulse/pulse_tap.h"

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/pulse/pulse_capture.h"
#include "platform/pulse/pulse_monitor_stream.h"
#include "platform/pulse/pulse_sinks.h"
#include "platform/shared/delivery_gate.h"
#include "platform/shared/sample_backlog.h"

namespace velmor::platform::pulse {
namespace {

PlatformError noSuch(const std::string& what) { return PlatformError{"pulse", PA_ERR_NOENTITY, "no such " + what}; }

}  // namespace

// Everything below is guarded by the connection's lock: the calls take it, and the
// server's callbacks run with it held.
class TapCore final : public ConnectionListener, public std::enable_shared_from_this<TapCore> {
 public:
  explicit TapCore(std::shared_ptr<Connection> shared) : connection(std::move(shared)) {}
  ~TapCore() override {
    Connection::Lock lock(*connection);
    forgetQuery();
    procs.clear();
  }

  struct Tap {
    std::string uuid;
    std::optional<std::string> sinkName;       // none: the server had no output when it was made
    std::optional<pa_sample_spec> sampleSpec;  // read by tapFormat
  };
  struct Aggregate {
    AudioObjectId tap = 0;
    std::string monitorSource;
  };
  struct Proc {
    AudioObjectId device = 0;
    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<const IOBlock> block;
    std::shared_ptr<const Task> overrun;  // told when the reader fell behind and audio was dropped
    std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
    std::unique_ptr<MonitorStream> stream;
  };
  struct Listener {
    DefaultDeviceProperty property;
    std::shared_ptr<SerialQueue> queue;
    Task task;
  };

  // Whatever changed on the server, ask for its default sink; the listeners hear of it
  // only when that is another sink than before.
  void serverChanged() override {
    if (listeners.empty() || defaultQuery_) return;
    Connection::Lock lock(*connection);  // held already, on the mainloop
    pa_context* context = connection->context(lock);
    if (!context) return;
    defaultQuery_ = pa_context_get_server_info(context, onServerInfo, this);
  }
  void sourceRemoved(std::uint32_t) override {}
  // A lost connection cancels its requests without an answer: a question still open would
  // keep every later change from being asked about.
  void connectionLost(int) override { forgetQuery(); }

  void defaultSinkIs(const std::optional<std::string>& name) {
    if (name == lastDefaultSink) return;
    lastDefaultSink = name;
    for (const auto& listener : listeners) listener.queue->async(listener.task);
  }

  const std::shared_ptr<Connection> connection;
  std::map<AudioObjectId, Tap> taps;
  std::map<AudioObjectId, Aggregate> aggregates;
  std::map<IOProcId, std::shared_ptr<Proc>> procs;
  std::vector<Listener> listeners;
  std::optional<std::string> lastDefaultSink;
  AudioObjectId nextObject = 1;
  IOProcId nextProc = 1;

 private:
  void forgetQuery() {
    if (!defaultQuery_) return;
    pa_operation_cancel(defaultQuery_);
    pa_operation_unref(defaultQuery_);
    defaultQuery_ = nullptr;
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<TapCore*>(userdata);
    if (self->defaultQuery_) {
      pa_operation_unref(self->defaultQuery_);
      self->defaultQuery_ = nullptr;
    }
    if (!info) return;
    std::optional<std::string> name;
    if (info->default_sink_name && *info->default_sink_name) name = info->default_sink_name;
    self->defaultSinkIs(name);
  }

  pa_operation* defaultQuery_ = nullptr;
};

PulseSystemAudio::PulseSystemAudio(std::shared_ptr<Connection> connection)
    : core_(std::make_shared<TapCore>(connection)) {
  connection->addListener(core_);
}

PulseSystemAudio::~PulseSystemAudio() = default;

Result<AudioObjectId> PulseSystemAudio::createProcessTap(const TapDescription& description) {
  Connection::Lock lock(*core_->connection);
  auto sink = readDefaultSink(*core_->connection, lock);
  if (!sink.ok()) return sink.error();
  TapCore::Tap tap;
  tap.uuid = description.uuid;
  if (sink.value()) tap.sinkName = sink.value()->name;
  core_->lastDefaultSink = tap.sinkName;
  const AudioObjectId id = core_->nextObject++;
  core_->taps.emplace(id, std::move(tap));
  return id;
}

Result<StreamDescription> PulseSystemAudio::tapFormat(AudioObjectId id) {
  Connection::Lock lock(*core_->connection);
  const auto it = core_->taps.find(id);
  if (it == core_->taps.end()) return noSuch("tap");
  TapCore::Tap& tap = it->second;
  // The monitor's own format; with no output at all, the server's default format.
  std::optional<pa_sample_spec> sampleSpec;
  if (tap.sinkName) {
    auto sinks = readSinks(*core_->connection, lock);
    if (!sinks.ok()) return sinks.error();
    for (const auto& sink : sinks.value()) {
      if (sink.name != *tap.sinkName) continue;
      auto monitor = readSourceSampleSpec(*core_->connection, lock, sink.monitorSource);
      if (!monitor.ok()) return monitor.error();
      sampleSpec = monitor.value();
    }
    if (!sampleSpec) return noSuch("output");
  } else {
    auto server = readServerSampleSpec(*core_->connection, lock);
    if (!server.ok()) return server.error();
    sampleSpec = server.value();
  }
  tap.sampleSpec = recordingSpec(*sampleSpec);
  return describeSampleSpec(*tap.sampleSpec);
}

Status PulseSystemAudio::destroyProcessTap(AudioObjectId id) {
  Connection::Lock lock(*core_->connection);
  if (!core_->taps.erase(id)) return noSuch("tap");
  return {};
}

namespace {
Result<AudioObjectId> defaultSinkObject(Connection& connection) {
  Connection::Lock lock(connection);
  auto sink = readDefaultSink(connection, lock);
  if (!sink.ok()) return sink.error();
  return sink.value() ? sinkObjectId(sink.value()->index) : AudioObjectId{0};
}
}  // namespace

// The server has one default output: it is both the device the user hears and the one
// system sounds play on.
Result<AudioObjectId> PulseSystemAudio::defaultOutputDevice() { return defaultSinkObject(*core_->connection); }
Result<AudioObjectId> PulseSystemAudio::defaultSystemOutputDevice() { return defaultSinkObject(*core_->connection); }

Result<std::string> PulseSystemAudio::outputDeviceUID(AudioObjectId device) {
  if (device == 0) return noSuch("output");
  Connection::Lock lock(*core_->connection);
  auto sinks = readSinks(*core_->connection, lock);
  if (!sinks.ok()) return sinks.error();
  for (const auto& sink : sinks.value()) {
    if (sink.index == sinkIndexOf(device)) return sink.name;
  }
  return noSuch("output");
}

Result<AudioObjectId> PulseSystemAudio::createAggregateDevice(const AggregateDeviceDescription& description) {
  Connection::Lock lock(*core_->connection);
  AudioObjectId tap = 0;
  for (const auto& [id, candidate] : core_->taps) {
    if (!description.taps.empty() && candidate.uuid == description.taps.front().uid) tap = id;
  }
  if (tap == 0) return noSuch("tap");
  auto sinks = readSinks(*core_->connection, lock);
  if (!sinks.ok()) return sinks.error();
  for (const auto& sink : sinks.value()) {
    // The sink's own monitor, by the name the sink gives.
    if (sink.name != description.mainSubDevice || sink.monitorSource.empty()) continue;
    const AudioObjectId id = core_->nextObject++;
    core_->aggregates.emplace(id, TapCore::Aggregate{tap, sink.monitorSource});
    return id;
  }
  return noSuch("output");
}

Status PulseSystemAudio::destroyAggregateDevice(AudioObjectId device) {
  Connection::Lock lock(*core_->connection);
  if (!core_->aggregates.erase(device)) return noSuch("device");
  return {};
}

Result<IOProcId> PulseSystemAudio::createIOProc(AudioObjectId device, std::shared_ptr<SerialQueue> queue,
                                                IOBlock block) {
  Connection::Lock lock(*core_->connection);
  if (!core_->aggregates.count(device)) return noSuch("device");
  auto proc = std::make_shared<TapCore::Proc>();
  proc->device = device;
  proc->queue = std::move(queue);
  proc->block = std::make_shared<const IOBlock>(std::move(block));
  const IOProcId id = core_->nextProc++;
  core_->procs.emplace(id, std::move(proc));
  return id;
}

Status PulseSystemAudio::setIOProcOverrunListener(IOProcId id, Task listener) {
  Connection::Lock lock(*core_->connection);
  const auto it = core_->procs.find(id);
  if (it == core_->procs.end()) return noSuch("reader");
  it->second->overrun = std::make_shared<const Task>(std::move(listener));
  return {};
}

Status PulseSystemAudio::destroyIOProc(AudioObjectId, IOProcId id) {
  std::shared_ptr<TapCore::Proc> proc;
  {
    Connection::Lock lock(*core_->connection);
    const auto it = core_->procs.find(id);
    if (it == core_->procs.end()) return noSuch("reader");
    proc = std::move(it->second);
    core_->procs.erase(it);
  }
  proc->gate->closeAndWait();
  Connection::Lock lock(*core_->connection);
  proc->stream.reset();
  return {};
}

Status PulseSystemAudio::startDevice(AudioObjectId device, IOProcId id) {
  Connection::Lock lock(*core_->connection);
  const auto procIt = core_->procs.find(id);
  const auto deviceIt = core_->aggregates.find(device);
  if (procIt == core_->procs.end() || procIt->second->device != device || deviceIt == core_->aggregates.end()) {
    return noSuch("reader");
  }
  const auto tapIt = core_->taps.find(deviceIt->second.tap);
  if (tapIt == core_->taps.end() || !tapIt->second.sampleSpec) return noSuch("tap");
  TapCore::Proc& proc = *procIt->second;
  if (proc.stream) return {};

  const pa_sample_spec sampleSpec = *tapIt->second.sampleSpec;
  const std::uint32_t channels = sampleSpec.channels;
  const StreamDescription format = describeSampleSpec(sampleSpec);
  const std::size_t frameBytes = pa_frame_size(&sampleSpec);
  // Each read callback is one IO cycle, handed to the reader on its queue through a backlog
  // that holds at most 2 s when the reader falls behind (the oldest audio goes first). The
  // delivery holds the reader, never the queue it runs on.
  const std::uint64_t generation = proc.gate->open();
  auto backlog = std::make_shared<SampleBacklog>(format, SampleBacklog::capacityFor(format, kBacklogSeconds), proc.gate,
                                                 generation);
  auto consume = std::make_shared<const SampleBacklog::Consumer>(
      [block = proc.block, channels](std::vector<std::vector<std::byte>>&& planes, std::size_t) {
        const InputBuffer buffer{channels, std::span<const std::byte>(planes.front())};
        (*block)(InputBufferList(&buffer, 1));
      });
  auto onCycle = [queue = proc.queue, backlog, consume, frameBytes, overrun = proc.overrun, gate = proc.gate,
                  generation](std::span<const std::byte> bytes) {
    const std::byte* planes[] = {bytes.data()};
    if (backlog->push(planes, bytes.size() / frameBytes, *queue, consume) && overrun && *overrun) {
      queue->async([overrun, gate, generation] { gate->deliver(generation, [&] { (*overrun)(); }); });
    }
  };
  // A stream that fails later just stops delivering: supervision notices the silence.
  auto stream = std::make_unique<MonitorStream>(*core_->connection, sampleSpec, std::move(onCycle), nullptr);
  const int error = stream->start(lock, deviceIt->second.monitorSource);
  if (error != PA_OK) {
    proc.gate->close();
    return serverError(error);
  }
  proc.stream = std::move(stream);
  return {};
}

Status PulseSystemAudio::stopDevice(AudioObjectId, IOProcId id) {
  std::shared_ptr<TapCore::Proc> proc;
  {
    Connection::Lock lock(*core_->connection);
    const auto it = core_->procs.find(id);
    if (it == core_->procs.end()) return noSuch("reader");
    proc = it->second;
  }
  // Outside the server's lock: a cycle under way may be waiting on the mixer.
  proc->gate->closeAndWait();
  Connection::Lock lock(*core_->connection);
  if (proc->stream) proc->stream->stop(lock);
  proc->stream.reset();
  return {};
}

Status PulseSystemAudio::addDefaultDeviceListener(DefaultDeviceProperty property, std::shared_ptr<SerialQueue> queue,
                                                  Task listener) {
  Connection::Lock lock(*core_->connection);
  if (core_->listeners.empty()) {
    // What "changed" is measured against from here on.
    auto name = readDefaultSinkName(*core_->connection, lock);
    if (name.ok()) core_->lastDefaultSink = name.value();
  }
  core_->listeners.push_back(TapCore::Listener{property, std::move(queue), std::move(listener)});
  return {};
}

}  // namespace velmor::platform::pulse

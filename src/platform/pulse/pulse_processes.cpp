#include "platform/pulse/pulse_processes.h"

#include <algorithm>
#include <map>

#include "platform/pulse/pulse_hardware.h"

namespace velmor::platform::pulse {
namespace {

// The Flatpak application id that PipeWire's PulseAudio server sets on sandboxed clients.
constexpr const char* kFlatpakAppId = "pipewire.access.portal.app_id";

const char* nonEmpty(const pa_proplist* properties, const char* key) {
  const char* value = pa_proplist_gets(properties, key);
  return value && *value ? value : nullptr;
}

struct Stream {
  std::uint32_t index;
  std::uint32_t client;
  std::uint32_t source;
  bool corked;
};

struct Reading {
  std::vector<Stream> streams;
  std::map<std::uint32_t, std::optional<std::string>> clients;  // index → identifier
  bool failed = false;
};

void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto* reading = static_cast<Reading*>(userdata);
  if (eol < 0) reading->failed = true;
  if (info) reading->streams.push_back(Stream{info->index, info->client, info->source, info->corked != 0});
}

void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto* reading = static_cast<Reading*>(userdata);
  if (eol < 0) reading->failed = true;
  if (info) reading->clients[info->index] = applicationIdOf(info->proplist);
}

PlatformError serverError(Connection& connection, Connection::Lock& lock) {
  PlatformError error = hardwareError(kHwNotRunning);
  error.description = connection.lastError(lock);
  return error;
}

}  // namespace

std::optional<std::string> applicationIdOf(const pa_proplist* properties) {
  if (!properties) return std::nullopt;
  for (const char* key : {PA_PROP_APPLICATION_ID, kFlatpakAppId, PA_PROP_APPLICATION_PROCESS_BINARY}) {
    if (const char* value = nonEmpty(properties, key)) return std::string(value);
  }
  return std::nullopt;
}

PulseProcesses::PulseProcesses(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

Result<std::vector<PulseProcesses::Record>> PulseProcesses::read(Connection::Lock& lock) {
  // Which sources are monitors changes rarely: the shared copy serves until the server
  // reports a change to its sources.
  auto sources = connection_->snapshot(lock, false);
  if (!sources) return serverError(*connection_, lock);

  Reading reading;
  pa_context* context = connection_->context(lock);
  // Both requests are in flight at once: one round trip.
  pa_operation* streams = pa_context_get_source_output_info_list(context, onSourceOutput, &reading);
  pa_operation* clients = pa_context_get_client_info_list(context, onClient, &reading);
  const bool streamsDone = connection_->finish(lock, streams, kOperationTimeout);
  const bool clientsDone = connection_->finish(lock, clients, streamsDone ? kOperationTimeout : 0);
  if (!streamsDone || !clientsDone || reading.failed) return serverError(*connection_, lock);

  // A stream on a source newer than the copy: read the sources again, once.
  const bool unknownSource = std::any_of(reading.streams.begin(), reading.streams.end(), [&](const Stream& s) {
    return s.source != PA_INVALID_INDEX && !sources->byIndex(s.source);
  });
  if (unknownSource) {
    sources = connection_->snapshot(lock, true);
    if (!sources) return serverError(*connection_, lock);
  }

  std::vector<Record> records;
  for (const Stream& stream : reading.streams) {
    const SourceRecord* source = stream.source == PA_INVALID_INDEX ? nullptr : sources->byIndex(stream.source);
    if (!source || source->monitor) continue;  // not connected, or recording what a sink plays
    Record record{stream.index, stream.corked, std::nullopt};
    if (const auto client = reading.clients.find(stream.client); client != reading.clients.end()) {
      record.applicationId = client->second;
    }
    records.push_back(std::move(record));
  }
  return records;
}

Result<std::uint32_t> PulseProcesses::listSize() {
  Connection::Lock lock(*connection_);
  if (!connection_->ensureConnected(lock)) {
    std::lock_guard guard(mutex_);
    records_.reset();
    return serverError(*connection_, lock);
  }
  connection_->followStreams(lock);
  // Taken before the requests go out: an event that comes while they are answered makes the
  // next look ask again.
  const std::uint64_t generation = connection_->streamsGeneration(lock);
  {
    std::lock_guard guard(mutex_);
    if (records_ && recordsGeneration_ == generation) return static_cast<std::uint32_t>(4 * records_->size());
  }
  auto records = read(lock);
  std::lock_guard guard(mutex_);
  if (!records) {
    records_.reset();
    return records.error();
  }
  records_ = std::move(records.value());
  recordsGeneration_ = generation;
  return static_cast<std::uint32_t>(4 * records_->size());
}

Result<std::size_t> PulseProcesses::list(std::vector<AudioObjectId>& ids) {
  std::lock_guard guard(mutex_);
  if (!records_) return hardwareError(kHwNotRunning);
  const std::size_t filled = std::min(ids.size(), records_->size());
  for (std::size_t i = 0; i < filled; ++i) ids[i] = (*records_)[i].index;
  return filled;
}

const PulseProcesses::Record* PulseProcesses::find(AudioObjectId process) const {
  if (!records_) return nullptr;
  const auto it = std::find_if(records_->begin(), records_->end(), [&](const Record& r) { return r.index == process; });
  return it == records_->end() ? nullptr : &*it;
}

Result<bool> PulseProcesses::isRunningInput(AudioObjectId process) {
  std::lock_guard guard(mutex_);
  const Record* record = find(process);
  if (!record) return hardwareError(kHwBadObject);
  return !record->corked;
}

Result<std::optional<std::string>> PulseProcesses::applicationId(AudioObjectId process) {
  std::lock_guard guard(mutex_);
  const Record* record = find(process);
  if (!record) return hardwareError(kHwBadObject);
  return record->applicationId;
}

}  // namespace velmor::platform::pulse

#include "platform/pulse/pulse_sinks.h"

#include <cstdlib>

namespace velmor::platform::pulse {
namespace {

constexpr const char* kDomain = "pulse";

SinkRecord recordOf(const pa_sink_info& info) {
  SinkRecord record;
  record.index = info.index;
  record.name = info.name ? info.name : "";
  record.description = info.description ? info.description : record.name;
  record.monitorSource = info.monitor_source_name ? info.monitor_source_name : "";
  record.sampleSpec = info.sample_spec;
  record.channelMap = info.channel_map;
  return record;
}

// One request's answer: what its callbacks gathered, and whether the list call failed.
template <class T>
struct Answer {
  T value{};
  bool failed = false;
  int error = PA_OK;
};

// Waits for the operation; the server's error when it failed or took too long.
template <class T>
Result<T> await(Connection& connection, Connection::Lock& lock, pa_operation* operation, Answer<T>& answer) {
  if (!connection.finish(lock, operation, kOperationTimeout)) return serverError(connection.lastErrorCode(lock));
  if (answer.failed) return serverError(answer.error != PA_OK ? answer.error : connection.lastErrorCode(lock));
  return std::move(answer.value);
}

void onSinks(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
  auto* answer = static_cast<Answer<std::vector<SinkRecord>>*>(userdata);
  if (eol < 0) {
    answer->failed = true;
    answer->error = pa_context_errno(context);
  }
  if (info) answer->value.push_back(recordOf(*info));
}

void onSink(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
  auto* answer = static_cast<Answer<std::optional<SinkRecord>>*>(userdata);
  // An unknown name is an answer too: no such sink.
  if (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY) {
    answer->failed = true;
    answer->error = pa_context_errno(context);
  }
  if (info) answer->value = recordOf(*info);
}

struct ServerInfo {
  std::optional<std::string> defaultSink;
  pa_sample_spec sampleSpec{};
};

void onServer(pa_context*, const pa_server_info* info, void* userdata) {
  auto* answer = static_cast<Answer<ServerInfo>*>(userdata);
  if (!info) {
    answer->failed = true;
    return;
  }
  if (info->default_sink_name && *info->default_sink_name) answer->value.defaultSink = info->default_sink_name;
  answer->value.sampleSpec = info->sample_spec;
}

Result<ServerInfo> readServer(Connection& connection, Connection::Lock& lock) {
  if (!connection.ensureConnected(lock)) return serverError(connection.lastErrorCode(lock));
  Answer<ServerInfo> answer;
  return await(connection, lock, pa_context_get_server_info(connection.context(lock), onServer, &answer), answer);
}

void onSourceSpec(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
  auto* answer = static_cast<Answer<std::optional<pa_sample_spec>>*>(userdata);
  if (eol < 0) {
    answer->failed = true;
    answer->error = pa_context_errno(context);
  }
  if (info) answer->value = info->sample_spec;
}

void onClients(pa_context* context, const pa_client_info* info, int eol, void* userdata) {
  auto* answer = static_cast<Answer<std::vector<ClientRecord>>*>(userdata);
  if (eol < 0) {
    answer->failed = true;
    answer->error = pa_context_errno(context);
  }
  if (!info) return;
  ClientRecord record;
  record.index = info->index;
  if (const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)) {
    record.processID = static_cast<std::int32_t>(std::strtol(pid, nullptr, 10));
  }
  const char* id = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_ID);
  if (!id) id = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
  if (!id) id = info->name;
  record.applicationID = id ? id : "";
  answer->value.push_back(std::move(record));
}

}  // namespace

PlatformError serverError(int code) { return PlatformError{kDomain, code, pa_strerror(code)}; }

StreamDescription describeSampleSpec(const pa_sample_spec& sampleSpec) {
  StreamDescription description;
  description.sampleRate = sampleSpec.rate;
  description.channelsPerFrame = sampleSpec.channels;
  description.interleaved = true;
  description.type = sampleSpec.format == PA_SAMPLE_FLOAT32LE ? SampleType::floatingPoint : SampleType::signedInteger;
  description.bitsPerChannel = static_cast<std::uint32_t>(8 * pa_sample_size(&sampleSpec));
  return description;
}

Result<std::vector<SinkRecord>> readSinks(Connection& connection, Connection::Lock& lock) {
  if (!connection.ensureConnected(lock)) return serverError(connection.lastErrorCode(lock));
  Answer<std::vector<SinkRecord>> answer;
  return await(connection, lock, pa_context_get_sink_info_list(connection.context(lock), onSinks, &answer), answer);
}

Result<std::optional<std::string>> readDefaultSinkName(Connection& connection, Connection::Lock& lock) {
  auto server = readServer(connection, lock);
  if (!server.ok()) return server.error();
  return server.value().defaultSink;
}

Result<pa_sample_spec> readServerSampleSpec(Connection& connection, Connection::Lock& lock) {
  auto server = readServer(connection, lock);
  if (!server.ok()) return server.error();
  return server.value().sampleSpec;
}

Result<std::optional<SinkRecord>> readDefaultSink(Connection& connection, Connection::Lock& lock) {
  auto name = readDefaultSinkName(connection, lock);
  if (!name.ok()) return name.error();
  if (!name.value()) return std::optional<SinkRecord>();
  Answer<std::optional<SinkRecord>> answer;
  return await(connection, lock,
               pa_context_get_sink_info_by_name(connection.context(lock), name.value()->c_str(), onSink, &answer),
               answer);
}

Result<pa_sample_spec> readSourceSampleSpec(Connection& connection, Connection::Lock& lock, const std::string& name) {
  if (!connection.ensureConnected(lock)) return serverError(connection.lastErrorCode(lock));
  Answer<std::optional<pa_sample_spec>> answer;
  auto sampleSpec =
      await(connection, lock,
            pa_context_get_source_info_by_name(connection.context(lock), name.c_str(), onSourceSpec, &answer), answer);
  if (!sampleSpec.ok()) return sampleSpec.error();
  if (!sampleSpec.value()) return serverError(PA_ERR_NOENTITY);
  return *sampleSpec.value();
}

Result<std::vector<ClientRecord>> readClients(Connection& connection, Connection::Lock& lock) {
  if (!connection.ensureConnected(lock)) return serverError(connection.lastErrorCode(lock));
  Answer<std::vector<ClientRecord>> answer;
  return await(connection, lock, pa_context_get_client_info_list(connection.context(lock), onClients, &answer), answer);
}

}  // namespace velmor::platform::pulse

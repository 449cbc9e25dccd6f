#include "platform/pulse/pulse_monitor_stream.h"

#include <cstring>

namespace velmor::platform::pulse {
namespace {

// Fragments of about 10 ms, as the microphone's stream asks for: the server's default for a
// record stream is seconds, and a sink driven only by its monitor renders in blocks that size.
constexpr pa_usec_t kFragment = 10 * PA_USEC_PER_MSEC;

}  // namespace

MonitorStream::MonitorStream(Connection& connection, pa_sample_spec sampleSpec, CycleHandler onCycle,
                             FailureHandler onFailure)
    : connection_(connection),
      sampleSpec_(sampleSpec),
      frameBytes_(pa_frame_size(&sampleSpec)),
      onCycle_(std::move(onCycle)),
      onFailure_(std::move(onFailure)) {}

MonitorStream::~MonitorStream() { detach(); }

int MonitorStream::start(Connection::Lock& lock, const std::string& source) {
  if (!connection_.ensureConnected(lock)) return connection_.lastErrorCode(lock);
  // No media role: a communication role would switch a Bluetooth headset to its
  // low-quality headset profile. The stream's name is its media name.
  pa_stream* stream = pa_stream_new(connection_.context(lock), kSystemAudioStreamName, &sampleSpec_, nullptr);
  if (!stream) return connection_.lastErrorCode(lock);
  stream_ = stream;
  failed_ = false;
  pa_stream_set_state_callback(stream, onState, this);
  pa_stream_set_read_callback(stream, onRead, this);

  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragment, &sampleSpec_));
  // Bound to this monitor: when the default output changes, the recording must not follow
  // it silently; the change is noticed and handled above.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, source.c_str(), &attributes, flags) < 0) {
    const int error = connection_.lastErrorCode(lock);
    detach();
    return error;
  }
  const bool settled = connection_.waitUntil(
      lock, [&] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; }, kOperationTimeout);
  if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
    const int error = settled ? connection_.lastErrorCode(lock) : PA_ERR_TIMEOUT;
    detach();
    return error;
  }
  started_ = true;
  sourceIndex_ = pa_stream_get_device_index(stream);
  return PA_OK;
}

void MonitorStream::stop(Connection::Lock&) { detach(); }

void MonitorStream::detach() {
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  started_ = false;
}

void MonitorStream::onState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<MonitorStream*>(userdata);
  self->connection_.signal();
  if (pa_stream_get_state(stream) != PA_STREAM_FAILED || !self->started_ || self->failed_) return;
  // Killed by the server, or its source went away: once, after the start succeeded (a
  // failure while starting is start()'s own result).
  self->failed_ = true;
  pa_context* context = pa_stream_get_context(stream);
  const int error = context ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED;
  if (self->onFailure_) self->onFailure_(error != PA_OK ? error : PA_ERR_KILLED);
}

void MonitorStream::onRead(pa_stream* stream, std::size_t, void* userdata) {
  auto* self = static_cast<MonitorStream*>(userdata);
  std::vector<std::byte>& cycle = self->cycle_;
  cycle.clear();
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const std::size_t at = cycle.size();
    cycle.resize(at + bytes);  // a hole (no data, a length) stays silent
    if (data) std::memcpy(cycle.data() + at, data, bytes);
    pa_stream_drop(stream);
  }
  cycle.resize(cycle.size() - cycle.size() % self->frameBytes_);
  if (!cycle.empty() && self->onCycle_) self->onCycle_(cycle);
}

}  // namespace velmor::platform::pulse

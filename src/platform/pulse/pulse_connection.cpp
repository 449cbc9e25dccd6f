#include "platform/pulse/pulse_connection.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <string_view>

#include "platform/audio_hardware.h"

namespace velmor::platform::pulse {
namespace {

bool equals(const char* value, const char* expected) { return value && std::strcmp(value, expected) == 0; }

}  // namespace

const SourceRecord* Snapshot::byIndex(std::uint32_t index) const {
  const auto it = std::find_if(sources.begin(), sources.end(), [&](const SourceRecord& s) { return s.index == index; });
  return it == sources.end() ? nullptr : &*it;
}

const SourceRecord* Snapshot::byName(const std::string& name) const {
  const auto it = std::find_if(sources.begin(), sources.end(), [&](const SourceRecord& s) { return s.name == name; });
  return it == sources.end() ? nullptr : &*it;
}

std::uint32_t transportOf(const pa_proplist* properties) {
  if (!properties) return kTransportUnknown;
  const char* bus = pa_proplist_gets(properties, PA_PROP_DEVICE_BUS);
  // The machine's own sound hardware sits on one of these buses, or says it is internal.
  if (equals(pa_proplist_gets(properties, PA_PROP_DEVICE_FORM_FACTOR), "internal") || equals(bus, "pci") ||
      equals(bus, "platform") || equals(bus, "isa")) {
    return kTransportBuiltIn;
  }
  if (equals(bus, "usb")) return kTransportUsb;
  if (equals(bus, "bluetooth")) return kTransportBluetooth;
  if (equals(bus, "network") || pa_proplist_contains(properties, "tunnel.remote.server") == 1) return kTransportNetwork;
  // Null, sine, pipe and remapped sources: made by the server, not hardware.
  const char* deviceClass = pa_proplist_gets(properties, PA_PROP_DEVICE_CLASS);
  if (equals(deviceClass, "abstract") || equals(deviceClass, "filter")) return kTransportVirtual;
  // PipeWire gives its own such sources no class, but a virtual media class or node.
  const char* mediaClass = pa_proplist_gets(properties, "media.class");
  if (!deviceClass && ((mediaClass && std::string_view(mediaClass).ends_with("/Virtual")) ||
                       equals(pa_proplist_gets(properties, "node.virtual"), "true"))) {
    return kTransportVirtual;
  }
  return kTransportUnknown;
}

// ---- the lock ----

Connection::Lock::Lock(Connection& connection) {
  {
    std::lock_guard guard(connection.startMutex_);
    connection.start();
    loop_ = connection.loop_;
  }
  if (loop_ && !pa_threaded_mainloop_in_thread(loop_)) {
    pa_threaded_mainloop_lock(loop_);
    locked_ = true;
  }
}

Connection::Lock::~Lock() {
  if (locked_) pa_threaded_mainloop_unlock(loop_);
}

// ---- the connection ----

Connection::Connection() = default;

Connection::~Connection() {
  if (!loop_) return;
  // The mainloop cannot stop itself: its thread never drops the last reference (the
  // platform owns one for as long as the process runs), so this runs on another thread.
  if (pa_threaded_mainloop_in_thread(loop_)) return;
  pa_threaded_mainloop_lock(loop_);
  dropContext();
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

namespace {
struct Started {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
};

void onStarted(pa_mainloop_api*, void* userdata) {
  auto* started = static_cast<Started*>(userdata);
  std::lock_guard lock(started->mutex);
  started->done = true;
  started->changed.notify_all();
}
}  // namespace

void Connection::start() {
  if (loop_) return;
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (!loop) return;
  pa_threaded_mainloop_set_name(loop, "velmor-pulse");
  // The new thread sets up some of libpulse's own state as it starts; waiting for its
  // first callback orders that before any use from here, visibly to the thread sanitizer.
  Started started;
  pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop), onStarted, &started);
  if (pa_threaded_mainloop_start(loop) < 0) {
    pa_threaded_mainloop_free(loop);
    return;
  }
  std::unique_lock lock(started.mutex);
  started.changed.wait(lock, [&] { return started.done; });
  loop_ = loop;
}

void Connection::signal() {
  if (loop_) pa_threaded_mainloop_signal(loop_, 0);
}

void Connection::addListener(std::weak_ptr<ConnectionListener> listener) {
  std::lock_guard guard(listenersMutex_);
  listeners_.push_back(std::move(listener));
}

template <class Call>
void Connection::notify(Call call) {
  std::vector<std::shared_ptr<ConnectionListener>> live;
  {
    std::lock_guard guard(listenersMutex_);
    std::erase_if(listeners_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : listeners_) {
      if (auto listener = weak.lock()) live.push_back(std::move(listener));
    }
  }
  for (const auto& listener : live) call(*listener);
}

namespace {
struct TimerFlag {
  bool* expired;
  pa_threaded_mainloop* loop;
};

void onTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* flag = static_cast<TimerFlag*>(userdata);
  *flag->expired = true;
  pa_threaded_mainloop_signal(flag->loop, 0);
}

void freeTimerFlag(pa_mainloop_api*, pa_time_event*, void* userdata) { delete static_cast<TimerFlag*>(userdata); }
}  // namespace

bool Connection::armTimer(pa_usec_t timeout, bool& expired, pa_time_event*& event) {
  // Waiting on the mainloop's own thread would wait for itself.
  if (!loop_ || !context_ || pa_threaded_mainloop_in_thread(loop_)) return false;
  auto* flag = new TimerFlag{&expired, loop_};
  event = pa_context_rttime_new(context_, pa_rtclock_now() + timeout, onTimer, flag);
  if (!event) {
    delete flag;
    return false;
  }
  pa_threaded_mainloop_get_api(loop_)->time_set_destroy(event, freeTimerFlag);
  return true;
}

void Connection::disarmTimer(pa_time_event* event) {
  if (event) pa_threaded_mainloop_get_api(loop_)->time_free(event);
}

namespace {
// An operation is done only after its last callback returned: this wakes its waiter then.
void onOperationState(pa_operation*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}
}  // namespace

bool Connection::finish(Lock& lock, pa_operation* operation, pa_usec_t timeout) {
  if (!operation) return false;
  pa_operation_set_state_callback(operation, onOperationState, loop_);
  waitUntil(
      lock, [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeout);
  const pa_operation_state_t state = pa_operation_get_state(operation);
  // A cancelled operation never calls back, so its callback's data may go out of scope.
  if (state == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (state == PA_OPERATION_RUNNING) failure_ = PA_ERR_TIMEOUT;
  return state == PA_OPERATION_DONE;
}

void Connection::dropContext() {
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  wasReady_ = false;
  snapshot_.reset();
  stale_ = true;
  ++streamsGeneration_;
}

bool Connection::ensureConnected(Lock& lock) {
  if (!loop_) {
    failure_ = PA_ERR_INTERNAL;
    return false;
  }
  if (context_) {
    pa_context* current = context_;
    pa_context_state_t state = pa_context_get_state(current);
    if (state == PA_CONTEXT_READY) return true;
    if (PA_CONTEXT_IS_GOOD(state)) {
      // Another thread is connecting: its attempt is ours too.
      waitUntil(
          lock,
          [&] {
            return context_ != current || !PA_CONTEXT_IS_GOOD(pa_context_get_state(current)) ||
                   pa_context_get_state(current) == PA_CONTEXT_READY;
          },
          kConnectTimeout);
      return context_ == current && pa_context_get_state(current) == PA_CONTEXT_READY;
    }
    failure_ = pa_context_errno(current);
    dropContext();  // failed or terminated: a later use connects afresh
  }

  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop_), "velmor-audio");
  if (!context) {
    failure_ = PA_ERR_INTERNAL;
    return false;
  }
  context_ = context;
  pa_context_set_state_callback(context, onContextState, this);
  pa_context_set_subscribe_callback(context, onSubscription, this);
  // The server the environment or client.conf names; never start one.
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    failure_ = pa_context_errno(context);
    dropContext();
    return false;
  }
  const bool settled = waitUntil(
      lock,
      [&] {
        return context_ != context || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
               pa_context_get_state(context) == PA_CONTEXT_READY;
      },
      kConnectTimeout);
  if (context_ != context) return false;
  if (!settled || pa_context_get_state(context) != PA_CONTEXT_READY) {
    failure_ = settled ? pa_context_errno(context) : PA_ERR_TIMEOUT;
    dropContext();
    return false;
  }
  wasReady_ = true;
  stale_ = true;
  ++streamsGeneration_;
  subscribe();
  return true;
}

// Removals end recordings; any change to the sources or the default makes the copy stale;
// recording streams and clients tell the microphone watch who holds a microphone.
void Connection::subscribe() {
  // Removals end recordings; any change to the sources or the default makes the copy stale;
  // sinks and the default sink matter to recordings of what the computer plays.
  auto mask = PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK;
  if (followStreams_) mask |= PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_CLIENT;
  if (pa_operation* operation =
          pa_context_subscribe(context_, static_cast<pa_subscription_mask_t>(mask), nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void Connection::followStreams(Lock&) {
  if (followStreams_) return;
  followStreams_ = true;
  ++streamsGeneration_;
  if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) subscribe();
}

std::string Connection::lastError(Lock& lock) const { return pa_strerror(lastErrorCode(lock)); }

int Connection::lastErrorCode(Lock&) const {
  if (context_) {
    const int code = pa_context_errno(context_);
    if (code != PA_OK) return code;
  }
  return failure_ != PA_OK ? failure_ : PA_ERR_CONNECTIONREFUSED;
}

void Connection::onContextState(pa_context* context, void* userdata) {
  auto* self = static_cast<Connection*>(userdata);
  self->signal();
  const pa_context_state_t state = pa_context_get_state(context);
  if (context != self->context_ || PA_CONTEXT_IS_GOOD(state)) return;
  self->snapshot_.reset();
  self->stale_ = true;
  ++self->streamsGeneration_;
  if (!self->wasReady_) return;  // a failed attempt, reported to the one who made it
  self->wasReady_ = false;
  const int error = pa_context_errno(context);
  self->failure_ = error;
  self->notify([error](ConnectionListener& listener) { listener.connectionLost(error); });
}

void Connection::onSubscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                                void* userdata) {
  auto* self = static_cast<Connection*>(userdata);
  if (context != self->context_) return;
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT || facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
    ++self->streamsGeneration_;
    return;
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->notify([index](ConnectionListener& listener) { listener.sinkRemoved(index); });
    }
    return;
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER)
    self->notify([](ConnectionListener& listener) { listener.serverChanged(); });
  if (facility != PA_SUBSCRIPTION_EVENT_SOURCE && facility != PA_SUBSCRIPTION_EVENT_SERVER) return;
  self->stale_ = true;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
    self->notify([index](ConnectionListener& listener) { listener.sourceRemoved(index); });
  }
  self->signal();
}

// ---- the sources ----

namespace {
struct Reading {
  Snapshot snapshot;
  bool listFailed = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* reading = static_cast<Reading*>(userdata);
  if (eol < 0) reading->listFailed = true;
  if (!info) return;
  SourceRecord record;
  record.index = info->index;
  record.name = info->name ? info->name : "";
  if (info->description) record.description = info->description;
  record.sampleSpec = info->sample_spec;
  record.channelMap = info->channel_map;
  record.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
  record.transport = transportOf(info->proplist);
  reading->snapshot.sources.push_back(std::move(record));
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* reading = static_cast<Reading*>(userdata);
  if (info && info->default_source_name) reading->snapshot.defaultSource = info->default_source_name;
}
}  // namespace

std::optional<Snapshot> Connection::snapshot(Lock& lock, bool refresh) {
  if (!ensureConnected(lock)) return std::nullopt;
  if (!refresh && snapshot_ && !stale_) return snapshot_;
  stale_ = false;  // an event from here on marks the new copy stale again
  Reading reading;
  pa_context* context = context_;
  pa_operation* list = pa_context_get_source_info_list(context, onSourceInfo, &reading);
  pa_operation* server = pa_context_get_server_info(context, onServerInfo, &reading);
  // Both requests are in flight at once: one round trip, and replies come in order.
  const bool listDone = finish(lock, list, kOperationTimeout);
  // After a timeout the server is not answering: the second reply gets no time of its own.
  const bool serverDone = finish(lock, server, listDone ? kOperationTimeout : 0);
  if (!listDone || !serverDone || reading.listFailed) {
    stale_ = true;
    return std::nullopt;
  }
  std::sort(reading.snapshot.sources.begin(), reading.snapshot.sources.end(),
            [](const SourceRecord& a, const SourceRecord& b) { return a.index < b.index; });
  if (context_ == context) snapshot_ = reading.snapshot;
  return reading.snapshot;
}

}  // namespace velmor::platform::pulse

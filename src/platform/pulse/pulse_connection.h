#pragma once
// The one connection to the sound server that the hardware and capture layers share: a
// libpulse threaded mainloop and context, made on first use, remade on a later use after
// the server went away. Every wait is bounded by a libpulse timer, so that a missing or
// hung server costs a failure, never a hang.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmor::platform::pulse {

// How long connecting, one request and starting a stream may take before they count as failed.
inline constexpr pa_usec_t kConnectTimeout = 1 * PA_USEC_PER_SEC;
inline constexpr pa_usec_t kOperationTimeout = 2 * PA_USEC_PER_SEC;

// What the server says about one source, as the hardware and capture layers need it.
struct SourceRecord {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::optional<std::string> description;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
  bool monitor = false;  // the monitor of a sink: system audio, not a microphone
  std::uint32_t transport = 0;
};

// The server's sources and its default source, as read in one round trip.
struct Snapshot {
  std::vector<SourceRecord> sources;
  std::optional<std::string> defaultSource;
  const SourceRecord* byIndex(std::uint32_t index) const;
  const SourceRecord* byName(const std::string& name) const;
};

// Told about server events on the mainloop thread, with the mainloop lock held: it must not
// wait for the server, and must not call out to code that may take the lock itself.
class ConnectionListener {
 public:
  virtual ~ConnectionListener() = default;
  virtual void sourceRemoved(std::uint32_t index) = 0;
  // The connection that was ready is gone (the server quit or dropped this client).
  virtual void connectionLost(int error) = 0;
  // Something about the server changed, its default sink or source among it.
  virtual void serverChanged() {}
  virtual void sinkRemoved(std::uint32_t /*index*/) {}
};

// The transport kind that a source's properties describe.
std::uint32_t transportOf(const pa_proplist* properties);

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Holds the mainloop lock; on the mainloop thread itself, where the lock is already held,
  // it does nothing.
  class Lock {
   public:
    explicit Lock(Connection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
    bool locked_ = false;
  };

  // Connects if not connected; false when no ready connection could be had in time.
  bool ensureConnected(Lock&);
  pa_context* context(Lock&) { return context_; }
  // The text of the context's last error (or of the connection's failure).
  std::string lastError(Lock&) const;
  int lastErrorCode(Lock&) const;

  // The sources; refreshed from the server when asked or when an event made the copy stale.
  std::optional<Snapshot> snapshot(Lock&, bool refresh);

  // From now on, on this connection and every later one, follow the server's events about
  // recording streams and clients (only the microphone watch needs that traffic).
  void followStreams(Lock&);
  // Changes with every event about recording streams or clients and with every new
  // connection: a copy of the streams read at one value is still true while it stays.
  std::uint64_t streamsGeneration(Lock&) const { return streamsGeneration_; }

  // Waits on the mainloop until `done` holds or the timeout passes; false on timeout.
  // Not on the mainloop thread.
  template <class Predicate>
  bool waitUntil(Lock&, Predicate done, pa_usec_t timeout);
  // Waits for an operation to finish and releases it; cancels it on timeout.
  bool finish(Lock&, pa_operation* operation, pa_usec_t timeout);
  // Wakes every waiter; called by each callback that changes what a waiter looks at.
  void signal();

  void addListener(std::weak_ptr<ConnectionListener> listener);

 private:
  void start();  // with mutex_ held
  void dropContext();
  void subscribe();
  bool armTimer(pa_usec_t timeout, bool& expired, pa_time_event*& event);
  void disarmTimer(pa_time_event* event);
  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
  template <class Call>
  void notify(Call call);

  std::mutex startMutex_;  // guards the lazy creation of the mainloop
  pa_threaded_mainloop* loop_ = nullptr;
  // Below: only with the mainloop lock held.
  pa_context* context_ = nullptr;
  bool wasReady_ = false;
  int failure_ = 0;
  std::optional<Snapshot> snapshot_;
  bool stale_ = true;
  std::uint64_t streamsGeneration_ = 0;
  bool followStreams_ = false;
  // Its own lock: registering must not start the mainloop, and the mainloop reads it.
  std::mutex listenersMutex_;
  std::vector<std::weak_ptr<ConnectionListener>> listeners_;
};

template <class Predicate>
bool Connection::waitUntil(Lock&, Predicate done, pa_usec_t timeout) {
  if (done()) return true;
  bool expired = false;
  pa_time_event* timer = nullptr;
  if (!armTimer(timeout, expired, timer)) return false;
  while (!done() && !expired) pa_threaded_mainloop_wait(loop_);
  disarmTimer(timer);
  return done();
}

}  // namespace velmor::platform::pulse

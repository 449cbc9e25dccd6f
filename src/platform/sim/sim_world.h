#pragma once
// A scripted audio world for tests and the test-only binary: input devices with their
// properties and faults, microphones that deliver generated audio, and the notifications
// a running capture session can receive.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/capture.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/shared/notification_center.h"
#include "platform/sim/sim_processes.h"

namespace velmor::platform::sim {

class SimSystemAudio;

// A stretch of generated audio; a session delivers the segments in order, then nothing.
struct AudioSegment {
  enum class Kind { sine, silence } kind = Kind::sine;
  double frequency = 1000;
  double amplitude = 0.5;
  double seconds = 1;
};

struct SimDevice {
  AudioObjectId id = 0;
  std::optional<std::string> uid;  // none: the property is absent
  std::optional<std::string> name;
  std::uint32_t transport = kTransportBuiltIn;
  std::vector<std::uint32_t> inputBuffers{1};  // channels of each input buffer; empty: output only
  // Reads that fail: any of "configurationSize", "configuration", "transport", "uid", "name".
  std::set<std::string> failingReads;

  // Capture behaviour.
  bool openableByUid = true;                // found by unique ID
  int inputFailures = 0;                    // the next N inputs for it fail
  int startFailures = 0;                    // the next N sessions recording it fail to start
  bool refuseInput = false;                 // sessions refuse its input
  bool refuseOutput = false;                // sessions refuse an audio output while it is the input
  std::optional<StreamDescription> format;  // what it delivers; default: 48 kHz stereo int16
  std::uint32_t bufferFrames = 480;
  std::vector<AudioSegment> audio;  // empty: silence for as long as it runs
};

class SimWorld {
 public:
  explicit SimWorld(Dispatch& dispatch);
  ~SimWorld();

  Dispatch& dispatch() { return dispatch_; }

  // Scripting; safe from any thread.
  void addDevice(SimDevice device);
  // Removes the device; a session recording it is told it was disconnected. If it was the
  // default input, there is no default until one is set.
  void unplug(AudioObjectId id);
  void setDefaultInput(std::optional<AudioObjectId> id);  // none: the read fails
  void setDeviceListFails(bool fails);
  // Extra zero-filled entries in the device list (a list that shrank between its two reads).
  void setDeviceListSlack(std::uint32_t entries);
  void setInputFailures(AudioObjectId id, int failures);
  void setStartFailures(AudioObjectId id, int failures);
  // Posts to every running session; `error` rides along on a runtime error.
  void postRuntimeError(std::optional<PlatformError> error);
  void postInterruption();
  // The capture layer's default device goes missing (no microphone at all).
  void setNoDefaultCaptureDevice(bool none);
  // Runs a scripted action on the world's queue after the delay.
  void schedule(Duration delay, Task action);
  // Scales the pace of delivered audio (2: twice real time).
  void setAudioSpeed(double speed);

  AudioHardware& hardware();
  CaptureSystem& capture();
  // The audio process objects the hardware reports.
  SimProcesses& processes() { return processes_; }
  // System audio: taps, default outputs and screen-capture streams, scripted there.
  SimSystemAudio& systemAudio();

  // Counts what the capture layer did, for tests.
  int sessionsStarted() const { return sessionsStarted_.load(); }
  int sessionsRunning();

 private:
  class Hardware;
  class Capture;
  class Session;
  class Device;
  class Input;
  friend class Hardware;
  friend class Capture;
  friend class Session;

  std::shared_ptr<Device> deviceObject(AudioObjectId id);
  std::vector<std::shared_ptr<Session>> runningSessions();
  SimDevice* findLocked(AudioObjectId id);  // with mutex_ held

  Dispatch& dispatch_;
  std::shared_ptr<SerialQueue> worldQueue_;
  mutable std::mutex mutex_;
  std::vector<SimDevice> devices_;
  std::map<AudioObjectId, std::shared_ptr<Device>> deviceObjects_;
  std::optional<AudioObjectId> defaultInput_;
  bool deviceListFails_ = false;
  std::uint32_t deviceListSlack_ = 0;
  bool noDefaultCaptureDevice_ = false;
  double audioSpeed_ = 1;
  std::vector<std::weak_ptr<Session>> sessions_;
  // Like a real capture layer's, notifications come on a queue of their own, after the
  // event that caused them, never on the thread that scripted it.
  NotificationCenter<CaptureNotification, CaptureNotificationInfo> notifications_;
  std::atomic<int> sessionsStarted_{0};
  SimProcesses processes_;
  std::unique_ptr<Hardware> hardware_;
  std::unique_ptr<Capture> capture_;
  std::shared_ptr<SimSystemAudio> systemAudio_;

  template <class Object>
  void post(CaptureNotification name, const std::shared_ptr<Object>& object, std::optional<PlatformError> error);
};

// Generates `frames` frames of the device's audio starting at frame `start` of its script;
// an empty result means the script has ended.
std::optional<MemorySampleBuffer> renderAudio(const SimDevice& device, const StreamDescription& format,
                                              std::int64_t start, std::uint32_t frames);

}  // namespace velmor::platform::sim

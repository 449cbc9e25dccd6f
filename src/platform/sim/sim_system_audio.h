#pragma once
// The simulated world's system audio: process taps with their private devices and IO
// cycles, the default output devices and their listeners, and screen-capture streams with
// their shareable content, each with the faults a test scripts.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/screen_capture.h"
#include "platform/sim/sim_world.h"
#include "platform/system_audio.h"

namespace velmor::platform::sim {

// The build steps of a tap, each of which can be made to fail.
enum class TapStep { createTap, tapFormat, aggregate, ioProc, start };

// How one step fails: for its next `count` calls, with `status`; a status of 0 means the
// call succeeds but gives nothing (an id of 0, no proc).
struct StepFailure {
  int count = 0;
  std::int64_t status = 0;
};

// What a stream or tap plays.
struct SimAudio {
  std::optional<StreamDescription> format;  // none: the tap's or the stream's own
  std::uint32_t bufferFrames = 480;
  std::vector<AudioSegment> segments;  // empty: silence for as long as it runs
};

class SimSystemAudio : public std::enable_shared_from_this<SimSystemAudio> {
 public:
  // The world's queue runs the clocks of taps and streams; it must outlive this object.
  SimSystemAudio(Dispatch& dispatch, SerialQueue& worldQueue);
  ~SimSystemAudio();

  SystemAudioHardware& hardware();
  ScreenCapture& screenCapture();

  // ---- scripting the tap side; safe from any thread ----
  void setTapsAvailable(bool available);
  // An output device; an absent UID reads as empty.
  void addOutputDevice(AudioObjectId id, std::optional<std::string> uid);
  // None: the read fails. Listeners of the property are told when the value changes.
  void setDefaultOutput(std::optional<AudioObjectId> id);
  void setDefaultSystemOutput(std::optional<AudioObjectId> id);
  void failStep(TapStep step, StepFailure failure);
  // What a tap reports as its format (it may be unusable); defaults to 48 kHz stereo float, planar.
  void setTapFormat(StreamDescription format);
  void setTapAudio(SimAudio audio);
  // IO cycles stop (true) or run again (false).
  void setTapIOStopped(bool stopped);
  void setAudioSpeed(double speed);

  // ---- scripting the screen-capture side ----
  void setDisplays(std::vector<Display> displays);
  void setApplications(std::vector<RunningApplication> applications);
  // Which calls fail, numbered from 1 over the world's life.
  void failContentQueries(std::set<int> calls);
  void refuseOutputs(std::set<int> calls);
  void failStarts(std::set<int> calls);
  void setStreamAudio(SimAudio audio);
  // Every running stream stops with this error; each delegate is told, on the world's queue.
  void stopStreams(PlatformError error);

  // ---- what happened, for tests ----
  struct Counts {
    int tapsCreated = 0;
    int tapsAlive = 0;
    int aggregatesAlive = 0;
    int procsAlive = 0;
    int devicesRunning = 0;
    int contentQueries = 0;
    int streamsMade = 0;
    int startCalls = 0;
    int stopCalls = 0;
    int streamsRunning = 0;
    int cyclesDelivered = 0;
  };
  Counts counts();
  std::vector<TapDescription> tapDescriptions();
  std::vector<AggregateDeviceDescription> aggregateDescriptions();
  std::optional<ContentFilter> lastFilter();
  std::optional<StreamConfiguration> lastConfiguration();

 private:
  class Hardware;
  class Screen;
  class Stream;
  struct Proc;
  struct Listener;
  friend class Hardware;
  friend class Screen;
  friend class Stream;

  void notify(DefaultDeviceProperty property);
  void tickTap(IOProcId id, std::uint64_t run);
  void scheduleTapTick(Duration delay, IOProcId id, std::uint64_t run);
  std::optional<std::int64_t> takeFailure(TapStep step);  // with mutex_ held
  static PlatformError stepError(std::int64_t status);
  std::vector<std::shared_ptr<Stream>> liveStreams();

  Dispatch& dispatch_;
  SerialQueue& worldQueue_;
  std::mutex mutex_;
  // The tap side.
  bool tapsAvailable_ = true;
  std::map<AudioObjectId, std::optional<std::string>> outputs_;
  std::optional<AudioObjectId> defaultOutput_;
  std::optional<AudioObjectId> defaultSystemOutput_;
  std::map<TapStep, StepFailure> failures_;
  StreamDescription tapFormat_;
  SimAudio tapAudio_;
  bool tapIOStopped_ = false;
  double speed_ = 1;
  std::set<AudioObjectId> taps_;
  std::set<AudioObjectId> aggregates_;
  std::map<IOProcId, std::shared_ptr<Proc>> procs_;
  std::vector<Listener> listeners_;
  std::vector<TapDescription> tapDescriptions_;
  std::vector<AggregateDeviceDescription> aggregateDescriptions_;
  AudioObjectId nextObject_ = 100;
  IOProcId nextProc_ = 1;
  // The screen-capture side.
  std::vector<Display> displays_;
  std::vector<RunningApplication> applications_;
  std::set<int> contentFailures_;
  std::set<int> outputRefusals_;
  std::set<int> startFailures_;
  SimAudio streamAudio_;
  std::vector<std::weak_ptr<Stream>> streams_;
  std::optional<ContentFilter> lastFilter_;
  std::optional<StreamConfiguration> lastConfiguration_;
  Counts counts_;
  int outputCalls_ = 0;

  std::unique_ptr<Hardware> hardware_;
  std::unique_ptr<Screen> screen_;
};

}  // namespace velmor::platform::sim

#pragma once
// The system's own sound, tapped: a process tap (a mix of what the processes play), the
// private device that carries it, a reader on that device run on a queue once per IO
// cycle, the default output devices and listeners for their changes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/result.h"

namespace velmor::platform {

// What a tap mixes: every process's output but the excluded ones, in stereo.
struct TapDescription {
  std::vector<std::int32_t> excludedProcesses;
  std::string uuid;
  bool muted = false;  // false: the tapped sound still plays on the device
};

// One tap on an aggregate device.
struct SubTap {
  std::string uid;  // the tap description's UUID
  bool driftCompensation = true;
};

// The private device that carries a tap.
struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  std::string mainSubDevice;  // UID of the device whose clock leads
  bool isPrivate = true;
  bool isStacked = false;
  bool tapAutoStart = true;
  std::vector<std::string> subDevices;  // UIDs
  std::vector<SubTap> taps;
};

// An IO cycle's input, in the platform's memory: valid only during the call.
using InputBufferList = std::span<const InputBuffer>;

// Called on the reader's queue once per IO cycle with that cycle's input.
using IOBlock = std::function<void(InputBufferList input)>;
using IOProcId = std::uint64_t;  // 0: none

enum class DefaultDeviceProperty { output, systemOutput };

class SystemAudioHardware {
 public:
  virtual ~SystemAudioHardware() = default;

  // False on a system that has no process taps.
  virtual bool tapsAvailable() = 0;

  // The tap's id, which may be 0 (no tap) even on success.
  virtual Result<AudioObjectId> createProcessTap(const TapDescription& description) = 0;
  virtual Result<StreamDescription> tapFormat(AudioObjectId tap) = 0;
  virtual Status destroyProcessTap(AudioObjectId tap) = 0;

  // The device the user hears, and the one that plays system sounds; 0 or a failure when
  // there is none.
  virtual Result<AudioObjectId> defaultOutputDevice() = 0;
  virtual Result<AudioObjectId> defaultSystemOutputDevice() = 0;
  // An output device's unique ID; an absent one is an empty text.
  virtual Result<std::string> outputDeviceUID(AudioObjectId device) = 0;

  // The device's id, which may be 0 even on success.
  virtual Result<AudioObjectId> createAggregateDevice(const AggregateDeviceDescription& description) = 0;
  virtual Status destroyAggregateDevice(AudioObjectId device) = 0;

  // Registers the reader; it runs on `queue` once the device is started. The proc id may
  // be 0 even on success.
  virtual Result<IOProcId> createIOProc(AudioObjectId device, std::shared_ptr<SerialQueue> queue, IOBlock block) = 0;
  virtual Status destroyIOProc(AudioObjectId device, IOProcId proc) = 0;
  // Called on the reader's queue when audio the reader had not yet taken was dropped because
  // it fell too far behind: once when dropping begins, again only after it caught up.
  virtual Status setIOProcOverrunListener(IOProcId proc, Task listener) = 0;
  virtual Status startDevice(AudioObjectId device, IOProcId proc) = 0;
  // No cycle starts once it returns.
  virtual Status stopDevice(AudioObjectId device, IOProcId proc) = 0;

  // Calls `listener` on `queue` whenever the property may have changed. Listeners are
  // never removed: whatever they hold must be held weakly.
  virtual Status addDefaultDeviceListener(DefaultDeviceProperty property, std::shared_ptr<SerialQueue> queue,
                                          Task listener) = 0;
};

}  // namespace velmor::platform

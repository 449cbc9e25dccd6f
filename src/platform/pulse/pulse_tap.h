#pragma once
// The system-audio tap on a sound server. A tap stands for the sink that was the server's
// default when it was made: its format is that sink's monitor's format. The "device that
// carries it" is that sink's monitor source, found by the sink's own monitor-source name
// (never "@DEFAULT_MONITOR@", which a PipeWire server has been seen to resolve to a
// microphone), and its reader is a record stream on that source, bound to it. Each read
// callback of the stream is one IO cycle, run on the reader's queue. Both default output
// devices are the server's default sink, as object id index + 1; a change of the default
// sink reaches the listeners of both.
#include <memory>

#include "platform/dispatch.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/system_audio.h"

namespace velmor::platform::pulse {

class TapCore;

class PulseSystemAudio final : public SystemAudioHardware {
 public:
  explicit PulseSystemAudio(std::shared_ptr<Connection> connection);
  ~PulseSystemAudio() override;

  bool tapsAvailable() override { return true; }
  Result<AudioObjectId> createProcessTap(const TapDescription& description) override;
  Result<StreamDescription> tapFormat(AudioObjectId tap) override;
  Status destroyProcessTap(AudioObjectId tap) override;
  Result<AudioObjectId> defaultOutputDevice() override;
  Result<AudioObjectId> defaultSystemOutputDevice() override;
  Result<std::string> outputDeviceUID(AudioObjectId device) override;
  Result<AudioObjectId> createAggregateDevice(const AggregateDeviceDescription& description) override;
  Status destroyAggregateDevice(AudioObjectId device) override;
  Result<IOProcId> createIOProc(AudioObjectId device, std::shared_ptr<SerialQueue> queue, IOBlock block) override;
  Status setIOProcOverrunListener(IOProcId proc, Task listener) override;
  Status destroyIOProc(AudioObjectId device, IOProcId proc) override;
  Status startDevice(AudioObjectId device, IOProcId proc) override;
  Status stopDevice(AudioObjectId device, IOProcId proc) override;
  Status addDefaultDeviceListener(DefaultDeviceProperty property, std::shared_ptr<SerialQueue> queue,
                                  Task listener) override;

 private:
  std::shared_ptr<TapCore> core_;
};

}  // namespace velmor::platform::pulse

#include "app/program.h"

namespace velmor {

Program::Program(platform::Platform& platform_, const std::vector<std::string>& argv)
    : platform(platform_),
      args(parseArguments(argv)),
      stdoutHandle(platform_.stdOut),
      stderrHandle(platform_.stdErr),
      control(platform_.dispatch, stderrHandle, platform_.process),
      mixer(args.rate, args.micDevice.has_value(), args.system, stdoutHandle, control),
      systemOutput(std::make_shared<SystemAudioOutput>(ScreenCaptureContext{platform_.dispatch, platform_.screenCapture,
                                                                            platform_.process, control, mixer,
                                                                            args.rate, stream, systemRestarts})) {}

TapContext Program::tapContext() {
  return TapContext{platform.dispatch, platform.systemAudio, platform.environment, platform.process, control, mixer,
                    args.rate};
}

std::shared_ptr<MicCapture> Program::mic() const {
  std::lock_guard lock(mutex_);
  return mic_;
}

void Program::setMic(std::shared_ptr<MicCapture> mic) {
  std::lock_guard lock(mutex_);
  mic_ = std::move(mic);
}

}  // namespace velmor

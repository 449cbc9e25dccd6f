#pragma once
// One of each platform interface; the entry point runs against a Platform&.
#include "platform/audio_hardware.h"
#include "platform/calendar.h"
#include "platform/capture.h"
#include "platform/dispatch.h"
#include "platform/process_io.h"
#include "platform/screen_capture.h"
#include "platform/system_audio.h"

namespace velmor::platform {

struct Platform {
  Dispatch& dispatch;
  OutputHandle& stdOut;
  OutputHandle& stdErr;
  ProcessControl& process;
  Environment& environment;
  Signals& signals;
  AudioHardware& hardware;
  CaptureSystem& capture;
  Calendar& calendar;
  SystemAudioHardware& systemAudio;
  ScreenCapture& screenCapture;
};

}  // namespace velmor::platform

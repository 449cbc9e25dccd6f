#include "app/entry.h"

#include <charconv>

#include "app/program.h"
#include "calendar/calendar_read.h"
#include "devices/input_devices.h"
#include "microphone/mic_capture.h"
#include "micwatch/mic_watch.h"
#include "systemtap/system_audio_source.h"

namespace velmor {
namespace {

[[noreturn]] void listDevices(Program& program) {
  nlohmann::json list = nlohmann::json::array();
  for (const InputDevice& device : inputDevices(program.platform.hardware)) list.push_back(toJson(device));
  std::string text;
  try {
    // A name that is not valid UTF-8 keeps its device, with U+FFFD for the bad bytes.
    text = list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } catch (const std::exception&) {
    text = "[]\n";
  }
  program.stdoutHandle.write(text);
  platform::exitProcess(program.platform.process, 0);
}

[[noreturn]] void watch(Program& program) {
  const auto message = watchMicrophone(program.platform.dispatch, program.platform.hardware, program.stdoutHandle);
  if (message) program.control.fail(*message);
  platform::exitProcess(program.platform.process, 0);
}

[[noreturn]] void events(Program& program) {
  const Arguments& args = program.args;
  const auto message = readCalendar(
      CalendarContext{program.platform.calendar, program.platform.dispatch, program.stdoutHandle, program.control},
      args.ask, args.hours, args.accessOnly);
  if (message) program.control.fail(*message);
  platform::exitProcess(program.platform.process, 0);
}

// The shortest text that reads back as the same number, so that a refused rate is named as
// it was given (768000.4, not a rounded 768000).
std::string describeRate(double rate) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, rate).ptr;
  return std::string(text, end);
}

// Mixed audio held for a parent that does not read standard output: 2 s of 10 ms frames.
constexpr std::size_t kOutputBacklogFrames = 200;
constexpr const char* kOutputDropped = "Audio dropped: standard output is not being read";
// Control events held for a parent that does not read standard error: minutes of "level".
constexpr std::size_t kControlBacklogBytes = 256 * 1024;

[[noreturn]] void capture(Program& program) {
  const Arguments& args = program.args;
  if (!args.micDevice && !args.system) program.control.fail("Nothing to capture: pass --mic and/or --system");
  if (!isSupportedCaptureRate(args.rate)) {
    program.control.fail("Unsupported capture rate " + describeRate(args.rate) + ": --rate must be between " +
                         describeRate(kMinCaptureRate) + " and " + describeRate(kMaxCaptureRate) + " Hz");
  }
  // Standard output never holds the sources back: mixed audio that a parent has not read waits
  // in front of it, at most 2 s, then the oldest goes and the parent is told once.
  const auto frameBytes = static_cast<std::size_t>(2 * program.mixer.frameSamples());
  program.stdoutHandle.holdBack(frameBytes * kOutputBacklogFrames, [&program] {
    program.control.control(ControlEvent{{"type", "error"}, {"message", kOutputDropped}});
  });
  // Nor does standard error: a parent that reads the audio and leaves the events unread
  // loses its oldest events, not the recording. There is nowhere to say so.
  program.stderrHandle.holdBack(kControlBacklogBytes, {});
  if (args.micDevice) {
    auto mic = std::make_shared<MicCapture>(
        *args.micDevice, MicCapture::Context{program.platform.dispatch, program.platform.hardware,
                                             program.platform.capture, program.control, program.mixer, args.rate});
    program.setMic(mic);  // stored before it starts, so that SIGTERM can stop it
    mic->start();
  }
  if (args.system) startSystem(program.tapContext(), program.activeTap, program.systemOutput);
  program.control.control(ControlEvent{{"type", "ready"}});
  program.platform.dispatch.runMainLoop();
  platform::exitProcess(program.platform.process, 0);
}

// How long SIGTERM waits for the sources to stop. A stop that hangs (a sound server that no
// longer answers, a delivery stuck on a starved machine) must not keep the process alive.
constexpr platform::Duration kShutdownGrace = platform::seconds(2);

// SIGTERM: stop what records, then leave. Samples still queued in the mixer are dropped.
void shutDown(Program& program) {
  auto stopped = std::shared_ptr<platform::Semaphore>(program.platform.dispatch.makeSemaphore(0));
  program.platform.dispatch.runTask([&program, stopped] {
    if (auto mic = program.mic()) mic->stop();
    stopSystemTap(program.activeTap);
    // Asked to stop, not awaited: the process ends either way.
    if (auto stream = program.stream.get()) stream->stopCapture([](platform::Status) {});
    stopped->signal();
  });
  stopped->waitFor(kShutdownGrace);
  platform::exitProcess(program.platform.process, 0);
}

}  // namespace

void runProgram(platform::Platform& platform, const std::vector<std::string>& argv) {
  // The process-wide objects live until the process ends; they are never destroyed. The
  // registry keeps them reachable, also in a test process that runs the entry many times.
  static auto* programs = new std::vector<std::unique_ptr<Program>>();
  auto* program = programs->emplace_back(std::make_unique<Program>(platform, argv)).get();
  platform.signals.install([program] { shutDown(*program); },
                           [program] { platform::exitProcess(program->platform.process, 0); });

  const Arguments& args = program->args;
  if (args.listDevices) listDevices(*program);
  if (args.watch) watch(*program);
  if (args.events) events(*program);
  capture(*program);
}

}  // namespace velmor

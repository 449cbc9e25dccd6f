#pragma once
// The microphone watch: every 2 seconds, which applications hold the microphone; at the
// first look and at every change, one JSON line on standard output with all of them.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "micwatch/microphone_holders.h"
#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "platform/process_io.h"

namespace velmor {

inline constexpr const char* kWatchUnsupported = "this macOS cannot say which apps hold the microphone";
inline constexpr platform::Duration kWatchInterval = platform::seconds(2);

// The line for a list: {"type":"mic","apps":[...]} and a line feed; empty when it cannot
// be serialised.
std::string watchLine(const std::vector<std::string>& apps);

// The timer and the last list written. Its ticks run on the main queue.
class MicWatch {
 public:
  MicWatch(platform::Dispatch& dispatch, platform::AudioHardware& hardware, platform::OutputHandle& stdoutHandle);
  // Arms the timer: the first tick at once, then one every 2 seconds.
  void start();
  void stop();

 private:
  struct LastReport {
    std::optional<std::vector<std::string>> apps;  // absent until the first line
  };
  static void tick(platform::AudioHardware& hardware, platform::OutputHandle& out, LastReport& last);

  platform::Dispatch& dispatch_;
  platform::AudioHardware& hardware_;
  platform::OutputHandle& stdoutHandle_;
  std::shared_ptr<LastReport> last_ = std::make_shared<LastReport>();
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

// The --watch mode: runs the main loop with the watch armed. Returns an error text when the
// system cannot say who runs audio input; otherwise returns nothing, and only once the main
// loop ends.
std::optional<std::string> watchMicrophone(platform::Dispatch& dispatch, platform::AudioHardware& hardware,
                                           platform::OutputHandle& stdoutHandle);

}  // namespace velmor

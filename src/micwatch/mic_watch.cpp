#include "micwatch/mic_watch.h"

#include <nlohmann/json.hpp>

namespace velmor {

std::string watchLine(const std::vector<std::string>& apps) {
  try {
    std::string line =
        nlohmann::json{{"type", "mic"}, {"apps", apps}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line.push_back('\n');
    return line;
  } catch (const std::exception&) {
    return {};
  }
}

MicWatch::MicWatch(platform::Dispatch& dispatch, platform::AudioHardware& hardware,
                   platform::OutputHandle& stdoutHandle)
    : dispatch_(dispatch), hardware_(hardware), stdoutHandle_(stdoutHandle) {}

void MicWatch::tick(platform::AudioHardware& hardware, platform::OutputHandle& out, LastReport& last) {
  std::vector<std::string> apps = appsHoldingMicrophone(hardware);
  if (last.apps && sameApps(*last.apps, apps)) return;
  // Kept even when the line cannot be written, so that it is not tried again unchanged.
  last.apps = std::move(apps);
  const std::string line = watchLine(*last.apps);
  if (!line.empty()) out.write(line);
}

void MicWatch::start() {
  // The handlers hold the last report; hardware and output live as long as the process.
  auto handler = [&hardware = hardware_, &out = stdoutHandle_, last = last_] { tick(hardware, out, *last); };
  platform::SerialQueue& main = dispatch_.mainQueue();
  main.async(handler);
  timer_ = std::make_unique<platform::RepeatingTimer>(main, kWatchInterval, handler);
}

void MicWatch::stop() { timer_.reset(); }

std::optional<std::string> watchMicrophone(platform::Dispatch& dispatch, platform::AudioHardware& hardware,
                                           platform::OutputHandle& stdoutHandle) {
  if (!hardware.reportsProcessInput()) return std::string(kWatchUnsupported);
  MicWatch watch(dispatch, hardware, stdoutHandle);
  watch.start();
  dispatch.runMainLoop();
  watch.stop();
  return std::nullopt;
}

}  // namespace velmor

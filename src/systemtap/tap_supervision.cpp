// The running tap's two faults: its output device changed, or its IO stopped. Either ends
// the process with a "reopen" event, at most once, and a status that names the cause.
#include <charconv>

#include "systemtap/system_audio_tap.h"

namespace velmor {

std::int64_t parseQuietReopens(const std::optional<std::string>& text) {
  if (!text || text->empty()) return 0;
  std::string_view digits(*text);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
  }
  // Parsed with its sign, so that the most negative value fits as well.
  std::string signedDigits;
  signedDigits.reserve(digits.size() + 1);
  if (negative) signedDigits.push_back('-');
  signedDigits.append(digits);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) return 0;
  return value;
}

void SystemAudioTap::watch() {
  for (auto property : {platform::DefaultDeviceProperty::systemOutput, platform::DefaultDeviceProperty::output}) {
    (void)context_.hardware.addDefaultDeviceListener(property, ioQueue_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->scheduleCheck();
    });
  }
  std::lock_guard lock(timerMutex_);
  timer_ = std::make_unique<platform::RepeatingTimer>(*ioQueue_, kTapCheckPeriod, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->check();
  });
}

// Every notification gets a check of its own, a little later, once the system has settled.
void SystemAudioTap::scheduleCheck() {
  ioQueue_->after(kTapNotificationDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->check();
  });
}

void SystemAudioTap::stopWatching() {
  leaving_.store(true);
  std::lock_guard lock(timerMutex_);
  if (timer_) timer_->cancel();
  timer_.reset();
}

void SystemAudioTap::check() {
  if (leaving_.load()) return;
  // A failed read or a device of 0 says nothing: only a real other device is a change.
  const auto output = context_.hardware.defaultOutputDevice();
  const platform::AudioObjectId systemOutput = context_.hardware.defaultSystemOutputDevice().valueOr(0);
  const bool outputChanged = output.ok() && output.value() != 0 && output.value() != builtOutput_;
  const bool systemOutputChanged = systemOutput != 0 && systemOutput != builtSystemOutput_;
  if (outputChanged || systemOutputChanged) {
    leave("the output device changed", "device");
    return;
  }
  if (quietReopens_ > 1) return;  // the parent has reopened for quiet often enough
  const std::int64_t now = context_.dispatch.clock().uptimeNanos();
  if (lastIO_ == 0 || lastIO_ >= now) return;  // silence with IO running is not quiet
  if (now - lastIO_ >= kTapQuietNanos) leave("the tap went quiet", "quiet");
}

void SystemAudioTap::leave(const std::string& reason, const std::string& cause) {
  if (leaving_.exchange(true)) return;
  context_.control.control(ControlEvent{{"type", "device"},
                                        {"name", "system audio"},
                                        {"source", "system"},
                                        {"via", "tap"},
                                        {"event", "reopen"},
                                        {"cause", cause},
                                        {"reason", reason}});
  platform::exitProcess(context_.process, cause == "quiet" ? kExitTapQuiet : kExitDeviceChanged);
}

}  // namespace velmor

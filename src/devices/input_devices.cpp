#include "devices/input_devices.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>

namespace velmor {

std::string deviceString(platform::AudioHardware& hardware, platform::AudioObjectId object,
                         platform::StringProperty property) {
  const auto value = hardware.stringProperty(object, property);
  if (!value) return {};
  return value.value().value_or(std::string());
}

nlohmann::json toJson(const InputDevice& device) {
  return nlohmann::json{{"id", device.id},
                        {"uid", device.uid},
                        {"name", device.name},
                        {"builtin", device.builtin},
                        {"isDefault", device.isDefault},
                        {"channels", device.channels}};
}

void sortInputDevices(std::vector<InputDevice>& devices) {
  // Secondary strength: letters and accents count, case does not.
  UErrorCode status = U_ZERO_ERROR;
  // ICU's POSIX locale (what LANG=C or C.UTF-8 gives) collates ASCII by code point, so case
  // would count there: the root collation stands in for it.
  icu::Locale locale = icu::Locale::getDefault();
  if (std::string_view(locale.getName()) == "en_US_POSIX") locale = icu::Locale::getRoot();
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
  if (U_SUCCESS(status) && collator) collator->setStrength(icu::Collator::SECONDARY);
  else collator.reset();

  std::vector<icu::UnicodeString> names;
  for (auto& device : devices) names.push_back(icu::UnicodeString::fromUTF8(device.name));
  std::vector<std::size_t> order(devices.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;

  auto nameLess = [&](std::size_t a, std::size_t b) {
    if (!collator) return names[a].caseCompare(names[b], U_FOLD_CASE_DEFAULT) < 0;
    UErrorCode compareStatus = U_ZERO_ERROR;
    return collator->compare(names[a], names[b], compareStatus) == UCOL_LESS;
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (devices[a].builtin != devices[b].builtin) return devices[a].builtin;
    return nameLess(a, b);
  });

  std::vector<InputDevice> sorted;
  sorted.reserve(devices.size());
  for (std::size_t i : order) sorted.push_back(std::move(devices[i]));
  devices = std::move(sorted);
}

std::vector<InputDevice> inputDevices(platform::AudioHardware& hardware) {
  const auto listBytes = hardware.deviceListSize();
  if (!listBytes) return {};
  std::vector<platform::AudioObjectId> ids(listBytes.value() / 4, 0);
  const auto filled = hardware.deviceList(ids);
  if (!filled) return {};
  // Only what the read filled: a list that shrank since its size was asked leaves zeros, and
  // 0 is a real device on some systems.
  ids.resize(std::min(ids.size(), filled.value()));

  // No default when the read fails: 0 is a real device id on some systems.
  std::optional<platform::AudioObjectId> defaultId;
  if (const auto id = hardware.defaultInputDevice()) defaultId = id.value();

  std::vector<InputDevice> devices;
  for (platform::AudioObjectId id : ids) {
    const auto configBytes = hardware.inputStreamConfigurationSize(id);
    if (!configBytes || configBytes.value() == 0) continue;
    const auto channelsPerBuffer = hardware.inputStreamConfiguration(id);
    if (!channelsPerBuffer) continue;
    std::int64_t channels = 0;
    for (std::uint32_t c : channelsPerBuffer.value()) channels += c;
    if (channels == 0) continue;

    const auto transport = hardware.transportType(id);
    InputDevice device;
    device.id = id;
    device.uid = deviceString(hardware, id, platform::StringProperty::deviceUID);
    device.name = deviceString(hardware, id, platform::StringProperty::name);
    device.builtin = transport && transport.value() == platform::kTransportBuiltIn;
    device.isDefault = id == defaultId;
    device.channels = channels;
    devices.push_back(std::move(device));
  }
  sortInputDevices(devices);
  return devices;
}

}  // namespace velmor

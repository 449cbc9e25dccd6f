#include "devices/input_devices.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "unicode/icu_functions.h"

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

namespace {

// Names in the user's locale at secondary strength: letters and accents count, case does not.
class NameOrder {
 public:
  explicit NameOrder(const std::vector<InputDevice>& devices) : icu_(icuFunctions()), devices_(devices) {
    if (!icu_) return;
    UErrorCode status = U_ZERO_ERROR;
    // ICU's POSIX locale (what LANG=C or C.UTF-8 gives) collates ASCII by code point, so case
    // would count there: the root collation stands in for it.
    const char* locale = icu_->defaultLocale();
    if (std::strcmp(locale, "en_US_POSIX") == 0) locale = "";
    collator_ = icu_->openCollator(locale, &status);
    if (U_SUCCESS(status) && collator_) {
      icu_->setStrength(collator_, UCOL_SECONDARY);
    } else if (collator_) {
      icu_->closeCollator(collator_);
      collator_ = nullptr;
    }
    for (const auto& device : devices) names_.push_back(utf16(*icu_, device.name));
  }
  ~NameOrder() {
    if (collator_) icu_->closeCollator(collator_);
  }
  NameOrder(const NameOrder&) = delete;
  NameOrder& operator=(const NameOrder&) = delete;

  bool less(std::size_t a, std::size_t b) const {
    if (!icu_) return asciiCaseLess(devices_[a].name, devices_[b].name);
    const auto length = [](const std::u16string& text) { return static_cast<std::int32_t>(text.size()); };
    if (collator_) {
      return icu_->collate(collator_, names_[a].data(), length(names_[a]), names_[b].data(), length(names_[b])) ==
             UCOL_LESS;
    }
    UErrorCode status = U_ZERO_ERROR;
    return icu_->caseCompare(names_[a].data(), length(names_[a]), names_[b].data(), length(names_[b]),
                             U_FOLD_CASE_DEFAULT, &status) < 0;
  }

 private:
  const IcuFunctions* icu_;
  UCollator* collator_ = nullptr;
  const std::vector<InputDevice>& devices_;
  std::vector<std::u16string> names_;

  // Without ICU: bytes, ASCII letters without regard to case.
  static bool asciiCaseLess(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return fold(x) < fold(y); });
  }
};

}  // namespace

void sortInputDevices(std::vector<InputDevice>& devices) {
  const NameOrder names(devices);
  std::vector<std::size_t> order(devices.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (devices[a].builtin != devices[b].builtin) return devices[a].builtin;
    return names.less(a, b);
  });

  std::vector<InputDevice> sorted;
  sorted.reserve(devices.size());
  for (std::size_t i : order) sorted.push_back(std::move(devices[i]));
  devices = std::move(sorted);
}

std::vector<InputDevice> unsortedInputDevices(platform::AudioHardware& hardware) {
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
  return devices;
}

std::vector<InputDevice> inputDevices(platform::AudioHardware& hardware) {
  std::vector<InputDevice> devices = unsortedInputDevices(hardware);
  sortInputDevices(devices);
  return devices;
}

std::optional<InputDevice> firstBuiltinByName(const std::vector<InputDevice>& devices) {
  std::vector<InputDevice> builtin;
  std::copy_if(devices.begin(), devices.end(), std::back_inserter(builtin), [](const auto& d) { return d.builtin; });
  if (builtin.empty()) return std::nullopt;
  sortInputDevices(builtin);
  return builtin.front();
}

}  // namespace velmor

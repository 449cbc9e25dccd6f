// Devices as a sound server may describe them: any bytes in their unique IDs and names, any
// --mic text. The device list is one JSON line, and every event the choice of microphone
// writes is one JSON line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devices/input_devices.h"
#include "devices/resolve_mic.h"
#include "platform/manual/manual_dispatch.h"
#include "platform/sim/sim_world.h"

namespace {

class Lines final : public velmor::platform::OutputHandle {
 public:
  void write(std::string_view bytes) override {
    if (bytes.empty() || bytes.back() != '\n' || bytes.find('\n') != bytes.size() - 1) std::abort();
    (void)nlohmann::json::parse(bytes);  // throws, and so fails, if not JSON
  }
};

class NoExit final : public velmor::platform::ProcessControl {
 public:
  [[noreturn]] void exit(int) override { std::abort(); }
};

// Takes texts from the input, cut at 0xff bytes.
struct Reader {
  std::string_view rest;
  std::string next() {
    const std::size_t cut = rest.find('\xff');
    std::string text(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    return text;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmor::platform;
  Reader reader{std::string_view(reinterpret_cast<const char*>(data), size)};
  ManualDispatch dispatch;
  sim::SimWorld world(dispatch);
  const std::string mic = reader.next();
  for (AudioObjectId id = 0; id < 4 && !reader.rest.empty(); ++id) {
    sim::SimDevice device;
    device.id = id;
    device.uid = reader.next();
    device.name = reader.next();
    device.transport = id % 2 ? kTransportBuiltIn : kTransportUsb;
    world.addDevice(device);
  }
  world.setDefaultInput(1);

  nlohmann::json list = nlohmann::json::array();
  for (const auto& device : velmor::inputDevices(world.hardware())) list.push_back(velmor::toJson(device));
  Lines out;
  out.write(list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");

  Lines err;
  NoExit process;
  velmor::ControlChannel control(dispatch, err, process);
  (void)velmor::resolveMic(mic, world.hardware(), control);
  return 0;
}

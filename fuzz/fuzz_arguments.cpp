// The argument vector, NUL-separated. Parsing takes any vector without failing, and the
// numbers it accepts are exactly what they say.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "devices/resolve_mic.h"

namespace {

// The decimal digits of a device id as a parent may write it: sign and leading zeros gone.
std::string canonicalDigits(const std::string& text) {
  std::size_t start = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  while (start + 1 < text.size() && text[start] == '0') ++start;
  return text.substr(start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> argv{"velmor-audio"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      argv.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  argv.push_back(current);

  const velmor::Arguments args = velmor::parseArguments(argv);
  // A --mic text is one of the arguments, byte for byte.
  if (args.micDevice) {
    bool found = false;
    for (const auto& arg : argv) found = found || arg == *args.micDevice;
    if (!found) std::abort();
  }
  for (const auto& text : argv) {
    if (const auto id = velmor::parseDeviceId(text)) {
      if (std::to_string(*id) != canonicalDigits(text)) std::abort();
      if (text[0] == '-' && *id != 0) std::abort();
    }
  }
  return 0;
}

#pragma once
// The command line, parsed once at start-up into an immutable record.
#include <optional>
#include <string>
#include <vector>

namespace velmor {

struct Arguments {
  double rate = 16000;
  std::optional<std::string> micDevice;
  bool system = false;
  bool listDevices = false;
  bool watch = false;
  bool events = false;
  bool ask = false;
  double hours = 24;
  bool accessOnly = false;

  bool operator==(const Arguments&) const = default;
};

// Total: every argument vector (element 0 is the program path) yields a record.
Arguments parseArguments(const std::vector<std::string>& argv);

// A floating-point number in the C locale's syntax, consuming the whole text.
std::optional<double> parseNumber(const std::string& text);

}  // namespace velmor

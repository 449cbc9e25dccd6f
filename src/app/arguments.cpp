#include "app/arguments.h"

#include <locale.h>

#include <cstdlib>

namespace velmor {
namespace {

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

bool isCSpace(char c) { return c == '\0' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' '; }

}  // namespace

std::optional<double> parseNumber(const std::string& text) {
  // strtod would skip leading blanks; a value that starts with one is not a number.
  if (text.empty() || isCSpace(text.front())) return std::nullopt;
  char* end = nullptr;
  const double value = strtod_l(text.c_str(), &end, cLocale());
  // An embedded NUL stops strtod early and so counts as trailing text.
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

Arguments parseArguments(const std::vector<std::string>& argv) {
  Arguments args;
  if (argv.size() < 2) return args;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    const bool hasValue = i + 1 < argv.size();
    if (arg == "--rate" || arg == "--hours" || arg == "--mic") {
      if (!hasValue) continue;  // a value option at the end has no effect
      const std::string& value = argv[++i];
      if (arg == "--mic") {
        args.micDevice = value;
      } else if (arg == "--rate") {
        args.rate = parseNumber(value).value_or(16000);
      } else {
        args.hours = parseNumber(value).value_or(24);
      }
    } else if (arg == "--system") {
      args.system = true;
    } else if (arg == "--list-devices") {
      args.listDevices = true;
    } else if (arg == "--watch") {
      args.watch = true;
    } else if (arg == "--events") {
      args.events = true;
    } else if (arg == "--ask") {
      args.ask = true;
    } else if (arg == "--access-only") {
      args.accessOnly = true;
    }
    // Anything else is skipped silently.
  }
  return args;
}

}  // namespace velmor

// The environment values the program reads, as any bytes: VELMOR_TAP_QUIET_REOPENS and
// VELMOR_SYSTEM_AUDIO, cut at the first 0xff byte. A count is exactly the decimal number
// it spells when that fits 64 bits, and 0 otherwise; only "screen" picks the screen path.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "systemtap/system_audio_source.h"
#include "systemtap/system_audio_tap.h"

namespace {

// An optional sign and decimal digits, summed digit by digit in 128 bits; none when the text
// is anything else or its value leaves the 64-bit range.
std::optional<std::int64_t> spelledNumber(const std::string& text) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) at = 1;
  if (at == text.size()) return std::nullopt;
  __int128 value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return std::nullopt;
    value = value * 10 + (text[at] - '0');
    if (value > (static_cast<__int128>(1) << 63)) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT64_MAX || value < INT64_MIN) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = bytes.find('\xff');
  const std::string reopens = bytes.substr(0, cut);
  const std::optional<std::string> path =
      cut == std::string::npos ? std::nullopt : std::optional<std::string>(bytes.substr(cut + 1));

  const std::int64_t parsed = velmor::parseQuietReopens(reopens);
  if (parsed != spelledNumber(reopens).value_or(0)) std::abort();
  if (velmor::parseQuietReopens(std::nullopt) != 0) std::abort();

  if (velmor::screenPathAsked(path) != (path && *path == "screen")) std::abort();
  return 0;
}

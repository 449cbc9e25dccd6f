#include "unicode/unicode_text.h"

#include "unicode/icu_functions.h"

namespace velmor {
namespace {

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Runs an ICU call that writes into a buffer, growing the buffer once if ICU asks for more.
template <class Char, class Call>
std::basic_string<Char> filled(std::size_t guess, Call call) {
  std::basic_string<Char> out(guess, Char{});
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = call(out.data(), static_cast<std::int32_t>(out.size()), status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<std::size_t>(length), Char{});
    status = U_ZERO_ERROR;
    length = call(out.data(), static_cast<std::int32_t>(out.size()), status);
  }
  if (U_FAILURE(status) || length < 0) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

}  // namespace

std::u16string utf16(const IcuFunctions& icu, std::string_view text) {
  // Never more UTF-16 units than UTF-8 bytes, a replaced byte included.
  return filled<UChar>(text.size(), [&](UChar* out, std::int32_t size, UErrorCode& status) {
    std::int32_t length = 0;
    icu.fromUtf8(out, size, &length, text.data(), static_cast<std::int32_t>(text.size()), 0xFFFD, nullptr, &status);
    return length;
  });
}

std::string utf8(const IcuFunctions& icu, std::u16string_view text) {
  return filled<char>(3 * text.size(), [&](char* out, std::int32_t size, UErrorCode& status) {
    std::int32_t length = 0;
    icu.toUtf8(out, size, &length, text.data(), static_cast<std::int32_t>(text.size()), &status);
    return length;
  });
}

std::string validUtf8(std::string_view text) {
  const IcuFunctions* icu = isAscii(text) ? nullptr : icuFunctions();
  if (!icu) return std::string(text);
  return utf8(*icu, utf16(*icu, text));
}

std::string canonicalKey(std::string_view text) {
  const IcuFunctions* icu = isAscii(text) ? nullptr : icuFunctions();  // ASCII is already in NFC
  if (!icu) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = icu->nfcInstance(&status);
  const std::u16string decoded = utf16(*icu, text);
  if (U_FAILURE(status)) return utf8(*icu, decoded);
  // Composition never lengthens text by more than a few units; ICU says so when it does.
  const std::u16string composed =
      filled<UChar>(decoded.size() + 16, [&](UChar* out, std::int32_t size, UErrorCode& callStatus) {
        return icu->normalize(nfc, decoded.data(), static_cast<std::int32_t>(decoded.size()), out, size, &callStatus);
      });
  return composed.empty() && !decoded.empty() ? utf8(*icu, decoded) : utf8(*icu, composed);
}

std::string lowerCased(std::string_view text) {
  const IcuFunctions* icu = isAscii(text) ? nullptr : icuFunctions();
  if (!icu) {
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
  }
  const std::u16string decoded = utf16(*icu, text);
  const std::u16string lower =
      filled<UChar>(decoded.size() + 16, [&](UChar* out, std::int32_t size, UErrorCode& status) {
        return icu->toLower(out, size, decoded.data(), static_cast<std::int32_t>(decoded.size()), "", &status);
      });
  return utf8(*icu, lower);
}

}  // namespace velmor

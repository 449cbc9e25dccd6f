#include "unicode/unicode_text.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace velmor {
namespace {

icu::UnicodeString decode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string encode(const icu::UnicodeString& text) {
  std::string bytes;
  text.toUTF8String(bytes);
  return bytes;
}

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string validUtf8(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  return encode(decode(text));
}

std::string canonicalKey(std::string_view text) {
  if (isAscii(text)) return std::string(text);  // already in NFC: the common case costs a copy
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return validUtf8(text);
  const icu::UnicodeString composed = nfc->normalize(decode(text), status);
  return U_SUCCESS(status) ? encode(composed) : validUtf8(text);
}

std::string lowerCased(std::string_view text) {
  icu::UnicodeString decoded = decode(text);
  decoded.toLower(icu::Locale::getRoot());
  return encode(decoded);
}

}  // namespace velmor

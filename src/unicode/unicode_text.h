#pragma once
// Text as the program compares and writes it: platform text arrives as bytes that should
// be UTF-8; these turn it into valid UTF-8, a key under which canonically equivalent
// spellings are equal, and a lower-case form.
#include <string>
#include <string_view>

namespace velmor {

// The text with U+FFFD in place of each ill-formed byte sequence.
std::string validUtf8(std::string_view text);

// The text's canonical composition (NFC) as UTF-8, after validUtf8. Two texts are
// canonically equivalent exactly when their keys are equal, and comparing keys byte by byte
// orders texts by their Unicode scalar values.
std::string canonicalKey(std::string_view text);

// Full Unicode lower-casing, independent of the user's locale, after validUtf8.
std::string lowerCased(std::string_view text);

}  // namespace velmor

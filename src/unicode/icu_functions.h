#pragma once
// The few ICU functions the program uses, opened at run time on first use. Recording never
// needs them (device names are compared, sorted or normalised only when listed, watched or
// written into the calendar document), and a process that links ICU pays about 3 MB of
// resident memory for its relocated tables whether it uses them or not.
#include <string>
#include <string_view>

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

namespace velmor {

struct IcuFunctions {
  decltype(&u_strFromUTF8WithSub) fromUtf8;
  decltype(&u_strToUTF8) toUtf8;
  decltype(&u_strToLower) toLower;
  decltype(&u_strCaseCompare) caseCompare;
  decltype(&unorm2_getNFCInstance) nfcInstance;
  decltype(&unorm2_normalize) normalize;
  decltype(&uloc_getDefault) defaultLocale;
  decltype(&ucol_open) openCollator;
  decltype(&ucol_close) closeCollator;
  decltype(&ucol_setStrength) setStrength;
  decltype(&ucol_strcoll) collate;
};

// ICU's functions, loaded once; null when the libraries this build was made against cannot
// be opened (the callers then fall back to treating text as bytes).
const IcuFunctions* icuFunctions();

// UTF-8 to UTF-16 with U+FFFD in place of each ill-formed sequence, and back.
std::u16string utf16(const IcuFunctions& icu, std::string_view text);
std::string utf8(const IcuFunctions& icu, std::u16string_view text);

}  // namespace velmor

#include "unicode/icu_functions.h"

#include <dlfcn.h>

#include <unicode/uvernum.h>

#include <mutex>

namespace velmor {
namespace {

// ICU versions its symbols ("u_strToUTF8_72"): its headers' renaming macros give the names of
// the version this build was compiled against.
#define VELMOR_ICU_NAME_TEXT(name) #name
#define VELMOR_ICU_NAME(name) VELMOR_ICU_NAME_TEXT(name)

template <class Function>
bool resolve(void* library, const char* name, Function& into) {
  into = reinterpret_cast<Function>(dlsym(library, name));
  return into != nullptr;
}

bool load(IcuFunctions& f) {
  // Opened for good: ICU keeps caches that must outlive every caller.
  void* common = dlopen("libicuuc.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
  void* i18n = dlopen("libicui18n.so." U_ICU_VERSION_SHORT, RTLD_NOW | RTLD_LOCAL);
  if (!common || !i18n) return false;
  return resolve(common, VELMOR_ICU_NAME(u_strFromUTF8WithSub), f.fromUtf8) &&
         resolve(common, VELMOR_ICU_NAME(u_strToUTF8), f.toUtf8) &&
         resolve(common, VELMOR_ICU_NAME(u_strToLower), f.toLower) &&
         resolve(common, VELMOR_ICU_NAME(u_strCaseCompare), f.caseCompare) &&
         resolve(common, VELMOR_ICU_NAME(unorm2_getNFCInstance), f.nfcInstance) &&
         resolve(common, VELMOR_ICU_NAME(unorm2_normalize), f.normalize) &&
         resolve(common, VELMOR_ICU_NAME(uloc_getDefault), f.defaultLocale) &&
         resolve(i18n, VELMOR_ICU_NAME(ucol_open), f.openCollator) &&
         resolve(i18n, VELMOR_ICU_NAME(ucol_close), f.closeCollator) &&
         resolve(i18n, VELMOR_ICU_NAME(ucol_setStrength), f.setStrength) &&
         resolve(i18n, VELMOR_ICU_NAME(ucol_strcoll), f.collate);
}

}  // namespace

const IcuFunctions* icuFunctions() {
  static std::once_flag once;
  static IcuFunctions functions;
  static bool loaded = false;
  std::call_once(once, [] { loaded = load(functions); });
  return loaded ? &functions : nullptr;
}

}  // namespace velmor

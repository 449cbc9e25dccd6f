#include "platform/eds/eds_library.h"

#include <dlfcn.h>

namespace velmor::platform::eds {
namespace {

// libecal's soname as found at build time; opening it brings in libedataserver,
// libical-glib and GLib, whose functions are then found through the same handle.
constexpr const char* kLibrary = VELMOR_ECAL_SONAME;

GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }
void discardMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

struct Loaded {
  EdsLibrary library;
  std::string whyNot;
  bool ok = false;
};

Loaded open() {
  Loaded loaded;
  void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* reason = dlerror();
    loaded.whyNot = reason ? reason : std::string(kLibrary) + " cannot be loaded";
    return loaded;
  }
  EdsLibrary& eds = loaded.library;
#define VELMOR_EDS_RESOLVE(field, symbol)                                                 \
  eds.field = reinterpret_cast<decltype(eds.field)>(dlsym(handle, #symbol));            \
  if (!eds.field) {                                                                       \
    loaded.whyNot = std::string(kLibrary) + " lacks " #symbol;                            \
    return loaded;                                                                        \
  }
  VELMOR_EDS_FUNCTIONS(VELMOR_EDS_RESOLVE)
#undef VELMOR_EDS_RESOLVE
  // GLib writes warnings to standard error unless told otherwise. The writer can be set
  // once per process: here, before the libraries do anything.
  eds.logSetWriterFunc(discardLog, nullptr, nullptr);
  eds.logSetDefaultHandler(discardMessage, nullptr);
  loaded.ok = true;
  return loaded;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// For ThreadSanitizer builds only. GLib and the store's client libraries are not built
// with it: they hand memory between their own threads with futexes it cannot see (GLib's
// mutexes, its slice allocator), so the accesses its interceptors record inside them
// (memset, memcpy, allocation) look like races. Those recordings are dropped for these
// libraries alone; every access in the program's own code is still checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libecal-2.0.so.2\n"
         "called_from_lib:libedataserver-1.2.so.27\n"
         // Camel, and the mail providers libedataserver loads for their settings types.
         "called_from_lib:libcamel-1.2.so.64\n"
         "called_from_lib:/libcamelimapx.so\n"
         "called_from_lib:/libcamellocal.so\n"
         "called_from_lib:/libcamelnntp.so\n"
         "called_from_lib:/libcamelpop3.so\n"
         "called_from_lib:/libcamelsendmail.so\n"
         "called_from_lib:/libcamelsmtp.so\n"
         "called_from_lib:libical-glib.so.3\n"
         "called_from_lib:libical.so.3\n";
}
#endif

const EdsLibrary* EdsLibrary::load(std::string* whyNot) {
  // Never destroyed: threads left waiting on the store may still call through it at exit.
  static const Loaded* const loaded = new Loaded(open());
  if (!loaded->ok) {
    if (whyNot) *whyNot = loaded->whyNot;
    return nullptr;
  }
  return &loaded->library;
}

std::string takeErrorText(const EdsLibrary& eds, GError* error) {
  if (!error) return {};
  std::string text = error->message ? error->message : "";
  eds.errorFree(error);
  return text;
}

std::optional<std::string> takeText(const EdsLibrary& eds, gchar* text) {
  if (!text) return std::nullopt;
  std::string copy(text);
  eds.free(text);
  return copy;
}

}  // namespace velmor::platform::eds

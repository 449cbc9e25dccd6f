#include "platform/eds/eds_library.h"

#include <dlfcn.h>

namespace velmor::platform::eds {
namespace {

// The sonames found at build time. Opening GIO brings GLib; opening libecal brings
// libedataserver and libical-glib; the functions are found through each handle.
constexpr const char* kGio = VELMOR_GIO_SONAME;
constexpr const char* kEcal = VELMOR_ECAL_SONAME;

GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }
void discardMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

template <class Library>
struct Loaded {
  Library library;
  std::string whyNot;
  bool ok = false;
};

void* open(const char* soname, std::string& whyNot) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* reason = dlerror();
    whyNot = reason ? reason : std::string(soname) + " cannot be loaded";
  }
  return handle;
}

#define VELMOR_EDS_RESOLVE(field, symbol)                                            \
  library.field = reinterpret_cast<decltype(library.field)>(dlsym(handle, #symbol)); \
  if (!library.field) {                                                              \
    loaded.whyNot = std::string(soname) + " lacks " #symbol;                         \
    return loaded;                                                                   \
  }

Loaded<GioLibrary> openGio() {
  Loaded<GioLibrary> loaded;
  const char* soname = kGio;
  void* handle = open(soname, loaded.whyNot);
  if (!handle) return loaded;
  GioLibrary& library = loaded.library;
  VELMOR_GIO_FUNCTIONS(VELMOR_EDS_RESOLVE)
  // GLib writes warnings to standard error unless told otherwise. The writer can be set
  // once per process: here, before GLib or the store's libraries do anything.
  library.logSetWriterFunc(discardLog, nullptr, nullptr);
  library.logSetDefaultHandler(discardMessage, nullptr);
  loaded.ok = true;
  return loaded;
}

Loaded<EdsLibrary> openEds() {
  Loaded<EdsLibrary> loaded;
  const GioLibrary* gio = GioLibrary::load(&loaded.whyNot);
  if (!gio) return loaded;
  const char* soname = kEcal;
  void* handle = open(soname, loaded.whyNot);
  if (!handle) return loaded;
  EdsLibrary& library = loaded.library;
  static_cast<GioLibrary&>(library) = *gio;
  VELMOR_EDS_FUNCTIONS(VELMOR_EDS_RESOLVE)
  loaded.ok = true;
  return loaded;
}

#undef VELMOR_EDS_RESOLVE

}  // namespace

#if defined(__SANITIZE_THREAD__)
// For ThreadSanitizer builds only. GLib and the store's client libraries are not built
// with it: they hand memory between their own threads with futexes it cannot see (GLib's
// mutexes, its slice allocator), so the accesses its interceptors record inside them
// (memset, memcpy, allocation, a lock taken in one library and released in another) look
// like races. Those recordings are dropped for these libraries alone; every access in the
// program's own code is still checked.
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

// Never destroyed: threads left waiting on the store may still call through them at exit.
const GioLibrary* GioLibrary::load(std::string* whyNot) {
  static const auto* const loaded = new Loaded<GioLibrary>(openGio());
  if (loaded->ok) return &loaded->library;
  if (whyNot) *whyNot = loaded->whyNot;
  return nullptr;
}

const EdsLibrary* EdsLibrary::load(std::string* whyNot) {
  static const auto* const loaded = new Loaded<EdsLibrary>(openEds());
  if (loaded->ok) return &loaded->library;
  if (whyNot) *whyNot = loaded->whyNot;
  return nullptr;
}

std::string takeErrorText(const GioLibrary& glib, GError* error) {
  if (!error) return {};
  std::string text = error->message ? error->message : "";
  glib.errorFree(error);
  return text;
}

std::optional<std::string> takeText(const GioLibrary& glib, gchar* text) {
  if (!text) return std::nullopt;
  std::string copy(text);
  glib.free(text);
  return copy;
}

}  // namespace velmor::platform::eds

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

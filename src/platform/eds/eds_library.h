#pragma once
// The functions of GLib, Evolution Data Server (libecal, libedataserver) and libical-glib
// that the calendar backend calls, looked up at run time. The program must start, list
// devices, capture and watch on a machine without the calendar store, so nothing links
// these libraries. They are opened in two steps, each the first time it is needed: GLib's
// GIO (a few milliseconds) to ask the session bus whether the store is there, which is all
// the access word needs; the store's client libraries (some 50 libraries, 25 ms) to read it.
//
// Only this backend's files include this header: the headers it pulls in are the
// libraries' own, for their types and the functions' signatures.
#include <optional>
#include <string>

#include <libecal/libecal.h>

namespace velmor::platform::eds {

// The domain of the errors this backend reports.
inline constexpr const char* kEdsErrorDomain = "org.gnome.evolution.dataserver";

// X(field, symbol) for every function of GLib and GIO the backend calls.
#define VELMOR_GIO_FUNCTIONS(X)                                       \
  X(free, g_free)                                                     \
  X(errorFree, g_error_free)                                          \
  X(objectRef, g_object_ref)                                          \
  X(objectUnref, g_object_unref)                                      \
  X(listFreeFull, g_list_free_full)                                   \
  X(slistFreeFull, g_slist_free_full)                                 \
  X(cancellableNew, g_cancellable_new)                                \
  X(cancellableCancel, g_cancellable_cancel)                          \
  X(cancellableIsCancelled, g_cancellable_is_cancelled)               \
  X(mainContextNew, g_main_context_new)                               \
  X(mainContextPushThreadDefault, g_main_context_push_thread_default) \
  X(mainContextPopThreadDefault, g_main_context_pop_thread_default)   \
  X(mainContextUnref, g_main_context_unref)                           \
  X(logSetWriterFunc, g_log_set_writer_func)                          \
  X(logSetDefaultHandler, g_log_set_default_handler)                  \
  X(busGetSync, g_bus_get_sync)                                       \
  X(connectionSetExitOnClose, g_dbus_connection_set_exit_on_close)    \
  X(connectionCallSync, g_dbus_connection_call_sync)                  \
  X(variantNew, g_variant_new)                                        \
  X(variantUnref, g_variant_unref)

// X(field, symbol) for every function of the store's client libraries the backend calls.
#define VELMOR_EDS_FUNCTIONS(X)                                           \
  X(registryNewSync, e_source_registry_new_sync)                          \
  X(registryListEnabled, e_source_registry_list_enabled)                  \
  X(registryListSources, e_source_registry_list_sources)                  \
  X(sourceDupUid, e_source_dup_uid)                                       \
  X(sourceDupDisplayName, e_source_dup_display_name)                      \
  X(sourceDupParent, e_source_dup_parent)                                 \
  X(sourceHasExtension, e_source_has_extension)                           \
  X(sourceGetExtension, e_source_get_extension)                           \
  X(webdavDupEmailAddress, e_source_webdav_dup_email_address)             \
  X(mailIdentityDupAddress, e_source_mail_identity_dup_address)           \
  X(calClientConnectSync, e_cal_client_connect_sync)                      \
  X(calClientGetObjectListSync, e_cal_client_get_object_list_sync)        \
  X(calClientGetTimezoneSync, e_cal_client_get_timezone_sync)             \
  X(recurGenerateInstancesSync, e_cal_recur_generate_instances_sync)      \
  X(systemTimezoneLocation, e_cal_system_timezone_get_location)           \
  X(componentHasRecurrences, e_cal_util_component_has_recurrences)        \
  X(componentGetUid, i_cal_component_get_uid)                             \
  X(componentGetSummary, i_cal_component_get_summary)                     \
  X(componentGetLocation, i_cal_component_get_location)                   \
  X(componentGetStatus, i_cal_component_get_status)                       \
  X(componentGetFirstProperty, i_cal_component_get_first_property)        \
  X(componentGetNextProperty, i_cal_component_get_next_property)          \
  X(propertyGetDtstart, i_cal_property_get_dtstart)                       \
  X(propertyGetDtend, i_cal_property_get_dtend)                           \
  X(propertyGetDuration, i_cal_property_get_duration)                     \
  X(propertyGetRecurrenceid, i_cal_property_get_recurrenceid)             \
  X(propertyGetAttendee, i_cal_property_get_attendee)                     \
  X(propertyGetDescription, i_cal_property_get_description)               \
  X(propertyGetUrl, i_cal_property_get_url)                               \
  X(propertyGetParameterAsString, i_cal_property_get_parameter_as_string) \
  X(propertyGetRrule, i_cal_property_get_rrule)                           \
  X(recurrenceGetFreq, i_cal_recurrence_get_freq)                         \
  X(recurrenceGetInterval, i_cal_recurrence_get_interval)                 \
  X(durationAsInt, i_cal_duration_as_int)                                 \
  X(timeIsNullTime, i_cal_time_is_null_time)                              \
  X(timeIsDate, i_cal_time_is_date)                                       \
  X(timeIsUtc, i_cal_time_is_utc)                                         \
  X(timeGetDate, i_cal_time_get_date)                                     \
  X(timeGetTime, i_cal_time_get_time)                                     \
  X(timeGetTimezone, i_cal_time_get_timezone)                             \
  X(timeAdjust, i_cal_time_adjust)                                        \
  X(timeAsTimetWithZone, i_cal_time_as_timet_with_zone)                   \
  X(timeNewFromTimetWithZone, i_cal_time_new_from_timet_with_zone)        \
  X(timezoneGetUtc, i_cal_timezone_get_utc_timezone)                      \
  X(timezoneGetBuiltin, i_cal_timezone_get_builtin_timezone)              \
  X(timezoneGetBuiltinFromTzid, i_cal_timezone_get_builtin_timezone_from_tzid)

#define VELMOR_EDS_FIELD(field, symbol) decltype(&::symbol) field = nullptr;

struct GioLibrary {
  VELMOR_GIO_FUNCTIONS(VELMOR_EDS_FIELD)

  // GIO with GLib, opened once per process and never closed (GLib cannot be unloaded);
  // null when missing or lacking a function, with the reason in `whyNot`. Loading also
  // silences GLib's log messages: standard error carries control events and nothing else.
  static const GioLibrary* load(std::string* whyNot);
};

struct EdsLibrary : GioLibrary {
  VELMOR_EDS_FUNCTIONS(VELMOR_EDS_FIELD)

  // The store's client libraries, with GIO; as above.
  static const EdsLibrary* load(std::string* whyNot);
};

#undef VELMOR_EDS_FIELD

// The text of a GError, which is freed; "" for none.
std::string takeErrorText(const GioLibrary& glib, GError* error);
// A string the libraries allocated, as text, freed; none for null.
std::optional<std::string> takeText(const GioLibrary& glib, gchar* text);

}  // namespace velmor::platform::eds

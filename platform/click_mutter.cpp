// Clicks through mutter's remote desktop interface on the session bus
// (GNOME): one remote desktop session, started once and kept, whose pointer
// button presses and releases land where the pointer is. The session lives
// as long as the bus connection that made it, so the connection is this
// module's own and kept for the process. The interface is mutter's own, not
// a public one: its version is checked before use. Built as a module.
#include <dbus/dbus.h>
#include <linux/input-event-codes.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/click_backend.h"
#include "platform/pointer_records.h"

namespace {

const char kService[] = "org.gnome.Mutter.RemoteDesktop";
const char kPath[] = "/org/gnome/Mutter/RemoteDesktop";
const char kSessionInterface[] = "org.gnome.Mutter.RemoteDesktop.Session";
// The versions of the interface whose session has Start and
// NotifyPointerButton as used here.
const int kFirstVersion = 1;
// What SupportedDeviceTypes sets for a pointer.
const dbus_uint32_t kPointerDevice = 2;
// A blocked call gives up after this; mutter answers in a few milliseconds.
const int kCallTimeoutMs = 2000;

DBusConnection *gBus = nullptr;
std::string gSession;

void Close(void) {
  if (gBus != nullptr) {
    // Ends the session too.
    dbus_connection_close(gBus);
    dbus_connection_unref(gBus);
  }
  gBus = nullptr;
  gSession.clear();
}

// Calls a method and returns its reply (null on any failure, the error's
// message in why).
DBusMessage *Call(DBusMessage *call, char *why, size_t whySize) {
  if (call == nullptr) {
    std::snprintf(why, whySize, "out of memory");
    return nullptr;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusMessage *reply =
      dbus_connection_send_with_reply_and_block(gBus, call, kCallTimeoutMs, &error);
  dbus_message_unref(call);
  if (reply == nullptr) {
    std::snprintf(why, whySize, "%s", error.message != nullptr ? error.message : "no reply");
    dbus_error_free(&error);
  }
  return reply;
}

// A property of the remote desktop service, as a variant's basic value.
bool ReadProperty(const char *name, int type, void *value, char *why, size_t whySize) {
  const char *interfaceName = kService;
  DBusMessage *call =
      dbus_message_new_method_call(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
  if (call != nullptr && !dbus_message_append_args(call, DBUS_TYPE_STRING, &interfaceName,
                                                   DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
    dbus_message_unref(call);
    call = nullptr;
  }
  DBusMessage *reply = Call(call, why, whySize);
  if (reply == nullptr) {
    return false;
  }
  DBusMessageIter args, variant;
  const bool read = dbus_message_iter_init(reply, &args) &&
                    dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT &&
                    (dbus_message_iter_recurse(&args, &variant), true) &&
                    dbus_message_iter_get_arg_type(&variant) == type;
  if (read) {
    dbus_message_iter_get_basic(&variant, value);
  } else {
    std::snprintf(why, whySize, "%s has no property %s as expected", kService, name);
  }
  dbus_message_unref(reply);
  return read;
}

int Open(char *why, size_t whySize) {
  Close();
  DBusError error;
  dbus_error_init(&error);
  gBus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (gBus == nullptr) {
    std::snprintf(why, whySize, "no session bus (%s)",
                  error.message != nullptr ? error.message : "unknown error");
    dbus_error_free(&error);
    return 0;
  }
  // libdbus ends the whole process when a bus connection drops, by default.
  dbus_connection_set_exit_on_disconnect(gBus, FALSE);

  dbus_int32_t version = 0;
  dbus_uint32_t devices = 0;
  if (!ReadProperty("Version", DBUS_TYPE_INT32, &version, why, whySize) ||
      !ReadProperty("SupportedDeviceTypes", DBUS_TYPE_UINT32, &devices, why, whySize)) {
    Close();
    return 0;
  }
  if (version < kFirstVersion || (devices & kPointerDevice) == 0) {
    std::snprintf(why, whySize, "%s version %d offers no pointer", kService,
                  static_cast<int>(version));
    Close();
    return 0;
  }

  DBusMessage *reply =
      Call(dbus_message_new_method_call(kService, kPath, kService, "CreateSession"), why, whySize);
  const char *session = nullptr;
  if (reply == nullptr ||
      !dbus_message_get_args(reply, nullptr, DBUS_TYPE_OBJECT_PATH, &session, DBUS_TYPE_INVALID)) {
    if (reply != nullptr) {
      std::snprintf(why, whySize, "%s.CreateSession gave no session", kService);
      dbus_message_unref(reply);
    }
    Close();
    return 0;
  }
  gSession = session;
  dbus_message_unref(reply);
  reply = Call(dbus_message_new_method_call(kService, gSession.c_str(), kSessionInterface, "Start"),
               why, whySize);
  if (reply == nullptr) {
    Close();
    return 0;
  }
  dbus_message_unref(reply);
  return 1;
}

// Calls a method of the session with the arguments given as to
// dbus_message_append_args, and waits for its answer.
bool Notify(const char *method, int firstType, ...) {
  DBusMessage *call =
      dbus_message_new_method_call(kService, gSession.c_str(), kSessionInterface, method);
  va_list args;
  va_start(args, firstType);
  const bool built = call != nullptr && dbus_message_append_args_valist(call, firstType, args);
  va_end(args);
  if (!built) {
    if (call != nullptr) {
      dbus_message_unref(call);
    }
    return false;
  }
  char why[256];
  DBusMessage *reply = Call(call, why, sizeof why);
  if (reply != nullptr) {
    dbus_message_unref(reply);
  }
  return reply != nullptr;
}

bool Motion(int dx, int dy) {
  const double x = dx;
  const double y = dy;
  return Notify("NotifyPointerMotionRelative", DBUS_TYPE_DOUBLE, &x, DBUS_TYPE_DOUBLE, &y,
                DBUS_TYPE_INVALID);
}

bool Button(unsigned code, bool pressed) {
  const dbus_int32_t button = static_cast<dbus_int32_t>(code);
  const dbus_bool_t state = pressed ? TRUE : FALSE;
  return Notify("NotifyPointerButton", DBUS_TYPE_INT32, &button, DBUS_TYPE_BOOLEAN, &state,
                DBUS_TYPE_INVALID);
}

// Each notification was answered before the next went.
bool Done(void) { return true; }

UINT Send(UINT count, INPUT *inputs, int size) {
  static const nictate::PointerDevice kDevice = {Motion, Button, Done, Done};
  return gBus == nullptr ? 0 : nictate::InjectRecords(count, inputs, size, kDevice);
}

const NictateClickBackend kBackend = {
    "mutter", Open, Close, nictate::PointerUnknown, nictate::ScreenUnknown, Send};

}  // namespace

extern "C" __attribute__((visibility("default"))) const NictateClickBackend *
nictate_click_backend_v1(void) {
  return &kBackend;
}

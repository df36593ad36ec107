#include "platform/click_wayland.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix_time.h"

namespace nictate {

namespace {

struct Binding {
  WaylandGlobal *globals;
  size_t count;
};

void OnGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface,
              uint32_t version) {
  Binding *binding = static_cast<Binding *>(data);
  for (size_t i = 0; i < binding->count; ++i) {
    WaylandGlobal &global = binding->globals[i];
    if (global.proxy == nullptr && std::strcmp(interface, global.interface->name) == 0 &&
        version >= global.minVersion) {
      const uint32_t bound = version < global.maxVersion ? version : global.maxVersion;
      global.proxy = wl_registry_bind(registry, name, global.interface, bound);
    }
  }
}

void OnGlobalRemove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

bool ConnectWayland(wl_display **display, WaylandGlobal *globals, size_t count, char *why,
                    size_t whySize) {
  for (size_t i = 0; i < count; ++i) {
    globals[i].proxy = nullptr;
  }
  *display = wl_display_connect(nullptr);
  if (*display == nullptr) {
    std::snprintf(why, whySize, "no Wayland compositor answers (%s)", std::strerror(errno));
    return false;
  }
  Binding binding = {globals, count};
  wl_registry *registry = wl_display_get_registry(*display);
  if (registry == nullptr ||
      wl_registry_add_listener(registry, &kRegistryListener, &binding) != 0 ||
      !RoundTrip(*display)) {
    std::snprintf(why, whySize, "the Wayland compositor closed the connection");
    if (registry != nullptr) {
      wl_registry_destroy(registry);
    }
    DisconnectWayland(display, globals, count);
    return false;
  }
  // The globals are bound; the registry's later news is of no interest.
  wl_registry_destroy(registry);
  return true;
}

void DisconnectWayland(wl_display **display, WaylandGlobal *globals, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (globals[i].proxy != nullptr) {
      wl_proxy_destroy(static_cast<wl_proxy *>(globals[i].proxy));
      globals[i].proxy = nullptr;
    }
  }
  if (*display != nullptr) {
    wl_display_disconnect(*display);
    *display = nullptr;
  }
}

bool RoundTrip(wl_display *display) {
  return wl_display_roundtrip(display) >= 0 && wl_display_get_error(display) == 0;
}

uint32_t EventTimeMs(void) { return static_cast<uint32_t>(MonotonicMs()); }

}  // namespace nictate

// What the two Wayland back ends share: the connection to the compositor of
// WAYLAND_DISPLAY, the globals it offers, and the clock of their events.
#ifndef NICTATE_PLATFORM_CLICK_WAYLAND_H
#define NICTATE_PLATFORM_CLICK_WAYLAND_H

#include <wayland-client.h>

#include <cstddef>
#include <cstdint>

namespace nictate {

// A global the back end binds: the interface, the version it needs at least
// and the highest it speaks. Filled by ConnectWayland: the bound proxy (null
// when the compositor does not offer it).
struct WaylandGlobal {
  const wl_interface *interface;
  uint32_t minVersion;
  uint32_t maxVersion;
  void *proxy;
};

// Connects to the compositor and binds the globals named (the first seat for
// wl_seat). False, with the reason in why, when there is no compositor to
// connect to; a global not offered is left null.
bool ConnectWayland(wl_display **display, WaylandGlobal *globals, size_t count, char *why,
                    size_t whySize);

// Lets go of the bound globals (each proxy still there) and the connection.
void DisconnectWayland(wl_display **display, WaylandGlobal *globals, size_t count);

// Sends what is queued and waits until the compositor has handled it, its
// replies read; false when the connection failed.
bool RoundTrip(wl_display *display);

// Milliseconds on the monotonic clock, the time stamp of input events.
uint32_t EventTimeMs(void);

}  // namespace nictate

#endif

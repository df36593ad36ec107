// Clicks through a wlroots compositor's virtual pointer protocol (sway,
// Hyprland, labwc, river): one virtual pointer on the seat, kept for the
// process, whose button presses and releases land where the pointer is, in
// Wayland and XWayland windows alike. Built as a module.
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <cstdio>

#include "platform/click_backend.h"
#include "platform/click_wayland.h"
#include "platform/pointer_records.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

wl_display *gDisplay = nullptr;
nictate::WaylandGlobal gGlobals[] = {
    {&zwlr_virtual_pointer_manager_v1_interface, 1, 1, nullptr},
    {&wl_seat_interface, 1, 1, nullptr},
};
zwlr_virtual_pointer_v1 *gPointer = nullptr;

void Close(void) {
  if (gPointer != nullptr) {
    // The compositor removes the device.
    zwlr_virtual_pointer_v1_destroy(gPointer);
    gPointer = nullptr;
  }
  nictate::DisconnectWayland(&gDisplay, gGlobals, 2);
}

int Open(char *why, size_t whySize) {
  Close();
  if (!nictate::ConnectWayland(&gDisplay, gGlobals, 2, why, whySize)) {
    return 0;
  }
  auto *manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(gGlobals[0].proxy);
  auto *seat = static_cast<wl_seat *>(gGlobals[1].proxy);
  if (manager == nullptr) {
    std::snprintf(why, whySize, "the compositor does not offer %s",
                  zwlr_virtual_pointer_manager_v1_interface.name);
    Close();
    return 0;
  }
  gPointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
  if (gPointer == nullptr || !nictate::RoundTrip(gDisplay)) {
    std::snprintf(why, whySize, "the compositor refused a virtual pointer");
    Close();
    return 0;
  }
  return 1;
}

bool Motion(int dx, int dy) {
  zwlr_virtual_pointer_v1_motion(gPointer, nictate::EventTimeMs(), wl_fixed_from_int(dx),
                                 wl_fixed_from_int(dy));
  return true;
}

bool Button(unsigned code, bool pressed) {
  zwlr_virtual_pointer_v1_button(
      gPointer, nictate::EventTimeMs(), code,
      pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  return true;
}

bool Frame(void) {
  zwlr_virtual_pointer_v1_frame(gPointer);
  return true;
}

bool Flush(void) { return nictate::RoundTrip(gDisplay); }

UINT Send(UINT count, INPUT *inputs, int size) {
  static const nictate::PointerDevice kDevice = {Motion, Button, Frame, Flush};
  return gPointer == nullptr ? 0 : nictate::InjectRecords(count, inputs, size, kDevice);
}

const NictateClickBackend kBackend = {
    "wlroots", Open, Close, nictate::PointerUnknown, nictate::ScreenUnknown, Send};

}  // namespace

extern "C" __attribute__((visibility("default"))) const NictateClickBackend *
nictate_click_backend_v1(void) {
  return &kBackend;
}

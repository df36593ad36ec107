// Clicks through KDE's fake input protocol (kwin). kwin offers it only to a
// program whose installed .desktop file lists it in
// X-KDE-Wayland-Interfaces (packaging/nictate.desktop). Built as a module.
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <cstdio>

#include "fake-input-client-protocol.h"
#include "platform/click_backend.h"
#include "platform/click_wayland.h"
#include "platform/pointer_records.h"

namespace {

wl_display *gDisplay = nullptr;
nictate::WaylandGlobal gGlobals[] = {{&org_kde_kwin_fake_input_interface, 1, 4, nullptr}};
org_kde_kwin_fake_input *gInput = nullptr;

void Close(void) {
  nictate::DisconnectWayland(&gDisplay, gGlobals, 1);
  gInput = nullptr;
}

int Open(char *why, size_t whySize) {
  Close();
  if (!nictate::ConnectWayland(&gDisplay, gGlobals, 1, why, whySize)) {
    return 0;
  }
  gInput = static_cast<org_kde_kwin_fake_input *>(gGlobals[0].proxy);
  if (gInput == nullptr) {
    std::snprintf(why, whySize, "the compositor does not offer %s to nictate",
                  org_kde_kwin_fake_input_interface.name);
    Close();
    return 0;
  }
  org_kde_kwin_fake_input_authenticate(gInput, "nictate", "clicks the mouse when you blink");
  if (!nictate::RoundTrip(gDisplay)) {
    std::snprintf(why, whySize, "the compositor closed the connection");
    Close();
    return 0;
  }
  return 1;
}

bool Motion(int dx, int dy) {
  org_kde_kwin_fake_input_pointer_motion(gInput, wl_fixed_from_int(dx), wl_fixed_from_int(dy));
  return true;
}

bool Button(unsigned code, bool pressed) {
  org_kde_kwin_fake_input_button(
      gInput, code, pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  return true;
}

bool Frame(void) { return true; }  // each request is an event of its own

bool Flush(void) { return nictate::RoundTrip(gDisplay); }

UINT Send(UINT count, INPUT *inputs, int size) {
  static const nictate::PointerDevice kDevice = {Motion, Button, Frame, Flush};
  return gInput == nullptr ? 0 : nictate::InjectRecords(count, inputs, size, kDevice);
}

const NictateClickBackend kBackend = {
    "kde", Open, Close, nictate::PointerUnknown, nictate::ScreenUnknown, Send};

}  // namespace

extern "C" __attribute__((visibility("default"))) const NictateClickBackend *
nictate_click_backend_v1(void) {
  return &kBackend;
}

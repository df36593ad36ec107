// Clicks through the kernel's uinput: one virtual mouse (the left, right and
// middle buttons and relative motion), made at the first click and kept for
// the process. It works under any compositor and on the text console, but
// only where /dev/uinput is writable: Debian gives it to root alone, and
// nictate never changes that (README.md has the udev rule that grants it).
#include "platform/click_uinput.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/pointer_records.h"

namespace {

const char kDevicePath[] = "/dev/uinput";
const char kDeviceName[] = "nictate blink mouse";

int gFd = -1;

void Close(void) {
  if (gFd >= 0) {
    (void)ioctl(gFd, UI_DEV_DESTROY);
    (void)close(gFd);
  }
  gFd = -1;
}

bool Emit(unsigned short type, unsigned short code, int value) {
  struct input_event event;
  std::memset(&event, 0, sizeof event);  // the kernel stamps the time
  event.type = type;
  event.code = code;
  event.value = value;
  ssize_t n;
  do {
    n = write(gFd, &event, sizeof event);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof event);
}

int Open(char *why, size_t whySize) {
  Close();
  gFd = open(kDevicePath, O_WRONLY | O_CLOEXEC);
  if (gFd < 0) {
    std::snprintf(why, whySize, "%s: %s", kDevicePath, std::strerror(errno));
    return 0;
  }
  struct uinput_setup setup;
  std::memset(&setup, 0, sizeof setup);
  setup.id.bustype = BUS_VIRTUAL;
  std::snprintf(setup.name, sizeof setup.name, "%s", kDeviceName);
  const struct {
    unsigned long request;
    int value;
  } kSetUp[] = {
      {UI_SET_EVBIT, EV_KEY},      {UI_SET_KEYBIT, BTN_LEFT}, {UI_SET_KEYBIT, BTN_RIGHT},
      {UI_SET_KEYBIT, BTN_MIDDLE}, {UI_SET_EVBIT, EV_REL},    {UI_SET_RELBIT, REL_X},
      {UI_SET_RELBIT, REL_Y},      {UI_SET_EVBIT, EV_SYN},
  };
  for (const auto &step : kSetUp) {
    if (ioctl(gFd, step.request, step.value) != 0) {
      std::snprintf(why, whySize, "%s: cannot describe the mouse: %s", kDevicePath,
                    std::strerror(errno));
      Close();
      return 0;
    }
  }
  if (ioctl(gFd, UI_DEV_SETUP, &setup) != 0 || ioctl(gFd, UI_DEV_CREATE) != 0) {
    std::snprintf(why, whySize, "%s: cannot make the mouse: %s", kDevicePath, std::strerror(errno));
    Close();
    return 0;
  }
  return 1;
}

bool Motion(int dx, int dy) {
  return (dx == 0 || Emit(EV_REL, REL_X, dx)) && (dy == 0 || Emit(EV_REL, REL_Y, dy));
}

bool Button(unsigned code, bool pressed) {
  return Emit(EV_KEY, static_cast<unsigned short>(code), pressed ? 1 : 0);
}

bool Frame(void) { return Emit(EV_SYN, SYN_REPORT, 0); }

bool Written(void) { return true; }  // each event went with its write

UINT Send(UINT count, INPUT *inputs, int size) {
  static const nictate::PointerDevice kDevice = {Motion, Button, Frame, Written};
  return gFd < 0 ? 0 : nictate::InjectRecords(count, inputs, size, kDevice);
}

const NictateClickBackend kBackend = {
    "uinput", Open, Close, nictate::PointerUnknown, nictate::ScreenUnknown, Send};

}  // namespace

const NictateClickBackend *UinputClickBackend(void) { return &kBackend; }

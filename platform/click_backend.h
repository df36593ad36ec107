/*
 * A way of clicking on Linux: the X server's XTest, a Wayland compositor's
 * own protocol, mutter's remote desktop over D-Bus, or the kernel's uinput.
 * platform/input_linux.cpp chooses one at run time and gives it the Windows
 * operations of platform/win32.h. Those that need a library nictate must not
 * depend on (libwayland-client, libdbus-1, libX11) are shared objects beside
 * the program, loaded only when tried, so that a machine without the library
 * still clicks another way. Each such module exports one function,
 * nictate_click_backend_v1, that returns its back end.
 */
#ifndef NICTATE_PLATFORM_CLICK_BACKEND_H
#define NICTATE_PLATFORM_CLICK_BACKEND_H

#include <stddef.h>

#include "platform/win32.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NictateClickBackend {
  /* What it is called in NICTATE_CLICK and on the console. */
  const char *name;
  /* Connects to what clicks and sets up the device; 1 when it can click,
   * else 0 with the reason (one short phrase) in why. Called again after a
   * close. */
  int (*open)(char *why, size_t whySize);
  /* Lets go of the connection and the device. */
  void (*close)(void);
  /* The Windows operations, with the contract of platform/win32.h, on an
   * open back end. A back end that cannot read the pointer answers FALSE and
   * 0, and refuses an absolute move: a click then goes where the pointer is,
   * never to a place it guessed. */
  BOOL (*getCursorPos)(POINT *point);
  int (*getSystemMetrics)(int index);
  UINT (*sendInput)(UINT count, INPUT *inputs, int size);
} NictateClickBackend;

/* The function each module exports, by this name. */
typedef const NictateClickBackend *(*NictateClickBackendEntry)(void);
#define NICTATE_CLICK_BACKEND_ENTRY "nictate_click_backend_v1"

#ifdef __cplusplus
}
#endif

#endif

// nictate-test-window: a Wayland window for the tests that logs what the
// pointer does to it, a line each on standard output, flushed at once:
//
//   ready 800 600              mapped, full screen, at this size
//   enter 400 300              the pointer came over it, at this spot
//   motion 401 300             the pointer moved over it
//   button 272 pressed         (272 is BTN_LEFT) and released
//   leave
//
// It asks to be full screen, so wherever the pointer is on its output, it is
// over the window. It runs until its standard input ends or a signal ends it.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace {

struct Window {
  wl_compositor *compositor = nullptr;
  wl_shm *shm = nullptr;
  xdg_wm_base *shell = nullptr;
  wl_seat *seat = nullptr;
  wl_pointer *pointer = nullptr;
  wl_surface *surface = nullptr;
  xdg_surface *shellSurface = nullptr;
  xdg_toplevel *toplevel = nullptr;
  wl_buffer *buffer = nullptr;
  int width = 0;
  int height = 0;
  bool configured = false;
  bool closed = false;
};

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void OnEnter(void *, wl_pointer *, uint32_t, wl_surface *, wl_fixed_t x, wl_fixed_t y) {
  Log("enter %d %d\n", wl_fixed_to_int(x), wl_fixed_to_int(y));
}
void OnLeave(void *, wl_pointer *, uint32_t, wl_surface *) { Log("leave\n"); }
void OnMotion(void *, wl_pointer *, uint32_t, wl_fixed_t x, wl_fixed_t y) {
  Log("motion %d %d\n", wl_fixed_to_int(x), wl_fixed_to_int(y));
}
void OnButton(void *, wl_pointer *, uint32_t, uint32_t, uint32_t button, uint32_t state) {
  Log("button %u %s\n", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
void OnAxis(void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {}
// Bound at version 1: the events of later versions never come.
const wl_pointer_listener kPointerListener = {OnEnter, OnLeave, OnMotion, OnButton, OnAxis,
                                              nullptr, nullptr, nullptr,  nullptr,  nullptr};

void OnCapabilities(void *data, wl_seat *seat, uint32_t capabilities) {
  Window *window = static_cast<Window *>(data);
  const bool hasPointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
  if (hasPointer && window->pointer == nullptr) {
    window->pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(window->pointer, &kPointerListener, window);
    Log("pointer\n");
  } else if (!hasPointer && window->pointer != nullptr) {
    wl_pointer_destroy(window->pointer);
    window->pointer = nullptr;
    Log("no pointer\n");
  }
}
const wl_seat_listener kSeatListener = {OnCapabilities, nullptr};

void OnPing(void *, xdg_wm_base *shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }
const xdg_wm_base_listener kShellListener = {OnPing};

void OnGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
  Window *window = static_cast<Window *>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    window->compositor =
        static_cast<wl_compositor *>(wl_registry_bind(registry, name, &wl_compositor_interface, 1));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    window->shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    window->shell =
        static_cast<xdg_wm_base *>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    xdg_wm_base_add_listener(window->shell, &kShellListener, window);
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && window->seat == nullptr) {
    window->seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    wl_seat_add_listener(window->seat, &kSeatListener, window);
  }
}
void OnGlobalRemove(void *, wl_registry *, uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void OnToplevelConfigure(void *data, xdg_toplevel *, int32_t width, int32_t height, wl_array *) {
  Window *window = static_cast<Window *>(data);
  if (width > 0 && height > 0) {
    window->width = width;
    window->height = height;
  }
}
void OnToplevelClose(void *data, xdg_toplevel *) { static_cast<Window *>(data)->closed = true; }
const xdg_toplevel_listener kToplevelListener = {OnToplevelConfigure, OnToplevelClose, nullptr,
                                                 nullptr};

void OnSurfaceConfigure(void *data, xdg_surface *surface, uint32_t serial) {
  xdg_surface_ack_configure(surface, serial);
  static_cast<Window *>(data)->configured = true;
}
const xdg_surface_listener kSurfaceListener = {OnSurfaceConfigure};

// A grey buffer of the window's size in shared memory.
wl_buffer *Paint(Window *window) {
  const int stride = window->width * 4;
  const int size = stride * window->height;
  const int fd = memfd_create("nictate-test-window", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) != 0) {
    return nullptr;
  }
  void *pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) {
    (void)close(fd);
    return nullptr;
  }
  std::memset(pixels, 0x80, size);
  (void)munmap(pixels, size);
  wl_shm_pool *pool = wl_shm_create_pool(window->shm, fd, size);
  wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, window->width, window->height, stride,
                                                WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  (void)close(fd);
  return buffer;
}

}  // namespace

int main() {
  wl_display *display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "nictate-test-window: no Wayland compositor\n");
    return 1;
  }
  Window window;
  wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &window);
  if (wl_display_roundtrip(display) < 0 || window.compositor == nullptr || window.shm == nullptr ||
      window.shell == nullptr) {
    std::fprintf(stderr, "nictate-test-window: the compositor lacks what a window needs\n");
    return 1;
  }
  window.surface = wl_compositor_create_surface(window.compositor);
  window.shellSurface = xdg_wm_base_get_xdg_surface(window.shell, window.surface);
  xdg_surface_add_listener(window.shellSurface, &kSurfaceListener, &window);
  window.toplevel = xdg_surface_get_toplevel(window.shellSurface);
  xdg_toplevel_add_listener(window.toplevel, &kToplevelListener, &window);
  xdg_toplevel_set_title(window.toplevel, "nictate test window");
  xdg_toplevel_set_fullscreen(window.toplevel, nullptr);
  wl_surface_commit(window.surface);
  while (!window.configured && wl_display_dispatch(display) >= 0) {
  }
  if (window.width == 0) {
    window.width = 800;
    window.height = 600;
  }
  window.buffer = Paint(&window);
  if (window.buffer == nullptr) {
    std::fprintf(stderr, "nictate-test-window: no shared memory for the buffer\n");
    return 1;
  }
  wl_surface_attach(window.surface, window.buffer, 0, 0);
  wl_surface_damage(window.surface, 0, 0, window.width, window.height);
  wl_surface_commit(window.surface);
  if (wl_display_roundtrip(display) < 0) {
    return 1;
  }
  Log("ready %d %d\n", window.width, window.height);

  // Events until the input ends or the compositor goes.
  for (;;) {
    while (wl_display_prepare_read(display) != 0) {
      (void)wl_display_dispatch_pending(display);
    }
    (void)wl_display_flush(display);
    struct pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      wl_display_cancel_read(display);
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      if (wl_display_read_events(display) < 0) {
        return 1;
      }
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0 || (fds[0].revents & (POLLERR | POLLHUP)) != 0) {
      return 1;
    }
    char byte;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0 && read(STDIN_FILENO, &byte, 1) <= 0) {
      return 0;
    }
    if (window.closed) {
      return 0;
    }
  }
}

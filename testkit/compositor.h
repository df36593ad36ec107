// Headless Wayland compositors of the test's own, each with a private
// runtime directory, and the Wayland window and pointer the tests put on
// them (nictate-test-window, nictate-test-pointer):
//
//   sway 1.7    as an ordinary user (it refuses root), nobody, with its own
//               0700 runtime directory; root's clients still connect. No
//               XWayland unless asked for.
//   mutter      --headless --wayland --no-x11 under a session bus of its own
//               (dbus-run-session), as root.
//   kwin        --virtual under a session bus of its own, from a copy of the
//               binary without the file capability these machines refuse.
//
// Each dies with the process that started it.
#ifndef NICTATE_TESTKIT_COMPOSITOR_H
#define NICTATE_TESTKIT_COMPOSITOR_H

#include <memory>
#include <string>
#include <vector>

#include "testkit/files.h"
#include "testkit/process.h"

namespace testkit {

enum class Desktop { kSway, kSwayWithXwayland, kMutter, kKwin };

class Compositor {
 public:
  Compositor() = default;
  ~Compositor() { Stop(); }
  Compositor(const Compositor &) = delete;
  Compositor &operator=(const Compositor &) = delete;

  // Starts it on one 800x600 output and waits until a client is served.
  // False with the reason; missing() then tells whether it is because the
  // compositor is not installed. kwin offers its fake input only to the
  // programs whose .desktop file asks for it: nictate's, made for each
  // program in `trusted` (the test's pointer is always one).
  bool Start(Desktop desktop, std::string *error, const std::vector<std::string> &trusted = {});
  // Stops it: SIGTERM, SIGKILL when that was not enough.
  void Stop();
  bool missing() const { return missing_; }

  // What a client of it has in its environment: WAYLAND_DISPLAY,
  // XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS (mutter, kwin) and DISPLAY
  // (XWayland's; unset without it), as Command::env entries.
  const std::vector<std::string> &env() const { return env_; }
  // XWayland's display (":1"), or "".
  const std::string &xDisplay() const { return xDisplay_; }
  std::string log() const;  // what it has said

  // The test window on it, once it is mapped ("ready" read); else null
  // with the reason.
  std::unique_ptr<Process> StartWindow(std::string *error);
  // A pointer of the test's own, made with nictate's way of clicking `way`,
  // once it is placed over the window; else null with the reason.
  std::unique_ptr<Process> StartPointer(const std::string &way, std::string *error);

 private:
  // Until its socket answers (and, saysBus, its bus address is read).
  bool WaitReady(bool saysBus, std::string *error);
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Process> process_;
  std::vector<std::string> env_;
  std::string runtime_;
  std::string xDisplay_;
  std::string logPath_;
  bool missing_ = false;
};

// The lines the test window logged from `from` on that tell of the pointer
// (enter, motion, button, leave).
std::vector<std::string> PointerEvents(const std::string &windowOut, size_t from = 0);

}  // namespace testkit

#endif

#include "testkit/compositor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "testkit/clock.h"

namespace testkit {

namespace {

const uid_t kNobody = 65534;
const char kSize[] = "800x600";

// The compositor's socket in the runtime directory ("wayland-0"), or "".
std::string SocketIn(const std::string &dir) {
  std::string found;
  DIR *entries = opendir(dir.c_str());
  if (entries == nullptr) {
    return found;
  }
  for (struct dirent *entry; (entry = readdir(entries)) != nullptr;) {
    const std::string name = entry->d_name;
    if (name.compare(0, 8, "wayland-") == 0 && name.find('.') == std::string::npos) {
      found = name;
    }
  }
  (void)closedir(entries);
  return found;
}

// Whether the compositor on the socket answers a wl_display.sync: its event
// loop runs, and a signal sent now is handled.
bool Answers(const std::string &path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  // Object 1 (the display), request 0 (sync) of 12 bytes, new callback 2.
  const uint32_t sync[3] = {1, 12u << 16, 2};
  bool answered = false;
  if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, sync, sizeof sync) == static_cast<ssize_t>(sizeof sync)) {
    struct pollfd pfd = {fd, POLLIN, 0};
    char reply[64];
    answered = poll(&pfd, 1, 2000) == 1 && read(fd, reply, sizeof reply) > 0;
  }
  if (fd >= 0) {
    (void)close(fd);
  }
  return answered;
}

// What a program's log holds, from its file.
std::string Tail(const std::string &path) {
  const std::string text = ReadFile(path);
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

}  // namespace

bool Compositor::Start(Desktop desktop, std::string *error,
                       const std::vector<std::string> &trusted) {
  Stop();
  missing_ = false;
  dir_.reset(new TempDir("nictate-desktop"));
  runtime_ = dir_->Make("run");
  logPath_ = dir_->path() + "/log";
  const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (dir_->path().empty() || log < 0 || chmod(runtime_.c_str(), 0700) != 0) {
    *error = std::string("cannot make the compositor's directories: ") + std::strerror(errno);
    if (log >= 0) {
      (void)close(log);
    }
    return false;
  }
  Command command;
  command.errFd = log;
  command.env = {"XDG_RUNTIME_DIR=" + runtime_,
                 "HOME=" + dir_->path(),
                 "WAYLAND_DISPLAY",
                 "DISPLAY",
                 "SWAYSOCK",
                 "DBUS_SESSION_BUS_ADDRESS"};
  const std::string xDisplayFile = runtime_ + "/display";
  const bool sway = desktop == Desktop::kSway || desktop == Desktop::kSwayWithXwayland;
  std::string program;
  if (sway) {
    program = "sway";
    // nobody reaches its runtime directory and its configuration through
    // ours; XWayland's socket directory is everyone's, as on a desktop.
    const bool xwayland = desktop == Desktop::kSwayWithXwayland;
    const std::string config = dir_->Write(
        "sway.config",
        std::string("output HEADLESS-1 resolution ") + kSize + "\n" +
            (xwayland ? "xwayland enable\nexec printenv DISPLAY > " + xDisplayFile + "\n"
                      : "xwayland disable\n"));
    (void)mkdir("/tmp/.X11-unix", 01777);
    if (chmod(dir_->path().c_str(), 0755) != 0 || chown(runtime_.c_str(), kNobody, kNobody) != 0 ||
        chmod(config.c_str(), 0644) != 0) {
      *error = std::string("cannot hand the runtime directory to nobody: ") + std::strerror(errno);
      (void)close(log);
      return false;
    }
    command.argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway",
                    "-c",      config};
    command.env.insert(command.env.end(), {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
                                           "WLR_LIBINPUT_NO_DEVICES=1"});
  } else {
    // Its own session bus, whose address it says first.
    std::string compositor;
    if (desktop == Desktop::kMutter) {
      program = "mutter";
      compositor = std::string("mutter --headless --wayland --no-x11 --virtual-monitor ") + kSize;
    } else {
      // The packaged binary carries a file capability that an unprivileged
      // container refuses to execute; a copy has none.
      program = "kwin_wayland";
      // nictate's .desktop file, as installed, for each program it trusts.
      const std::string applications = dir_->path() + "/.local/share/applications";
      std::filesystem::create_directories(applications);
      std::vector<std::string> programs = trusted;
      programs.push_back(NICTATE_TEST_POINTER);
      for (size_t i = 0; i < programs.size(); ++i) {
        std::string entry;
        for (const std::string &line : Lines(ReadFile(NICTATE_DESKTOP_FILE))) {
          entry += (line == "Exec=nictate" ? "Exec=" + programs[i] : line) + "\n";
        }
        dir_->Write(".local/share/applications/trusted" + std::to_string(i) + ".desktop", entry);
      }
      const std::string bin = dir_->Make("bin");
      std::error_code failed;
      std::filesystem::copy_file("/usr/bin/kwin_wayland", bin + "/kwin_wayland", failed);
      compositor = bin +
                   "/kwin_wayland --virtual --width 800 --height 600 --no-lockscreen "
                   "--socket wayland-0";
    }
    command.argv = {"dbus-run-session", "--", "sh", "-c",
                    "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec " + compositor};
    command.env.insert(command.env.end(), {"QT_QPA_PLATFORM=offscreen", "KWIN_COMPOSE=Q"});
  }
  bool installed = false;
  for (const char *dir : {"/usr/bin/", "/usr/local/bin/"}) {
    installed = installed || access((dir + program).c_str(), X_OK) == 0;
  }
  if (!installed || access("/usr/bin/setpriv", X_OK) != 0) {
    missing_ = true;
    *error = program + " is not installed (scripts/setup installs it)";
    (void)close(log);
    return false;
  }
  process_.reset(new Process(command));
  (void)close(log);
  if (!process_->started()) {
    *error = process_->error();
    return false;
  }
  if (!WaitReady(!sway, error)) {
    Stop();
    return false;
  }
  env_ = {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + SocketIn(runtime_)};
  if (!sway) {
    env_.push_back("DBUS_SESSION_BUS_ADDRESS=" + Lines(process_->out()).front());
  }
  xDisplay_.clear();
  if (desktop == Desktop::kSwayWithXwayland) {
    WaitUntil({process_.get()}, 10,
              [&] { return ReadFile(xDisplayFile).find('\n') != std::string::npos; });
    const std::vector<std::string> lines = Lines(ReadFile(xDisplayFile));
    xDisplay_ = lines.empty() ? "" : lines.front();
    if (xDisplay_.empty()) {
      *error = "sway said no XWayland display:\n" + Tail(logPath_);
      Stop();
      return false;
    }
  }
  env_.push_back(xDisplay_.empty() ? "DISPLAY" : "DISPLAY=" + xDisplay_);
  return true;
}

bool Compositor::WaitReady(bool saysBus, std::string *error) {
  const bool answers = WaitUntil({process_.get()}, 30, [&] {
    const std::string name = SocketIn(runtime_);
    return !process_->Running() ||
           (!name.empty() && (!saysBus || process_->out().find('\n') != std::string::npos) &&
            Answers(runtime_ + "/" + name));
  });
  if (!answers || !process_->Running()) {
    *error = "the compositor did not start:\n" + Tail(logPath_);
    return false;
  }
  return true;
}

void Compositor::Stop() {
  if (process_ != nullptr) {
    // SIGTERM, SIGKILL after 5 seconds: a signal that came too early for
    // its handler would be lost.
    process_->Stop(5.0);
    process_.reset();
  }
  env_.clear();
}

std::string Compositor::log() const { return Tail(logPath_); }

std::unique_ptr<Process> Compositor::StartWindow(std::string *error) {
  Command command;
  command.argv = {NICTATE_TEST_WINDOW};
  command.env = env_;
  command.pipeIn = true;
  std::unique_ptr<Process> window(new Process(command));
  if (!window->started() ||
      !WaitUntil({window.get()}, 20,
                 [&] {
                   return window->out().find("ready ") != std::string::npos || !window->Running();
                 }) ||
      !window->Running()) {
    *error = "the test window did not come up: " + window->error() + window->err();
    return nullptr;
  }
  return window;
}

std::unique_ptr<Process> Compositor::StartPointer(const std::string &way, std::string *error) {
  // A compositor serves its Wayland clients before its other services (the
  // session bus's) are up: a few tries.
  const Deadline deadline(10);
  for (;;) {
    Command command;
    command.argv = {NICTATE_TEST_POINTER};
    command.env = env_;
    command.env.push_back("NICTATE_CLICK=" + way);
    command.pipeIn = true;
    std::unique_ptr<Process> pointer(new Process(command));
    if (pointer->started() &&
        WaitUntil({pointer.get()}, 10,
                  [&] {
                    return pointer->out().find("placed\n") != std::string::npos ||
                           !pointer->Running();
                  }) &&
        pointer->Running()) {
      return pointer;
    }
    if (deadline.Passed() || !pointer->started()) {
      *error = "the test's pointer did not come up: " + pointer->error() + pointer->err();
      return nullptr;
    }
    pointer.reset();
    (void)WaitUntil({}, 0.2, [] { return false; });
  }
}

std::vector<std::string> PointerEvents(const std::string &windowOut, size_t from) {
  std::vector<std::string> events;
  for (const std::string &line : Lines(windowOut.substr(from))) {
    for (const char *kind : {"enter ", "motion ", "button ", "leave"}) {
      if (line.compare(0, std::strlen(kind), kind) == 0) {
        events.push_back(line);
      }
    }
  }
  return events;
}

}  // namespace testkit

// nictate-bench: measures the built program the way a user runs it.
//
// It starts a private Xvfb, an X client that watches the mouse buttons, and
// a headset of its own: a pseudo-terminal published as COM0 in a private
// port map, into which it writes the headset's packets itself, so that it
// knows to the nanosecond when the last byte of each went in. Then it runs
// build/nictate against them (the connect costs the program's fixed
// 10-second wait once) and measures, in this order:
//
//   blink-to-click latency   blink packet written -> the X client sees the
//                            press, while the summary stream runs
//   xdotool                  `xdotool click 1` spawned -> the press seen
//   CPU                      utime+stime from /proc/PID/stat over a span, in
//                            four states: summary packets at 1 Hz, no bytes at all,
//                            the 512 Hz raw wave, the device unplugged
//   memory                   VmRSS before and after a million packets fed
//                            as fast as nictate takes them; VmHWM at the end
//
// Given a Windows build and a running Wine session, it also measures the
// blink-to-click latency of nictate.exe under Wine, the press seen by the
// Windows build's mouse_observer.exe (Wine's clicks reach Windows programs,
// not X clients). With --wine-only it measures that alone: scripts/bench
// runs it after the native run, so that Wine's own processes are not running
// beside the native measurements.
//
// It prints the table rows (Markdown) on standard output and its progress on
// standard error. Exit status: 0 when every target holds, 1 when one is
// missed or a measurement failed, 2 when it could not run at all.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/headset.h"
#include "tools/clock.h"
#include "tools/packet.h"
#include "tools/pty.h"

extern char **environ;

namespace {

const int64_t kMs = 1000000;  // nanoseconds
const int64_t kSecond = 1000 * kMs;
const int kScreenWidth = 1920;
const int kScreenHeight = 1080;
const int kPointerX = 733;  // where the clicks land
const int kPointerY = 411;

// Targets.
const double kLatencyP99TargetMs = 2.0;
const double kCpuTargetPercent = 1.0;
const long kPeakRssTargetKiB = 8000000 / 1024;  // 8 MB

struct Options {
  std::string nictate;
  std::string xdotool = "xdotool";
  int blinks = 500;
  int wineBlinks = 250;
  int rawBlinks = 100;
  int xdotoolClicks = 200;
  int cpuSeconds = 30;
  long packets = 1000000;
  std::string winBuild;  // the Wine row needs all three
  std::string winePrefix;
  std::string wineDisplay;
  std::string samples;    // where to write each blink: its write time (s) and latency (µs)
  bool wineOnly = false;  // measure the Windows build alone
};

void Progress(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "nictate-bench: ");
  std::vfprintf(stderr, format, args);
  std::fprintf(stderr, "\n");
  va_end(args);
}

// ---------------------------------------------------------------------------
// Child processes: each in its own process group, watched through a pidfd.

struct Child {
  pid_t pid = -1;
  int pidfd = -1;
  int in = -1;   // its standard input, when we hold it
  int out = -1;  // its standard output, when captured
  int err = -1;  // its standard error, when captured
  bool exited = false;
  int status = 0;
};

struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;  // NAME=VALUE, set on top of ours
  std::string cwd;
  bool pipeIn = false;
  bool captureOut = false;
  bool captureErr = false;
  int keepFd = -1;  // becomes descriptor 3 in the child
};

bool MakePipe(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

void CloseFd(int *fd) {
  if (*fd >= 0) {
    (void)close(*fd);
    *fd = -1;
  }
}

bool Spawn(const Command &command, Child *child, std::string *error) {
  std::vector<std::string> envStrings;
  for (char **e = environ; *e != nullptr; ++e) {
    const char *eq = std::strchr(*e, '=');
    bool replaced = false;
    for (const std::string &set : command.env) {
      const size_t name = set.find('=');
      if (eq != nullptr && static_cast<size_t>(eq - *e) == name &&
          std::strncmp(*e, set.c_str(), name) == 0) {
        replaced = true;
      }
    }
    if (!replaced) {
      envStrings.push_back(*e);
    }
  }
  envStrings.insert(envStrings.end(), command.env.begin(), command.env.end());
  std::vector<char *> envp;
  for (std::string &s : envStrings) {
    envp.push_back(&s[0]);
  }
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = command.argv;
  std::vector<char *> argv;
  for (std::string &s : argStrings) {
    argv.push_back(&s[0]);
  }
  argv.push_back(nullptr);

  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if ((command.pipeIn && !MakePipe(inPipe)) || (command.captureOut && !MakePipe(outPipe)) ||
      (command.captureErr && !MakePipe(errPipe))) {
    *error = std::string("pipe: ") + std::strerror(errno);
    for (int *fd : {&inPipe[0], &inPipe[1], &outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) {
      CloseFd(fd);
    }
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  if (command.pipeIn) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (command.captureOut) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (command.captureErr) {
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (command.keepFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, command.keepFd, 3);
  }
  if (!command.cwd.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, command.cwd.c_str());
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  CloseFd(&inPipe[0]);
  CloseFd(&outPipe[1]);
  CloseFd(&errPipe[1]);
  if (rc != 0) {
    CloseFd(&inPipe[1]);
    CloseFd(&outPipe[0]);
    CloseFd(&errPipe[0]);
    *error = command.argv[0] + ": " + std::strerror(rc);
    return false;
  }
  child->pid = pid;
  child->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  child->in = inPipe[1];
  child->out = outPipe[0];
  child->err = errPipe[0];
  child->exited = false;
  if (child->pidfd < 0) {
    *error = std::string("pidfd_open: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Reaps the child if it has exited; true while it runs.
bool Running(Child *child) {
  if (child->pid <= 0 || child->exited) {
    return false;
  }
  int status = 0;
  const pid_t got = waitpid(child->pid, &status, WNOHANG);
  if (got == child->pid) {
    child->exited = true;
    child->status = status;
    return false;
  }
  return true;
}

// Waits up to timeoutNs for the child to exit.
bool WaitExit(Child *child, int64_t timeoutNs) {
  const int64_t deadline = sim::MonotonicNs() + timeoutNs;
  while (Running(child)) {
    const int64_t left = deadline - sim::MonotonicNs();
    if (left <= 0) {
      return false;
    }
    struct pollfd pfd = {child->pidfd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left / kMs) + 1);
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Ends the child's process group: SIGTERM, then SIGKILL.
void Stop(Child *child) {
  if (Running(child)) {
    (void)kill(-child->pid, SIGTERM);
    if (!WaitExit(child, 3 * kSecond)) {
      (void)kill(-child->pid, SIGKILL);
      (void)WaitExit(child, 3 * kSecond);
    }
  }
  CloseFd(&child->pidfd);
  CloseFd(&child->in);
  CloseFd(&child->out);
  CloseFd(&child->err);
}

// ---------------------------------------------------------------------------
// /proc

// utime + stime in clock ticks, or -1.
long long CpuTicks(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    return -1;
  }
  char text[1024];
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  // The fields after the command name, which may hold spaces, start at
  // field 3 (state); utime and stime are fields 14 and 15.
  const char *p = std::strrchr(text, ')');
  if (p == nullptr) {
    return -1;
  }
  ++p;
  long long utime = -1, stime = -1;
  int field = 2;
  while (*p != '\0' && field < 15) {
    while (*p == ' ') {
      ++p;
    }
    ++field;
    char *end = nullptr;
    const long long value = std::strtoll(p, &end, 10);
    if (field == 14) {
      utime = value;
    } else if (field == 15) {
      stime = value;
    }
    while (*p != ' ' && *p != '\0') {
      ++p;
    }
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// The CPUs' time the host took from this machine (steal) and all their
// time, in clock ticks, from /proc/stat; false where it cannot be read.
bool StealTicks(long long *steal, long long *total) {
  std::FILE *f = std::fopen("/proc/stat", "r");
  if (f == nullptr) {
    return false;
  }
  long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int n = std::fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2],
                            &v[3], &v[4], &v[5], &v[6], &v[7]);
  std::fclose(f);
  if (n != 8) {
    return false;
  }
  *steal = v[7];
  *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
  return true;
}

// The time the scheduler has run the process, in nanoseconds, or -1: the
// first field of /proc/PID/schedstat, exact where utime and stime are
// sampled at the clock tick.
long long RunNs(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
  std::FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    return -1;
  }
  long long ns = -1;
  if (std::fscanf(f, "%lld", &ns) != 1) {
    ns = -1;
  }
  std::fclose(f);
  return ns;
}

// A "Name:   1234 kB" field of /proc/PID/status, in KiB, or -1.
long StatusKiB(pid_t pid, const char *name) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    return -1;
  }
  char line[256];
  long value = -1;
  const size_t nameLength = std::strlen(name);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
      value = std::strtol(line + nameLength + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// ---------------------------------------------------------------------------
// The X side: a private Xvfb and a client that records the button presses.

bool StartXvfb(Child *xvfb, std::string *display, std::string *error) {
  int fds[2];
  if (!MakePipe(fds)) {
    *error = "pipe failed";
    return false;
  }
  Command command;
  command.argv = {"Xvfb",
                  "-displayfd",
                  "3",
                  "-noreset",
                  "-nolisten",
                  "tcp",
                  "-screen",
                  "0",
                  std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24"};
  command.keepFd = fds[1];
  const bool spawned = Spawn(command, xvfb, error);
  CloseFd(&fds[1]);
  if (!spawned) {
    CloseFd(&fds[0]);
    return false;
  }
  std::string number;
  const int64_t deadline = sim::MonotonicNs() + 20 * kSecond;
  for (;;) {
    const int64_t left = deadline - sim::MonotonicNs();
    struct pollfd pfd = {fds[0], POLLIN, 0};
    if (left <= 0 || poll(&pfd, 1, static_cast<int>(left / kMs) + 1) <= 0) {
      *error = "Xvfb did not report its display in 20 s";
      break;
    }
    char c;
    const ssize_t got = read(fds[0], &c, 1);
    if (got <= 0) {
      *error = "Xvfb ended without a display";
      break;
    }
    if (c == '\n') {
      break;
    }
    number += c;
  }
  CloseFd(&fds[0]);
  if (number.empty()) {
    return false;
  }
  *display = ":" + number;
  return true;
}

struct Observer {
  Display *display = nullptr;
};

bool OpenObserver(const std::string &name, Observer *observer, std::string *error) {
  Display *display = XOpenDisplay(name.c_str());
  if (display == nullptr) {
    *error = "cannot open display " + name;
    return false;
  }
  (void)fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
  const Window root = DefaultRootWindow(display);
  XSetWindowAttributes attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.override_redirect = True;
  attributes.event_mask = ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  const Window window =
      XCreateWindow(display, root, 0, 0, kScreenWidth, kScreenHeight, 0, CopyFromParent, InputOnly,
                    CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display, window);
  XEvent event;
  do {
    XNextEvent(display, &event);
  } while (event.type != MapNotify);
  XWarpPointer(display, None, root, 0, 0, 0, 0, kPointerX, kPointerY);
  XSync(display, False);
  Window rootReturn, childReturn;
  int x = -1, y = -1, wx, wy;
  unsigned int mask;
  XQueryPointer(display, root, &rootReturn, &childReturn, &x, &y, &wx, &wy, &mask);
  if (x != kPointerX || y != kPointerY) {
    *error = "could not place the pointer";
    XCloseDisplay(display);
    return false;
  }
  observer->display = display;
  return true;
}

// ---------------------------------------------------------------------------
// The headset: a pseudo-terminal, raw, published as a COM port link.

struct Headset {
  int master = -1;
  int slave = -1;  // held so that bytes written before nictate opens it stay
  std::string link;
};

bool OpenHeadset(const std::string &link, Headset *headset, std::string *error) {
  sim::RawPty pty;
  if (!sim::OpenRawPty(&pty, error)) {
    return false;
  }
  (void)unlink(link.c_str());
  if (symlink(pty.path.c_str(), link.c_str()) != 0) {
    *error = "cannot link " + link + ": " + std::strerror(errno);
    (void)close(pty.slave);
    (void)close(pty.master);
    return false;
  }
  headset->master = pty.master;
  headset->slave = pty.slave;
  headset->link = link;
  return true;
}

// Unplugs the headset: the link goes and the pseudo-terminal closes.
void UnplugHeadset(Headset *headset) {
  if (!headset->link.empty()) {
    (void)unlink(headset->link.c_str());
    headset->link.clear();
  }
  CloseFd(&headset->slave);
  CloseFd(&headset->master);
}

// ---------------------------------------------------------------------------
// What a program under test writes: its value lines, scanned as they come.

struct OutputScan {
  std::string line;  // the end of the current line
  uint64_t attentionLines = 0;
  double lastAttention = -1;
  bool ready = false;      // mouse_observer.exe's "ready ..." line
  uint64_t downLines = 0;  // mouse_observer.exe's "down X Y ..." lines
  bool downElsewhere = false;
};

void ScanLine(OutputScan *scan) {
  const std::string &line = scan->line;
  const size_t at = line.find("New attention value: ");
  if (at != std::string::npos) {
    ++scan->attentionLines;
    scan->lastAttention = std::strtod(line.c_str() + at + 21, nullptr);
  }
  if (line.compare(0, 6, "ready ") == 0) {
    scan->ready = true;
  }
  if (line.compare(0, 5, "down ") == 0) {
    ++scan->downLines;
    int x = -1, y = -1;
    if (std::sscanf(line.c_str() + 5, "%d %d", &x, &y) != 2 || x != kPointerX || y != kPointerY) {
      scan->downElsewhere = true;
    }
  }
}

void ScanBytes(OutputScan *scan, const char *bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] == '\n') {
      ScanLine(scan);
      scan->line.clear();
      continue;
    }
    // Runs of progress marks can be a megabyte long; their end is enough.
    if (scan->line.size() >= 512) {
      scan->line.erase(0, 256);
    }
    scan->line += bytes[i];
  }
}

// ---------------------------------------------------------------------------
// The run: everything waited on in one poll loop.

enum class Feed { kNone, kSummary, kRawWave };

struct Run {
  Observer observer;
  Headset headset;
  Child program;          // nictate or nictate.exe under Wine
  Child windowsObserver;  // mouse_observer.exe (the Wine row only)
  OutputScan programOut;
  OutputScan observerOut;
  std::string programErr;

  Feed feed = Feed::kNone;
  int64_t nextSummary = 0;
  int64_t nextRaw = 0;
  uint32_t summaryCount = 0;
  uint32_t rawCount = 0;
  std::vector<uint8_t> queue;  // bytes for the headset not yet written
  size_t queueStart = 0;

  uint64_t presses = 0;  // left presses seen by the X client, or by mouse_observer.exe
  int64_t lastPressNs = 0;
  std::vector<int64_t> blinkWrites;  // when each timed blink went in
  bool pressElsewhere = false;
  std::string failure;
};

void SetFeed(Run *run, Feed feed) {
  run->feed = feed;
  const int64_t now = sim::MonotonicNs();
  run->nextSummary = now;
  run->nextRaw = now;
}

// The queue, emptied of what was written once all of it was: more bytes
// for the headset go at its end.
std::vector<uint8_t> *QueueTail(Run *run) {
  if (run->queueStart == run->queue.size()) {
    run->queue.clear();
    run->queueStart = 0;
  }
  return &run->queue;
}

void QueueBytes(Run *run, const std::vector<uint8_t> &bytes) {
  std::vector<uint8_t> *queue = QueueTail(run);
  queue->insert(queue->end(), bytes.begin(), bytes.end());
}

size_t Queued(const Run &run) { return run.queue.size() - run.queueStart; }

// Writes what the pty takes now. False when the headset is gone.
bool WriteQueued(Run *run) {
  while (Queued(*run) > 0) {
    if (run->headset.master < 0) {
      return false;
    }
    const ssize_t n = write(run->headset.master, run->queue.data() + run->queueStart, Queued(*run));
    if (n > 0) {
      run->queueStart += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    }
    run->failure = std::string("writing the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Queues the packets of the stream that are due; returns when the next is.
int64_t FeedDue(Run *run, int64_t now) {
  if (run->feed == Feed::kNone) {
    return INT64_MAX;
  }
  std::vector<uint8_t> *queue = QueueTail(run);
  while (run->nextSummary <= now) {
    bench::AppendSummary(run->summaryCount++, queue);
    run->nextSummary += kSecond;
  }
  int64_t next = run->nextSummary;
  if (run->feed == Feed::kRawWave) {
    // 512 a second: one every 1953125 ns.
    while (run->nextRaw <= now) {
      bench::AppendRaw(bench::RawSample(run->rawCount++), queue);
      run->nextRaw += kSecond / sim::kRawRate;
    }
    next = std::min(next, run->nextRaw);
  }
  return next;
}

void HandleXEvents(Run *run, int64_t seen) {
  Display *display = run->observer.display;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != ButtonPress || event.xbutton.button != Button1) {
      continue;
    }
    if (event.xbutton.x_root != kPointerX || event.xbutton.y_root != kPointerY) {
      run->pressElsewhere = true;
    }
    ++run->presses;
    run->lastPressNs = seen;
  }
}

bool DrainPipe(int *fd, OutputScan *scan, std::string *text) {
  char buffer[65536];
  const ssize_t n = read(*fd, buffer, sizeof buffer);
  if (n > 0) {
    if (scan != nullptr) {
      ScanBytes(scan, buffer, static_cast<size_t>(n));
    }
    if (text != nullptr && text->size() < 65536) {
      text->append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
    return true;
  }
  CloseFd(fd);
  return false;
}

// Runs the loop until done() holds or the clock reaches untilNs; returns
// done()'s last answer (true at the deadline when there is no done()).
// Fails, setting run->failure, when the program under test ends.
bool Pump(Run *run, int64_t untilNs, const std::function<bool()> &done = nullptr) {
  for (;;) {
    if (!run->failure.empty()) {
      return false;
    }
    if (done && done()) {
      return true;
    }
    int64_t now = sim::MonotonicNs();
    if (now >= untilNs) {
      return !done;
    }
    const int64_t nextFeed = FeedDue(run, now);
    if (!WriteQueued(run)) {
      if (run->failure.empty()) {
        run->failure = "the headset is unplugged";
      }
      return false;
    }
    if (run->observer.display != nullptr && XQLength(run->observer.display) > 0) {
      HandleXEvents(run, now);
      continue;
    }

    const int xfd = run->observer.display != nullptr ? ConnectionNumber(run->observer.display) : -1;
    const int fdsOf[] = {xfd,
                         run->program.pidfd,
                         run->program.out,
                         run->program.err,
                         run->windowsObserver.out,
                         run->windowsObserver.pidfd,
                         Queued(*run) > 0 ? run->headset.master : -1};
    const nfds_t count = sizeof fdsOf / sizeof fdsOf[0];
    struct pollfd fds[count];
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].fd = fdsOf[i];  // poll passes over the negative ones
      fds[i].events = i == count - 1 ? POLLOUT : POLLIN;
      fds[i].revents = 0;
    }
    const int64_t wake = std::min(untilNs, nextFeed);
    const int64_t wait = std::max<int64_t>(0, wake - now);
    struct timespec timeout = {static_cast<time_t>(wait / kSecond),
                               static_cast<long>(wait % kSecond)};
    const int ready = ppoll(fds, count, &timeout, nullptr);
    const int64_t seen = sim::MonotonicNs();
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      run->failure = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready == 0) {
      continue;
    }
    // The presses first, stamped with the moment poll woke for them.
    if (fds[0].revents != 0) {
      HandleXEvents(run, seen);
    }
    if (fds[4].revents != 0) {
      const uint64_t before = run->observerOut.downLines;
      (void)DrainPipe(&run->windowsObserver.out, &run->observerOut, nullptr);
      if (run->observerOut.downLines > before) {
        run->presses += run->observerOut.downLines - before;
        run->lastPressNs = seen;
      }
      if (run->observerOut.downElsewhere) {
        run->pressElsewhere = true;
      }
    }
    if (fds[2].revents != 0) {
      (void)DrainPipe(&run->program.out, &run->programOut, nullptr);
    }
    if (fds[3].revents != 0) {
      (void)DrainPipe(&run->program.err, nullptr, &run->programErr);
    }
    if (fds[1].revents != 0 && !Running(&run->program)) {
      run->failure =
          "the program under test ended (wait status " + std::to_string(run->program.status) + ")";
      return false;
    }
    if (fds[5].revents != 0 && !Running(&run->windowsObserver)) {
      run->failure = "mouse_observer.exe ended";
      return false;
    }
  }
}

// Waits until every queued byte is in the pseudo-terminal.
bool Flush(Run *run) {
  return Pump(run, sim::MonotonicNs() + 10 * kSecond, [run] { return Queued(*run) == 0; });
}

// ---------------------------------------------------------------------------
// Figures

struct Percentiles {
  double p50 = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles, in milliseconds.
Percentiles Summarize(std::vector<int64_t> samples) {
  Percentiles p;
  if (samples.empty()) {
    return p;
  }
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  auto rank = [&](double q) {
    size_t r = static_cast<size_t>(std::ceil(q * static_cast<double>(n)));
    r = std::max<size_t>(1, std::min(r, n));
    return static_cast<double>(samples[r - 1]) / kMs;
  };
  p.p50 = rank(0.50);
  p.p99 = rank(0.99);
  p.max = static_cast<double>(samples.back()) / kMs;
  return p;
}

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

struct Row {
  std::string what;
  std::string result;
  std::string target;
  std::string met;  // "yes", "**no**" or "" for a reference row
};

// Blinks while the summary stream runs and measures each one's way to the
// press. Returns the latencies; *lost counts blinks that brought no press.
std::vector<int64_t> MeasureBlinks(Run *run, int blinks, int *lost, uint64_t *extra,
                                   double *stealPercent) {
  long long steal0 = 0, total0 = 0, steal1 = 0, total1 = 0;
  const bool haveSteal0 = StealTicks(&steal0, &total0);
  std::vector<int64_t> latencies;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gapMs(25, 60);
  std::uniform_int_distribution<int> strength(20, 200);
  *lost = 0;
  const uint64_t pressesAtStart = run->presses;
  for (int i = 0; i < blinks; ++i) {
    // A pause between blinks, at times unrelated to the summary packets.
    if (!Pump(run, sim::MonotonicNs() + gapMs(random) * kMs) || !Flush(run)) {
      break;
    }
    std::vector<uint8_t> packet;
    bench::AppendBlink(static_cast<uint8_t>(strength(random)), &packet);
    const uint64_t before = run->presses;
    const int64_t written = sim::MonotonicNs();
    const ssize_t n = write(run->headset.master, packet.data(), packet.size());
    if (n != static_cast<ssize_t>(packet.size())) {
      run->failure = "the blink packet did not go into the pseudo-terminal in one write";
      break;
    }
    if (Pump(run, written + 2 * kSecond, [&] { return run->presses > before; })) {
      latencies.push_back(run->lastPressNs - written);
      run->blinkWrites.push_back(written);
    } else if (run->failure.empty()) {
      ++*lost;
    } else {
      break;
    }
  }
  // Any click that comes late or twice shows up here.
  (void)Pump(run, sim::MonotonicNs() + 300 * kMs);
  const uint64_t presses = run->presses - pressesAtStart;
  *extra = presses > latencies.size() ? presses - latencies.size() : 0;
  *stealPercent = -1;
  if (haveSteal0 && StealTicks(&steal1, &total1) && total1 > total0) {
    *stealPercent = 100.0 * static_cast<double>(steal1 - steal0) / (total1 - total0);
  }
  return latencies;
}

std::string LatencyText(const Percentiles &p, size_t measured, int asked, int lost, uint64_t extra,
                        double stealPercent) {
  std::string text = Format("p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu of %d blinks clicked",
                            p.p50, p.p99, p.max, measured, asked);
  if (lost != 0) {
    text += Format(", %d lost", lost);
  }
  if (extra != 0) {
    text += Format(", %" PRIu64 " extra presses", extra);
  }
  if (stealPercent >= 0) {
    text += Format("; the host took %.1f%% of the CPUs' time meanwhile", stealPercent);
  }
  return text + ")";
}

// Measures the program's CPU time over the span while the feed runs: the
// share of one core from utime+stime, and from the scheduler's run time.
bool MeasureCpu(Run *run, Feed feed, int seconds, double *percent, double *runPercent) {
  SetFeed(run, feed);
  const long long ticks0 = CpuTicks(run->program.pid);
  const long long run0 = RunNs(run->program.pid);
  const int64_t t0 = sim::MonotonicNs();
  if (!Pump(run, t0 + seconds * kSecond)) {
    return false;
  }
  const long long ticks1 = CpuTicks(run->program.pid);
  const long long run1 = RunNs(run->program.pid);
  const int64_t t1 = sim::MonotonicNs();
  if (ticks0 < 0 || ticks1 < 0) {
    run->failure = "cannot read /proc/PID/stat";
    return false;
  }
  const double wall = static_cast<double>(t1 - t0) / kSecond;
  const double cpuSeconds = static_cast<double>(ticks1 - ticks0) / sysconf(_SC_CLK_TCK);
  *percent = 100.0 * cpuSeconds / wall;
  *runPercent = run0 < 0 || run1 < 0 ? -1 : 100.0 * static_cast<double>(run1 - run0) / 1e9 / wall;
  return true;
}

std::string MakeTempDir(void) {
  const char *base = std::getenv("TMPDIR");
  std::string path =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/nictate-bench.XXXXXX";
  if (mkdtemp(&path[0]) == nullptr) {
    return std::string();
  }
  return path;
}

void RemoveTree(const std::string &path) {
  if (path.empty()) {
    return;
  }
  Command command;
  command.argv = {"rm", "-rf", "--", path};
  Child rm;
  std::string error;
  if (Spawn(command, &rm, &error)) {
    (void)WaitExit(&rm, 60 * kSecond);
    Stop(&rm);
  }
}

// Starts nictate (or, with a Wine session, nictate.exe under Wine) and waits
// for the connection: the summary stream runs, and the first attention line
// says the blink loop has begun.
bool Connect(Run *run, const Command &command) {
  std::string error;
  SetFeed(run, Feed::kSummary);
  if (!Spawn(command, &run->program, &error)) {
    run->failure = error;
    return false;
  }
  Progress("waiting for the connection (the program waits 10 s on the port)");
  const int64_t start = sim::MonotonicNs();
  if (!Pump(run, start + 60 * kSecond, [run] { return run->programOut.attentionLines > 0; })) {
    if (run->failure.empty()) {
      run->failure = "no connection within 60 s";
    }
    return false;
  }
  Progress("connected after %.1f s", static_cast<double>(sim::MonotonicNs() - start) / kSecond);
  return true;
}

std::string Percent(double percent, double runPercent) {
  std::string text = Format("%.2f%% of a core", percent);
  if (runPercent >= 0) {
    text += Format(" (scheduler run time %.2f%%)", runPercent);
  }
  return text;
}

std::string YesNo(bool ok) { return ok ? "yes" : "**no**"; }

// The native run. Appends its rows; false when a measurement failed.
bool RunNative(const Options &options, std::vector<Row> *rows, bool *allMet) {
  Run run;
  Child xvfb;
  std::string display, error;
  const std::string dir = MakeTempDir();
  bool ok = !dir.empty();
  if (!ok) {
    run.failure = "cannot make a temporary directory";
  }
  if (ok &&
      (mkdir((dir + "/ports").c_str(), 0700) != 0 || mkdir((dir + "/run").c_str(), 0700) != 0)) {
    run.failure = std::string("mkdir in ") + dir + ": " + std::strerror(errno);
    ok = false;
  }
  if (ok && !StartXvfb(&xvfb, &display, &error)) {
    run.failure = error;
    ok = false;
  }
  if (ok && !OpenObserver(display, &run.observer, &error)) {
    run.failure = error;
    ok = false;
  }
  if (ok && !OpenHeadset(dir + "/ports/com0", &run.headset, &error)) {
    run.failure = error;
    ok = false;
  }
  if (ok) {
    Progress("X display %s, headset on COM0, nictate %s", display.c_str(), options.nictate.c_str());
    Command command;
    command.argv = {options.nictate};
    command.env = {"NICTATE_PORTS=" + dir + "/ports", "DISPLAY=" + display};
    command.cwd = dir + "/run";
    command.captureOut = true;
    command.captureErr = true;
    ok = Connect(&run, command);
  }

  // Blink to click, while the summary stream runs.
  Percentiles latency;
  std::vector<int64_t> latencies;
  int lost = 0;
  uint64_t extra = 0;
  if (ok) {
    Progress("%d blinks", options.blinks);
    double steal = -1;
    latencies = MeasureBlinks(&run, options.blinks, &lost, &extra, &steal);
    latency = Summarize(latencies);
    if (!options.samples.empty()) {
      std::FILE *f = std::fopen(options.samples.c_str(), "w");
      bool written = f != nullptr;
      for (size_t i = 0; written && i < latencies.size(); ++i) {
        written = std::fprintf(f, "%.6f %.1f\n", static_cast<double>(run.blinkWrites[i]) / kSecond,
                               static_cast<double>(latencies[i]) / 1000) > 0;
      }
      if (f != nullptr && std::fclose(f) != 0) {
        written = false;
      }
      if (!written) {
        Progress("cannot write the samples to %s: %s", options.samples.c_str(),
                 std::strerror(errno));
      }
    }
    ok = run.failure.empty();
    const bool met = ok && lost == 0 && extra == 0 && !run.pressElsewhere &&
                     static_cast<int>(latencies.size()) == options.blinks &&
                     latency.p99 <= kLatencyP99TargetMs;
    *allMet = *allMet && met;
    std::string text = LatencyText(latency, latencies.size(), options.blinks, lost, extra, steal);
    if (run.pressElsewhere) {
      text += "; a press landed away from the pointer";
    }
    rows->push_back({"Blink-to-click latency, native Linux (nictate, Xvfb)",
                     ok ? text : "failed: " + run.failure,
                     Format("p99 <= %.0f ms, every blink one click", kLatencyP99TargetMs),
                     YesNo(met)});
  }

  // The shell's way: one xdotool process per click.
  if (ok) {
    Progress("%d xdotool clicks", options.xdotoolClicks);
    std::vector<int64_t> spawnToPress;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> gapMs(10, 30);
    std::string xdotoolError;
    for (int i = 0; i < options.xdotoolClicks && ok; ++i) {
      ok = Pump(&run, sim::MonotonicNs() + gapMs(random) * kMs);
      Command command;
      command.argv = {options.xdotool, "click", "1"};
      command.env = {"DISPLAY=" + display};
      Child xdotool;
      const uint64_t before = run.presses;
      const int64_t spawned = sim::MonotonicNs();
      if (!Spawn(command, &xdotool, &xdotoolError)) {
        Stop(&xdotool);  // started, should only its pidfd have failed
        break;
      }
      if (Pump(&run, spawned + 5 * kSecond, [&] { return run.presses > before; })) {
        spawnToPress.push_back(run.lastPressNs - spawned);
      }
      ok = run.failure.empty();
      (void)WaitExit(&xdotool, 5 * kSecond);
      Stop(&xdotool);
    }
    std::string text;
    if (!xdotoolError.empty()) {
      text = "not measured: " + xdotoolError;
    } else {
      const Percentiles p = Summarize(spawnToPress);
      text = Format("p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu of %d clicks seen)", p.p50, p.p99,
                    p.max, spawnToPress.size(), options.xdotoolClicks);
    }
    rows->push_back(
        {"One `xdotool click 1` process per click (spawn to press seen)", text, "reference", ""});
  }

  // CPU while it waits, in the four states.
  struct CpuState {
    const char *what;
    Feed feed;
  };
  const CpuState states[] = {
      {"CPU, 1 Hz summary stream", Feed::kSummary},
      {"CPU, connected, no bytes arriving", Feed::kNone},
      {"CPU, 512 Hz raw wave stream (with the 1 Hz summary packet)", Feed::kRawWave},
  };
  for (const CpuState &state : states) {
    if (!ok) {
      break;
    }
    Progress("%s: %d s", state.what, options.cpuSeconds);
    double percent = 0, runPercent = 0;
    ok = MeasureCpu(&run, state.feed, options.cpuSeconds, &percent, &runPercent);
    if (ok) {
      const bool met = percent < kCpuTargetPercent;
      *allMet = *allMet && met;
      rows->push_back({Format("%s (%d s)", state.what, options.cpuSeconds),
                       Percent(percent, runPercent), "< 1% of a core", YesNo(met)});
    }
  }

  // Blinks in the dense stream, where the library spaces its reads.
  if (ok && options.rawBlinks > 0) {
    Progress("%d blinks during the raw wave stream", options.rawBlinks);
    SetFeed(&run, Feed::kRawWave);
    int rawLost = 0;
    uint64_t rawExtra = 0;
    double rawSteal = -1;
    const std::vector<int64_t> rawLatencies =
        MeasureBlinks(&run, options.rawBlinks, &rawLost, &rawExtra, &rawSteal);
    ok = run.failure.empty();
    if (ok) {
      rows->push_back({"Blink-to-click latency during the 512 Hz raw wave stream",
                       LatencyText(Summarize(rawLatencies), rawLatencies.size(), options.rawBlinks,
                                   rawLost, rawExtra, rawSteal),
                       "reference: the library spaces the reads of a dense stream 16 ms apart",
                       ""});
    }
  }

  // Memory: a million packets as fast as nictate takes them.
  long rssBefore = -1, rssAfter = -1;
  double feedSeconds = 0;
  if (ok) {
    Progress("%ld packets", options.packets);
    SetFeed(&run, Feed::kNone);
    ok = Flush(&run) && Pump(&run, sim::MonotonicNs() + 300 * kMs);
    rssBefore = StatusKiB(run.program.pid, "VmRSS");
    std::vector<uint8_t> chunk;
    const long perChunk = 1024;
    const int64_t start = sim::MonotonicNs();
    long sent = 0;
    uint32_t sample = 0;
    while (ok && sent < options.packets) {
      chunk.clear();
      const long n = std::min(perChunk, options.packets - sent);
      for (long i = 0; i < n; ++i) {
        bench::AppendRaw(bench::RawSample(sample++), &chunk);
      }
      QueueBytes(&run, chunk);
      sent += n;
      // Keep a little ahead of the pseudo-terminal, no more.
      ok = Pump(&run, sim::MonotonicNs() + 30 * kSecond, [&run] { return Queued(run) < 16384; });
    }
    // An attention packet behind them: its line says nictate took them all.
    const uint64_t attentionBefore = run.programOut.attentionLines;
    std::vector<uint8_t> marker;
    bench::AppendAttention(99, &marker);
    QueueBytes(&run, marker);
    ok = ok && Pump(&run, sim::MonotonicNs() + 120 * kSecond, [&run, attentionBefore] {
           return run.programOut.attentionLines > attentionBefore &&
                  run.programOut.lastAttention == 99.0;
         });
    feedSeconds = static_cast<double>(sim::MonotonicNs() - start) / kSecond;
    rssAfter = StatusKiB(run.program.pid, "VmRSS");
    if (!ok && run.failure.empty()) {
      run.failure = "nictate did not take the packets";
    }
  }

  // The device unplugged: the library reopens the port once a second.
  if (ok) {
    Progress("CPU, device unplugged: %d s", options.cpuSeconds);
    UnplugHeadset(&run.headset);
    double percent = 0, runPercent = 0;
    ok = Pump(&run, sim::MonotonicNs() + 1500 * kMs) &&
         MeasureCpu(&run, Feed::kNone, options.cpuSeconds, &percent, &runPercent);
    if (ok) {
      const bool met = percent < kCpuTargetPercent;
      *allMet = *allMet && met;
      rows->push_back({Format("CPU, device unplugged (%d s)", options.cpuSeconds),
                       Percent(percent, runPercent), "< 1% of a core", YesNo(met)});
    }
  }

  if (ok) {
    const long peak = StatusKiB(run.program.pid, "VmHWM");
    const bool peakMet = peak > 0 && peak < kPeakRssTargetKiB;
    const long growth = rssAfter - rssBefore;
    const bool growthMet = rssBefore > 0 && rssAfter > 0 && growth <= 0;
    *allMet = *allMet && peakMet && growthMet;
    rows->push_back({"Peak resident size of nictate (VmHWM, whole run)",
                     Format("%.2f MB (%ld KiB)", peak * 1024.0 / 1e6, peak), "< 8 MB",
                     YesNo(peakMet)});
    rows->push_back({Format("Resident size growth over %ld packets (VmRSS)", options.packets),
                     Format("%+ld KiB (%ld KiB before, %ld KiB after; taken in %.1f s, %.0f "
                            "packets/s)",
                            growth, rssBefore, rssAfter, feedSeconds,
                            static_cast<double>(options.packets) / feedSeconds),
                     "no growth", YesNo(growthMet)});
  }

  if (!ok) {
    Progress("failed: %s", run.failure.c_str());
    if (!run.programErr.empty()) {
      Progress("nictate's error stream:\n%s", run.programErr.c_str());
    }
    rows->push_back({"Native run", "failed: " + run.failure, "", "**no**"});
    *allMet = false;
  }

  Stop(&run.program);
  UnplugHeadset(&run.headset);
  if (run.observer.display != nullptr) {
    XCloseDisplay(run.observer.display);
  }
  Stop(&xvfb);
  RemoveTree(dir);
  return ok;
}

// The Windows build under Wine, in a session made by the caller.
Row RunWine(const Options &options) {
  const std::string what = "Blink-to-click latency, Windows build under Wine (nictate.exe)";
  Run run;
  std::string error;
  const std::vector<std::string> wineEnv = {"WINEPREFIX=" + options.winePrefix,
                                            "DISPLAY=" + options.wineDisplay, "WINEDEBUG=-all",
                                            "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEARCH=win32"};
  const std::string dir = MakeTempDir();
  if (dir.empty()) {
    return {what, "not measured: cannot make a temporary directory", "reference", ""};
  }
  bool ok = OpenHeadset(options.winePrefix + "/dosdevices/com1", &run.headset, &error);
  if (ok) {
    Command command;
    command.argv = {"wine", options.winBuild + "/tests/wine/mouse_observer.exe",
                    std::to_string(kPointerX), std::to_string(kPointerY)};
    command.env = wineEnv;
    command.pipeIn = true;
    command.captureOut = true;
    ok = Spawn(command, &run.windowsObserver, &error);
  }
  if (ok) {
    ok = Pump(&run, sim::MonotonicNs() + 60 * kSecond, [&run] { return run.observerOut.ready; });
    if (!ok) {
      error = "mouse_observer.exe did not start: " + run.failure;
    }
  }
  if (ok) {
    Progress("Wine: nictate.exe on COM1");
    Command command;
    command.argv = {"wine", options.winBuild + "/nictate.exe"};
    command.env = wineEnv;
    command.cwd = dir;
    command.captureOut = true;
    command.captureErr = true;
    ok = Connect(&run, command);
    if (!ok) {
      error = run.failure;
    }
  }
  std::string text;
  if (ok) {
    Progress("Wine: %d blinks", options.wineBlinks);
    int lost = 0;
    uint64_t extra = 0;
    double steal = -1;
    const std::vector<int64_t> latencies =
        MeasureBlinks(&run, options.wineBlinks, &lost, &extra, &steal);
    ok = run.failure.empty();
    error = run.failure;
    text = LatencyText(Summarize(latencies), latencies.size(), options.wineBlinks, lost, extra,
                       steal) +
           "; the press seen by a low-level mouse hook in mouse_observer.exe";
    if (run.pressElsewhere) {
      text += "; a press landed away from the pointer";
    }
  }
  Stop(&run.program);
  CloseFd(&run.windowsObserver.in);
  Stop(&run.windowsObserver);
  UnplugHeadset(&run.headset);
  RemoveTree(dir);
  if (!ok) {
    Progress("Wine: %s", error.c_str());
    return {what, "not measured: " + error, "reference", ""};
  }
  return {what, text, "reference", ""};
}

int Usage(const char *message) {
  if (message != nullptr) {
    std::fprintf(stderr, "nictate-bench: %s\n", message);
  }
  std::fprintf(stderr,
               "Usage: nictate-bench --nictate=PATH [--blinks=N] [--raw-blinks=N]\n"
               "         [--xdotool-clicks=N] [--cpu-seconds=S] [--packets=N] [--xdotool=PATH]\n"
               "         [--win-build=DIR --wine-prefix=DIR --wine-display=:N [--wine-only]\n"
               "          [--wine-blinks=N]]\n"
               "         [--samples=FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  enum {
    kNictate = 1,
    kBlinks,
    kClicks,
    kCpu,
    kPackets,
    kXdotool,
    kWinBuild,
    kPrefix,
    kDisplay,
    kSamples,
    kRawBlinks,
    kWineOnly,
    kWineBlinks
  };
  const struct option longOptions[] = {
      {"nictate", required_argument, nullptr, kNictate},
      {"blinks", required_argument, nullptr, kBlinks},
      {"xdotool-clicks", required_argument, nullptr, kClicks},
      {"cpu-seconds", required_argument, nullptr, kCpu},
      {"packets", required_argument, nullptr, kPackets},
      {"xdotool", required_argument, nullptr, kXdotool},
      {"win-build", required_argument, nullptr, kWinBuild},
      {"wine-prefix", required_argument, nullptr, kPrefix},
      {"wine-display", required_argument, nullptr, kDisplay},
      {"samples", required_argument, nullptr, kSamples},
      {"raw-blinks", required_argument, nullptr, kRawBlinks},
      {"wine-only", no_argument, nullptr, kWineOnly},
      {"wine-blinks", required_argument, nullptr, kWineBlinks},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (option) {
      case kNictate:
        options.nictate = optarg;
        break;
      case kBlinks:
        options.blinks = std::atoi(optarg);
        break;
      case kClicks:
        options.xdotoolClicks = std::atoi(optarg);
        break;
      case kCpu:
        options.cpuSeconds = std::atoi(optarg);
        break;
      case kPackets:
        options.packets = std::atol(optarg);
        break;
      case kXdotool:
        options.xdotool = optarg;
        break;
      case kWinBuild:
        options.winBuild = optarg;
        break;
      case kPrefix:
        options.winePrefix = optarg;
        break;
      case kDisplay:
        options.wineDisplay = optarg;
        break;
      case kSamples:
        options.samples = optarg;
        break;
      case kRawBlinks:
        options.rawBlinks = std::atoi(optarg);
        break;
      case kWineOnly:
        options.wineOnly = true;
        break;
      case kWineBlinks:
        options.wineBlinks = std::atoi(optarg);
        break;
      default:
        return Usage(nullptr);
    }
  }
  if (optind != argc || (options.nictate.empty() && !options.wineOnly)) {
    return Usage("--nictate is required");
  }
  if (options.blinks < 1 || options.wineBlinks < 1 || options.rawBlinks < 0 ||
      options.xdotoolClicks < 0 || options.cpuSeconds < 1 || options.packets < 1) {
    return Usage("counts and seconds must be positive");
  }
  signal(SIGPIPE, SIG_IGN);

  if (options.wineOnly) {
    if (options.winBuild.empty() || options.winePrefix.empty() || options.wineDisplay.empty()) {
      return Usage("--wine-only needs --win-build, --wine-prefix and --wine-display");
    }
    const Row wine = RunWine(options);
    std::printf("| %s | %s | %s | %s |\n", wine.what.c_str(), wine.result.c_str(),
                wine.target.c_str(), wine.met.c_str());
    return 0;
  }

  std::vector<Row> rows;
  bool allMet = true;
  const bool nativeOk = RunNative(options, &rows, &allMet);

  Row wine = {"Blink-to-click latency, Windows build under Wine (nictate.exe)",
              "not measured: no Windows build or no Wine", "reference", ""};
  if (!options.winBuild.empty() && !options.winePrefix.empty() && !options.wineDisplay.empty()) {
    wine = RunWine(options);
  }
  rows.insert(rows.begin() + (rows.empty() ? 0 : 1), wine);

  // The wire itself, for reference.
  const size_t blinkBytes = bench::BlinkPacketLength();
  const Row wire = {
      Format("Wire time of the %zu-byte blink packet at 9600 / 57600 baud", blinkBytes),
      Format("%.3f ms / %.3f ms (bytes x 10 bits / baud)", blinkBytes * 10e3 / 9600,
             blinkBytes * 10e3 / 57600),
      "reference", ""};
  rows.insert(rows.begin() + std::min<size_t>(rows.size(), 2), wire);

  for (const Row &row : rows) {
    std::printf("| %s | %s | %s | %s |\n", row.what.c_str(), row.result.c_str(), row.target.c_str(),
                row.met.c_str());
  }
  std::fflush(stdout);
  if (!nativeOk) {
    return 1;
  }
  return allMet ? 0 : 1;
}

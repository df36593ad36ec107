// nictate.exe and thinkgear.dll under Wine, seen as a Windows user sees them:
// the console text on both streams, the exit status, the logs, and the
// clicks on the desktop, watched by mouse_observer.exe, a Windows program of
// ours with a low-level mouse hook, running in the same Wine session.
//
// The headset is a pseudo-terminal that the test writes packets into,
// linked as PREFIX/dosdevices/com5, so \\.\COM5 inside Wine reaches it.
// Unplugging closes it and removes the link: the open port stops answering,
// as an unplugged USB adapter does, and its name leads nowhere until the
// headset is plugged in again.
//
// Console text: the C runtime writes standard output and the error stream in
// text mode, so every "\n" the program prints arrives as "\r\n", here as on
// Windows; Wine itself passes the bytes through unchanged.
//
// Arguments (after the GoogleTest ones): --win-build=DIR (nictate.exe,
// thinkgear.dll, tests/wine/mouse_observer.exe), --prefix=DIR (the Wine
// prefix), --state=DIR (wine_session.sh's state: the display number) and
// --sim=PATH (nictate-sim, the headset simulator, for the test that uses it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/files.h"
#include "tests/stream_bytes.h"

#ifndef NICTATE_DRIVER_VERSION
#error "NICTATE_DRIVER_VERSION: the version thinkgear.dll reports"
#endif

namespace {

std::string gWinBuild;
std::string gPrefix;
std::string gState;
std::string gSimulator;  // nictate-sim, when it was built

using Clock = std::chrono::steady_clock;
using testbytes::Join;
using testbytes::Packet;
using testfiles::ReadFile;

// A temporary working directory, removed with its files at the end.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/nictate-wine-XXXXXX";
    path = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempDir() {
    if (!path.empty()) {
      (void)std::system(("rm -rf '" + path + "'").c_str());
    }
  }
};

// A program (mostly a Windows one under Wine) with its standard streams on
// pipes.
struct Program {
  pid_t pid = -1;
  int in = -1;  // -1 once closed; standard input is /dev/null when not kept
  int out = -1;
  int err = -1;
  std::string outText;
  std::string errText;
  int status = -1;  // the exit status once it ended

  ~Program() {
    if (pid > 0) {
      (void)kill(pid, SIGKILL);
      (void)waitpid(pid, nullptr, 0);
    }
    for (int fd : {in, out, err}) {
      if (fd >= 0) {
        (void)close(fd);
      }
    }
  }

  bool Start(const std::vector<std::string> &args, const std::string &cwd, bool keepInput) {
    int inPipe[2] = {-1, -1};
    int outPipe[2];
    int errPipe[2];
    if ((keepInput && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
      return false;
    }
    pid = fork();
    if (pid < 0) {
      return false;
    }
    if (pid == 0) {
      const int input = keepInput ? inPipe[0] : open("/dev/null", O_RDONLY);
      if (input < 0 || dup2(input, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0 ||
          chdir(cwd.c_str()) != 0) {
        _exit(127);
      }
      std::vector<char *> argv;
      for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
      }
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (keepInput) {
      (void)close(inPipe[0]);
      in = inPipe[1];
    }
    (void)close(outPipe[1]);
    (void)close(errPipe[1]);
    out = outPipe[0];
    err = errPipe[0];
    return true;
  }

  void CloseInput() {
    if (in >= 0) {
      (void)close(in);
      in = -1;
    }
  }

  // Takes what the pipes hold, waiting up to waitMs for something.
  void Pump(int waitMs) {
    struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0) {
      return;
    }
    char chunk[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) {
        continue;
      }
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? outText : errText).append(chunk, static_cast<size_t>(n));
      } else {
        (void)close(fds[i].fd);
        (i == 0 ? out : err) = -1;
      }
    }
  }

  bool Reap(bool wait) {
    if (pid <= 0) {
      return true;
    }
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, wait ? 0 : WNOHANG);
    if (done != pid) {
      return false;
    }
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid = -1;
    return true;
  }

  // Reads the streams to their end and reaps the program.
  void Finish() {
    while (out >= 0 || err >= 0) {
      Pump(100);
    }
    (void)Reap(true);
  }

  void Kill() {
    if (pid > 0) {
      (void)kill(pid, SIGKILL);
    }
    Finish();
  }

  // CPU time used so far, in clock ticks.
  long CpuTicks() const { return testfiles::CpuTicks(pid); }
};

// Pumps every program's pipes until done() holds or timeoutMs passes.
bool WaitFor(const std::vector<Program *> &programs, int timeoutMs,
             const std::function<bool()> &done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    for (Program *p : programs) {
      p->Pump(programs.size() == 1 ? 50 : 10);
    }
  }
  return true;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// The headset: a pseudo-terminal linked as the prefix's comN.
struct Headset {
  int master = -1;
  int slave = -1;  // held so the line settings can be read
  std::string link;

  ~Headset() { Unplug(); }

  bool Plug(int com) {
    char name[64];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      return false;
    }
    // Programs started later must not hold the device open: it would never
    // go away.
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0) {
      return false;
    }
    // Raw before the program opens it: no echo back into the test, and no
    // line editing of the packet bytes.
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0) {
      return false;
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
      return false;
    }
    link = gPrefix + "/dosdevices/com" + std::to_string(com);
    (void)unlink(link.c_str());
    return symlink(name, link.c_str()) == 0;
  }

  // The program set the line up: 9600 baud.
  bool Opened() const {
    struct termios tio;
    return slave >= 0 && tcgetattr(slave, &tio) == 0 && cfgetispeed(&tio) == B9600;
  }

  bool Send(const std::vector<uint8_t> &bytes) const {
    return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // The device goes away: the port's name no longer leads anywhere, and the
  // open port fails its reads.
  void Unplug() {
    if (!link.empty()) {
      (void)unlink(link.c_str());
      link.clear();
    }
    for (int *fd : {&slave, &master}) {
      if (*fd >= 0) {
        (void)close(*fd);
        *fd = -1;
      }
    }
  }
};

const uint8_t kPoorSignal = 0x02;
const uint8_t kAttention = 0x04;
const uint8_t kBlink = 0x16;

std::string Port(int n) { return "\\\\.\\COM" + std::to_string(n); }

// What a port that does not open prints, on each stream.
std::string FailedPortOut(int n) {
  return "ok" + Port(n) + "trying to connect on" + Port(n) +
         "\r\n"
         "FAILED connection (-2 serialPortName could not be opened as a serial communication "
         "port for any reason.)\r\n";
}
std::string FailedPortErr(int n) {
  return std::to_string(n) + "ERROR: TG_Connect() returned -2.\r\n";
}

const std::string kVersionLine =
    "ThinkGear DLL version: " + std::to_string(NICTATE_DRIVER_VERSION) + "\r\n";
const std::string kIdLines = "ThinkGear Connection ID is: 0.\r\n\r\n";
const std::string kScanLine = "Scanning COM ports 0 to 16...\r\n";

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (gWinBuild.empty() || gPrefix.empty() || gState.empty()) {
      GTEST_FAIL() << "needs --win-build, --prefix and --state";
    }
    // wine_session.sh's probe found that Wine cannot run here at all.
    const std::string unavailable = ReadFile(gState + "/unavailable");
    if (!unavailable.empty()) {
      GTEST_SKIP() << unavailable;
    }
    const std::string display = ReadFile(gState + "/display");
    ASSERT_FALSE(display.empty()) << "no Wine session: run wine_session.sh start first";
    setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
    setenv("WINEPREFIX", gPrefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // No port of an earlier run left behind.
    for (int n = 0; n <= 16; ++n) {
      (void)unlink((gPrefix + "/dosdevices/com" + std::to_string(n)).c_str());
    }
    ASSERT_FALSE(dir_.path.empty());
    for (const char *file : {"nictate.exe", "thinkgear.dll"}) {
      const std::string from = gWinBuild + "/" + file;
      ASSERT_EQ(access(from.c_str(), R_OK), 0) << from;
      ASSERT_EQ(std::system(("cp '" + from + "' '" + dir_.path + "/'").c_str()), 0);
    }
  }

  bool StartNictate(Program *p) {
    return p->Start({"wine", dir_.path + "/nictate.exe"}, dir_.path, false);
  }

  // mouse_observer.exe with the pointer placed at (x, y), once its hook is
  // in place on a screen of 1366 x 768.
  void StartObserver(Program *observer, long x, long y) {
    ASSERT_TRUE(observer->Start({"wine", gWinBuild + "/tests/wine/mouse_observer.exe",
                                 std::to_string(x), std::to_string(y)},
                                dir_.path, true));
    ASSERT_TRUE(WaitFor({observer}, 60000, [&] { return Contains(observer->outText, "ready"); }))
        << observer->errText;
    const std::string ready =
        "ready " + std::to_string(x) + " " + std::to_string(y) + " 1366 768\r\n";
    ASSERT_TRUE(Contains(observer->outText, ready)) << observer->outText;
  }

  TempDir dir_;
};

// No headset anywhere: 17 ports fail to open, the run ends with the pause,
// which returns at once on an input at its end, and exit status 1.
TEST_F(WineTest, NoDeviceScansAllPortsThenPausesAndExitsWithOne) {
  Program nictate;
  ASSERT_TRUE(StartNictate(&nictate));
  ASSERT_TRUE(WaitFor({&nictate}, 60000, [&] { return nictate.Reap(false); }))
      << "still running; stdout so far:\n"
      << nictate.outText;
  nictate.Finish();

  std::string out = kVersionLine + kScanLine;
  std::string err = kIdLines;
  for (int n = 0; n <= 16; ++n) {
    out += FailedPortOut(n);
    err += FailedPortErr(n);
  }
  out += "connection could not be established\r\nPress the ENTER key...\r\n";
  EXPECT_EQ(nictate.outText, out);
  EXPECT_EQ(nictate.errText, err);
  EXPECT_EQ(nictate.status, 1);
  // Both logs were named (created empty) before the scan.
  EXPECT_EQ(ReadFile(dir_.path + "/streamLog.txt"), "");
  EXPECT_EQ(ReadFile(dir_.path + "/dataLog.txt"), "");
  struct stat info;
  EXPECT_EQ(stat((dir_.path + "/dataLog.txt").c_str(), &info), 0);
}

// The library is bound at load time: without thinkgear.dll beside it the
// program does not start at all (Windows' loader refuses it with
// STATUS_DLL_NOT_FOUND, 0xC0000135, whose low byte is the exit status).
TEST_F(WineTest, WithoutTheLibraryTheProgramDoesNotStart) {
  ASSERT_EQ(unlink((dir_.path + "/thinkgear.dll").c_str()), 0);
  Program nictate;
  ASSERT_TRUE(StartNictate(&nictate));
  ASSERT_TRUE(WaitFor({&nictate}, 60000, [&] { return nictate.Reap(false); }));
  nictate.Finish();
  EXPECT_EQ(nictate.outText, "");
  EXPECT_EQ(nictate.status, 0xC0000135 & 0xFF);
}

struct MouseEvent {
  std::string kind;  // move, down, up
  long x;
  long y;
  std::string origin;
};

std::vector<MouseEvent> ParseEvents(const std::string &text) {
  std::vector<MouseEvent> events;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::istringstream words(line);
    MouseEvent e;
    if (words >> e.kind &&
        (e.kind == "move" || e.kind == "down" || e.kind == "up" || e.kind == "other")) {
      words >> e.x >> e.y >> e.origin;
      events.push_back(e);
    }
  }
  return events;
}

// Releases seen so far, for waiting on them.
int Releases(const std::string &observed) {
  int n = 0;
  for (const MouseEvent &e : ParseEvents(observed)) {
    n += e.kind == "up" ? 1 : 0;
  }
  return n;
}

// The clicks in a finished record: presses and releases, each pair at the
// pointer's own pixel, with nothing but moves to that pixel between them.
// Any other event fails the test.
int Clicks(const std::vector<MouseEvent> &events, long x, long y) {
  int clicks = 0;
  bool down = false;
  for (const MouseEvent &e : events) {
    EXPECT_EQ(e.origin, "injected") << e.kind;
    EXPECT_TRUE(e.x == x && e.y == y)
        << e.kind << " at " << e.x << "," << e.y << ", not at " << x << "," << y;
    if (e.kind == "down") {
      EXPECT_FALSE(down) << "a second press before the release";
      down = true;
    } else if (e.kind == "up") {
      EXPECT_TRUE(down) << "a release without a press";
      down = false;
      ++clicks;
    } else {
      EXPECT_EQ(e.kind, "move");
    }
  }
  EXPECT_FALSE(down) << "a press without its release";
  return clicks;
}

// The headset on COM5: ports 0 to 4 fail, COM5 answers its probe after the
// 10 s wait, and then every packet's values are reported and every blink
// clicks once where the pointer is. The pointer sits on (333, 211) of a
// 1366 x 768 screen, a pixel that a plain truncated mapping misses by one
// on both axes. Then the headset is unplugged (the program waits quietly)
// and plugged in again (the program carries on).
TEST_F(WineTest, HeadsetOnCom5ReportsValuesAndClicksAtThePointer) {
  const long kX = 333;
  const long kY = 211;
  Program observer;
  StartObserver(&observer, kX, kY);
  if (HasFatalFailure()) {
    return;
  }

  Headset headset;
  ASSERT_TRUE(headset.Plug(5));
  Program nictate;
  ASSERT_TRUE(StartNictate(&nictate));
  const std::vector<Program *> both = {&nictate, &observer};
  auto clicks = [&] { return Releases(observer.outText); };
  auto printed = [&](const std::string &line) {
    return WaitFor(both, 30000, [&] { return Contains(nictate.outText, line); });
  };

  // The scan reaches COM5 and opens it at 9600 baud.
  ASSERT_TRUE(WaitFor(both, 30000, [&] { return headset.Opened(); }));
  // The probe takes the first packet, a signal report the loop never sees;
  // the attention packet behind it is the loop's first.
  std::vector<uint8_t> sent = Join({Packet({kPoorSignal, 0}), Packet({kAttention, 53})});
  ASSERT_TRUE(headset.Send(sent));
  ASSERT_TRUE(printed("New attention value: 53.000000\r\n")) << nictate.outText;
  {
    std::string out = kVersionLine + kScanLine;
    std::string err = kIdLines;
    for (int n = 0; n <= 4; ++n) {
      out += FailedPortOut(n);
      err += FailedPortErr(n);
    }
    out += "ok" + Port(5) + "trying to connect on" + Port(5) +
           "\r\nConnection available...\r\nOK\r\nconnection established"
           ".New attention value: 53.000000\r\n";
    err += "5";
    EXPECT_EQ(nictate.outText, out);
    EXPECT_EQ(nictate.errText, err);
  }
  // Nothing more comes on the error stream after the scan.
  const std::string scanErr = nictate.errText;
  EXPECT_EQ(clicks(), 0);

  // One blink, one click.
  std::vector<uint8_t> packet = Packet({kBlink, 77});
  ASSERT_TRUE(headset.Send(packet));
  sent.insert(sent.end(), packet.begin(), packet.end());
  ASSERT_TRUE(printed(".New eye blinking value: 77.000000\r\n"));
  ASSERT_TRUE(WaitFor(both, 10000, [&] { return clicks() == 1; })) << observer.outText;
  EXPECT_EQ(Clicks(ParseEvents(observer.outText), kX, kY), 1) << observer.outText;

  // Attention and a blink in one packet: attention first, then the blink
  // and its click. Then two blinks in a row: two clicks.
  packet =
      Join({Packet({kAttention, 60, kBlink, 200}), Packet({kBlink, 1}), Packet({kBlink, 255})});
  ASSERT_TRUE(headset.Send(packet));
  sent.insert(sent.end(), packet.begin(), packet.end());
  ASSERT_TRUE(printed("New eye blinking value: 255.000000\r\n"));
  ASSERT_TRUE(WaitFor(both, 10000, [&] { return clicks() == 4; })) << observer.outText;
  EXPECT_EQ(Clicks(ParseEvents(observer.outText), kX, kY), 4) << observer.outText;

  // A packet split across reads: bytes but no whole packet is an empty
  // read ("z"); the rest then completes it.
  packet = Packet({kAttention, 61});
  ASSERT_TRUE(headset.Send({packet.begin(), packet.begin() + 3}));
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  ASSERT_TRUE(headset.Send({packet.begin() + 3, packet.end()}));
  sent.insert(sent.end(), packet.begin(), packet.end());
  ASSERT_TRUE(printed("New attention value: 61.000000\r\n"));

  // Unplugged: once the read under way has ended, the program waits in the
  // OS for the device to come back, printing nothing.
  headset.Unplug();
  const size_t outBefore = nictate.outText.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const long ticksBefore = nictate.CpuTicks();
  const auto quietFrom = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const long ticks = nictate.CpuTicks() - ticksBefore;
  const double seconds = std::chrono::duration<double>(Clock::now() - quietFrom).count();
  const long perSecond = sysconf(_SC_CLK_TCK);
  // Spinning would use about all of it; waiting uses next to nothing.
  EXPECT_LT(ticks, static_cast<long>(seconds * perSecond / 4))
      << "CPU ticks while the device was away, in " << seconds << " s";
  nictate.Pump(0);
  EXPECT_EQ(nictate.outText.size(), outBefore) << nictate.outText.substr(outBefore);

  // Plugged in again: the library reopens COM5 and the loop goes on.
  Headset again;
  ASSERT_TRUE(again.Plug(5));
  ASSERT_TRUE(WaitFor(both, 10000, [&] { return again.Opened(); }));
  packet = Join({Packet({kAttention, 70}), Packet({kBlink, 9})});
  ASSERT_TRUE(again.Send(packet));
  sent.insert(sent.end(), packet.begin(), packet.end());
  ASSERT_TRUE(printed("New eye blinking value: 9.000000\r\n"));
  ASSERT_TRUE(WaitFor(both, 10000, [&] { return clicks() == 5; })) << observer.outText;
  EXPECT_EQ(Clicks(ParseEvents(observer.outText), kX, kY), 5) << observer.outText;

  // The rest of the transcript, from the first blink on.
  const std::string tail = nictate.outText.substr(nictate.outText.find("New attention value: 53"));
  const std::regex expected(
      "New attention value: 53\\.000000\r\n"
      "\\.New eye blinking value: 77\\.000000\r\n"
      "\\.New attention value: 60\\.000000\r\nNew eye blinking value: 200\\.000000\r\n"
      "\\.New eye blinking value: 1\\.000000\r\n"
      "\\.New eye blinking value: 255\\.000000\r\n"
      "z+\\.New attention value: 61\\.000000\r\n"
      "\\.New attention value: 70\\.000000\r\n"
      "\\.New eye blinking value: 9\\.000000\r\n");
  EXPECT_TRUE(std::regex_match(tail, expected)) << tail;
  EXPECT_EQ(nictate.errText, scanErr);

  // The program runs until it is ended from outside; the pointer is where it
  // was put, after five clicks there.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  nictate.Kill();
  observer.CloseInput();
  ASSERT_TRUE(WaitFor({&observer}, 30000, [&] { return Contains(observer.outText, "final"); }));
  observer.Finish();
  EXPECT_TRUE(Contains(observer.outText, "\nfinal 333 211\r\n")) << observer.outText;
  EXPECT_EQ(Clicks(ParseEvents(observer.outText), kX, kY), 5) << observer.outText;
  EXPECT_EQ(Count(observer.outText, "down "), 5u);

  // The library's logs, written by Windows' C runtime in binary mode: every
  // value in order, and every byte the device sent, in hex.
  const std::string data = ReadFile(dir_.path + "/dataLog.txt");
  std::istringstream dataLines(data);
  std::string line;
  std::string values;
  while (std::getline(dataLines, line)) {
    const size_t space = line.find(' ');
    values += line.substr(space + 1) + ";";
  }
  EXPECT_EQ(values,
            "POOR_SIGNAL 0;ATTENTION 53;BLINK_STRENGTH 77;ATTENTION 60;BLINK_STRENGTH 200;"
            "BLINK_STRENGTH 1;BLINK_STRENGTH 255;ATTENTION 61;ATTENTION 70;BLINK_STRENGTH 9;")
      << data;
  const std::string stream = ReadFile(dir_.path + "/streamLog.txt");
  EXPECT_EQ(stream.find('\r'), std::string::npos);
  std::istringstream streamLines(stream);
  std::string hex;
  while (std::getline(streamLines, line)) {
    hex += line.substr(line.find(' '));
  }
  std::string expectedHex;
  for (uint8_t b : sent) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02X", b);
    expectedHex += byte;
  }
  EXPECT_EQ(hex, expectedHex);
}

// The headset simulator's stream, as a user would try the Windows program
// under Wine: nictate-sim publishes its pseudo-terminal as the prefix's com2
// and sends a summary packet a second (signal, attention, meditation, band
// powers) and a blink every 1.5 s. Every value after the probe's packet is
// reported in the order sent, and each blink clicks once, here with the
// pointer on the screen's last pixel, (1365, 767).
TEST_F(WineTest, SimulatedHeadsetOnCom2) {
  if (gSimulator.empty()) {
    GTEST_SKIP() << "nictate-sim was not built";
  }
  const long kX = 1365;
  const long kY = 767;
  Program observer;
  StartObserver(&observer, kX, kY);
  if (HasFatalFailure()) {
    return;
  }

  Program sim;
  ASSERT_TRUE(sim.Start({gSimulator, "--com", "2", "--ports", gPrefix + "/dosdevices", "--seed",
                         "5", "--blink-every", "1.5", "--seconds", "60"},
                        dir_.path, false));
  ASSERT_TRUE(WaitFor({&sim}, 10000, [&] {
    return Contains(sim.outText, "nictate-sim: COM2 is ");
  })) << sim.errText;
  Program nictate;
  ASSERT_TRUE(StartNictate(&nictate));
  const std::vector<Program *> all = {&nictate, &observer, &sim};
  // The 10 s wait on COM2, then what the simulator sent meanwhile and after.
  ASSERT_TRUE(WaitFor(all, 40000, [&] {
    return Count(nictate.outText, "New eye blinking value") >= 8 &&
           Count(nictate.outText, "New attention value") >= 12;
  })) << nictate.outText;
  nictate.Kill();
  sim.Kill();

  // Values in the order each side wrote them, as "attention N" / "blink N".
  std::vector<std::string> sent;
  std::istringstream simLines(sim.outText);
  std::string line;
  while (std::getline(simLines, line)) {
    if (line.compare(0, 10, "attention ") == 0 || line.compare(0, 6, "blink ") == 0) {
      sent.push_back(line);
    }
  }
  std::vector<std::string> reported;
  const std::regex value("(New attention value|New eye blinking value): ([0-9]+)\\.000000\r\n");
  const std::string &out = nictate.outText;
  for (std::sregex_iterator it(out.begin(), out.end(), value), end; it != end; ++it) {
    reported.push_back(std::string((*it)[1] == "New attention value" ? "attention " : "blink ") +
                       (*it)[2].str());
  }
  // The probe's packet is the first summary packet; its attention value is
  // the one not reported. Every other value follows in order.
  ASSERT_GE(sent.size(), reported.size() + 1);
  ASSERT_EQ(sent[0].compare(0, 10, "attention "), 0) << sent[0];
  EXPECT_EQ(reported,
            std::vector<std::string>(sent.begin() + 1, sent.begin() + 1 + reported.size()));
  EXPECT_TRUE(Contains(out, "ok" + Port(2) + "trying to connect on" + Port(2) +
                                "\r\nConnection available...\r\nOK\r\nconnection established."));

  observer.CloseInput();
  ASSERT_TRUE(WaitFor({&observer}, 30000, [&] { return Contains(observer.outText, "final"); }));
  observer.Finish();
  const int blinks = static_cast<int>(Count(out, "New eye blinking value"));
  EXPECT_EQ(Clicks(ParseEvents(observer.outText), kX, kY), blinks) << observer.outText;
  EXPECT_TRUE(Contains(observer.outText, "\nfinal 1365 767\r\n")) << observer.outText;
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char *name) {
      const std::string prefix = std::string(name) + "=";
      return arg.compare(0, prefix.size(), prefix) == 0 ? arg.substr(prefix.size()) : std::string();
    };
    if (!value("--win-build").empty()) {
      gWinBuild = value("--win-build");
    } else if (!value("--prefix").empty()) {
      gPrefix = value("--prefix");
    } else if (!value("--state").empty()) {
      gState = value("--state");
    } else if (!value("--sim").empty()) {
      gSimulator = value("--sim");
    }
  }
  return RUN_ALL_TESTS();
}

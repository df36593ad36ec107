// nictate-sim as a program: its command line, its port in the port map,
// what arrives through that port as the device library reads it, and its
// keyboard.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/thinkgear.h"
#include "testkit/clock.h"
#include "testkit/files.h"
#include "testkit/process.h"
#include "testkit/pty_headset.h"
#include "tools/packet.h"

namespace {

using testkit::Exists;
using testkit::LinkTarget;
using testkit::Process;
using testkit::WaitExit;
using testkit::WaitUntil;

std::unique_ptr<Process> Sim(const std::vector<std::string> &args,
                             const std::vector<std::string> &env = {}) {
  testkit::Command command;
  command.argv = {NICTATE_SIM_BINARY};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.env = env;
  return std::unique_ptr<Process>(new Process(command));
}

// The pseudo-terminal the simulator published, once it has said so.
std::string WaitForPort(Process *sim, int com) {
  const std::string ready = "nictate-sim: COM" + std::to_string(com) + " is ";
  std::string path;
  WaitUntil({sim}, 10, [&] {
    for (const std::string &line : testkit::Lines(sim->out())) {
      path = line.compare(0, ready.size(), ready) == 0 ? line.substr(ready.size()) : path;
    }
    return !path.empty();
  });
  return path;
}

TEST(SimCommandLine, UsageErrorsExitWithStatus2AndSayWhy) {
  testkit::TempDir dir;
  const std::string ports = dir.Make("ports");
  const std::vector<std::vector<std::string>> cases = {
      {"--frobnicate"},
      {"--com"},
      {"--com", "x"},
      {"--com", "256"},
      {"--com", "-1"},
      {"--seconds", "0"},
      {"--seconds", "soon"},
      {"--blink-every", "0"},
      {"--blink-at", "1,,2"},
      {"--blink-at", "-1"},
      {"--unplug", "5"},
      {"--unplug", "5:2", "--unplug", "6:1"},
      {"--seed", "-3"},
      {"--silent", "--raw"},
      {"--replay", "log.txt", "--blink-every", "2"},
      {"--raw-blinks", "--raw"},
      {"--recording", "x.csv", "--blink-every", "2"},
      {"--recording", "x.csv", "--raw-blinks"},
      {"--recording", "x.csv", "--rate", "0"},
      {"--recording", "x.csv", "--column", "a"},
      {"--column", "1"},
      {"COM3"},
  };
  for (const auto &args : cases) {
    std::vector<std::string> argv = {"--ports", ports};
    argv.insert(argv.end(), args.begin(), args.end());
    std::unique_ptr<Process> sim = Sim(argv);
    ASSERT_TRUE(WaitExit(sim.get(), 10));
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(sim->ExitCode(), 2);
    EXPECT_EQ(sim->out(), "");
    EXPECT_EQ(sim->err().compare(0, 13, "nictate-sim: "), 0) << sim->err();
    EXPECT_NE(sim->err().find("Try 'nictate-sim --help'."), std::string::npos) << sim->err();
  }
  EXPECT_FALSE(Exists(ports + "/com3"));
}

TEST(SimCommandLine, InputThatIsNoLinesOfTextIsRefusedAtOnceWithStatus2) {
  testkit::TempDir dir;
  for (const char *option : {"--replay", "--recording"}) {
    std::unique_ptr<Process> sim = Sim({"--ports", dir.Make("ports"), option, "/dev/zero"});
    ASSERT_TRUE(WaitExit(sim.get(), 10)) << option;
    EXPECT_EQ(sim->ExitCode(), 2) << option;
    EXPECT_EQ(sim->out(), "");
    EXPECT_NE(sim->err().find("nictate-sim: /dev/zero:1: no line end within 1048576 bytes"),
              std::string::npos)
        << sim->err();
  }
}

TEST(SimCommandLine, HelpDescribesEveryOption) {
  std::unique_ptr<Process> sim = Sim({"--help"});
  ASSERT_TRUE(WaitExit(sim.get(), 10));
  EXPECT_EQ(sim->ExitCode(), 0);
  for (const char *option :
       {"--com N", "--ports DIR", "--unplug AT:SECONDS", "--seconds N", "--seed N", "--raw",
        "--blink-every S", "--blink-at T[,T...]", "--raw-blinks", "--recording FILE", "--column N",
        "--rate HZ", "--garbage", "--silent", "--replay FILE", "--help"}) {
    EXPECT_NE(sim->out().find(option), std::string::npos) << option;
  }
}

TEST(SimPort, PublishesComNAndTakesItAwayOnSigtermAndSigint) {
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
    testkit::TempDir dir;
    // A map directory that is not there yet is made, and goes again.
    const std::string ports = dir.path() + "/map/ports";
    std::unique_ptr<Process> sim = Sim({"--com", "5", "--ports", ports, "--seed", "1"});
    const std::string pty = WaitForPort(sim.get(), 5);
    ASSERT_EQ(pty.compare(0, 9, "/dev/pts/"), 0) << sim->out() << sim->err();
    EXPECT_EQ(LinkTarget(ports + "/com5"), pty);
    // A terminal in raw mode, not made exclusive by the simulator.
    const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    int exclusive = -1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);

    sim->Signal(signo);
    ASSERT_TRUE(WaitExit(sim.get(), 10));
    EXPECT_EQ(sim->ExitCode(), 0) << sim->err();
    EXPECT_FALSE(Exists(ports + "/com5"));
    EXPECT_FALSE(Exists(dir.path() + "/map"));
  }
}

TEST(SimPort, SilentEndsByItselfAfterSecondsInTheMapOfNictatePorts) {
  testkit::TempDir dir;
  const std::string ports = dir.Make("ports");
  std::unique_ptr<Process> sim =
      Sim({"--com", "7", "--seconds", "0.5", "--silent"}, {"NICTATE_PORTS=" + ports});
  ASSERT_FALSE(WaitForPort(sim.get(), 7).empty()) << sim->err();
  EXPECT_TRUE(Exists(ports + "/com7"));
  ASSERT_TRUE(WaitExit(sim.get(), 10));
  EXPECT_EQ(sim->ExitCode(), 0);
  EXPECT_FALSE(Exists(ports + "/com7"));
  EXPECT_TRUE(Exists(ports)) << "a map the simulator did not make stays";
  // It said where its port is, and sent nothing.
  EXPECT_EQ(testkit::Lines(sim->out()).size(), 1u) << sim->out();
}

TEST(SimPort, LeavesALinkToAnotherDeviceAloneAndReplacesADanglingOne) {
  testkit::TempDir dir;
  const std::string ports = dir.Make("ports");
  ASSERT_EQ(symlink("/dev/null", (ports + "/com3").c_str()), 0);
  std::unique_ptr<Process> taken = Sim({"--ports", ports, "--silent"});
  ASSERT_TRUE(WaitExit(taken.get(), 10));
  EXPECT_EQ(taken->ExitCode(), 1);
  EXPECT_NE(taken->err().find("COM3 is taken"), std::string::npos) << taken->err();
  EXPECT_EQ(LinkTarget(ports + "/com3"), "/dev/null");

  ASSERT_EQ(symlink("/dev/pts/no-such-terminal", (ports + "/com4").c_str()), 0);
  std::unique_ptr<Process> stale = Sim({"--ports", ports, "--com", "4", "--silent"});
  const std::string pty = WaitForPort(stale.get(), 4);
  EXPECT_EQ(LinkTarget(ports + "/com4"), pty);
}

// ---------------------------------------------------------------------------
// The stream through the device library

// Reads one packet and appends its values, as the simulator names them.
int ReadValues(int id, std::vector<std::string> *values) {
  const int result = TG_ReadPackets(id, 1);
  if (result == 1) {
    for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 37}) {
      if (TG_GetValueStatus(id, type) > 0) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %.0f", tools::ValueName(type), TG_GetValue(id, type));
        values->push_back(line);
      }
    }
  }
  return result;
}

// The simulator's lines of the kind asked for: the values it sent, or the
// noise and corrupt packets it put between them.
std::vector<std::string> SentLines(const std::string &out, bool noise) {
  std::vector<std::string> lines;
  for (const std::string &line : testkit::Lines(out)) {
    const bool isNoise = line.compare(0, 8, "garbage ") == 0 || line.compare(0, 8, "corrupt ") == 0;
    if (line.compare(0, 12, "nictate-sim:") != 0 && isNoise == noise) {
      lines.push_back(line);
    }
  }
  return lines;
}

class SimThroughLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ports = dir.Make("ports");
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
  }
  testkit::TempDir dir;
  std::string ports;
};

TEST_F(SimThroughLibrary, EveryValueArrivesAsPrintedThroughTheNoise) {
  std::unique_ptr<Process> sim = Sim({"--ports", ports, "--seed", "5", "--raw", "--garbage",
                                      "--blink-at", "0.3,0.6", "--seconds", "30"});
  ASSERT_FALSE(WaitForPort(sim.get(), 3).empty()) << sim->err();
  const int id = TG_GetNewConnectionId();
  ASSERT_EQ(TG_Connect(id, "\\\\.\\COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);

  // About 1.75 seconds of packets: 896 raw samples, two summary packets,
  // both blinks, and between them noise and a blink with a bad checksum.
  std::vector<std::string> received;
  for (int packets = 0; packets < 900;) {
    const int result = ReadValues(id, &received);
    ASSERT_GE(result, 0) << "after " << packets << " packets";
    packets += result;
    sim->Drain();
  }
  WaitUntil({sim.get()}, 5, [&] { return SentLines(sim->out(), false).size() >= received.size(); });
  const std::vector<std::string> sent = SentLines(sim->out(), false);
  ASSERT_GE(sent.size(), received.size());
  EXPECT_EQ(received, std::vector<std::string>(sent.begin(), sent.begin() + received.size()));
  size_t blinks = 0;
  size_t attention = 0;
  for (const auto &value : received) {
    blinks += value.compare(0, 6, "blink ") == 0;
    attention += value.compare(0, 10, "attention ") == 0;
  }
  EXPECT_EQ(blinks, 2u);
  EXPECT_EQ(attention, 2u);
  // The noise did come: bursts before every summary packet and blink, and
  // the corrupt blink at 1.5 s.
  const std::vector<std::string> noise = SentLines(sim->out(), true);
  EXPECT_GE(noise.size(), 6u);
  EXPECT_NE(sim->out().find("\ncorrupt blink "), std::string::npos) << sim->out();
}

TEST_F(SimThroughLibrary, ReplaySendsTheLogByteForByteWithItsTiming) {
  // Three reads a second apart; the first was logged on two lines.
  const std::string log = dir.Write("streamLog.txt",
                                    "1700000000.000000 AA AA 02 04 35 C6\n"    // attention 53
                                    "1700000000.000000 AA AA 02 05 2F CB\n"    // meditation 47
                                    "1700000001.000000 01 02 03\n"             // noise
                                    "1700000002.000000 AA AA 02 16 78 71\n");  // blink 120
  const std::vector<uint8_t> expected = {0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6, 0xAA,
                                         0xAA, 0x02, 0x05, 0x2F, 0xCB, 0x01, 0x02,
                                         0x03, 0xAA, 0xAA, 0x02, 0x16, 0x78, 0x71};
  std::unique_ptr<Process> sim = Sim({"--ports", ports, "--replay", log});
  const std::string pty = WaitForPort(sim.get(), 3);
  ASSERT_FALSE(pty.empty()) << sim->err();
  const int fd = open(pty.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  // The bytes, and when the noise and the last of them came.
  std::vector<uint8_t> received;
  int64_t noiseCame = 0;
  int64_t lastCame = 0;
  const testkit::Deadline deadline(10);
  while (received.size() < expected.size() && !deadline.Passed()) {
    struct pollfd pfd = {fd, POLLIN, 0};
    uint8_t buffer[256];
    ssize_t n = 0;
    if (poll(&pfd, 1, 500) > 0 && (n = read(fd, buffer, sizeof buffer)) > 0) {
      received.insert(received.end(), buffer, buffer + n);
      lastCame = testkit::NowNs();
      noiseCame = noiseCame == 0 && received.size() >= 15 ? lastCame : noiseCame;
    }
  }
  close(fd);
  EXPECT_EQ(received, expected);
  // The blink came at least most of a second after the noise (only the
  // lower bound says anything about the replay).
  EXPECT_GE(lastCame - noiseCame, 800 * testkit::kMs);

  WaitUntil({sim.get()}, 5, [&] { return SentLines(sim->out(), false).size() >= 3; });
  EXPECT_EQ(SentLines(sim->out(), false),
            (std::vector<std::string>{"attention 53", "meditation 47", "blink 120"}));
}

TEST(SimReplay, AGapTooLongToCountIsNeverOverAndSendsNothingEarly) {
  // The second read some 317 years after the first: in nanoseconds past
  // what a signed 64-bit count holds.
  testkit::TempDir dir;
  const std::string log = dir.Write("streamLog.txt",
                                    "1700000000.000000 AA AA 02 04 35 C6\n"     // attention 53
                                    "11700000000.000000 AA AA 02 16 78 71\n");  // blink 120
  std::unique_ptr<Process> sim =
      Sim({"--ports", dir.Make("ports"), "--replay", log, "--seconds", "1"});
  ASSERT_TRUE(WaitExit(sim.get(), 10));
  EXPECT_EQ(sim->ExitCode(), 0) << sim->err();
  EXPECT_EQ(SentLines(sim->out(), false), std::vector<std::string>{"attention 53"});
}

TEST(SimKeyboard, AKeyPressOnItsTerminalBlinksOnceAndTheTerminalIsPutBack) {
  testkit::TempDir dir;
  testkit::PtyHeadset keyboard;  // here the terminal the simulator is started from
  ASSERT_TRUE(keyboard.Open());
  const int terminal = open(keyboard.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  struct termios before;
  ASSERT_EQ(tcgetattr(terminal, &before), 0);
  before.c_lflag |= ICANON | ECHO;  // as a shell leaves it
  ASSERT_EQ(tcsetattr(terminal, TCSANOW, &before), 0);

  testkit::Command command;
  command.argv = {NICTATE_SIM_BINARY, "--ports", dir.Make("ports"), "--seed", "3"};
  command.inFd = terminal;
  command.controllingTty = true;
  Process sim(command);
  ASSERT_TRUE(WaitUntil({&sim}, 10, [&] {
    return sim.err().find("press a key to blink") != std::string::npos;
  })) << sim.err();
  ASSERT_TRUE(keyboard.Send({'b'}));
  EXPECT_TRUE(WaitUntil({&sim}, 5, [&] { return sim.out().find("\nblink ") != std::string::npos; }))
      << sim.out();

  sim.Signal(SIGTERM);
  ASSERT_TRUE(WaitExit(&sim, 10));
  struct termios after;
  ASSERT_EQ(tcgetattr(terminal, &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
  close(terminal);
}

}  // namespace

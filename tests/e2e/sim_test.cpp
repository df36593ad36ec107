// The headset simulator that the end-to-end tests, the demo and other tools
// stand on: its packets as the library frames them, its reading of the
// library's stream log, its command line, its port in the port map, and what
// arrives through that port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/thinkgear.h"
#include "tests/e2e/harness.h"
#include "thinkgear/log.h"
#include "thinkgear/parser.h"
#include "tools/packet.h"
#include "tools/stream_log.h"

namespace {

using e2e::Exists;
using e2e::Process;
using e2e::SpawnOptions;
using e2e::WaitExit;
using e2e::WaitUntil;

std::vector<uint8_t> Encode(const sim::Payload &payload) {
  uint8_t packet[sim::kMaxPacketLength];
  const size_t length = sim::EncodePacket(payload, packet);
  return std::vector<uint8_t>(packet, packet + length);
}

// ---------------------------------------------------------------------------
// Packets

TEST(SimPacket, EncodesTheHeadsetsBytes) {
  sim::Payload payload;
  // No rows: sync, sync, length 0, checksum ~0.
  EXPECT_EQ(Encode(payload), (std::vector<uint8_t>{0xAA, 0xAA, 0x00, 0xFF}));

  // Attention 53: code 04, value 0x35; the sum 0x39 inverted is 0xC6.
  ASSERT_TRUE(sim::AppendByteRow(&payload, sim::kRowAttention, 53));
  EXPECT_EQ(Encode(payload), (std::vector<uint8_t>{0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6}));

  // Raw -2: code 80, length 2, FF FE big-endian; sum 0x27F, low byte 0x7F
  // inverted is 0x80.
  payload = sim::Payload();
  ASSERT_TRUE(sim::AppendRawSample(&payload, -2));
  EXPECT_EQ(Encode(payload),
            (std::vector<uint8_t>{0xAA, 0xAA, 0x04, 0x80, 0x02, 0xFF, 0xFE, 0x80}));

  // Rows of the wrong kind for their helper are refused.
  EXPECT_FALSE(sim::AppendByteRow(&payload, sim::kRowRawSample, 1));
  EXPECT_FALSE(sim::AppendLongRow(&payload, sim::kRowAttention, nullptr, 0));
}

TEST(SimPacket, EveryRowDecodesToItsValueThroughTheLibrarysParser) {
  sim::Payload payload;
  const uint32_t bands[sim::kBandCount] = {0, 1, 0x123456, 0xFFFFFF, 0x1000000, 7, 65536, 255};
  ASSERT_TRUE(sim::AppendByteRow(&payload, sim::kRowPoorSignal, 200));
  ASSERT_TRUE(sim::AppendByteRow(&payload, sim::kRowAttention, 100));
  ASSERT_TRUE(sim::AppendByteRow(&payload, sim::kRowMeditation, 0));
  ASSERT_TRUE(sim::AppendBandPowers(&payload, bands));
  ASSERT_TRUE(sim::AppendRawSample(&payload, -32768));
  ASSERT_TRUE(sim::AppendByteRow(&payload, sim::kRowBlinkStrength, 255));
  const std::vector<uint8_t> packet = Encode(payload);

  // Fed a byte at a time: the frame completes on its checksum byte.
  tg::Framer framer;
  for (size_t i = 0; i < packet.size(); ++i) {
    bool ready = false;
    ASSERT_EQ(framer.feed(&packet[i], 1, &ready), 1u);
    ASSERT_EQ(ready, i + 1 == packet.size()) << "byte " << i;
  }
  tg::Value values[tg::kMaxValuesPerFrame];
  const size_t count = tg::DecodePayload(framer.frame().payload, framer.frame().length, values);
  const std::vector<std::pair<int, float>> expected = {
      {TG_DATA_POOR_SIGNAL, 200}, {TG_DATA_ATTENTION, 100},     {TG_DATA_MEDITATION, 0},
      {TG_DATA_DELTA, 0},         {TG_DATA_THETA, 1},           {TG_DATA_ALPHA1, 0x123456},
      {TG_DATA_ALPHA2, 0xFFFFFF}, {TG_DATA_BETA1, 0xFFFFFF},  // 0x1000000 clamped to 24 bits
      {TG_DATA_BETA2, 7},         {TG_DATA_GAMMA1, 65536},      {TG_DATA_GAMMA2, 255},
      {TG_DATA_RAW, -32768},      {TG_DATA_BLINK_STRENGTH, 255}};
  ASSERT_EQ(count, expected.size());
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(values[i].dataType, expected[i].first) << "value " << i;
    EXPECT_EQ(values[i].value, expected[i].second) << "value " << i;
  }
}

TEST(SimPacket, FullPayloadRefusesARowAndStaysAsItWas) {
  sim::Payload payload;
  while (sim::AppendByteRow(&payload, sim::kRowAttention, 1)) {
  }
  EXPECT_EQ(payload.length, 168u);  // 84 two-byte rows; a byte is left
  EXPECT_FALSE(sim::AppendRawSample(&payload, 1));
  EXPECT_EQ(payload.length, 168u);
  // The longest packet the stream allows still frames.
  payload.bytes[payload.length++] = 0x00;
  const std::vector<uint8_t> packet = Encode(payload);
  ASSERT_EQ(packet.size(), sim::kMaxPacketLength);
  tg::Framer framer;
  bool ready = false;
  framer.feed(packet.data(), packet.size(), &ready);
  EXPECT_TRUE(ready);
  EXPECT_EQ(framer.frame().length, 169u);
}

// ---------------------------------------------------------------------------
// Stream logs

std::string WriteText(const e2e::TempDir &dir, const std::string &name, const std::string &text) {
  const std::string path = dir.path() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(SimStreamLog, ReadsBackWhatTheLibraryWrites) {
  e2e::TempDir dir;
  const std::string path = dir.path() + "/streamLog.txt";
  tg::LogFile log = {};
  ASSERT_TRUE(tg::LogOpen(&log, path.c_str()));
  std::vector<uint8_t> first(70);  // three lines of one read: 32 + 32 + 6
  for (size_t i = 0; i < first.size(); ++i) {
    first[i] = static_cast<uint8_t>(i * 37);
  }
  tg::LogStreamBytes(&log, first.data(), first.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::vector<uint8_t> second = {0xAA, 0xAA, 0x02, 0x16, 0x78, 0x71};
  tg::LogStreamBytes(&log, second.data(), second.size());
  std::fclose(log.file);

  std::vector<sim::StreamChunk> chunks;
  std::string error;
  ASSERT_TRUE(sim::ReadStreamLog(path, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, first);
  EXPECT_EQ(chunks[1].bytes, second);
  EXPECT_GE(chunks[1].micros - chunks[0].micros, 5000);
}

TEST(SimStreamLog, SkipsNotesBlankAndCutLinesAndNamesTheFirstBadLine) {
  e2e::TempDir dir;
  std::vector<sim::StreamChunk> chunks;
  std::string error;
  // A note the library writes after lines it could not write, a blank line,
  // a Windows line end and lower-case hex.
  const std::string good = WriteText(dir, "good.txt",
                                     "1700000000.000001 AA aa 02\r\n"
                                     "\n"
                                     "1700000000.500000 # 3 lines lost before this one\n"
                                     "1700000000.500000 04 35 C6");
  ASSERT_TRUE(sim::ReadStreamLog(good, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].micros, 1700000000000001LL);
  EXPECT_EQ(chunks[0].bytes, (std::vector<uint8_t>{0xAA, 0xAA, 0x02}));
  EXPECT_EQ(chunks[1].bytes, (std::vector<uint8_t>{0x04, 0x35, 0xC6}));

  const std::string bad = WriteText(dir, "bad.txt",
                                    "1700000000.000001 AA AA\n"
                                    "1700000000.000002 AA AAA\n");
  EXPECT_FALSE(sim::ReadStreamLog(bad, &chunks, &error));
  EXPECT_NE(error.find("bad.txt:2:"), std::string::npos) << error;

  // A line the library could write only in part (the disk filled in the
  // middle of its second byte) and the note it put after it once the disk
  // had room: the cut line is left out, the bytes around it are replayed.
  // The same cut at the very end of the file, where no note came.
  const std::string cut = WriteText(dir, "cut.txt",
                                    "1700000000.000001 AA AA\n"
                                    "1700000000.100000 02 0\n"
                                    "1700000000.900000 # 2 lines lost before this one\n"
                                    "1700000001.000000 AA AA 02 16 63 86\n"
                                    "1700000001.100000 AA A");
  ASSERT_TRUE(sim::ReadStreamLog(cut, &chunks, &error)) << error;
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, (std::vector<uint8_t>{0xAA, 0xAA}));
  EXPECT_EQ(chunks[1].bytes, (std::vector<uint8_t>{0xAA, 0xAA, 0x02, 0x16, 0x63, 0x86}));

  const std::string empty = WriteText(dir, "empty.txt", "");
  EXPECT_FALSE(sim::ReadStreamLog(empty, &chunks, &error));
  EXPECT_FALSE(sim::ReadStreamLog(dir.path() + "/missing.txt", &chunks, &error));
}

// ---------------------------------------------------------------------------
// The simulator as a program

std::unique_ptr<Process> Sim(const std::vector<std::string> &args,
                             const std::vector<std::pair<std::string, std::string>> &env = {}) {
  SpawnOptions options;
  options.argv = {NICTATE_SIM_BINARY};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.setEnv = env;
  return std::unique_ptr<Process>(new Process(options));
}

// The pseudo-terminal the simulator published last, once it has said so.
std::string WaitForPort(Process *sim, int com, size_t nth = 1) {
  const std::string ready = "nictate-sim: COM" + std::to_string(com) + " is ";
  std::string path;
  WaitUntil({sim}, nullptr, 10, [&] {
    size_t seen = 0;
    for (const auto &line : e2e::Lines(sim->out())) {
      if (line.compare(0, ready.size(), ready) == 0 && ++seen == nth) {
        path = line.substr(ready.size());
        return true;
      }
    }
    return false;
  });
  return path;
}

std::string LinkTarget(const std::string &link) {
  char target[256];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

int ExitCode(const Process &process) {
  return WIFEXITED(process.status()) ? WEXITSTATUS(process.status()) : -1;
}

TEST(SimCommandLine, UsageErrorsExitWithStatus2AndSayWhy) {
  e2e::TempDir dir;
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
      {"COM3"},
  };
  for (const auto &args : cases) {
    std::vector<std::string> argv = {"--ports", ports};
    argv.insert(argv.end(), args.begin(), args.end());
    std::unique_ptr<Process> sim = Sim(argv);
    ASSERT_TRUE(WaitExit(sim.get(), 10));
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(ExitCode(*sim), 2);
    EXPECT_EQ(sim->out(), "");
    EXPECT_EQ(sim->err().compare(0, 13, "nictate-sim: "), 0) << sim->err();
    EXPECT_NE(sim->err().find("Try 'nictate-sim --help'."), std::string::npos) << sim->err();
  }
  EXPECT_FALSE(Exists(ports + "/com3"));
}

TEST(SimCommandLine, HelpDescribesEveryOption) {
  std::unique_ptr<Process> sim = Sim({"--help"});
  ASSERT_TRUE(WaitExit(sim.get(), 10));
  EXPECT_EQ(ExitCode(*sim), 0);
  for (const char *option : {"--com N", "--ports DIR", "--unplug AT:SECONDS", "--seconds N",
                             "--seed N", "--raw", "--blink-every S", "--blink-at T[,T...]",
                             "--garbage", "--silent", "--replay FILE", "--help"}) {
    EXPECT_NE(sim->out().find(option), std::string::npos) << option;
  }
}

TEST(SimPort, PublishesComNAndTakesItAwayOnSigtermAndSigint) {
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
    e2e::TempDir dir;
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
    EXPECT_EQ(ExitCode(*sim), 0) << sim->err();
    EXPECT_FALSE(Exists(ports + "/com5"));
    EXPECT_FALSE(Exists(dir.path() + "/map"));
  }
}

TEST(SimPort, EndsByItselfAfterSecondsInTheMapOfNictatePorts) {
  e2e::TempDir dir;
  const std::string ports = dir.Make("ports");
  std::unique_ptr<Process> sim =
      Sim({"--com", "7", "--seconds", "0.5", "--silent"}, {{"NICTATE_PORTS", ports}});
  ASSERT_FALSE(WaitForPort(sim.get(), 7).empty()) << sim->err();
  EXPECT_TRUE(Exists(ports + "/com7"));
  ASSERT_TRUE(WaitExit(sim.get(), 10));
  EXPECT_EQ(ExitCode(*sim), 0);
  EXPECT_FALSE(Exists(ports + "/com7"));
  EXPECT_TRUE(Exists(ports)) << "a map the simulator did not make stays";
}

TEST(SimPort, LeavesALinkToAnotherDeviceAloneAndReplacesADanglingOne) {
  e2e::TempDir dir;
  const std::string ports = dir.Make("ports");
  ASSERT_EQ(symlink("/dev/null", (ports + "/com3").c_str()), 0);
  std::unique_ptr<Process> taken = Sim({"--ports", ports, "--silent"});
  ASSERT_TRUE(WaitExit(taken.get(), 10));
  EXPECT_EQ(ExitCode(*taken), 1);
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
        std::snprintf(line, sizeof line, "%s %.0f", sim::ValueName(type), TG_GetValue(id, type));
        values->push_back(line);
      }
    }
  }
  return result;
}

// The simulator's value lines.
std::vector<std::string> SentValues(const std::string &out) {
  std::vector<std::string> values;
  for (const auto &line : e2e::Lines(out)) {
    if (line.compare(0, 12, "nictate-sim:") != 0) {
      values.push_back(line);
    }
  }
  return values;
}

class SimThroughLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ports = dir.Make("ports");
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
  }
  e2e::TempDir dir;
  std::string ports;
};

TEST_F(SimThroughLibrary, EveryValueArrivesAsPrintedAndThePortStaysExclusive) {
  std::unique_ptr<Process> sim =
      Sim({"--ports", ports, "--seed", "5", "--raw", "--blink-at", "0.3,0.6", "--seconds", "30"});
  const std::string pty = WaitForPort(sim.get(), 3);
  ASSERT_FALSE(pty.empty()) << sim->err();
  const int id = TG_GetNewConnectionId();
  ASSERT_EQ(TG_Connect(id, "\\\\.\\COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);

  // The port is nictate's alone now: another connection cannot take it.
  // A pseudo-terminal is held by the lock alone, not marked exclusive: the
  // mark would outlast a holder that is killed, the simulator keeping its
  // side open.
  const int other = TG_GetNewConnectionId();
  EXPECT_EQ(TG_Connect(other, "\\\\.\\COM3", TG_BAUD_57600, TG_STREAM_PACKETS), -2);
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int exclusive = 1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);

  // About 1.5 seconds of packets: 768 raw samples, two summary packets and
  // both blinks.
  std::vector<std::string> received;
  for (int packets = 0; packets < 770;) {
    const int result = ReadValues(id, &received);
    ASSERT_EQ(result, 1) << "after " << packets << " packets";
    ++packets;
    sim->Drain();
  }
  WaitUntil({sim.get()}, nullptr, 5,
            [&] { return SentValues(sim->out()).size() >= received.size(); });
  const std::vector<std::string> sent = SentValues(sim->out());
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
}

TEST_F(SimThroughLibrary, UnpluggedDeviceGoesAwayAndComesBackUnderItsComName) {
  std::unique_ptr<Process> sim =
      Sim({"--ports", ports, "--seed", "6", "--raw", "--unplug", "0.8:0.7", "--seconds", "30"});
  ASSERT_FALSE(WaitForPort(sim.get(), 3).empty()) << sim->err();
  const int id = TG_GetNewConnectionId();
  ASSERT_EQ(TG_Connect(id, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);

  std::vector<std::string> values;
  int result = 1;
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  while (result == 1 && seconds() < 10) {
    result = ReadValues(id, &values);
  }
  EXPECT_EQ(result, TG_READ_IO_ERROR);
  EXPECT_GT(values.size(), 100u);
  while (result != 1 && seconds() < 10) {
    result = ReadValues(id, &values);
  }
  EXPECT_EQ(result, 1) << "no packet after the device came back";

  const std::string second = WaitForPort(sim.get(), 3, 2);
  EXPECT_EQ(LinkTarget(ports + "/com3"), second);
  const std::string out = sim->out();
  const size_t unplugged = out.find("nictate-sim: COM3 unplugged\n");
  ASSERT_NE(unplugged, std::string::npos);
  // After the unplug line: the new terminal may reuse the first one's name.
  EXPECT_NE(out.find("nictate-sim: COM3 is " + second + "\n", unplugged), std::string::npos);
}

TEST_F(SimThroughLibrary, ReplaySendsTheLogByteForByteWithItsTiming) {
  // Three reads a second apart; the first was logged on two lines.
  const std::string log = dir.path() + "/streamLog.txt";
  std::ofstream(log) << "1700000000.000000 AA AA 02 04 35 C6\n"   // attention 53
                        "1700000000.000000 AA AA 02 05 2F CB\n"   // meditation 47
                        "1700000001.000000 01 02 03\n"            // noise
                        "1700000002.000000 AA AA 02 16 78 71\n";  // blink 120
  const std::vector<uint8_t> expected = {0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6, 0xAA,
                                         0xAA, 0x02, 0x05, 0x2F, 0xCB, 0x01, 0x02,
                                         0x03, 0xAA, 0xAA, 0x02, 0x16, 0x78, 0x71};
  std::unique_ptr<Process> sim = Sim({"--ports", ports, "--replay", log});
  const std::string pty = WaitForPort(sim.get(), 3);
  ASSERT_FALSE(pty.empty()) << sim->err();
  const int fd = open(pty.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  std::vector<uint8_t> received;
  std::vector<std::pair<size_t, std::chrono::steady_clock::time_point>> arrivals;
  const auto start = std::chrono::steady_clock::now();
  while (received.size() < expected.size() &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 500) > 0) {
      uint8_t buffer[256];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      received.insert(received.end(), buffer, buffer + n);
      arrivals.emplace_back(received.size(), std::chrono::steady_clock::now());
    }
  }
  close(fd);
  EXPECT_EQ(received, expected);
  // The noise came a second after the first read and the blink a second
  // after the noise (only the lower bound says anything about the replay).
  ASSERT_EQ(arrivals.back().first, expected.size());
  auto arrivalOf = [&](size_t byteCount) {
    for (const auto &arrival : arrivals) {
      if (arrival.first >= byteCount) {
        return arrival.second;
      }
    }
    return arrivals.back().second;
  };
  EXPECT_GE(arrivals.back().second - arrivalOf(15), std::chrono::milliseconds(800));

  WaitUntil({sim.get()}, nullptr, 5, [&] { return SentValues(sim->out()).size() >= 3; });
  EXPECT_EQ(SentValues(sim->out()),
            (std::vector<std::string>{"attention 53", "meditation 47", "blink 120"}));
}

TEST(SimKeyboard, AKeyPressOnItsTerminalBlinksOnceAndTheTerminalIsPutBack) {
  e2e::TempDir dir;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  char name[128];
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
  const int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  struct termios before;
  ASSERT_EQ(tcgetattr(terminal, &before), 0);

  SpawnOptions options;
  options.argv = {NICTATE_SIM_BINARY, "--ports", dir.Make("ports"), "--seed", "3"};
  options.stdinFd = terminal;
  options.controllingTty = true;
  Process sim(options);
  ASSERT_TRUE(WaitUntil({&sim}, nullptr, 10, [&] {
    return sim.err().find("press a key to blink") != std::string::npos;
  })) << sim.err();
  ASSERT_EQ(write(master, "b", 1), 1);
  EXPECT_TRUE(WaitUntil({&sim}, nullptr, 5, [&] {
    return sim.out().find("\nblink ") != std::string::npos;
  })) << sim.out();

  sim.Signal(SIGTERM);
  ASSERT_TRUE(WaitExit(&sim, 10));
  struct termios after;
  ASSERT_EQ(tcgetattr(terminal, &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
  close(terminal);
  close(master);
}

}  // namespace

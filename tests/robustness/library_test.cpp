// The device library under the faults of long use, through its public
// operations, with pseudo-terminals standing in for the headset: the device
// unplugged and plugged back, logs on a disk that refuses writes, a second
// process reaching for a port that is held, and a stream full of bad bytes.
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "link/thinkgear.h"
#include "tests/pty_port.h"
#include "tests/robustness/hostile.h"
#include "tests/stream_bytes.h"

namespace {

const char *gSelf = nullptr;  // this test program, run again as a second process

std::vector<uint8_t> Attention(int value) {
  return hostile::Packet({0x04, static_cast<uint8_t>(value)});
}

std::vector<uint8_t> AttentionAndBlink(int attention, int blink) {
  return hostile::Packet(
      {0x04, static_cast<uint8_t>(attention), 0x16, static_cast<uint8_t>(blink)});
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

double Seconds(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::vector<std::string> FileLines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

// A private directory for the logs and a port map in it; a new connection
// id with blink detection on.
class Robustness : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nictate-robustness-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    ports = dir + "/ports";
    ASSERT_EQ(mkdir(ports.c_str(), 0700), 0);
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
    id = TG_GetNewConnectionId();
    ASSERT_GE(id, 0);
    ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  }

  void TearDown() override {
    if (!dir.empty()) {
      nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
  }

  // Sends a packet and reads it back as one packet.
  void SendAndRead(PtyPort *port, const std::vector<uint8_t> &packet) {
    ASSERT_TRUE(port->Send(packet));
    ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  }

  std::string dir;
  std::string ports;
  int id = -1;
};

// ---------------------------------------------------------------------------
// Unplugged and plugged back.

TEST_F(Robustness, UnpluggedDeviceFailsThenPacesThenComesBackOnTheSamePortName) {
  PtyPort first;
  ASSERT_TRUE(first.Plug(ports, 3));
  ASSERT_EQ(TG_Connect(id, "COM3", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  SendAndRead(&first, Attention(10));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);

  // Half a packet, and the device goes.
  ASSERT_TRUE(first.Send({0xAA, 0xAA, 0x04, 0x04}));
  first.Unplug();
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);

  // While it stays away, every call waits in the OS before it fails, so a
  // caller retrying at once does not spin.
  const double wall = Seconds(CLOCK_MONOTONIC);
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
    EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  }
  EXPECT_GE(Seconds(CLOCK_MONOTONIC) - wall, 2.7) << "the calls did not pause";
  EXPECT_LT(Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, 0.3) << "the calls spun";
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f) << "the last value is kept";

  // The same COM name comes back on another pseudo-terminal: the next call
  // opens it and reads on, nothing of the half packet left over.
  PtyPort second;
  ASSERT_TRUE(second.Plug(ports, 3));
  SendAndRead(&second, AttentionAndBlink(20, 77));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 20.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 77.0f);
  SendAndRead(&second, Attention(21));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 21.0f);
}

TEST_F(Robustness, UnplugAndReplugCyclesLeaveNoDescriptorOpen) {
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 4));
  ASSERT_EQ(TG_Connect(id, "COM4", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  port.Unplug();
  ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  const int before = testbytes::OpenDescriptors();
  for (int cycle = 0; cycle < 10; ++cycle) {
    ASSERT_TRUE(port.Plug(ports, 4));
    SendAndRead(&port, Attention(cycle));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(cycle));
    port.Unplug();
    ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  }
  EXPECT_EQ(testbytes::OpenDescriptors(), before);
}

// ---------------------------------------------------------------------------
// Logs on a disk that refuses writes.

TEST_F(Robustness, LogsOnAFullDeviceCostNoValue) {
  ASSERT_EQ(TG_SetStreamLog(id, "/dev/full"), 0);
  ASSERT_EQ(TG_SetDataLog(id, "/dev/full"), 0);
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 5));
  ASSERT_EQ(TG_Connect(id, "COM5", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  for (int i = 1; i <= 50; ++i) {
    SendAndRead(&port, AttentionAndBlink(i, 100 + i));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(i));
    EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
    EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), static_cast<float>(100 + i));
  }
}

// Checks a log written through a spell of refused writes: whole lines, then
// at most one part of a line ended by a line end, then one note that counts
// the lines missing, then whole lines again. `whole` tells a whole line;
// `total` is how many lines the log was given.
void ExpectLostLinesNoted(const std::vector<std::string> &lines, bool (*whole)(const std::string &),
                          size_t total) {
  size_t note = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(" # ") != std::string::npos) {
      ASSERT_EQ(note, lines.size()) << "a second note at line " << i + 1;
      note = i;
    }
  }
  ASSERT_LT(note, lines.size()) << "no note of the lines lost";
  unsigned long lost = 0;
  char tail[64] = "";
  ASSERT_EQ(std::sscanf(lines[note].c_str(), "%*[0-9.] # %lu %63[^\n]", &lost, tail), 2)
      << lines[note];
  EXPECT_STREQ(tail, "lines lost before this one");
  size_t wholeLines = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == note) {
      continue;
    }
    if (whole(lines[i])) {
      ++wholeLines;
    } else {
      EXPECT_EQ(i + 1, note) << "only the line before the note may be cut: " << lines[i];
    }
  }
  EXPECT_LT(note + 1, lines.size()) << "nothing written after the note";
  EXPECT_EQ(wholeLines + lost, total);
}

bool WholeDataLine(const std::string &line) {
  char name[32];
  int value = -1;
  char extra = 0;
  return std::sscanf(line.c_str(), "%*10[0-9].%*6[0-9] %31s %d%c", name, &value, &extra) == 2 &&
         std::strcmp(name, "ATTENTION") == 0 && value >= 10 && value <= 99;
}

bool WholeStreamLine(const std::string &line) {
  // Each read here takes one packet: AA AA 02 04 <value> <checksum>.
  unsigned bytes[6];
  char extra = 0;
  return std::sscanf(line.c_str(), "%*10[0-9].%*6[0-9] %2X %2X %2X %2X %2X %2X%c", &bytes[0],
                     &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5], &extra) == 6 &&
         bytes[0] == 0xAA && bytes[1] == 0xAA && bytes[2] == 2 && line.size() == 35;
}

TEST_F(Robustness, ADiskThatFillsAndFreesAgainLeavesANoteOfTheLinesLost) {
  const std::string dataLog = dir + "/dataLog.txt";
  const std::string streamLog = dir + "/streamLog.txt";
  ASSERT_EQ(TG_SetDataLog(id, dataLog.c_str()), 0);
  ASSERT_EQ(TG_SetStreamLog(id, streamLog.c_str()), 0);
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 6));
  ASSERT_EQ(TG_Connect(id, "COM6", TG_BAUD_9600, TG_STREAM_PACKETS), 0);

  // Every line here is the same length: a data line 31 bytes
  // ("1733700000.123456 ATTENTION 10"), a stream line 36.
  int value = 10;
  for (; value < 13; ++value) {
    SendAndRead(&port, Attention(value));
  }
  struct stat data;
  ASSERT_EQ(stat(dataLog.c_str(), &data), 0);
  ASSERT_EQ(data.st_size, 3 * 31);

  // The disk fills: no file may grow past this size, which the data log
  // reaches in the middle of its fifth line, the stream log at once. The
  // process lives on (SIGXFSZ ignored), as it would with a full disk.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit full = old;
  full.rlim_cur = 4 * 31 + 12;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  for (; value < 20; ++value) {
    SendAndRead(&port, Attention(value));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(value));
  }
  // Room again.
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(sigaction(SIGXFSZ, &previous, nullptr), 0);
  for (; value < 23; ++value) {
    SendAndRead(&port, Attention(value));
  }

  const std::vector<std::string> dataLines = FileLines(dataLog);
  ExpectLostLinesNoted(dataLines, WholeDataLine, 13);
  // Lines 1-4 whole, the fifth cut at byte 12 (a time stamp cut short), its
  // line end then given by the note, and the lines after the note whole.
  ASSERT_EQ(dataLines.size(), 4u + 1 + 1 + 3);
  EXPECT_EQ(dataLines[4].size(), 12u);
  EXPECT_NE(dataLines[5].find(" # 6 lines lost before this one"), std::string::npos);
  EXPECT_NE(dataLines[6].find("ATTENTION 20"), std::string::npos);
  EXPECT_NE(dataLines[8].find("ATTENTION 22"), std::string::npos);

  const std::vector<std::string> streamLines = FileLines(streamLog);
  ExpectLostLinesNoted(streamLines, WholeStreamLine, 13);
}

// ---------------------------------------------------------------------------
// A port held by one connection.

TEST_F(Robustness, APortThatIsHeldCannotBeTakenByAnotherProcessOrConnection) {
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 7));
  ASSERT_EQ(TG_Connect(id, "COM7", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  SendAndRead(&port, Attention(30));

  // Bytes wait unread while the others try.
  ASSERT_TRUE(port.Send(AttentionAndBlink(31, 61)));

  // Another process, by COM name and by device path.
  for (const std::string &name : {std::string("COM7"), port.path()}) {
    const std::string command = std::string(gSelf) + " --connect '" + name + "'";
    std::FILE *child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char answer[64] = "";
    ASSERT_NE(std::fgets(answer, sizeof answer, child), nullptr);
    EXPECT_EQ(pclose(child), 0);
    EXPECT_STREQ(answer, "TG_Connect 0 -2\n") << name;
  }
  // Another connection of this process.
  const int other = TG_GetNewConnectionId();
  ASSERT_GE(other, 0);
  EXPECT_EQ(TG_Connect(other, "COM7", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_ReadPackets(other, 1), TG_READ_INVALID_ID);

  // The holder reads on, the waiting bytes intact.
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 31.0f);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 61.0f);
  SendAndRead(&port, Attention(32));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 32.0f);
}

// ---------------------------------------------------------------------------
// Bad bytes.

TEST_F(Robustness, BadBytesGiveNoFalseValueAndTheNextGoodPacketIsRead) {
  PtyPort port;
  ASSERT_TRUE(port.Plug(ports, 8));
  ASSERT_EQ(TG_Connect(id, "COM8", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  // One segment at a time, each read until its good packet is in: whatever
  // the faults before it did, that packet's values, and only they, appear.
  for (const hostile::Segment &segment : hostile::Segments()) {
    SCOPED_TRACE(segment.fault);
    ASSERT_TRUE(port.Send(segment.bytes));
    std::vector<hostile::Expected> seen;
    while (seen.size() < segment.values.size()) {
      ASSERT_GE(TG_ReadPackets(id, 1), 0) << "the good packet never came";
      if (TG_GetValueStatus(id, TG_DATA_ATTENTION) != 0) {
        seen.push_back({false, static_cast<int>(TG_GetValue(id, TG_DATA_ATTENTION))});
      }
      if (TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH) != 0) {
        seen.push_back({true, static_cast<int>(TG_GetValue(id, TG_DATA_BLINK_STRENGTH))});
      }
      for (int type : {TG_DATA_POOR_SIGNAL, TG_DATA_MEDITATION, TG_DATA_RAW, TG_DATA_DELTA}) {
        EXPECT_EQ(TG_GetValueStatus(id, type), 0) << "a false value of type " << type;
      }
    }
    ASSERT_EQ(seen.size(), segment.values.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].blink, segment.values[i].blink) << "value " << i;
      EXPECT_EQ(seen[i].value, segment.values[i].value) << "value " << i;
    }
  }
  // Nothing is left over to give a value later.
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_NO_BYTES);
}

}  // namespace

// Run as `--connect NAME`: a second process that tries the port, printing
// "TG_Connect <id> <result>".
int main(int argc, char **argv) {
  gSelf = argv[0];
  if (argc == 3 && std::strcmp(argv[1], "--connect") == 0) {
    const int id = TG_GetNewConnectionId();
    std::printf("TG_Connect %d %d\n", id, TG_Connect(id, argv[2], TG_BAUD_9600, TG_STREAM_PACKETS));
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

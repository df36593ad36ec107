// The faults of long use: the device unplugged and plugged back (and
// another terminal that comes back under its number), and logs on a disk
// that refuses writes. (Bad bytes on the line are the framing's:
// parser_test.cpp.)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "testkit/clock.h"
#include "testkit/procfs.h"
#include "tests/library/fixture.h"

namespace {

using LibraryFaults = Library;

// ---------------------------------------------------------------------------
// Unplugged and plugged back.

TEST_F(LibraryFaults, UnpluggedDeviceFailsThenPacesThenComesBackOnTheSamePortName) {
  ASSERT_TRUE(headset.Plug(ports, 3));
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, "COM3", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  SendAndRead(id, Attention(10));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);

  // Half a packet, and the device goes.
  ASSERT_TRUE(headset.Send({0xAA, 0xAA, 0x04, 0x04}));
  headset.Unplug();
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);

  // While it stays away, every call waits in the OS before it fails, so a
  // caller retrying at once does not spin.
  const int64_t start = testkit::NowNs();
  const double cpu = testkit::CpuSeconds(getpid());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
    EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  }
  EXPECT_GE(testkit::SecondsSince(start), 2.7) << "the calls did not pause";
  EXPECT_LT(testkit::CpuSeconds(getpid()) - cpu, 0.3) << "the calls spun";
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f) << "the last value is kept";

  // The same COM name comes back on another pseudo-terminal: the next call
  // opens it and reads on, nothing of the half packet left over.
  ASSERT_TRUE(headset.Plug(ports, 3));
  SendAndRead(id, Packet({0x04, 20, 0x16, 77}));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 20.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 77.0f);
  SendAndRead(id, Attention(21));
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 21.0f);
}

TEST_F(LibraryFaults, UnplugAndReplugCyclesLeaveNoDescriptorOpen) {
  ASSERT_TRUE(headset.Plug(ports, 4));
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, "COM4", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  headset.Unplug();
  ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  const int before = testkit::OpenDescriptors();
  for (int cycle = 0; cycle < 10; ++cycle) {
    ASSERT_TRUE(headset.Plug(ports, 4));
    SendAndRead(id, Attention(cycle));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(cycle));
    headset.Unplug();
    ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  }
  EXPECT_EQ(testkit::OpenDescriptors(), before);
}

TEST_F(LibraryFaults, AfterAnUnplugATerminalNumberReusedBehindTheSameLinkIsNotTaken) {
  // A simulator killed leaves its com3 link behind; the terminal's number
  // comes back as another program's terminal. The library must not take
  // it, nor read its bytes. A link made anew says the device is there.
  const std::string name = headset.path();
  Map(3, name);  // a link the headset does not take away with it
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, "COM3", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  SendAndRead(id, Attention(10));
  headset.Unplug();
  ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);

  // The same number again: new terminals are opened until one has it.
  std::list<testkit::PtyHeadset> terminals;
  testkit::PtyHeadset *theirs = nullptr;
  for (int i = 0; i < 64 && theirs == nullptr; ++i) {
    terminals.emplace_back();
    ASSERT_TRUE(terminals.back().Open()) << terminals.back().error();
    theirs = terminals.back().path() == name ? &terminals.back() : nullptr;
  }
  if (theirs == nullptr) {
    GTEST_SKIP() << name << " was not given out again";
  }
  const Bytes bytes = Attention(66);
  ASSERT_TRUE(theirs->Send(bytes));
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);
  // Its bytes are still there for its owner.
  const int owner = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(owner, 0);
  uint8_t got[16];
  EXPECT_EQ(read(owner, got, sizeof got), static_cast<ssize_t>(bytes.size()));
  close(owner);

  // Published anew (a link made and renamed over the old one): taken.
  const std::string link = ports + "/com3";
  ASSERT_EQ(symlink(name.c_str(), (link + ".new").c_str()), 0);
  ASSERT_EQ(rename((link + ".new").c_str(), link.c_str()), 0);
  ASSERT_TRUE(theirs->Send(Attention(11)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 11.0f);
}

// ---------------------------------------------------------------------------
// Logs on a disk that refuses writes.

// Both logs on /dev/full, one by its name and one through a link, as a log
// named in the working directory may be: no value is lost, and the link is
// written through, not replaced.
TEST_F(LibraryFaults, LogsOnAFullDeviceCostNoValue) {
  const std::string link = dir.path() + "/dataLog.txt";
  ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
  const int id = Connected();
  ASSERT_EQ(TG_SetStreamLog(id, "/dev/full"), 0);
  ASSERT_EQ(TG_SetDataLog(id, link.c_str()), 0);
  for (int i = 1; i <= 50; ++i) {
    SendAndRead(id, Packet({0x04, static_cast<uint8_t>(i), 0x16, static_cast<uint8_t>(100 + i)}));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(i));
    EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
    EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), static_cast<float>(100 + i));
  }
  EXPECT_EQ(testkit::LinkTarget(link), "/dev/full");
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

TEST_F(LibraryFaults, ADiskThatFillsAndFreesAgainLeavesANoteOfTheLinesLost) {
  const std::string dataLog = dir.path() + "/dataLog.txt";
  const std::string streamLog = dir.path() + "/streamLog.txt";
  const int id = NewId();
  ASSERT_EQ(TG_SetDataLog(id, dataLog.c_str()), 0);
  ASSERT_EQ(TG_SetStreamLog(id, streamLog.c_str()), 0);
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);

  // The data log starts with the note of the port that opened. Every line
  // after it is the same length: a data line 31 bytes
  // ("1733700000.123456 ATTENTION 10"), a stream line 36.
  struct stat data;
  ASSERT_EQ(stat(dataLog.c_str(), &data), 0);
  const off_t opened = data.st_size;
  int value = 10;
  for (; value < 13; ++value) {
    SendAndRead(id, Attention(value));
  }
  ASSERT_EQ(stat(dataLog.c_str(), &data), 0);
  ASSERT_EQ(data.st_size, opened + 3 * 31);

  // The disk fills: no file may grow past this size, which the data log
  // reaches in the middle of its fifth line, the stream log within two lines. The
  // process lives on (SIGXFSZ ignored), as it would with a full disk.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit full = old;
  full.rlim_cur = opened + 4 * 31 + 12;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  for (; value < 20; ++value) {
    SendAndRead(id, Attention(value));
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(value));
  }
  // Room again.
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_EQ(sigaction(SIGXFSZ, &previous, nullptr), 0);
  for (; value < 23; ++value) {
    SendAndRead(id, Attention(value));
  }

  std::vector<std::string> dataLines = testkit::Lines(testkit::ReadFile(dataLog));
  ASSERT_FALSE(dataLines.empty());
  EXPECT_NE(dataLines[0].find(" # " + headset.path() + ": opened"), std::string::npos);
  dataLines.erase(dataLines.begin());
  ExpectLostLinesNoted(dataLines, WholeDataLine, 13);
  // Lines 1-4 whole, the fifth cut at byte 12 (a time stamp cut short), its
  // line end then given by the note, and the lines after the note whole.
  ASSERT_EQ(dataLines.size(), 4u + 1 + 1 + 3);
  EXPECT_EQ(dataLines[4].size(), 12u);
  EXPECT_NE(dataLines[5].find(" # 6 lines lost before this one"), std::string::npos);
  EXPECT_NE(dataLines[6].find("ATTENTION 20"), std::string::npos);
  EXPECT_NE(dataLines[8].find("ATTENTION 22"), std::string::npos);

  const std::vector<std::string> streamLines = testkit::Lines(testkit::ReadFile(streamLog));
  ExpectLostLinesNoted(streamLines, WholeStreamLine, 13);
}

}  // namespace

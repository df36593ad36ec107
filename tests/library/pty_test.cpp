// The device library through its public operations only, with a
// pseudo-terminal standing in for the headset: the test writes the device's
// bytes into the master side, the library reads the slave side as a serial
// port. COM names go through a private port map (NICTATE_PORTS), so the
// machine's own serial ports never take part.
//
// Connection ids are never given back and all tests of one process share
// the table, so each test takes fresh ids.
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/thinkgear.h"
#include "tests/files.h"
#include "tests/pty_port.h"
#include "tests/stream_bytes.h"

namespace {

using testbytes::Bytes;
using testbytes::Join;
using testbytes::OpenDescriptors;
using testbytes::Packet;
using testfiles::Lines;
using testfiles::ReadFile;

Bytes Attention(int value) { return Packet({0x04, static_cast<uint8_t>(value)}); }
Bytes Blink(int strength) { return Packet({0x16, static_cast<uint8_t>(strength)}); }

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A headset on a pseudo-terminal, reached by its device path.
using Headset = PtyPort;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

// A private directory with an empty port map in it, the map in
// NICTATE_PORTS, and a headset on a pseudo-terminal.
class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nictate-library-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    ports = dir + "/ports";
    ASSERT_EQ(mkdir(ports.c_str(), 0700), 0);
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
    ASSERT_TRUE(headset.Open());
  }

  void TearDown() override { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

  // Links <ports>/com<number> to target.
  void Map(int number, const std::string &target) {
    const std::string link = ports + "/com" + std::to_string(number);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }

  // A fresh id connected to the headset by its device path.
  int Connected() {
    const int id = TG_GetNewConnectionId();
    EXPECT_GE(id, 0);
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
    return id;
  }

  std::string dir;
  std::string ports;
  Headset headset;
};

// ---------------------------------------------------------------------------
// Connecting

TEST_F(Library, ConnectsByDevicePathAtEveryUsualRate) {
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  for (int baud :
       {TG_BAUD_1200, TG_BAUD_2400, TG_BAUD_4800, TG_BAUD_9600, TG_BAUD_57600, TG_BAUD_115200}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), baud, TG_STREAM_PACKETS), 0) << baud;
  }
  ASSERT_TRUE(headset.Send(Attention(53)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 53.0f);
  EXPECT_EQ(TG_GetDriverVersion(), NICTATE_LIBRARY_VERSION);
}

TEST_F(Library, ConnectsByComNameThroughThePortMap) {
  Map(3, headset.path());
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  int value = 10;
  for (const char *name : {"\\\\.\\COM3", "COM3", "com3", "\\\\.\\com3"}) {
    ASSERT_EQ(TG_Connect(id, name, TG_BAUD_57600, TG_STREAM_PACKETS), 0) << name;
    ASSERT_TRUE(headset.Send(Attention(value)));
    EXPECT_EQ(TG_ReadPackets(id, 1), 1) << name;
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), static_cast<float>(value)) << name;
    ++value;
  }
}

TEST_F(Library, InvalidIdIsMinusOneWhateverElseIsWrong) {
  for (int id : {-1, 128, 100000}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS),
              TG_CONNECT_INVALID_ID);
    EXPECT_EQ(TG_Connect(id, "COM99", 1234, 1), TG_CONNECT_INVALID_ID);
    EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_INVALID_ID);
    EXPECT_LT(TG_SetStreamLog(id, (dir + "/s.txt").c_str()), 0);
    EXPECT_LT(TG_SetDataLog(id, (dir + "/d.txt").c_str()), 0);
    EXPECT_LT(TG_EnableBlinkDetection(id, 1), 0);
    EXPECT_LT(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 0.0f);
  }
}

TEST_F(Library, BadBaudIsMinusThreeAndBadFormatMinusFour) {
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  for (int baud : {1234, 0, -9600, 19200, 115201}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), baud, TG_STREAM_PACKETS),
              TG_CONNECT_INVALID_BAUD)
        << baud;
  }
  for (int format : {1, 2, -1}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, format),
              TG_CONNECT_INVALID_FORMAT)
        << format;
  }
  // The rate is judged before the port and the format.
  EXPECT_EQ(TG_Connect(id, "COM99", 1234, 1), TG_CONNECT_INVALID_BAUD);
  EXPECT_EQ(TG_Connect(id, "COM99", TG_BAUD_9600, 1), TG_CONNECT_INVALID_FORMAT);
}

TEST_F(Library, PortThatCannotBeOpenedIsMinusTwo) {
  const std::string file = dir + "/not-a-tty";
  ASSERT_TRUE(std::ofstream(file) << "plain file\n");
  Map(0, headset.path());  // COM0 exists only through the map
  Map(4, file);
  Map(5, dir + "/nothing-here");
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  for (const char *name : {"COM7",         // no link in the map
                           "\\\\.\\COM4",  // a regular file, not a terminal
                           "COM5",         // a dangling link
                           "/dev/null",    // a device, but not a terminal
                           "COM", "COM3x", "COM1000", "LPT1", "", "/no/such/device"}) {
    EXPECT_EQ(TG_Connect(id, name, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED)
        << name;
  }
  EXPECT_EQ(TG_Connect(id, file.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, nullptr, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  // A failed connection is no connection.
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_INVALID_ID);
  EXPECT_EQ(TG_Connect(id, "COM0", TG_BAUD_9600, TG_STREAM_PACKETS), 0);

  // Without a map directory COM0 is no port.
  ASSERT_EQ(setenv("NICTATE_PORTS", (dir + "/no-map").c_str(), 1), 0);
  EXPECT_EQ(TG_Connect(id, "\\\\.\\COM0", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
}

TEST_F(Library, PortIsHeldExclusively) {
  Map(3, headset.path());
  const int first = TG_GetNewConnectionId();
  const int second = TG_GetNewConnectionId();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(TG_Connect(first, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  // Another connection, by either name.
  EXPECT_EQ(TG_Connect(second, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(second, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  // Another process.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int id = TG_GetNewConnectionId();
    _exit(-TG_Connect(id, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), -TG_CONNECT_PORT_NOT_OPENED);

  // Once the first lets go (it connects elsewhere), the port can be taken.
  Headset other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(first, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_Connect(second, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_TRUE(headset.Send(Attention(77)));
  EXPECT_EQ(TG_ReadPackets(second, 1), 1);
  EXPECT_EQ(TG_GetValue(second, TG_DATA_ATTENTION), 77.0f);

  // A port some other program holds (a lock on its own descriptor).
  const int third = TG_GetNewConnectionId();
  Headset locked;
  ASSERT_TRUE(locked.Open());
  const int fd = open(locked.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(TG_Connect(third, locked.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  close(fd);
  EXPECT_EQ(TG_Connect(third, locked.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
}

TEST_F(Library, PortIsClosedToOtherProgramsWhileHeldAndOpenAgainOnceLetGo) {
  // A program that takes the lock is kept out, and the port a connection
  // lets go is free again, although the terminal stays open on its other
  // side (here, and for the simulated headset). A pseudo-terminal is held by
  // the lock alone (no exclusive mode, which would outlast a killed holder),
  // so a program that takes no lock may open it. As an ordinary user.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const uid_t nobody = 65534;
    const char *path = headset.path().c_str();
    if (geteuid() == 0 &&
        (chown(path, nobody, nobody) != 0 || setgroups(0, nullptr) != 0 ||
         setresgid(nobody, nobody, nobody) != 0 || setresuid(nobody, nobody, nobody) != 0)) {
      _exit(10);
    }
    const int id = TG_GetNewConnectionId();
    if (TG_Connect(id, path, TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
      _exit(11);
    }
    const int held = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (held < 0 || flock(held, LOCK_EX | LOCK_NB) == 0 || close(held) != 0) {
      _exit(12);  // not opened, or locked while held
    }
    if (TG_Connect(id, path, TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
      _exit(13);  // the same port again
    }
    if (TG_Connect(id, "/no/such/device", TG_BAUD_9600, TG_STREAM_PACKETS) != -2) {
      _exit(14);
    }
    const int free = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    _exit(free >= 0 && flock(free, LOCK_EX | LOCK_NB) == 0 ? 0 : 15);  // 15: still held
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Library, SeventeenReconnectsOfOneIdLeaveNoDescriptorOpen) {
  // The port scan's pattern: COM0 to COM16 on one id, two of them
  // terminals, one a regular file (opened, found not a terminal, closed).
  Headset second;
  ASSERT_TRUE(second.Open());
  const std::string file = dir + "/regular";
  ASSERT_TRUE(std::ofstream(file) << "x");
  Map(3, headset.path());
  Map(5, file);
  Map(9, second.path());
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  const int before = OpenDescriptors();
  for (int round = 0; round < 3; ++round) {
    for (int port = 0; port <= 16; ++port) {
      const std::string name = "\\\\.\\COM" + std::to_string(port);
      const bool opens = port == 3 || port == 9;
      EXPECT_EQ(TG_Connect(id, name.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
                opens ? 0 : TG_CONNECT_PORT_NOT_OPENED)
          << name;
      EXPECT_EQ(OpenDescriptors(), before + (opens ? 1 : 0)) << name;
    }
  }
  // One port, seventeen times: each connection lets the last one go.
  for (int i = 0; i < 17; ++i) {
    ASSERT_EQ(TG_Connect(id, "COM9", TG_BAUD_9600, TG_STREAM_PACKETS), 0) << i;
  }
  EXPECT_EQ(OpenDescriptors(), before + 1);
  EXPECT_EQ(TG_Connect(id, "COM16", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Library, IdsAreDistinctAndRunOutAtTheTableSize) {
  // In a child process, so the table stays usable here.
  const int first = TG_GetNewConnectionId();
  ASSERT_GE(first, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int last = first;
    int more = 0;
    for (;;) {
      const int id = TG_GetNewConnectionId();
      if (id < 0) {
        break;
      }
      if (id <= last || more > 1000) {
        _exit(255);  // not fresh, or never running out
      }
      last = id;
      ++more;
    }
    _exit(TG_GetNewConnectionId() < 0 ? more : 254);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  // Ids are taken from 0 up and never given back: `first` of them were
  // taken before this one.
  EXPECT_EQ(first + 1 + WEXITSTATUS(status), 128);
}

// ---------------------------------------------------------------------------
// Reading packets

TEST_F(Library, ValidPacketReadsAsOne) {
  const int id = Connected();
  // AA AA 04 02 1A 04 35 checksum: poor signal 26 and attention 53.
  ASSERT_TRUE(headset.Send(Packet({0x02, 0x1A, 0x04, 0x35})));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_POOR_SIGNAL), 26.0f);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 53.0f);
  // A request of no packets reads nothing and returns at once.
  EXPECT_EQ(TG_ReadPackets(id, 0), 0);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
}

TEST_F(Library, BadChecksumReadsAsZeroAndGivesNoValue) {
  const int id = Connected();
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  // AA AA 02 16 63 00: a blink of 99 whose checksum should be 86. Bytes
  // came, but no packet: 0 once no more come within the read timeout.
  ASSERT_TRUE(headset.Send({0xAA, 0xAA, 0x02, 0x16, 0x63, 0x00}));
  EXPECT_EQ(TG_ReadPackets(id, 1), 0);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  ASSERT_TRUE(headset.Send(Blink(99)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 99.0f);
}

TEST_F(Library, SilenceIsMinusTwoAfterTheReadTimeout) {
  const int id = Connected();
  ASSERT_TRUE(headset.Send(Attention(40)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  ASSERT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  // The read waits in the OS for 2000 ms with no byte, not less.
  const int64_t start = NowMs();
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_NO_BYTES);
  EXPECT_GE(NowMs() - start, 1990);
  // Nothing new, and the last value stays.
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 40.0f);
}

TEST_F(Library, ClosedFarEndIsMinusThree) {
  const int id = Connected();
  ASSERT_TRUE(headset.Send(Attention(41)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  headset.Unplug();
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 41.0f);
}

TEST_F(Library, BytesAfterTheNthPacketStayForTheNextRead) {
  const int id = Connected();
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  // Two packets in one write, read one at a time with nothing written in
  // between: the second comes from what the first read left over.
  ASSERT_TRUE(headset.Send(Join({Attention(10), Attention(20)})));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 20.0f);
  // Five in one write: two, then three.
  ASSERT_TRUE(headset.Send(
      Join({Attention(1), Blink(2), Attention(3), Blink(4), Packet({0x04, 5, 0x16, 6})})));
  EXPECT_EQ(TG_ReadPackets(id, 2), 2);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 2.0f);
  EXPECT_EQ(TG_ReadPackets(id, 3), 3);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 5.0f);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 6.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 2);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 2);
}

TEST_F(Library, ConnectingAnewForgetsWhatTheOldPortLeft) {
  const int id = Connected();
  // A whole packet left over and half of one (AA AA 02 04) from the old
  // port; the new port's bytes (35 C6 ...) would complete that half.
  ASSERT_TRUE(headset.Send(Join({Attention(10), Attention(20), {0xAA, 0xAA, 0x02, 0x04}})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  Headset other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(id, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_TRUE(other.Send(Join({{0x35, 0xC6}, Attention(30)})));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 30.0f);
}

TEST_F(Library, PacketArrivingByteByByteReadsAsOne) {
  const int id = Connected();
  // Garbage first (00 13 55), then the packet a byte at a time, as a slow
  // line brings it: the read waits for the rest.
  const Bytes bytes = Join({{0x00, 0x13, 0x55}, Attention(64)});
  std::thread device([&] {
    for (uint8_t byte : bytes) {
      struct timespec pause = {0, 3 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      headset.Send({byte});
    }
  });
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  device.join();
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 64.0f);
}

TEST_F(Library, DenseStreamGivesEveryPacketOnceAndInOrder) {
  const int id = Connected();
  // The raw wave as a 57600-baud headset sends it: a packet every 1/512 s,
  // each its own write. Such a stream is read in batches (the reads are
  // spaced apart); every packet must still come out, one per read, in order.
  const int kPackets = 512;
  std::thread device([&] {
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < kPackets; ++i) {
      next.tv_nsec += 1953125;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      const int sample = i * 37 - 9000;  // 80 02, then the sample big-endian
      headset.Send(Packet({0x80, 0x02, static_cast<uint8_t>((sample >> 8) & 0xFF),
                           static_cast<uint8_t>(sample & 0xFF)}));
    }
  });
  for (int i = 0; i < kPackets; ++i) {
    ASSERT_EQ(TG_ReadPackets(id, 1), 1) << "packet " << i;
    ASSERT_EQ(TG_GetValueStatus(id, TG_DATA_RAW), 1) << "packet " << i;
    ASSERT_EQ(TG_GetValue(id, TG_DATA_RAW), static_cast<float>(i * 37 - 9000)) << "packet " << i;
  }
  device.join();
  // Then a blink alone, as the sparse stream brings it.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  ASSERT_TRUE(headset.Send(Blink(77)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 77.0f);
}

// ---------------------------------------------------------------------------
// Values

TEST_F(Library, ValueIsZeroBeforeAnyArrived) {
  const int id = Connected();
  for (int code = TG_DATA_POOR_SIGNAL; code <= TG_DATA_GAMMA2; ++code) {
    EXPECT_EQ(TG_GetValue(id, code), 0.0f) << code;
    EXPECT_EQ(TG_GetValueStatus(id, code), 0) << code;
  }
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  // Codes the library does not know.
  for (int code : {0, 13, 36, 38, -1}) {
    EXPECT_EQ(TG_GetValue(id, code), 0.0f) << code;
    EXPECT_EQ(TG_GetValueStatus(id, code), 0) << code;
  }
}

TEST_F(Library, EachCodeDecodesToItsValue) {
  const int id = Connected();
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  ASSERT_TRUE(headset.Send(Packet({
      0x02, 0x33,              // poor signal 51
      0x04, 0x35,              // attention 53
      0x05, 0x28,              // meditation 40
      0x16, 0x63,              // blink strength 99
      0x80, 0x02, 0xFC, 0x18,  // raw -1000
      0x83, 0x18,              // band powers:
      0x00, 0x00, 0x01,        //   delta 1
      0x00, 0x01, 0x00,        //   theta 256
      0x01, 0x00, 0x00,        //   low alpha 65536
      0xFF, 0xFF, 0xFF,        //   high alpha 16777215
      0x12, 0x34, 0x56,        //   low beta 1193046
      0x80, 0x00, 0x00,        //   high beta 8388608
      0x00, 0xAB, 0xCD,        //   low gamma 43981
      0x00, 0x00, 0x07,        //   mid gamma 7
  })));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  const struct {
    int code;
    float value;
  } expected[] = {
      {TG_DATA_POOR_SIGNAL, 51},    {TG_DATA_ATTENTION, 53},    {TG_DATA_MEDITATION, 40},
      {TG_DATA_RAW, -1000},         {TG_DATA_DELTA, 1},         {TG_DATA_THETA, 256},
      {TG_DATA_ALPHA1, 65536},      {TG_DATA_ALPHA2, 16777215}, {TG_DATA_BETA1, 1193046},
      {TG_DATA_BETA2, 8388608},     {TG_DATA_GAMMA1, 43981},    {TG_DATA_GAMMA2, 7},
      {TG_DATA_BLINK_STRENGTH, 99},
  };
  for (const auto &e : expected) {
    EXPECT_EQ(TG_GetValue(id, e.code), e.value) << e.code;
    EXPECT_EQ(TG_GetValueStatus(id, e.code), 1) << e.code;
  }
}

TEST_F(Library, StatusCountsTheUpdatesOfTheLatestRead) {
  const int id = Connected();
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  // A packet without a blink: 0 for blink strength.
  ASSERT_TRUE(headset.Send(Attention(30)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  // One blink: exactly one; attention not new this read.
  ASSERT_TRUE(headset.Send(Blink(120)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 30.0f);
  // Two attention rows in one packet count twice; the later value stands.
  ASSERT_TRUE(headset.Send(Packet({0x04, 31, 0x04, 32})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 2);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 32.0f);
  // A value dropped as out of range is no update: attention 101.
  ASSERT_TRUE(headset.Send(Packet({0x04, 101, 0x05, 50})));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 32.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_MEDITATION), 1);
}

TEST_F(Library, BlinkRowsCountOnlyWhileDetectionIsOn) {
  const int id = Connected();
  // Off at the start.
  ASSERT_TRUE(headset.Send(Blink(50)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 0.0f);
  // On.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  ASSERT_TRUE(headset.Send(Blink(60)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 60.0f);
  // Off again: ignored, the last value stays.
  ASSERT_EQ(TG_EnableBlinkDetection(id, 0), 0);
  ASSERT_TRUE(headset.Send(Blink(70)));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_BLINK_STRENGTH), 60.0f);
  // Neither on nor off.
  EXPECT_LT(TG_EnableBlinkDetection(id, 2), 0);
  EXPECT_LT(TG_EnableBlinkDetection(id, -1), 0);
}

TEST_F(Library, ExtendedCodeAndUnknownRowsAreSkipped) {
  const int id = Connected();
  ASSERT_EQ(TG_EnableBlinkDetection(id, 1), 0);
  ASSERT_TRUE(headset.Send(Packet({
      0x55, 0x04, 0x63,              // extended attention 99: not attention
      0x55, 0x55, 0x16, 0x50,        // extended blink: not a blink
      0x03, 0x16,                    // unknown row whose value looks like a code
      0x90, 0x03, 0x04, 0x05, 0x06,  // unknown long row
      0x04, 0x2A,                    // attention 42
      0x83, 0x30, 0x01,              // a row running past the payload
  })));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 42.0f);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_ATTENTION), 1);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_BLINK_STRENGTH), 0);
  EXPECT_EQ(TG_GetValueStatus(id, TG_DATA_DELTA), 0);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_MEDITATION), 0.0f);
}

// ---------------------------------------------------------------------------
// Logs

TEST_F(Library, LogsOpenForAFileAndNotForADirectory) {
  const int id = TG_GetNewConnectionId();
  ASSERT_GE(id, 0);
  const std::string stream = dir + "/streamLog.txt";
  const std::string data = dir + "/dataLog.txt";
  ASSERT_TRUE(std::ofstream(stream) << "left from an earlier run\n");
  EXPECT_EQ(TG_SetStreamLog(id, stream.c_str()), 0);
  EXPECT_EQ(TG_SetDataLog(id, data.c_str()), 0);
  EXPECT_EQ(ReadFile(stream), "");  // truncated
  struct stat info;
  EXPECT_EQ(stat(data.c_str(), &info), 0);  // created
  for (const std::string &bad : {dir, dir + "/missing/log.txt", std::string()}) {
    EXPECT_LT(TG_SetStreamLog(id, bad.c_str()), 0) << bad;
    EXPECT_LT(TG_SetDataLog(id, bad.c_str()), 0) << bad;
  }
  EXPECT_LT(TG_SetStreamLog(id, nullptr), 0);
  EXPECT_LT(TG_SetDataLog(id, nullptr), 0);
}

// What the child of a killed-run test wrote: every byte in order, and the
// values they carry.
struct Batch {
  Bytes bytes;
  int packets;
};

std::vector<Batch> KilledRunBatches() {
  Bytes bands = {0x83, 0x18};
  for (int band = 0; band < 8; ++band) {
    bands.insert(bands.end(), {0x00, 0x01, static_cast<uint8_t>(band)});  // 256 + band
  }
  return {
      // Poor signal 0, attention 53, meditation 40 in one packet.
      {Packet({0x02, 0x00, 0x04, 0x35, 0x05, 0x28}), 1},
      // Noise, a blink with a bad checksum (AA AA 02 16 63 00, should be
      // 86), a blink of 99, a raw sample of -200.
      {Join({{0x01, 0x02, 0x03},
             {0xAA, 0xAA, 0x02, 0x16, 0x63, 0x00},
             Blink(99),
             Packet({0x80, 0x02, 0xFF, 0x38})}),
       2},
      // Band powers (29 bytes) and attention 54: more than a line's 32.
      {Join({Packet(bands), Attention(54)}), 2},
  };
}

const char *const kKilledRunValues[] = {
    "POOR_SIGNAL 0", "ATTENTION 53", "MEDITATION 40", "BLINK_STRENGTH 99", "RAW -200",
    "DELTA 256",     "THETA 257",    "ALPHA1 258",    "ALPHA2 259",        "BETA1 260",
    "BETA2 261",     "GAMMA1 262",   "GAMMA2 263",    "ATTENTION 54",
};

// A child connects with both logs, reads batch after batch as the parent
// writes them, and then is killed: by itself with SIGKILL right after its
// last read returns, or by the parent while it waits in the next read.
void RunKilledChild(Headset *headset, const std::string &dir, bool killsItself) {
  const std::string streamLog = dir + "/streamLog.txt";
  const std::string dataLog = dir + "/dataLog.txt";
  const std::vector<Batch> batches = KilledRunBatches();
  int toChild[2];
  int toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(toChild[1]);
    close(toParent[0]);
    const int id = TG_GetNewConnectionId();
    char step = 0;
    if (TG_SetStreamLog(id, streamLog.c_str()) != 0 || TG_SetDataLog(id, dataLog.c_str()) != 0 ||
        TG_EnableBlinkDetection(id, 1) != 0 ||
        TG_Connect(id, headset->path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS) != 0 ||
        write(toParent[1], &step, 1) != 1) {
      _exit(1);
    }
    for (size_t i = 0; i < batches.size(); ++i) {
      if (read(toChild[0], &step, 1) != 1) {
        _exit(2);
      }
      if (TG_ReadPackets(id, batches[i].packets) != batches[i].packets) {
        _exit(3);
      }
      if (killsItself && i + 1 == batches.size()) {
        raise(SIGKILL);
      }
      if (write(toParent[1], &step, 1) != 1) {
        _exit(4);
      }
    }
    for (;;) {
      TG_ReadPackets(id, 1);  // waiting for more when the kill comes
    }
  }
  close(toChild[0]);
  close(toParent[1]);
  char step = 0;
  ASSERT_EQ(read(toParent[0], &step, 1), 1) << "the child did not connect";
  for (size_t i = 0; i < batches.size(); ++i) {
    ASSERT_TRUE(headset->Send(batches[i].bytes));
    ASSERT_EQ(write(toChild[1], &step, 1), 1);
    if (!killsItself || i + 1 < batches.size()) {
      ASSERT_EQ(read(toParent[0], &step, 1), 1) << "the child failed reading batch " << i;
    }
  }
  if (!killsItself) {
    ASSERT_EQ(kill(child, SIGKILL), 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  ASSERT_EQ(WTERMSIG(status), SIGKILL);
  close(toChild[1]);
  close(toParent[0]);
}

// Checks the logs of a killed run: the stream log's hex lines are the bytes
// written, exactly, at most 32 to a line; the data log has a line per value.
void ExpectKilledRunLogs(const std::string &dir) {
  Bytes written;
  for (const Batch &batch : KilledRunBatches()) {
    written.insert(written.end(), batch.bytes.begin(), batch.bytes.end());
  }
  const std::string streamText = ReadFile(dir + "/streamLog.txt");
  ASSERT_FALSE(streamText.empty());
  EXPECT_EQ(streamText.back(), '\n');
  Bytes logged;
  for (const std::string &line : Lines(streamText)) {
    unsigned long long seconds = 0;
    char micros[8] = "";
    int at = 0;
    ASSERT_EQ(sscanf(line.c_str(), "%llu.%6[0-9]%n", &seconds, micros, &at), 2) << line;
    EXPECT_EQ(std::strlen(micros), 6u) << line;
    const std::string hex = line.substr(at);
    ASSERT_EQ(hex.size() % 3, 0u) << line;
    EXPECT_LE(hex.size() / 3, 32u) << line;
    EXPECT_GE(hex.size() / 3, 1u) << line;
    for (size_t i = 0; i < hex.size(); i += 3) {
      const std::string pair = hex.substr(i + 1, 2);
      ASSERT_EQ(hex[i], ' ') << line;
      ASSERT_EQ(pair.find_first_not_of("0123456789ABCDEF"), std::string::npos) << line;
      logged.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    }
  }
  EXPECT_EQ(logged, written);

  // The replay of docs/logs.md gives the same bytes.
  const std::string command =
      "perl -ne 'print map { chr hex } / ([0-9A-F]{2})/g if /^\\d+\\.\\d{6}( [0-9A-F]{2})+$/' " +
      dir + "/streamLog.txt";
  FILE *replay = popen(command.c_str(), "r");
  ASSERT_NE(replay, nullptr);
  Bytes replayed;
  int c;
  while ((c = fgetc(replay)) != EOF) {
    replayed.push_back(static_cast<uint8_t>(c));
  }
  EXPECT_EQ(pclose(replay), 0);
  EXPECT_EQ(replayed, written);

  const std::string dataText = ReadFile(dir + "/dataLog.txt");
  ASSERT_FALSE(dataText.empty());
  EXPECT_EQ(dataText.back(), '\n');
  const std::vector<std::string> lines = Lines(dataText);
  const size_t count = sizeof kKilledRunValues / sizeof kKilledRunValues[0];
  ASSERT_EQ(lines.size(), count) << dataText;
  for (size_t i = 0; i < count; ++i) {
    const size_t space = lines[i].find(' ');
    EXPECT_EQ(lines[i].substr(space + 1), kKilledRunValues[i]);
    unsigned long long seconds = 0;
    char micros[8] = "";
    int at = 0;
    EXPECT_EQ(sscanf(lines[i].c_str(), "%llu.%6[0-9]%n", &seconds, micros, &at), 2) << lines[i];
    EXPECT_EQ(static_cast<size_t>(at), space) << lines[i];
  }
}

TEST_F(Library, LogsHoldWhatWasReadWhenTheProcessKillsItselfRightAfterARead) {
  RunKilledChild(&headset, dir, true);
  ExpectKilledRunLogs(dir);
}

TEST_F(Library, LogsHoldWhatWasReadWhenTheProcessIsKilledWaitingForMore) {
  RunKilledChild(&headset, dir, false);
  ExpectKilledRunLogs(dir);
}

}  // namespace

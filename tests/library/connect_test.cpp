// Connecting: ports by device path and by COM name through the port map,
// the results of every wrong argument, a port held by one connection at a
// time, and the descriptors and ids that connecting uses.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testkit/process.h"
#include "testkit/procfs.h"
#include "tests/library/fixture.h"

namespace {

TEST_F(Library, ConnectsByDevicePathAtEveryUsualRate) {
  const int id = NewId();
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
  const int id = NewId();
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
    EXPECT_LT(TG_SetStreamLog(id, (dir.path() + "/s.txt").c_str()), 0);
    EXPECT_LT(TG_SetDataLog(id, (dir.path() + "/d.txt").c_str()), 0);
    EXPECT_LT(TG_EnableBlinkDetection(id, 1), 0);
    EXPECT_LT(TG_GetValueStatus(id, TG_DATA_ATTENTION), 0);
    EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 0.0f);
  }
}

TEST_F(Library, BadBaudIsMinusThreeAndBadFormatMinusFour) {
  const int id = NewId();
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
  const std::string file = dir.Write("not-a-tty", "plain file\n");
  Map(0, headset.path());  // COM0 exists only through the map
  Map(4, file);
  Map(5, dir.path() + "/nothing-here");
  const int id = NewId();
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
  ASSERT_EQ(setenv("NICTATE_PORTS", (dir.path() + "/no-map").c_str(), 1), 0);
  EXPECT_EQ(TG_Connect(id, "\\\\.\\COM0", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
}

TEST_F(Library, PortIsHeldExclusively) {
  Map(3, headset.path());
  const int first = NewId();
  const int second = NewId();
  ASSERT_EQ(TG_Connect(first, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_EnableBlinkDetection(first, 1), 0);
  // Bytes wait unread while the others try.
  ASSERT_TRUE(headset.Send(Packet({0x04, 31, 0x16, 61})));
  for (const std::string &name : {std::string("COM3"), headset.path()}) {
    // Another connection, by either name.
    EXPECT_EQ(TG_Connect(second, name.c_str(), TG_BAUD_57600, TG_STREAM_PACKETS),
              TG_CONNECT_PORT_NOT_OPENED)
        << name;
    // Another process: this program again, which tries the port (main).
    testkit::Command command;
    command.argv = {"/proc/self/exe", "--connect", name};
    testkit::Process other(command);
    ASSERT_TRUE(testkit::WaitExit(&other, 10));
    EXPECT_EQ(other.ExitCode(), -TG_CONNECT_PORT_NOT_OPENED) << name << other.err();
  }
  EXPECT_EQ(TG_ReadPackets(second, 1), TG_READ_INVALID_ID);
  // The holder reads on, the waiting bytes intact.
  ASSERT_EQ(TG_ReadPackets(first, 1), 1);
  EXPECT_EQ(TG_GetValue(first, TG_DATA_ATTENTION), 31.0f);
  EXPECT_EQ(TG_GetValue(first, TG_DATA_BLINK_STRENGTH), 61.0f);

  // Once the first lets go (it connects elsewhere), the port can be taken.
  testkit::PtyHeadset other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(first, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_Connect(second, "COM3", TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_TRUE(headset.Send(Attention(77)));
  EXPECT_EQ(TG_ReadPackets(second, 1), 1);
  EXPECT_EQ(TG_GetValue(second, TG_DATA_ATTENTION), 77.0f);

  // A port some other program holds (a lock on its own descriptor).
  const int third = NewId();
  testkit::PtyHeadset locked;
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
  testkit::PtyHeadset second;
  ASSERT_TRUE(second.Open());
  const std::string file = dir.Write("regular", "x");
  Map(3, headset.path());
  Map(5, file);
  Map(9, second.path());
  const int id = NewId();
  const int before = testkit::OpenDescriptors();
  for (int round = 0; round < 3; ++round) {
    for (int port = 0; port <= 16; ++port) {
      const std::string name = "\\\\.\\COM" + std::to_string(port);
      const bool opens = port == 3 || port == 9;
      EXPECT_EQ(TG_Connect(id, name.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
                opens ? 0 : TG_CONNECT_PORT_NOT_OPENED)
          << name;
      EXPECT_EQ(testkit::OpenDescriptors(), before + (opens ? 1 : 0)) << name;
    }
  }
  // One port, seventeen times: each connection lets the last one go.
  for (int i = 0; i < 17; ++i) {
    ASSERT_EQ(TG_Connect(id, "COM9", TG_BAUD_9600, TG_STREAM_PACKETS), 0) << i;
  }
  EXPECT_EQ(testkit::OpenDescriptors(), before + 1);
  EXPECT_EQ(TG_Connect(id, "COM16", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(testkit::OpenDescriptors(), before);
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

}  // namespace

// Run as `--connect NAME`: a second process that tries the port, its exit
// status the result negated.
int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--connect") == 0) {
    return -TG_Connect(TG_GetNewConnectionId(), argv[2], TG_BAUD_9600, TG_STREAM_PACKETS);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

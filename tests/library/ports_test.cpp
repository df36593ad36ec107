// Ports: held by one connection and one program at a time, given back as
// they were found, free for the next run however the last one ended, and
// terminals that are not the library's to take (a session's controlling
// terminal, a terminal number reused after an unplug: faults_test.cpp). The
// tests of exclusive mode run as an ordinary user, since root passes by it.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "testkit/process.h"
#include "tests/library/fixture.h"
#include "thinkgear/devices_posix.h"

// The line set-up can be made to fail: the library's tcsetattr calls come
// here first (the program's own definition is the one the shared library
// binds to).
static int gFailTcsetattr = 0;  // calls still to fail

extern "C" int tcsetattr(int fd, int actions, const struct termios *settings) {
  using Real = int (*)(int, int, const struct termios *);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  if (gFailTcsetattr > 0) {
    --gFailTcsetattr;
    errno = EIO;
    return -1;
  }
  return real(fd, actions, settings);
}

namespace {

const char kNoNobody[] = "cannot become an ordinary user (nobody) here";

using LibraryPorts = Library;

// ---------------------------------------------------------------------------
// Held by one connection and one program at a time

TEST_F(LibraryPorts, PortIsHeldExclusively) {
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

TEST_F(LibraryPorts, PortIsClosedToOtherProgramsWhileHeldAndOpenAgainOnceLetGo) {
  // A program that takes the lock is kept out, and the port a connection
  // lets go is free again, although the terminal stays open on its other
  // side (here, and for the simulated headset). A pseudo-terminal is held by
  // the lock alone (no exclusive mode, which would outlast a killed holder),
  // so a program that takes no lock may open it. As an ordinary user.
  const std::string path = headset.path();
  const int status = InChild(
      [&] {
        const int id = TG_GetNewConnectionId();
        if (TG_Connect(id, path.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
          return 11;
        }
        const int held = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (held < 0 || flock(held, LOCK_EX | LOCK_NB) == 0 || close(held) != 0) {
          return 12;  // not opened, or locked while held
        }
        if (TG_Connect(id, path.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
          return 13;  // the same port again
        }
        if (TG_Connect(id, "/no/such/device", TG_BAUD_9600, TG_STREAM_PACKETS) != -2) {
          return 14;
        }
        const int free = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return free >= 0 && flock(free, LOCK_EX | LOCK_NB) == 0 ? 0 : 15;  // 15: still held
      },
      path);
  EXPECT_EQ(status, 0);
}

TEST_F(LibraryPorts, APortHeldByARunThatWasKilledIsFreeForTheNextRun) {
  // The simulator's way: its side of the terminal stays open throughout
  // (here, this process's). A run is ended by each signal in turn while it
  // holds the port; the next run of the same user takes it.
  const std::string path = headset.path();
  for (int signal : {SIGKILL, SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const int status = InChild(
        [&] {
          const int run = InChild([&] {
            const int id = TG_GetNewConnectionId();
            if (TG_Connect(id, path.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
              return 1;
            }
            raise(signal);
            return 2;
          });
          if (run != 200 + signal) {
            return 2;
          }
          const int id = TG_GetNewConnectionId();
          return TG_Connect(id, path.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS) == 0 ? 0 : 3;
        },
        path);
    if (status == kNoOrdinaryUser) {
      GTEST_SKIP() << kNoNobody;
    }
    EXPECT_EQ(status, 0);
  }
}

// ---------------------------------------------------------------------------
// Given back as they were found

// The settings that tell a terminal's state apart.
struct Settings {
  tcflag_t iflag, oflag, cflag, lflag;
  speed_t speed;
  cc_t vmin, vtime;
  bool operator==(const Settings &o) const {
    return iflag == o.iflag && oflag == o.oflag && cflag == o.cflag && lflag == o.lflag &&
           speed == o.speed && vmin == o.vmin && vtime == o.vtime;
  }
};

Settings Read(const std::string &path) {
  Settings s = {};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct termios tio;
  if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
    s = {tio.c_iflag,       tio.c_oflag,    tio.c_cflag,    tio.c_lflag,
         cfgetispeed(&tio), tio.c_cc[VMIN], tio.c_cc[VTIME]};
  }
  if (fd >= 0) {
    close(fd);
  }
  return s;
}

// Puts a terminal in a cooked state of its own: line editing, echo, 38400.
void MakeCooked(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_lflag |= ICANON | ECHO | ISIG;
  tio.c_iflag |= ICRNL;
  tio.c_oflag |= OPOST;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ASSERT_EQ(cfsetispeed(&tio, B38400), 0);
  ASSERT_EQ(cfsetospeed(&tio, B38400), 0);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  close(fd);
}

TEST_F(LibraryPorts, TerminalSettingsAreGivenBackWhenThePortIsLetGo) {
  // The scan's pattern: a port opens, is tried, and is left for the next
  // name, good or bad; and a port given up for another.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  const int id = NewId();
  for (const char *next : {"/no/such/port", "COM9"}) {
    ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
    const Settings raw = Read(headset.path());
    EXPECT_FALSE(raw == cooked);
    EXPECT_EQ(raw.lflag & ICANON, 0u);
    EXPECT_EQ(raw.speed, static_cast<speed_t>(B9600));
    EXPECT_EQ(TG_Connect(id, next, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
    EXPECT_TRUE(Read(headset.path()) == cooked) << "left raw after " << next;
  }
  testkit::PtyHeadset other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_Connect(id, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  EXPECT_TRUE(Read(headset.path()) == cooked);
}

TEST_F(LibraryPorts, ALineThatCannotBeSetUpIsLeftAsItWasFound) {
  // tcsetattr fails once: -2, and the terminal is free for the next
  // program, settings and all. As an ordinary user, whom an exclusive mode
  // left behind would keep out.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  const std::string path = headset.path();
  const int status = InChild(
      [&] {
        gFailTcsetattr = 1;
        const int id = TG_GetNewConnectionId();
        if (TG_Connect(id, path.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS) !=
            TG_CONNECT_PORT_NOT_OPENED) {
          return 1;
        }
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          return 2;  // left exclusive
        }
        return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 3;
      },
      path);
  if (status == kNoOrdinaryUser) {
    GTEST_SKIP() << kNoNobody;
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Read(headset.path()) == cooked);
}

// ---------------------------------------------------------------------------
// Terminals that are not the library's to take

TEST_F(LibraryPorts, ASessionsControllingTerminalIsRefusedAndLeftAlone) {
  // A program starts a session on the terminal, as a shell or a login on a
  // serial line does; while it lives, the terminal is refused unchanged.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  const int terminal = open(headset.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  testkit::Command command;
  command.argv = {"sh", "-c", "echo ready; exec sleep 60"};
  command.inFd = terminal;
  command.controllingTty = true;
  testkit::Process shell(command);
  close(terminal);
  ASSERT_TRUE(shell.started()) << shell.error();
  ASSERT_TRUE(testkit::WaitUntil({&shell}, 10, [&] { return shell.out() == "ready\n"; }))
      << shell.err();
  Map(2, headset.path());
  const int id = NewId();
  EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "COM2", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_TRUE(Read(headset.path()) == cooked);
  // The session over, the terminal is anyone's.
  shell.Stop();
  EXPECT_FALSE(shell.Running());
  EXPECT_EQ(TG_Connect(id, "COM2", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
}

// ---------------------------------------------------------------------------
// How the library knows a device again after an unplug: a sysfs tree made
// for the test, sys/dev/char/M:m linked to the device's directory under
// sys/devices, with the files sysfs would have there.

// Makes the device directory (a path under sys/devices) and its link.
void Device(const std::string &sys, const std::string &number, const std::string &path) {
  std::filesystem::create_directories(sys + "/devices/" + path);
  std::filesystem::create_directories(sys + "/dev/char");
  const std::string entry = sys + "/dev/char/" + number;
  (void)unlink(entry.c_str());
  ASSERT_EQ(symlink(("../../devices/" + path).c_str(), entry.c_str()), 0);
}

void File(const std::string &sys, const std::string &path, const std::string &text) {
  std::ofstream(sys + "/devices/" + path) << text << "\n";
}

TEST_F(LibraryPorts, AUsbAdapterIsKnownByItsMakerModelAndSerialNumber) {
  const std::string sys = dir.path() + "/sys";
  const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
  Device(sys, "188:0", usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");
  File(sys, usb + "/idVendor", "0403");
  File(sys, usb + "/idProduct", "6001");
  File(sys, usb + "/serial", "A1B2C3");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 serial A1B2C3");
  // Another adapter of the same model in the same USB port: not the same.
  File(sys, usb + "/serial", "Z9Y8X7");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 serial Z9Y8X7");
  // Without a serial number, an adapter is known by the USB port it is in.
  ASSERT_EQ(unlink((sys + "/devices/" + usb + "/serial").c_str()), 0);
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 port 1-2");
  Device(sys, "188:0", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB0/tty/ttyUSB0");
  File(sys, "pci0000:00/0000:00:14.0/usb1/1-3/idVendor", "0403");
  File(sys, "pci0000:00/0000:00:14.0/usb1/1-3/idProduct", "6001");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 port 1-3");
}

TEST_F(LibraryPorts, ABluetoothTerminalIsKnownByTheRemoteDeviceAndChannel) {
  const std::string sys = dir.path() + "/sys";
  Device(sys, "216:0", "virtual/tty/rfcomm0");
  File(sys, "virtual/tty/rfcomm0/address", "00:13:ef:00:11:22");
  File(sys, "virtual/tty/rfcomm0/channel", "1");
  EXPECT_EQ(tg::SysfsIdentity(sys, 216, 0), "bluetooth 00:13:ef:00:11:22 channel 1");
  File(sys, "virtual/tty/rfcomm0/address", "00:13:ef:00:99:99");
  EXPECT_EQ(tg::SysfsIdentity(sys, 216, 0), "bluetooth 00:13:ef:00:99:99 channel 1");
}

TEST_F(LibraryPorts, AnyOtherDeviceIsKnownByItsPlaceAndAnUnknownOneNotAtAll) {
  const std::string sys = dir.path() + "/sys";
  Device(sys, "4:64", "platform/serial8250/tty/ttyS0");
  EXPECT_EQ(tg::SysfsIdentity(sys, 4, 64), "device /platform/serial8250/tty/ttyS0");
  EXPECT_EQ(tg::SysfsIdentity(sys, 4, 65), "");
}

}  // namespace

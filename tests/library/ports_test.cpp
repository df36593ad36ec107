// The device library with ports and log names a careless or hostile
// environment offers: terminals that belong to a session, pseudo-terminal
// masters, a terminal number reused after an unplug, runs that end by a
// signal, lines that cannot be set up, and log names that point at things a
// write can wait on. Through the public operations, with pseudo-terminals;
// the tests of exclusive mode run as an ordinary user, since root passes by
// it.
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "link/thinkgear.h"
#include "tests/pty_port.h"
#include "tests/stream_bytes.h"
#include "thinkgear/serial.h"

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

using testbytes::Bytes;
using testbytes::Packet;

Bytes Attention(int value) { return Packet({0x04, static_cast<uint8_t>(value)}); }

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

// The exit status of a child that could not become an ordinary user.
const int kNoOrdinaryUser = 100;

// Runs `body` in a child process as an ordinary user (nobody, when this
// runs as root, with the pseudo-terminal given to it) and returns its exit
// status; 0 is success. A child that does not end within 20 s is killed.
int AsOrdinaryUser(const std::string &terminal, int (*body)(const char *)) {
  const pid_t child = fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    alarm(20);
    const uid_t nobody = 65534;
    if (geteuid() == 0 &&
        (chown(terminal.c_str(), nobody, nobody) != 0 || setgroups(0, nullptr) != 0 ||
         setresgid(nobody, nobody, nobody) != 0 || setresuid(nobody, nobody, nobody) != 0)) {
      _exit(kNoOrdinaryUser);
    }
    _exit(body(terminal.c_str()));
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// A private directory with a port map in NICTATE_PORTS, and a headset on a
// pseudo-terminal.
class Ports : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nictate-ports-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    ports = dir + "/ports";
    ASSERT_EQ(mkdir(ports.c_str(), 0700), 0);
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
    ASSERT_TRUE(headset.Open());
    id = TG_GetNewConnectionId();
    ASSERT_GE(id, 0);
  }
  void TearDown() override { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

  std::string dir;
  std::string ports;
  PtyPort headset;
  int id = -1;
};

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

// ---------------------------------------------------------------------------
// Settings given back

TEST_F(Ports, TerminalSettingsAreGivenBackWhenThePortIsLetGo) {
  // The scan's pattern: a port opens, is tried, and is left for the next
  // name, good or bad; and a port given up for another.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  for (const char *next : {"/no/such/port", "COM9"}) {
    ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
    const Settings raw = Read(headset.path());
    EXPECT_FALSE(raw == cooked);
    EXPECT_EQ(raw.lflag & ICANON, 0u);
    EXPECT_EQ(raw.speed, static_cast<speed_t>(B9600));
    EXPECT_EQ(TG_Connect(id, next, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
    EXPECT_TRUE(Read(headset.path()) == cooked) << "left raw after " << next;
  }
  PtyPort other;
  ASSERT_TRUE(other.Open());
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  ASSERT_EQ(TG_Connect(id, other.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
  EXPECT_TRUE(Read(headset.path()) == cooked);
}

// As an ordinary user: a connect whose line set-up fails (tcsetattr fails
// once) returns -2 and leaves the terminal free: 0, else where it is not.
int ConnectFailingSetUp(const char *path) {
  gFailTcsetattr = 1;
  const int id = TG_GetNewConnectionId();
  if (TG_Connect(id, path, TG_BAUD_9600, TG_STREAM_PACKETS) != TG_CONNECT_PORT_NOT_OPENED) {
    return 1;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 2;  // left exclusive
  }
  return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 3;
}

TEST_F(Ports, ALineThatCannotBeSetUpIsLeftAsItWasFound) {
  // -2, and the terminal is free for the next program, settings and all.
  // As an ordinary user, whom an exclusive mode left behind would keep out.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  const int status = AsOrdinaryUser(headset.path(), ConnectFailingSetUp);
  if (status == kNoOrdinaryUser) {
    GTEST_SKIP() << "cannot become an ordinary user (nobody) here";
  }
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Read(headset.path()) == cooked);
}

// ---------------------------------------------------------------------------
// Terminals that are not ours to take

TEST_F(Ports, ASessionsControllingTerminalIsRefusedAndLeftAlone) {
  // A child starts a session on the terminal, as a shell or a login on a
  // serial line does; while it lives, the terminal is refused unchanged.
  MakeCooked(headset.path());
  const Settings cooked = Read(headset.path());
  int ready[2];
  int done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t shell = fork();
  ASSERT_GE(shell, 0);
  if (shell == 0) {
    char byte = 0;
    const int fd = setsid() < 0 ? -1 : open(headset.path().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0 || write(ready[1], &byte, 1) != 1) {
      _exit(1);
    }
    _exit(read(done[0], &byte, 1) == 1 ? 0 : 2);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(symlink(headset.path().c_str(), (ports + "/com2").c_str()), 0);
  EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "COM2", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_TRUE(Read(headset.path()) == cooked);
  // The session over, the terminal is anyone's.
  ASSERT_EQ(write(done[1], &byte, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(shell, &status, 0), shell);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(TG_Connect(id, "COM2", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) {
    close(fd);
  }
}

TEST_F(Ports, APseudoTerminalMasterIsRefused) {
  // /dev/ptmx would make a new pair at each connect; by its path and
  // through the map.
  ASSERT_EQ(symlink("/dev/ptmx", (ports + "/com4").c_str()), 0);
  EXPECT_EQ(TG_Connect(id, "/dev/ptmx", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "COM4", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "/dev/pts/ptmx", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
}

// ---------------------------------------------------------------------------
// After an unplug

TEST_F(Ports, AfterAnUnplugATerminalNumberReusedBehindTheSameLinkIsNotTaken) {
  // A simulator killed leaves its com3 link behind; the terminal's number
  // comes back as another program's terminal. The library must not take
  // it, nor read its bytes. A link made anew says the device is there.
  int master = -1;
  int slave = -1;
  char name[64];
  struct termios raw;
  std::memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  ASSERT_EQ(cfsetispeed(&raw, B9600), 0);
  ASSERT_EQ(cfsetospeed(&raw, B9600), 0);
  ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
  const std::string link = ports + "/com3";
  ASSERT_EQ(symlink(name, link.c_str()), 0);
  ASSERT_EQ(TG_Connect(id, "COM3", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  const Bytes first = Attention(10);
  ASSERT_EQ(write(master, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  close(slave);
  close(master);
  ASSERT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);

  // The same number again: new terminals are opened until one has it.
  std::vector<int> others;
  master = -1;
  for (int i = 0; i < 64 && master < 0; ++i) {
    int m = -1;
    int s = -1;
    char again[64];
    ASSERT_EQ(openpty(&m, &s, again, nullptr, nullptr), 0);
    if (std::strcmp(again, name) == 0) {
      master = m;
      slave = s;
    } else {
      others.push_back(m);
      others.push_back(s);
    }
  }
  for (int fd : others) {
    close(fd);
  }
  if (master < 0) {
    GTEST_SKIP() << name << " was not given out again";
  }
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  const Bytes theirs = Attention(66);
  ASSERT_EQ(write(master, theirs.data(), theirs.size()), static_cast<ssize_t>(theirs.size()));
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 10.0f);
  // Its bytes are still there for its owner.
  ASSERT_EQ(fcntl(slave, F_SETFL, O_NONBLOCK), 0);
  uint8_t got[16];
  EXPECT_EQ(read(slave, got, sizeof got), static_cast<ssize_t>(theirs.size()));

  // Published anew (a link made and renamed over the old one): taken.
  const std::string fresh = link + ".new";
  ASSERT_EQ(symlink(name, fresh.c_str()), 0);
  ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
  const Bytes back = Attention(11);
  ASSERT_EQ(write(master, back.data(), back.size()), static_cast<ssize_t>(back.size()));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 11.0f);
  close(slave);
  close(master);
}

// A sysfs tree made for the test: sys/dev/char/M:m links to the device's
// directory under sys/devices, with the files sysfs would have there.
class Sysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nictate-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    sys = root + "/sys";
    ASSERT_EQ(system(("mkdir -p " + sys + "/dev/char " + sys + "/devices").c_str()), 0);
  }
  void TearDown() override { nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

  // Makes the device directory (a path under sys/devices) and its link.
  void Device(const std::string &number, const std::string &path) {
    ASSERT_EQ(system(("mkdir -p " + sys + "/devices/" + path).c_str()), 0);
    const std::string entry = sys + "/dev/char/" + number;
    (void)unlink(entry.c_str());
    ASSERT_EQ(symlink(("../../devices/" + path).c_str(), entry.c_str()), 0);
  }
  void File(const std::string &path, const std::string &text) {
    std::ofstream(sys + "/devices/" + path) << text << "\n";
  }

  std::string root;
  std::string sys;
};

TEST_F(Sysfs, AUsbAdapterIsKnownByItsMakerModelAndSerialNumber) {
  const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
  Device("188:0", usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");
  File(usb + "/idVendor", "0403");
  File(usb + "/idProduct", "6001");
  File(usb + "/serial", "A1B2C3");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 serial A1B2C3");
  // Another adapter of the same model in the same USB port: not the same.
  File(usb + "/serial", "Z9Y8X7");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 serial Z9Y8X7");
  // Without a serial number, an adapter is known by the USB port it is in.
  ASSERT_EQ(unlink((sys + "/devices/" + usb + "/serial").c_str()), 0);
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 port 1-2");
  Device("188:0", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB0/tty/ttyUSB0");
  File("pci0000:00/0000:00:14.0/usb1/1-3/idVendor", "0403");
  File("pci0000:00/0000:00:14.0/usb1/1-3/idProduct", "6001");
  EXPECT_EQ(tg::SysfsIdentity(sys, 188, 0), "usb 0403:6001 port 1-3");
}

TEST_F(Sysfs, ABluetoothTerminalIsKnownByTheRemoteDeviceAndChannel) {
  Device("216:0", "virtual/tty/rfcomm0");
  File("virtual/tty/rfcomm0/address", "00:13:ef:00:11:22");
  File("virtual/tty/rfcomm0/channel", "1");
  EXPECT_EQ(tg::SysfsIdentity(sys, 216, 0), "bluetooth 00:13:ef:00:11:22 channel 1");
  File("virtual/tty/rfcomm0/address", "00:13:ef:00:99:99");
  EXPECT_EQ(tg::SysfsIdentity(sys, 216, 0), "bluetooth 00:13:ef:00:99:99 channel 1");
}

TEST_F(Sysfs, AnyOtherDeviceIsKnownByItsPlaceAndAnUnknownOneNotAtAll) {
  Device("4:64", "platform/serial8250/tty/ttyS0");
  EXPECT_EQ(tg::SysfsIdentity(sys, 4, 64), "device /platform/serial8250/tty/ttyS0");
  EXPECT_EQ(tg::SysfsIdentity(sys, 4, 65), "");
}

// ---------------------------------------------------------------------------
// Free for the next run, however the last one ended

// As an ordinary user: a run connects and is ended by gEndingSignal while
// it holds the port, then the next run connects: 0 when it can.
int gEndingSignal = SIGKILL;
int KilledRunThenNextRun(const char *path) {
  const pid_t run = fork();
  if (run < 0) {
    return 1;
  }
  if (run == 0) {
    const int id = TG_GetNewConnectionId();
    if (TG_Connect(id, path, TG_BAUD_9600, TG_STREAM_PACKETS) != 0) {
      _exit(1);
    }
    raise(gEndingSignal);
    _exit(2);
  }
  int status = 0;
  if (waitpid(run, &status, 0) != run || !WIFSIGNALED(status)) {
    return 2;
  }
  const int id = TG_GetNewConnectionId();
  return TG_Connect(id, path, TG_BAUD_9600, TG_STREAM_PACKETS) == 0 ? 0 : 3;
}

TEST_F(Ports, APortHeldByARunThatWasKilledIsFreeForTheNextRun) {
  // The simulator's way: its side of the terminal stays open throughout
  // (here, this process's). A run is ended by each signal in turn while it
  // holds the port; the next run of the same user takes it.
  for (int signal : {SIGKILL, SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    gEndingSignal = signal;
    const int status = AsOrdinaryUser(headset.path(), KilledRunThenNextRun);
    if (status == kNoOrdinaryUser) {
      GTEST_SKIP() << "cannot become an ordinary user (nobody) here";
    }
    EXPECT_EQ(status, 0);
  }
}

// ---------------------------------------------------------------------------
// Arguments checked before the port is touched

TEST_F(Ports, ArgumentErrorsLeaveTheConnectionAsItWas) {
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  EXPECT_EQ(TG_Connect(id, headset.path().c_str(), 1234, TG_STREAM_PACKETS),
            TG_CONNECT_INVALID_BAUD);
  EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, 7), TG_CONNECT_INVALID_FORMAT);
  EXPECT_EQ(TG_Connect(id, nullptr, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  // Still connected, to the same port, at the same rate.
  ASSERT_TRUE(headset.Send(Attention(44)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 44.0f);
  EXPECT_EQ(Read(headset.path()).speed, static_cast<speed_t>(B9600));
  // A name that is no port lets the old one go (it was let go first).
  EXPECT_EQ(TG_Connect(id, "/no/such/port", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_INVALID_ID);
}

// ---------------------------------------------------------------------------
// Log names

TEST_F(Ports, LogNamesThatCouldMakeAWriteWaitAreRefusedAtOnce) {
  const std::string fifo = dir + "/streamLog.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socketPath = dir + "/socket";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(symlink(fifo.c_str(), (dir + "/link-to-fifo").c_str()), 0);
  const std::string file = dir + "/dataLog.txt";

  // In a child that a hang would not hold: it ends in 10 s.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);
    const int id = TG_GetNewConnectionId();
    int refused = 0;
    // A FIFO with no reader, a link to it, a socket, a terminal, a
    // directory.
    for (const std::string &name : {fifo, dir + "/link-to-fifo", socketPath, headset.path(), dir}) {
      refused += TG_SetStreamLog(id, name.c_str()) < 0 ? 1 : 0;
      refused += TG_SetDataLog(id, name.c_str()) < 0 ? 1 : 0;
    }
    // A FIFO with a reader.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    refused += reader >= 0 && TG_SetStreamLog(id, fifo.c_str()) < 0 ? 1 : 0;
    if (refused != 11) {
      _exit(1);
    }
    // What takes every write at once.
    for (const char *name : {"/dev/null", "/dev/full", "/dev/zero", file.c_str()}) {
      if (TG_SetStreamLog(id, name) != 0 || TG_SetDataLog(id, name) != 0) {
        _exit(2);
      }
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "hung, or died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(listener);
}

}  // namespace

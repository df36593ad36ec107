// Connecting: ports by device path and by COM name through the port map,
// the results of every wrong argument, and the descriptors and ids that
// connecting uses. (How a port is held and given back: ports_test.cpp.)
#include <termios.h>

#include <cstring>
#include <string>

#include "testkit/procfs.h"
#include "tests/library/fixture.h"

namespace {

using LibraryConnect = Library;

TEST_F(LibraryConnect, ConnectsByDevicePathAtEveryUsualRate) {
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

TEST_F(LibraryConnect, ConnectsByComNameThroughThePortMap) {
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

TEST_F(LibraryConnect, InvalidIdIsMinusOneWhateverElseIsWrong) {
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

TEST_F(LibraryConnect, ArgumentErrorsAreMinusThreeAndMinusFourAndLeaveTheConnectionAsItWas) {
  // The arguments are checked before the port is touched.
  const int id = NewId();
  ASSERT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  for (int baud : {1234, 0, -9600, 19200, 115201}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), baud, TG_STREAM_PACKETS),
              TG_CONNECT_INVALID_BAUD)
        << baud;
  }
  for (int format : {1, 2, 7, -1}) {
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_9600, format),
              TG_CONNECT_INVALID_FORMAT)
        << format;
  }
  // The rate is judged before the port and the format.
  EXPECT_EQ(TG_Connect(id, "COM99", 1234, 1), TG_CONNECT_INVALID_BAUD);
  EXPECT_EQ(TG_Connect(id, "COM99", TG_BAUD_9600, 1), TG_CONNECT_INVALID_FORMAT);
  // No name at all is -2, and an argument error too.
  EXPECT_EQ(TG_Connect(id, nullptr, TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_Connect(id, "", TG_BAUD_9600, TG_STREAM_PACKETS), TG_CONNECT_PORT_NOT_OPENED);
  // Still connected, to the same port, at the same rate.
  ASSERT_TRUE(headset.Send(Attention(44)));
  EXPECT_EQ(TG_ReadPackets(id, 1), 1);
  EXPECT_EQ(TG_GetValue(id, TG_DATA_ATTENTION), 44.0f);
  EXPECT_EQ(headset.Speed(), static_cast<unsigned>(B9600));
  // A name that is no port lets the old one go (it was let go first).
  EXPECT_EQ(TG_Connect(id, "/no/such/port", TG_BAUD_9600, TG_STREAM_PACKETS),
            TG_CONNECT_PORT_NOT_OPENED);
  EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_INVALID_ID);
}

TEST_F(LibraryConnect, PortThatCannotBeOpenedIsMinusTwo) {
  const std::string file = dir.Write("not-a-tty", "plain file\n");
  Map(0, headset.path());  // COM0 exists only through the map
  Map(4, file);
  Map(5, dir.path() + "/nothing-here");
  Map(6, "/dev/ptmx");
  const int id = NewId();
  for (const char *name : {"COM7",         // no link in the map
                           "\\\\.\\COM4",  // a regular file, not a terminal
                           "COM5",         // a dangling link
                           "/dev/null",    // a device, but not a terminal
                           // A pseudo-terminal master, which would make a new
                           // pair at each connect: by its path and the map.
                           "/dev/ptmx", "/dev/pts/ptmx", "COM6", "COM", "COM3x", "COM1000", "LPT1",
                           "", "/no/such/device"}) {
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

TEST_F(LibraryConnect, SeventeenReconnectsOfOneIdLeaveNoDescriptorOpen) {
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

TEST_F(LibraryConnect, IdsAreDistinctAndRunOutAtTheTableSize) {
  // In a child process, so the table stays usable here.
  const int first = TG_GetNewConnectionId();
  ASSERT_GE(first, 0);
  const int more = InChild([&] {
    int last = first;
    int taken = 0;
    for (int id; (id = TG_GetNewConnectionId()) >= 0; last = id, ++taken) {
      if (id <= last || taken > 1000) {
        return 255;  // not fresh, or never running out
      }
    }
    return TG_GetNewConnectionId() < 0 ? taken : 254;
  });
  // Ids are taken from 0 up and never given back: `first` of them were
  // taken before this one.
  EXPECT_EQ(first + 1 + more, 128);
}

}  // namespace

// Run as `--connect NAME`: a second process that tries the port, its exit
// status the result negated (ports_test.cpp).
int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--connect") == 0) {
    return -TG_Connect(TG_GetNewConnectionId(), argv[2], TG_BAUD_9600, TG_STREAM_PACKETS);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

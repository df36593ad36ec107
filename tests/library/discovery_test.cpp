// COM ports found without set-up: where no port map directory exists, COM1
// upward are the serial devices present, a headset's likely ones first.
// The library's inside against device and sysfs trees made for the test
// (tg::DeviceTrees), whose device nodes are links to pseudo-terminals (the
// ports that open) or to /dev/null (a device that is no terminal).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "testkit/files.h"
#include "testkit/pty_headset.h"
#include "thinkgear/devices_posix.h"

namespace {

class LibraryDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    trees.dev = dir.Make("dev");
    trees.sys = dir.Make("sys");
    ASSERT_TRUE(std::filesystem::create_directories(trees.sys + "/class/tty"));
    // No port map: its directory does not exist.
    ASSERT_EQ(setenv("NICTATE_PORTS", (dir.path() + "/no-map").c_str(), 1), 0);
  }

  // A device node: a link to a new headset's terminal, or to target.
  void Node(const std::string &name, const std::string &target = std::string()) {
    std::string to = target;
    if (to.empty()) {
      headsets.push_back(std::make_unique<testkit::PtyHeadset>());
      ASSERT_TRUE(headsets.back()->Open()) << headsets.back()->error();
      to = headsets.back()->path();
    }
    ASSERT_EQ(symlink(to.c_str(), (trees.dev + "/" + name).c_str()), 0) << name;
  }
  // What sysfs says of a ttyS port: its UART type (0: none there).
  void UartType(const std::string &name, const std::string &type) {
    ASSERT_TRUE(std::filesystem::create_directories(trees.sys + "/class/tty/" + name));
    dir.Write("sys/class/tty/" + name + "/type", type + "\n");
  }

  std::vector<std::string> Present() {
    std::vector<std::string> names;
    for (const std::string &path : tg::PresentSerialDevices(trees)) {
      names.push_back(path.substr(trees.dev.size() + 1));
    }
    return names;
  }

  testkit::TempDir dir{"nictate-discovery"};
  tg::DeviceTrees trees;
  std::vector<std::unique_ptr<testkit::PtyHeadset>> headsets;
};

TEST_F(LibraryDiscovery, TheScanReachesTheBluetoothAndUsbPortsFirst) {
  // A bound Bluetooth headset, a USB dongle and four built-in UARTs, made
  // in an order of their own.
  for (const char *name : {"ttyS2", "ttyUSB0", "ttyS0", "rfcomm0", "ttyS3", "ttyS1"}) {
    Node(name);
  }
  for (const char *uart : {"ttyS0", "ttyS1", "ttyS2", "ttyS3"}) {
    UartType(uart, "4");
  }
  // nictate's scan: COM0 to COM16 in turn, each port opened and let go.
  std::vector<std::string> opened;
  std::string comZero;
  std::string pastTheLast;
  for (int com = 0; com <= 16; ++com) {
    const std::string name = "\\\\.\\COM" + std::to_string(com);
    tg::SerialDevice device;
    tg::Failure failure;
    tg::SerialPort *port = tg::SerialOpenIn(trees, name.c_str(), 9600, nullptr, &device, &failure);
    if (port == nullptr) {
      (com == 0 ? comZero : pastTheLast) = tg::FailureText(failure);
      continue;
    }
    opened.push_back("COM" + std::to_string(com) + " " + device.path.substr(trees.dev.size() + 1));
    tg::SerialClose(port);
  }
  EXPECT_EQ(opened, (std::vector<std::string>{"COM1 rfcomm0", "COM2 ttyUSB0", "COM3 ttyS0",
                                              "COM4 ttyS1", "COM5 ttyS2", "COM6 ttyS3"}));
  EXPECT_EQ(comZero, "no such port (6 serial devices found, no port map)");
  EXPECT_EQ(pastTheLast, comZero);

  // COM1 is the Bluetooth headset's own terminal: its bytes come.
  tg::SerialDevice device;
  tg::Failure failure;
  tg::SerialPort *port = tg::SerialOpenIn(trees, "COM1", 9600, nullptr, &device, &failure);
  ASSERT_NE(port, nullptr) << tg::FailureText(failure);
  ASSERT_TRUE(headsets[3]->Send({0xAA, 0xAA, 0x02, 0x04, 0x35, 0xC6}));
  uint8_t got[16];
  EXPECT_EQ(tg::SerialRead(port, got, sizeof got, 2000), 6);
  tg::SerialClose(port);
}

TEST_F(LibraryDiscovery, EachKindInNumberOrderAndOnlyUartsThatAreThere) {
  for (const char *name : {"ttyS10", "ttyS3", "ttyS2", "ttyS1", "ttyS0", "ttyACM0", "ttyUSB10",
                           "ttyUSB2", "rfcomm1"}) {
    Node(name, "/dev/null");
  }
  // ttyS1 is the kernel's console, never numbered; ttyS2 a node without a
  // UART (opening it fails); of ttyS10 sysfs cannot tell, so it counts.
  UartType("ttyS0", "4");
  UartType("ttyS1", "4");
  UartType("ttyS2", "0");
  UartType("ttyS3", "16");
  ASSERT_TRUE(std::filesystem::create_directories(trees.sys + "/class/tty/console"));
  dir.Write("sys/class/tty/console/active", "tty0 ttyS1\n");
  // Names that are no serial device of the kinds numbered, and a node that
  // is no device.
  for (const char *name : {"ttyS", "ttyS01", "ttyUSB0.old", "tty5", "rfcomm", "ttyAMA0"}) {
    Node(name, "/dev/null");
  }
  dir.Write("dev/ttyUSB7", "");
  EXPECT_EQ(Present(), (std::vector<std::string>{"rfcomm1", "ttyUSB2", "ttyUSB10", "ttyACM0",
                                                 "ttyS0", "ttyS3", "ttyS10"}));

  // COM numbers follow; a device that is no terminal fails past its name.
  tg::SerialDevice device;
  tg::Failure failure;
  EXPECT_EQ(tg::SerialOpenIn(trees, "COM3", 9600, nullptr, &device, &failure), nullptr);
  EXPECT_EQ(device.path, trees.dev + "/ttyUSB10");
  EXPECT_EQ(tg::FailureText(failure), "not a serial port");
}

TEST_F(LibraryDiscovery, APortMapWhereItExistsRulesAlone) {
  Node("rfcomm0");
  const std::string map = dir.Make("ports");
  ASSERT_EQ(setenv("NICTATE_PORTS", map.c_str(), 1), 0);
  tg::SerialDevice device;
  tg::Failure failure;
  EXPECT_EQ(tg::SerialOpenIn(trees, "COM1", 9600, nullptr, &device, &failure), nullptr);
  EXPECT_EQ(tg::FailureText(failure), "no such port (no com1 in the port map " + map + ")");
  EXPECT_EQ(device.path, "");
  // Without the map, and without any device.
  ASSERT_EQ(setenv("NICTATE_PORTS", (dir.path() + "/no-map").c_str(), 1), 0);
  ASSERT_EQ(unlink((trees.dev + "/rfcomm0").c_str()), 0);
  failure = tg::Failure();
  EXPECT_EQ(tg::SerialOpenIn(trees, "COM1", 9600, nullptr, &device, &failure), nullptr);
  EXPECT_EQ(tg::FailureText(failure), "no such port (no serial device found, no port map)");
}

}  // namespace

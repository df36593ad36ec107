// The device library through its public operations only, with a headset on
// a pseudo-terminal: the test writes the device's bytes into the master
// side, the library reads the slave side as a serial port. COM names go
// through a private port map (NICTATE_PORTS), so the machine's own serial
// ports never take part.
//
// Connection ids are never given back and all tests of one process share
// the table, so each test takes fresh ids.
#ifndef NICTATE_TESTS_LIBRARY_FIXTURE_H
#define NICTATE_TESTS_LIBRARY_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "link/thinkgear.h"
#include "testkit/files.h"
#include "testkit/packets.h"
#include "testkit/pty_headset.h"

using testkit::Attention;
using testkit::Blink;
using testkit::Bytes;
using testkit::Join;
using testkit::Packet;

// A private directory with an empty port map in it, and a headset.
class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    ports = dir.Make("ports");
    ASSERT_EQ(setenv("NICTATE_PORTS", ports.c_str(), 1), 0);
    ASSERT_TRUE(headset.Open());
  }

  // Links <ports>/com<number> to target.
  void Map(int number, const std::string &target) {
    const std::string link = ports + "/com" + std::to_string(number);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }

  // A fresh id.
  int NewId() {
    const int id = TG_GetNewConnectionId();
    EXPECT_GE(id, 0);
    return id;
  }

  // A fresh id connected to the headset by its device path, blinks counted.
  int Connected() {
    const int id = NewId();
    EXPECT_EQ(TG_Connect(id, headset.path().c_str(), TG_BAUD_57600, TG_STREAM_PACKETS), 0);
    EXPECT_EQ(TG_EnableBlinkDetection(id, 1), 0);
    return id;
  }

  // Sends the bytes and reads them as one packet.
  void SendAndRead(int id, const Bytes &packet) {
    ASSERT_TRUE(headset.Send(packet));
    ASSERT_EQ(TG_ReadPackets(id, 1), 1);
  }

  testkit::TempDir dir{"nictate-library"};
  std::string ports;
  testkit::PtyHeadset headset;
};

#endif

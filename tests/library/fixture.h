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

#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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

// The exit status of a child that could not become an ordinary user.
const int kNoOrdinaryUser = 100;

// Runs body in a child process and returns its exit status, or 200 plus the
// signal that ended it (SIGALRM after 20 s). Given a terminal (or another
// file the user needs), the child first becomes an ordinary user (nobody,
// when this runs as root, with that file given to it), whom the root's
// privileges do not let past a port that is held or not the user's; it
// ends with kNoOrdinaryUser where it cannot.
inline int InChild(const std::function<int()> &body, const std::string &userTerminal = "") {
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);
    const uid_t nobody = 65534;
    if (!userTerminal.empty() && geteuid() == 0 &&
        (chown(userTerminal.c_str(), nobody, nobody) != 0 || setgroups(0, nullptr) != 0 ||
         setresgid(nobody, nobody, nobody) != 0 || setresuid(nobody, nobody, nobody) != 0)) {
      _exit(kNoOrdinaryUser);
    }
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

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

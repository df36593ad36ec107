// Failures that say why: the data log notes each port tried and what became
// of it (opened, refused and why, went away and why), and each log that
// could not be opened, in lines that start with their time and " # "
// (docs/logs.md). Notes made before the data log was named are written
// into it once it is.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/library/fixture.h"

namespace {

using Texts = std::vector<std::string>;

// The data log's lines without their times ("# COM3 = ...: opened",
// "ATTENTION 53"). A line that does not start with a time of the form
// <seconds>.<microseconds> and a space is kept whole, and so fails any
// comparison.
Texts Untimed(const std::string &path) {
  Texts texts;
  for (const std::string &line : testkit::Lines(testkit::ReadFile(path))) {
    const size_t dot = line.find_first_not_of("0123456789");
    const size_t space = line.find_first_not_of("0123456789", dot + 1);
    const bool timed = dot > 0 && dot != std::string::npos && line[dot] == '.' &&
                       space == dot + 7 && line[space] == ' ';
    texts.push_back(timed ? line.substr(space + 1) : line);
  }
  return texts;
}

using LibraryPortNotes = Library;

TEST_F(LibraryPortNotes, APortThatCannotBeOpenedLeavesItsReasonInTheDataLog) {
  // The headset's port is there, but not the user's to open (as a serial
  // port is for a user outside the dialout group). The run tries it before
  // it names the data log, and another COM name after.
  Map(3, headset.path());
  ASSERT_EQ(chmod(headset.path().c_str(), 0), 0);
  // The data log is the file given to the ordinary user.
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  const std::string log = dir.Write("dataLog.txt", "");
  const int status = InChild(
      [&] {
        const int id = TG_GetNewConnectionId();
        if (TG_Connect(id, "\\\\.\\COM3", TG_BAUD_9600, TG_STREAM_PACKETS) !=
            TG_CONNECT_PORT_NOT_OPENED) {
          return 1;
        }
        if (TG_SetDataLog(id, log.c_str()) != 0) {
          return 2;
        }
        return TG_Connect(id, "\\\\.\\COM4", TG_BAUD_9600, TG_STREAM_PACKETS) ==
                       TG_CONNECT_PORT_NOT_OPENED
                   ? 0
                   : 3;
      },
      log);
  if (status == kNoOrdinaryUser) {
    GTEST_SKIP() << "cannot become an ordinary user (nobody) here";
  }
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Untimed(log), (Texts{"# COM3 = " + headset.path() + ": Permission denied",
                                 "# COM4: no such port (no com4 in the port map " + ports + ")"}));
}

TEST_F(LibraryPortNotes, ADeviceThatGoesAwayLeavesItsLineAndEachNewReasonOnce) {
  const std::string log = dir.path() + "/dataLog.txt";
  const int id = NewId();
  ASSERT_EQ(TG_SetDataLog(id, log.c_str()), 0);
  ASSERT_TRUE(headset.Plug(ports, 4));
  const std::string first = headset.path();
  ASSERT_EQ(TG_Connect(id, "COM4", TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  SendAndRead(id, Attention(40));
  // Unplugged: the read fails, and the reopens find no port, twice.
  headset.Unplug();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(TG_ReadPackets(id, 1), TG_READ_IO_ERROR);
  }
  // Plugged in again.
  ASSERT_TRUE(headset.Plug(ports, 4));
  SendAndRead(id, Attention(41));
  // A terminal whose other side closed reads as hung up, or fails (EIO),
  // as the kernel has it.
  Texts notes = Untimed(log);
  ASSERT_GE(notes.size(), 3u);
  const std::string gone = "# COM4 = " + first + ": went away (";
  if (notes[2] == gone + "Input/output error)") {
    notes[2] = gone + "hung up)";
  }
  EXPECT_EQ(notes, (Texts{
                       "# COM4 = " + first + ": opened",
                       "ATTENTION 40",
                       gone + "hung up)",
                       "# COM4: no such port (no com4 in the port map " + ports + ")",
                       "# COM4 = " + headset.path() + ": opened",
                       "ATTENTION 41",
                   }));
}

TEST_F(LibraryPortNotes, EachPortAndLogRefusedIsNotedWithWhy) {
  const int holder = NewId();
  ASSERT_EQ(TG_Connect(holder, headset.path().c_str(), TG_BAUD_9600, TG_STREAM_PACKETS), 0);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Map(2, "/dev/null");
  const int id = NewId();
  // Logs refused, before the data log is named.
  EXPECT_EQ(TG_SetStreamLog(id, (dir.path() + "/missing/streamLog.txt").c_str()), -2);
  EXPECT_EQ(TG_SetDataLog(id, dir.path().c_str()), -2);
  EXPECT_EQ(TG_SetStreamLog(id, fifo.c_str()), -2);
  const std::string log = dir.path() + "/dataLog.txt";
  ASSERT_EQ(TG_SetDataLog(id, log.c_str()), 0);
  EXPECT_EQ(TG_SetStreamLog(id, log.c_str()), -2);  // its data log's file
  // Ports refused; a name with a line end in it stays on one line.
  for (const std::string &name : {headset.path(), std::string("COM2"), std::string("/dev/ptmx"),
                                  std::string("/no/such\nport")}) {
    EXPECT_EQ(TG_Connect(id, name.c_str(), TG_BAUD_9600, TG_STREAM_PACKETS),
              TG_CONNECT_PORT_NOT_OPENED);
  }
  EXPECT_EQ(
      Untimed(log),
      (Texts{
          "# stream log " + dir.path() + "/missing/streamLog.txt: No such file or directory",
          "# data log " + dir.path() + ": Is a directory",
          "# stream log " + fifo + ": a named pipe, not a file",
          "# stream log " + log + ": in use by another log",
          "# " + headset.path() + ": held by another program or connection using this library",
          "# COM2 = /dev/null: not a serial port",
          "# /dev/ptmx: a pseudo-terminal master, not a serial port",
          "# /no/such?port: No such file or directory",
      }));
}

}  // namespace

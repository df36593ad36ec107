// Logs: which names open (none a write could wait on), and what both logs
// hold after a run the process never finished (killed right after a read,
// or waiting in the next one).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/library/fixture.h"

namespace {

using LibraryLogs = Library;

TEST_F(LibraryLogs, LogsOpenForAFileAndNeverForWhatAWriteCouldWaitOn) {
  const int id = NewId();
  const std::string stream = dir.Write("streamLog.txt", "left from an earlier run\n");
  const std::string data = dir.path() + "/dataLog.txt";
  EXPECT_EQ(TG_SetStreamLog(id, stream.c_str()), 0);
  EXPECT_EQ(TG_SetDataLog(id, data.c_str()), 0);
  EXPECT_EQ(testkit::ReadFile(stream), "");  // truncated
  struct stat info;
  EXPECT_EQ(stat(data.c_str(), &info), 0);  // created
  // Devices that take every write at once.
  for (const char *name : {"/dev/null", "/dev/full", "/dev/zero"}) {
    EXPECT_EQ(TG_SetStreamLog(id, name), 0) << name;
    EXPECT_EQ(TG_SetDataLog(id, name), 0) << name;
  }
  for (const std::string &bad : {dir.path(), dir.path() + "/missing/log.txt", std::string()}) {
    EXPECT_LT(TG_SetStreamLog(id, bad.c_str()), 0) << bad;
    EXPECT_LT(TG_SetDataLog(id, bad.c_str()), 0) << bad;
  }
  EXPECT_LT(TG_SetStreamLog(id, nullptr), 0);
  EXPECT_LT(TG_SetDataLog(id, nullptr), 0);

  // Names a write could wait on, refused at once: a FIFO with no reader, a
  // link to it, a socket, a terminal; and a FIFO with a reader. In a child
  // that a hang would not hold.
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = dir.path() + "/link-to-fifo";
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  const std::string socketPath = dir.path() + "/socket";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
  const int status = InChild([&] {
    int refused = 0;
    for (const std::string &name : {fifo, link, socketPath, headset.path()}) {
      refused += TG_SetStreamLog(id, name.c_str()) < 0 ? 1 : 0;
      refused += TG_SetDataLog(id, name.c_str()) < 0 ? 1 : 0;
    }
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    refused += reader >= 0 && TG_SetStreamLog(id, fifo.c_str()) < 0 ? 1 : 0;
    return 9 - refused;
  });
  EXPECT_EQ(status, 0) << "names taken, or 200 + the signal that ended a hang";
  close(listener);
}

TEST_F(LibraryLogs, AFileAnotherLogHoldsIsRefusedAndKeepsItsLines) {
  // Another connection's log on the file: -2 for both logs of a second
  // connection, and the file is left as the first wrote it.
  const int first = Connected();
  const int second = NewId();
  const std::string log = dir.path() + "/streamLog.txt";
  ASSERT_EQ(TG_SetStreamLog(first, log.c_str()), 0);
  SendAndRead(first, Attention(53));
  const std::string written = testkit::ReadFile(log);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(TG_SetStreamLog(second, log.c_str()), -2);
  EXPECT_EQ(TG_SetDataLog(second, log.c_str()), -2);
  EXPECT_EQ(testkit::ReadFile(log), written);
  // Its own log named again starts again from the file's first byte.
  ASSERT_EQ(TG_SetStreamLog(first, log.c_str()), 0);
  EXPECT_EQ(testkit::ReadFile(log), "");
  SendAndRead(first, Attention(54));
  EXPECT_EQ(testkit::Lines(testkit::ReadFile(log)).size(), 1u);
  EXPECT_EQ(testkit::ReadFile(log).find('\0'), std::string::npos);
  // Once the first lets it go, the second may take it.
  ASSERT_EQ(TG_SetStreamLog(first, (dir.path() + "/other.txt").c_str()), 0);
  EXPECT_EQ(TG_SetStreamLog(second, log.c_str()), 0);
}

// What the child of a killed-run test wrote: every byte in order, and the
// values they carry.
struct Batch {
  Bytes bytes;
  int packets;
};

std::vector<Batch> KilledRunBatches() {
  Bytes bands = {0x83, 0x18, 0xFF, 0xFF, 0xFF};  // delta 16777215
  for (int band = 1; band < 8; ++band) {
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
    "POOR_SIGNAL 0",  "ATTENTION 53", "MEDITATION 40", "BLINK_STRENGTH 99", "RAW -200",
    "DELTA 16777215", "THETA 257",    "ALPHA1 258",    "ALPHA2 259",        "BETA1 260",
    "BETA2 261",      "GAMMA1 262",   "GAMMA2 263",    "ATTENTION 54",
};

// A child connects with both logs, reads batch after batch as the parent
// writes them, and then is killed: by itself with SIGKILL right after its
// last read returns, or by the parent while it waits in the next read.
void RunKilledChild(testkit::PtyHeadset *headset, const std::string &dir, bool killsItself) {
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
  const std::string streamText = testkit::ReadFile(dir + "/streamLog.txt");
  ASSERT_FALSE(streamText.empty());
  EXPECT_EQ(streamText.back(), '\n');
  Bytes logged;
  for (const std::string &line : testkit::Lines(streamText)) {
    unsigned long long seconds = 0;
    char micros[8] = "";
    int at = 0;
    ASSERT_EQ(sscanf(line.c_str(), "%llu.%6[0-9]%n", &seconds, micros, &at), 2) << line;
    EXPECT_EQ(std::strlen(micros), 6u) << line;
    EXPECT_GT(seconds, 1600000000ull) << "not the time of day: " << line;
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

  const std::string dataText = testkit::ReadFile(dir + "/dataLog.txt");
  ASSERT_FALSE(dataText.empty());
  EXPECT_EQ(dataText.back(), '\n');
  std::vector<std::string> lines = testkit::Lines(dataText);
  const size_t count = sizeof kKilledRunValues / sizeof kKilledRunValues[0];
  ASSERT_EQ(lines.size(), 1 + count) << dataText;
  // The note of the port that opened, then every value.
  const std::string opened = ": opened";
  EXPECT_NE(lines[0].find(" # /dev/"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].compare(lines[0].size() - opened.size(), opened.size(), opened), 0);
  lines.erase(lines.begin());
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

TEST_F(LibraryLogs, LogsHoldWhatWasReadWhenTheProcessKillsItselfRightAfterARead) {
  RunKilledChild(&headset, dir.path(), true);
  ExpectKilledRunLogs(dir.path());
}

TEST_F(LibraryLogs, LogsHoldWhatWasReadWhenTheProcessIsKilledWaitingForMore) {
  RunKilledChild(&headset, dir.path(), false);
  ExpectKilledRunLogs(dir.path());
}

}  // namespace

// nictate.exe and thinkgear.dll under Wine, seen as a Windows user sees them:
// the console text on both streams, the exit status, the logs, and the
// clicks on the desktop, watched by mouse_observer.exe, a Windows program of
// ours with a low-level mouse hook, running in the same Wine session. One
// run of each kind: no headset, no library, a headset that clicks.
//
// The headset is a pseudo-terminal that the test writes packets into,
// linked as PREFIX/dosdevices/com5, so \\.\COM5 inside Wine reaches it.
// Unplugging closes it and removes the link: the open port stops answering,
// as an unplugged USB adapter does, and its name leads nowhere until the
// headset is plugged in again.
//
// Console text: the C runtime writes standard output and the error stream in
// text mode, so every "\n" the program prints arrives as "\r\n", here as on
// Windows; Wine itself passes the bytes through unchanged.
//
// Arguments (after the GoogleTest ones): --win-build=DIR (nictate.exe,
// thinkgear.dll, tests/wine/mouse_observer.exe), --prefix=DIR (the Wine
// prefix) and --state=DIR (wine_session.sh's state: the display number).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testkit/clock.h"
#include "testkit/files.h"
#include "testkit/packets.h"
#include "testkit/process.h"
#include "testkit/procfs.h"
#include "testkit/pty_headset.h"
#include "testkit/transcript.h"
#include "tools/stream_log.h"

#ifndef NICTATE_DRIVER_VERSION
#error "NICTATE_DRIVER_VERSION: the version thinkgear.dll reports"
#endif

namespace {

std::string gWinBuild;
std::string gPrefix;
std::string gState;

using testkit::Attention;
using testkit::Blink;
using testkit::Bytes;
using testkit::Join;
using testkit::kCrLf;
using testkit::Packet;
using testkit::Process;
using testkit::ReadFile;
using testkit::WaitUntil;

const int kVersion = NICTATE_DRIVER_VERSION;

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// What mouse_observer.exe saw, its line ends taken off and the moves to the
// pointer's own pixel left out (a click may move there first).
std::vector<std::string> Seen(const std::string &observed, long x, long y) {
  const std::string still = "move " + std::to_string(x) + " " + std::to_string(y) + " injected";
  std::vector<std::string> seen;
  for (std::string line : testkit::Lines(observed)) {
    line.erase(line.find_last_not_of('\r') + 1);
    if (line != still) {
      seen.push_back(line);
    }
  }
  return seen;
}

// The library's logs, read back: every byte of the stream log, and the
// data log's values without their times ("ATTENTION 53;...").
Bytes StreamLogBytes(const std::string &path) {
  std::vector<tools::StreamChunk> chunks;
  std::string error;
  Bytes bytes;
  EXPECT_TRUE(tools::ReadStreamLog(path, &chunks, &error)) << error;
  for (const tools::StreamChunk &chunk : chunks) {
    testkit::Append(&bytes, chunk.bytes);
  }
  return bytes;
}

// The data log's value lines, each without its time and ended by ";";
// the notes of ports tried (" # " after the time) are left out.
std::string DataLogValues(const std::string &path) {
  std::string values;
  for (const std::string &line : testkit::Lines(ReadFile(path))) {
    if (line.find(" # ") == std::string::npos) {
      values += line.substr(line.find(' ') + 1) + ";";
    }
  }
  return values;
}

// The data log's notes, each without its time.
std::vector<std::string> DataLogNotes(const std::string &path) {
  std::vector<std::string> notes;
  for (const std::string &line : testkit::Lines(ReadFile(path))) {
    const size_t at = line.find(" # ");
    if (at != std::string::npos) {
      notes.push_back(line.substr(at + 1));
    }
  }
  return notes;
}

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (gWinBuild.empty() || gPrefix.empty() || gState.empty()) {
      GTEST_FAIL() << "needs --win-build, --prefix and --state";
    }
    // wine_session.sh's probe found that Wine cannot run here at all.
    const std::string unavailable = ReadFile(gState + "/unavailable");
    if (!unavailable.empty()) {
      GTEST_SKIP() << unavailable;
    }
    const std::string display = ReadFile(gState + "/display");
    ASSERT_FALSE(display.empty()) << "no Wine session: run wine_session.sh start first";
    setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
    setenv("WINEPREFIX", gPrefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // No port of an earlier run left behind.
    for (int n = 0; n <= 16; ++n) {
      (void)unlink((gPrefix + "/dosdevices/com" + std::to_string(n)).c_str());
    }
    ASSERT_FALSE(dir_.path().empty());
    for (const char *file : {"nictate.exe", "thinkgear.dll"}) {
      std::error_code error;
      ASSERT_TRUE(
          std::filesystem::copy_file(gWinBuild + "/" + file, dir_.path() + "/" + file, error))
          << file << ": " << error.message();
    }
  }

  // Runs a Windows program of the build under Wine, in the working
  // directory.
  std::unique_ptr<Process> Wine(const std::string &program, std::vector<std::string> args = {},
                                bool pipeIn = false) {
    testkit::Command command;
    command.argv = {"wine", program};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.cwd = dir_.path();
    command.pipeIn = pipeIn;
    std::unique_ptr<Process> process(new Process(command));
    EXPECT_TRUE(process->started()) << process->error();
    return process;
  }

  std::unique_ptr<Process> Nictate() { return Wine(dir_.path() + "/nictate.exe"); }

  testkit::TempDir dir_{"nictate-wine"};
};

// No headset anywhere: 17 ports fail to open, the run ends with the pause,
// which returns at once on an input at its end, and exit status 1.
TEST_F(WineTest, NoDeviceScansAllPortsThenPausesAndExitsWithOne) {
  std::unique_ptr<Process> nictate = Nictate();
  ASSERT_TRUE(testkit::WaitExit(nictate.get(), 60)) << "still running:\n" << nictate->out();
  EXPECT_EQ(nictate->out(), testkit::NoDeviceOut(kVersion, kCrLf));
  EXPECT_EQ(nictate->err(), testkit::NoDeviceErr(0, kCrLf));
  EXPECT_EQ(nictate->ExitCode(), 1);
  // Both logs were named (made empty) before the scan; the data log says
  // why each port failed, in Windows' words and by its error code.
  EXPECT_EQ(ReadFile(dir_.path() + "/streamLog.txt"), "");
  const std::vector<std::string> notes = DataLogNotes(dir_.path() + "/dataLog.txt");
  ASSERT_EQ(notes.size(), 17u) << ReadFile(dir_.path() + "/dataLog.txt");
  for (size_t com = 0; com < notes.size(); ++com) {
    const std::string start = "# COM" + std::to_string(com) + ": ";
    EXPECT_EQ(notes[com].compare(0, start.size(), start), 0) << notes[com];
    EXPECT_GT(notes[com].size(), start.size() + std::string(" (error 2)").size()) << notes[com];
    EXPECT_EQ(notes[com].back(), ')') << notes[com];
    EXPECT_NE(notes[com].find(" (error "), std::string::npos) << notes[com];
  }
}

// The library is bound at load time: without thinkgear.dll beside it the
// program does not start at all (Windows' loader refuses it with
// STATUS_DLL_NOT_FOUND, 0xC0000135, whose low byte is the exit status).
TEST_F(WineTest, WithoutTheLibraryTheProgramDoesNotStart) {
  ASSERT_EQ(unlink((dir_.path() + "/thinkgear.dll").c_str()), 0);
  std::unique_ptr<Process> nictate = Nictate();
  ASSERT_TRUE(testkit::WaitExit(nictate.get(), 60));
  EXPECT_EQ(nictate->out(), "");
  EXPECT_EQ(nictate->ExitCode(), 0xC0000135 & 0xFF);
}

// The headset on COM5: ports 0 to 4 fail, COM5 answers its probe after the
// 10 s wait, and then every packet's values are reported and every blink
// clicks once where the pointer is. The pointer sits on (333, 211) of a
// 1366 x 768 screen, a pixel that a plain truncated mapping misses by one
// on both axes. Then the headset is unplugged (the program waits quietly)
// and plugged in again (the program carries on).
TEST_F(WineTest, HeadsetOnCom5ReportsValuesAndClicksAtThePointer) {
  const long kX = 333;
  const long kY = 211;
  // mouse_observer.exe, once its hook is in place on a screen of 1366 x 768.
  std::unique_ptr<Process> observer = Wine(gWinBuild + "/tests/wine/mouse_observer.exe",
                                           {std::to_string(kX), std::to_string(kY)}, true);
  ASSERT_TRUE(WaitUntil({observer.get()}, 60, [&] { return Contains(observer->out(), "ready"); }))
      << observer->err();
  ASSERT_TRUE(Contains(observer->out(), "ready 333 211 1366 768\r\n")) << observer->out();

  testkit::PtyHeadset headset;
  const std::string dosdevices = gPrefix + "/dosdevices";
  ASSERT_TRUE(headset.Plug(dosdevices, 5));
  std::unique_ptr<Process> nictate = Nictate();
  const std::vector<Process *> both = {nictate.get(), observer.get()};
  const std::string down = "down 333 211 injected";
  const std::string up = "up 333 211 injected";
  auto clicks = [&] {
    const std::vector<std::string> seen = Seen(observer->out(), kX, kY);
    return std::count(seen.begin(), seen.end(), up);
  };
  auto printed = [&](const std::string &line) {
    return WaitUntil(both, 30, [&] { return Contains(nictate->out(), line); });
  };

  // The scan reaches COM5 and opens it.
  ASSERT_TRUE(WaitUntil(both, 30, [&] { return headset.LineSetUp(); }));
  // The probe takes the first packet, which the loop never sees: a summary
  // packet, each of whose values still reaches the data log. The attention
  // packet behind it is the loop's first.
  Bytes sent = Join({Packet({0x02, 0x00,          // poor signal 0
                             0x04, 0x28,          // attention 40
                             0x05, 0x3C,          // meditation 60
                             0x83, 0x18,          // band powers:
                             0xFF, 0xFF, 0xFF,    //   delta 16777215
                             0x80, 0x00, 0x00,    //   theta 8388608
                             0x12, 0x34, 0x56,    //   low alpha 1193046
                             0x00, 0x01, 0x00,    //   high alpha 256
                             0x00, 0x00, 0x01,    //   low beta 1
                             0x00, 0x00, 0x02,    //   high beta 2
                             0x00, 0x00, 0x03,    //   low gamma 3
                             0x00, 0x00, 0x04}),  // mid gamma 4
                     Attention(53)});
  ASSERT_TRUE(headset.Send(sent));
  ASSERT_TRUE(printed("New attention value: 53.000000\r\n")) << nictate->out();
  EXPECT_EQ(nictate->out(),
            testkit::FoundOut(kVersion, 5, kCrLf) + ".New attention value: 53.000000\r\n");
  EXPECT_EQ(nictate->err(), testkit::FoundErr(0, 5, kCrLf));
  EXPECT_EQ(clicks(), 0);

  // One blink, one click. Attention and a blink in one packet: attention
  // first, then the blink and its click. Then two blinks in a row: two
  // clicks.
  for (const Bytes &packets :
       {Blink(77), Join({Packet({0x04, 60, 0x16, 200}), Blink(1), Blink(255)})}) {
    ASSERT_TRUE(headset.Send(packets));
    testkit::Append(&sent, packets);
  }
  ASSERT_TRUE(printed("New eye blinking value: 255.000000\r\n"));
  ASSERT_TRUE(WaitUntil(both, 10, [&] { return clicks() == 4; })) << observer->out();

  // A packet split across reads: bytes but no whole packet is an empty
  // read ("z"); the rest then completes it.
  const Bytes packet = Attention(61);
  ASSERT_TRUE(headset.Send({packet.begin(), packet.begin() + 3}));
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  ASSERT_TRUE(headset.Send({packet.begin() + 3, packet.end()}));
  testkit::Append(&sent, packet);
  ASSERT_TRUE(printed("New attention value: 61.000000\r\n"));

  // Unplugged: once the read under way has ended, the program waits in the
  // OS for the device to come back, printing nothing; spinning would use
  // about all of a core, waiting uses next to nothing.
  headset.Unplug();
  const size_t outBefore = nictate->out().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const double cpuBefore = testkit::CpuSeconds(nictate->pid());
  const int64_t quietFrom = testkit::NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const double cpu = testkit::CpuSeconds(nictate->pid()) - cpuBefore;
  EXPECT_LT(cpu, testkit::SecondsSince(quietFrom) / 4) << "CPU seconds while the device was away";
  nictate->Drain();
  EXPECT_EQ(nictate->out().size(), outBefore) << nictate->out().substr(outBefore);

  // Plugged in again: the library reopens COM5 and the loop goes on.
  ASSERT_TRUE(headset.Plug(dosdevices, 5));
  ASSERT_TRUE(WaitUntil(both, 10, [&] { return headset.LineSetUp(); }));
  ASSERT_TRUE(headset.Send(Join({Attention(70), Blink(9)})));
  testkit::Append(&sent, Join({Attention(70), Blink(9)}));
  ASSERT_TRUE(printed("New eye blinking value: 9.000000\r\n"));
  ASSERT_TRUE(WaitUntil(both, 10, [&] { return clicks() == 5; })) << observer->out();

  // The rest of the transcript, from the first value on; nothing more on
  // the error stream after the scan.
  const std::string out = nictate->out();
  const size_t first = out.find("New attention value: 53");
  const size_t z = out.find('z', first);
  ASSERT_NE(z, std::string::npos) << out;
  EXPECT_EQ(out.substr(first, z - first),
            "New attention value: 53.000000\r\n"
            ".New eye blinking value: 77.000000\r\n"
            ".New attention value: 60.000000\r\nNew eye blinking value: 200.000000\r\n"
            ".New eye blinking value: 1.000000\r\n"
            ".New eye blinking value: 255.000000\r\n");
  // The empty reads of the split packet: one "z" or more, then the rest.
  EXPECT_EQ(out.substr(out.find_first_not_of('z', z)),
            ".New attention value: 61.000000\r\n"
            ".New attention value: 70.000000\r\n"
            ".New eye blinking value: 9.000000\r\n");
  EXPECT_EQ(nictate->err(), testkit::FoundErr(0, 5, kCrLf));

  // The program runs until it is ended from outside; the pointer is where it
  // was put, after five clicks there.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(nictate->Running());
  nictate->Stop();
  observer->CloseInput();
  ASSERT_TRUE(testkit::WaitExit(observer.get(), 30));
  std::vector<std::string> seen = {"ready 333 211 1366 768"};
  for (int i = 0; i < 5; ++i) {
    seen.insert(seen.end(), {down, up});
  }
  seen.push_back("final 333 211");
  EXPECT_EQ(Seen(observer->out(), kX, kY), seen) << observer->out();

  // The library's logs, written by Windows' C runtime in binary mode: every
  // value in order, and every byte the device sent.
  const std::vector<std::string> notes = DataLogNotes(dir_.path() + "/dataLog.txt");
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.back(), "# COM5: opened");
  EXPECT_EQ(DataLogValues(dir_.path() + "/dataLog.txt"),
            "POOR_SIGNAL 0;ATTENTION 40;MEDITATION 60;DELTA 16777215;THETA 8388608;"
            "ALPHA1 1193046;ALPHA2 256;BETA1 1;BETA2 2;GAMMA1 3;GAMMA2 4;ATTENTION 53;"
            "BLINK_STRENGTH 77;ATTENTION 60;BLINK_STRENGTH 200;BLINK_STRENGTH 1;"
            "BLINK_STRENGTH 255;ATTENTION 61;ATTENTION 70;BLINK_STRENGTH 9;");
  EXPECT_FALSE(Contains(ReadFile(dir_.path() + "/streamLog.txt"), "\r"));
  EXPECT_EQ(StreamLogBytes(dir_.path() + "/streamLog.txt"), sent);
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    for (auto *option : {&gWinBuild, &gPrefix, &gState}) {
      const std::string name = option == &gWinBuild ? "--win-build="
                               : option == &gPrefix ? "--prefix="
                                                    : "--state=";
      if (arg.compare(0, name.size(), name) == 0) {
        *option = arg.substr(name.size());
      }
    }
  }
  return RUN_ALL_TESTS();
}

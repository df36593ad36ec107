// The native run: a private Xvfb with the X client on it, the headset on
// COM0 of a private port map, build/nictate connected to it, and every
// measurement in turn on that one connection.
#include <cerrno>
#include <cstring>

#include "bench/measures.h"
#include "testkit/files.h"
#include "testkit/xvfb.h"

namespace bench {

namespace {

// The display, the X client with the pointer in place, and the headset.
bool SetUp(Run *run, testkit::Xvfb *xvfb, const std::string &ports) {
  std::string error;
  if (!xvfb->Start(std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight), &error) ||
      !run->recorder.Open(xvfb->name(), &error)) {
    run->failure = error;
    return false;
  }
  if (!run->headset.Plug(ports, 0)) {
    run->failure = run->headset.error();
    return false;
  }
  run->recorder.Warp(kPointerX, kPointerY);
  if (run->recorder.Pointer() != std::make_pair(kPointerX, kPointerY)) {
    run->failure = "could not place the pointer";
    return false;
  }
  return true;
}

}  // namespace

bool RunNative(const Options &options, std::vector<Row> *rows, bool *allMet) {
  // Declared in this order so that they end the other way round: the
  // program, the headset and the X client before the display.
  testkit::TempDir dir("nictate-bench");
  testkit::Xvfb xvfb;
  Run run;
  const std::string ports = dir.Make("ports");
  const std::string work = dir.Make("run");
  bool ok = !dir.path().empty() && testkit::Exists(ports) && testkit::Exists(work);
  if (!ok) {
    run.failure = "cannot make a temporary directory: " + std::string(std::strerror(errno));
  }
  ok = ok && SetUp(&run, &xvfb, ports);
  if (ok) {
    Progress("X display %s, headset on COM0, nictate %s", xvfb.name().c_str(),
             options.nictate.c_str());
    testkit::Command command;
    command.argv = {options.nictate};
    command.env = {"NICTATE_PORTS=" + ports, "DISPLAY=" + xvfb.name()};
    command.cwd = work;
    ok = Connect(&run, command);
  }
  ok = ok && MeasureLatency(&run, options, rows, allMet);
  ok = ok && MeasureXdotool(&run, options, xvfb.name(), rows);
  ok = ok && MeasureCpuStates(&run, options, rows, allMet);
  ok = ok && (options.rawBlinks == 0 || MeasureRawWaveLatency(&run, options, rows));
  Memory memory;
  ok = ok && FeedPackets(&run, options, &memory);
  ok = ok && MeasureUnplugged(&run, options, rows, allMet);
  if (ok) {
    MemoryRows(&run, options, memory, rows, allMet);
  } else {
    Progress("failed: %s", run.failure.c_str());
    if (run.program != nullptr && !run.program->err().empty()) {
      Progress("nictate's error stream:\n%s", run.program->err().c_str());
    }
    rows->push_back({"Native run", "failed: " + run.failure, "", "**no**"});
    *allMet = false;
  }
  return ok;
}

}  // namespace bench

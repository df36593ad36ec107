// The Windows build under Wine: nictate.exe on COM1 of the prefix, the
// blink-to-click latency to the press seen by mouse_observer.exe's
// low-level mouse hook (Wine's clicks reach Windows programs, not X
// clients). The Wine session (Xvfb, prefix, wineserver) is the caller's.
#include <fcntl.h>
#include <unistd.h>

#include "bench/measures.h"
#include "testkit/clock.h"
#include "testkit/files.h"

namespace bench {

Row RunWine(const Options &options) {
  const std::string what = "Blink-to-click latency, Windows build under Wine (nictate.exe)";
  testkit::TempDir dir("nictate-bench");
  if (dir.path().empty()) {
    return {what, "not measured: cannot make a temporary directory", "reference", ""};
  }
  Run run;
  std::string error;
  testkit::Command command;
  command.env = {"WINEPREFIX=" + options.winePrefix, "DISPLAY=" + options.wineDisplay,
                 "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEARCH=win32"};
  bool ok = run.headset.Plug(options.winePrefix + "/dosdevices", 1);
  error = run.headset.error();
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (ok) {
    testkit::Command observer = command;
    observer.argv = {"wine", options.winBuild + "/tests/wine/mouse_observer.exe",
                     std::to_string(kPointerX), std::to_string(kPointerY)};
    observer.pipeIn = true;
    observer.errFd = devnull;
    run.windowsObserver.reset(new testkit::Process(observer));
    ok = run.windowsObserver->started();
    error = run.windowsObserver->error();
  }
  if (ok) {
    ok = Pump(&run, testkit::NowNs() + 60 * testkit::kSecond,
              [&run] { return run.observerOut.ready; });
    if (!ok) {
      error = "mouse_observer.exe did not start: " + run.failure;
    }
  }
  if (ok) {
    Progress("Wine: nictate.exe on COM1");
    command.argv = {"wine", options.winBuild + "/nictate.exe"};
    command.cwd = dir.path();
    ok = Connect(&run, command);
    error = run.failure;
  }
  std::string text;
  if (ok) {
    Progress("Wine: %d blinks", options.wineBlinks);
    int lost = 0;
    uint64_t extra = 0;
    double steal = -1;
    const std::vector<int64_t> latencies =
        MeasureBlinks(&run, options.wineBlinks, &lost, &extra, &steal);
    ok = run.failure.empty();
    error = run.failure;
    text = LatencyText(Summarize(latencies), latencies.size(), options.wineBlinks, lost, extra,
                       steal) +
           "; the press seen by a low-level mouse hook in mouse_observer.exe";
    if (run.pressElsewhere) {
      text += "; a press landed away from the pointer";
    }
  }
  run.program.reset();
  if (run.windowsObserver != nullptr) {
    run.windowsObserver->CloseInput();
    run.windowsObserver.reset();
  }
  if (devnull >= 0) {
    (void)close(devnull);
  }
  if (!ok) {
    Progress("Wine: %s", error.c_str());
    return {what, "not measured: " + error, "reference", ""};
  }
  return {what, text, "reference", ""};
}

}  // namespace bench

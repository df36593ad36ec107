// click-bench: the latency of a click through each way of clicking on a
// real headless compositor: ClickAtCursor called (the program's own click:
// the chooser, the module, the compositor) -> the test window logs the press.
// One desktop per run, since a process chooses its way once:
//
//   click-bench sway|mutter|kwin [--clicks=N]
//
// It prints one table row (Markdown) on standard output; exit status 1 when
// the target is missed or a click is lost, 2 when it could not run.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/statistics.h"
#include "blink/click.h"
#include "testkit/clock.h"
#include "testkit/compositor.h"

namespace {

using testkit::Desktop;
using testkit::Process;

// The median click, in milliseconds, must stay below this: a person clicks
// no faster than a few times a second, and a blink takes 100 ms or more.
const double kTargetMs = 10.0;

struct Kind {
  const char *name;
  Desktop desktop;
  const char *way;
  const char *what;
};
const Kind kKinds[] = {
    {"sway", Desktop::kSway, "wlroots", "wlroots virtual pointer, headless sway"},
    {"mutter", Desktop::kMutter, "mutter", "mutter remote desktop, headless mutter"},
    {"kwin", Desktop::kKwin, "kde", "KDE fake input, kwin --virtual"},
};

size_t Presses(const std::string &out) {
  size_t count = 0;
  for (size_t at = 0; (at = out.find("button 272 pressed", at)) != std::string::npos; ++at) {
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char **argv) {
  const Kind *kind = nullptr;
  int clicks = 100;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--clicks=", 9) == 0) {
      clicks = std::atoi(argv[i] + 9);
    }
    for (const Kind &k : kKinds) {
      kind = std::strcmp(argv[i], k.name) == 0 ? &k : kind;
    }
  }
  if (kind == nullptr || clicks < 1) {
    std::fprintf(stderr, "Usage: click-bench sway|mutter|kwin [--clicks=N]\n");
    return 2;
  }
  testkit::Compositor compositor;
  std::string error;
  std::unique_ptr<Process> window, pointer;
  // kwin offers its fake input to this program by its path.
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string program(self, length > 0 ? static_cast<size_t>(length) : 0);
  if (!compositor.Start(kind->desktop, &error, {program}) ||
      (window = compositor.StartWindow(&error)) == nullptr ||
      (pointer = compositor.StartPointer(kind->way, &error)) == nullptr) {
    std::fprintf(stderr, "click-bench: %s\n", error.c_str());
    return 2;
  }
  // This process is the compositor's client, choosing as nictate does.
  for (const std::string &entry : compositor.env()) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      (void)unsetenv(entry.c_str());
    } else {
      (void)setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }
  (void)unsetenv("NICTATE_CLICK");

  std::vector<int64_t> latencies;
  int64_t first = -1;
  int lost = 0;
  for (int i = 0; i <= clicks; ++i) {
    (void)testkit::WaitUntil({window.get()}, 0.03, [] { return false; });
    const size_t before = Presses(window->out());
    const int64_t start = testkit::NowNs();
    ClickAtCursor();
    if (!testkit::WaitUntil({window.get()}, 2, [&] { return Presses(window->out()) > before; })) {
      ++lost;
    } else if (i == 0) {
      first = testkit::NowNs() - start;  // the device made, and let settle
    } else {
      latencies.push_back(testkit::NowNs() - start);
    }
  }
  const bench::Percentiles p = bench::Summarize(latencies);
  const bool met = lost == 0 && !latencies.empty() && p.p50 <= kTargetMs;
  std::printf(
      "| Click latency, %s (ClickAtCursor to the window's press) | p50 %.3f ms, p99 %.3f "
      "ms, max %.3f ms (%zu of %d clicks seen); the first, which makes the device: %.0f "
      "ms | p50 <= %.0f ms, none lost | %s |\n",
      kind->what, p.p50, p.p99, p.max, latencies.size() + (first >= 0 ? 1 : 0), clicks + 1,
      first >= 0 ? static_cast<double>(first) / testkit::kMs : -1.0, kTargetMs,
      bench::YesNo(met).c_str());
  return met ? 0 : 1;
}

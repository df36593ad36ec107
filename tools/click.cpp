// nictate-click: which way of clicking nictate uses on this desktop, and one
// test click through it, without a headset. It chooses as nictate does
// (NICTATE_CLICK, the session's WAYLAND_DISPLAY and DISPLAY) and clicks as
// nictate does, once, where the pointer is.
#include "blink/click.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/click_choice.h"
#include "platform/win32.h"

namespace {

const char kUsage[] =
    "Usage: nictate-click [OPTION]...\n"
    "Says which way of clicking nictate uses here, waits, then clicks the left\n"
    "button once where the pointer is, as nictate does for a blink.\n"
    "\n"
    "  --wait S     seconds to wait before the click, time to point at something\n"
    "               (0-60, default 5)\n"
    "  --no-click   only say which way, and click nothing\n"
    "  -h, --help   show this help and exit\n"
    "\n"
    "NICTATE_CLICK=wlroots|kde|mutter|uinput|xtest forces one way, as for nictate.\n"
    "Exit status: 0 when it can click (and clicked), 1 when it cannot, 2 on a bad\n"
    "option.\n";

}  // namespace

int main(int argc, char **argv) {
  double wait = 5;
  bool click = true;
  static const struct option kOptions[] = {{"wait", required_argument, nullptr, 'w'},
                                           {"no-click", no_argument, nullptr, 'n'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
  for (int option; (option = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    char *end = nullptr;
    switch (option) {
      case 'w':
        wait = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(wait >= 0 && wait <= 60)) {
          std::fprintf(stderr, "nictate-click: --wait takes seconds from 0 to 60, not %s\n",
                       optarg);
          return 2;
        }
        break;
      case 'n':
        click = false;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "nictate-click: no arguments, only options: %s\n", argv[optind]);
    return 2;
  }

  std::string why;
  const std::string way = ChooseClickBackend(&why);
  if (way.empty()) {
    std::fprintf(stderr, "nictate-click: cannot click here (%s)\n", why.c_str());
    return 1;
  }
  std::printf("nictate-click: clicks through %s\n", way.c_str());
  if (!click) {
    return 0;
  }
  std::printf("nictate-click: one left click in %g seconds, where the pointer is then\n", wait);
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(wait * 1000));
  ClickAtCursor();
  // A way that failed at the click is let go and another tried at once: what
  // is chosen now clicked.
  const std::string after = ChooseClickBackend(&why);
  if (after.empty()) {
    std::fprintf(stderr, "nictate-click: the click did not go through (%s)\n", why.c_str());
    return 1;
  }
  std::printf("nictate-click: clicked through %s\n", after.c_str());
  return 0;
}

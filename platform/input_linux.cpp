// GetCursorPos, GetSystemMetrics and SendInput on Linux: through the way of
// clicking that works on this desktop, chosen at the first call.
//
//   NICTATE_CLICK=NAME   that one alone (wlroots, kde, mutter, uinput, xtest)
//   WAYLAND_DISPLAY set  the first that works of wlroots, kde, mutter,
//                        uinput, then xtest, which reaches X windows only
//   DISPLAY set          xtest
//   neither              uinput (the text console)
//
// Only XTest can read the pointer. The others answer that it cannot be read,
// so a click (blink/click.cpp) is a press and release where the pointer is,
// with no move. When nothing can click, one line on the error stream says
// why, once per run; the blinks are still printed.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/click_backend.h"
#include "platform/click_choice.h"
#include "platform/click_uinput.h"
#include "platform/posix_time.h"

const char kClickVariable[] = "NICTATE_CLICK";

namespace {

// The ways of clicking, in the order a Wayland session tries them. `module`
// is the shared object beside the program that holds it, found through the
// program's RUNPATH; none for the one built in.
struct Way {
  const char *name;
  const char *module;
  const char *what;  // for the console
};
const Way kWays[] = {
    {"wlroots", "nictate-click-wlroots.so", "the wlroots virtual pointer"},
    {"kde", "nictate-click-kde.so", "KDE's fake input"},
    {"mutter", "nictate-click-mutter.so", "mutter's remote desktop"},
    {"uinput", nullptr, "uinput"},
    {"xtest", "nictate-click-xtest.so", "XTest"},
};
const size_t kXTest = 4;

// A new device (a virtual pointer, a uinput mouse, a remote desktop
// session) is picked up by the compositor and its clients a moment after it
// appears: a press sent sooner can be lost. So the first click waits until
// the device is this old.
const int64_t kSettleMs = 300;
// A choice that found nothing is not tried again for this long: the three
// calls of one click share it.
const int64_t kRetryMs = 1000;

const NictateClickBackend *gBackends[sizeof kWays / sizeof kWays[0]] = {};
const NictateClickBackend *gChosen = nullptr;
size_t gChosenWay = 0;
int64_t gOpenedMs = 0;
bool gSettled = false;
int64_t gFailedMs = -1;
std::string gWhy;
bool gToldNone = false;
bool gToldXOnly = false;

bool Set(const char *name) {
  const char *value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Where the loader looks for the program's libraries: its RUNPATH, $ORIGIN
// resolved, then the usual places. dlopen of a bare name would look through
// the RUNPATH of whatever called it, which is not the program when a
// sanitizer's runtime stands in between.
std::vector<std::string> LibraryPath(void) {
  std::vector<std::string> dirs;
  void *program = dlopen(nullptr, RTLD_LAZY);
  Dl_serinfo size;
  if (program == nullptr || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) {
    return dirs;
  }
  std::vector<max_align_t> buffer(size.dls_size / sizeof(max_align_t) + 1);
  Dl_serinfo *info = reinterpret_cast<Dl_serinfo *>(buffer.data());
  if (dlinfo(program, RTLD_DI_SERINFOSIZE, info) == 0 &&
      dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
    for (unsigned i = 0; i < info->dls_cnt; ++i) {
      dirs.push_back(info->dls_serpath[i].dls_name);
    }
  }
  return dirs;
}

// The back end of a way, loaded once and kept; null with the reason in why.
const NictateClickBackend *Load(size_t way, std::string *why) {
  if (gBackends[way] != nullptr) {
    return gBackends[way];
  }
  if (kWays[way].module == nullptr) {
    return gBackends[way] = UinputClickBackend();
  }
  void *module = nullptr;
  for (const std::string &dir : LibraryPath()) {
    const std::string path = dir + "/" + kWays[way].module;
    if (access(path.c_str(), F_OK) == 0) {
      module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module == nullptr) {
        const char *error = dlerror();
        *why = std::string("cannot be loaded (") + (error != nullptr ? error : path) + ")";
        return nullptr;
      }
      break;
    }
  }
  if (module == nullptr) {
    *why = std::string("not installed (no ") + kWays[way].module + " beside the program)";
    return nullptr;
  }
  const auto entry =
      reinterpret_cast<NictateClickBackendEntry>(dlsym(module, NICTATE_CLICK_BACKEND_ENTRY));
  if (entry == nullptr || entry() == nullptr) {
    *why = std::string(kWays[way].module) + " is no back end of this nictate";
    (void)dlclose(module);
    return nullptr;
  }
  return gBackends[way] = entry();
}

// The ways to try here, in order; empty with the reason in why when
// NICTATE_CLICK names none.
std::vector<size_t> Candidates(std::string *why) {
  std::vector<size_t> ways;
  const char *forced = getenv(kClickVariable);
  if (forced != nullptr && forced[0] != '\0') {
    std::string names;
    for (size_t i = 0; i < sizeof kWays / sizeof kWays[0]; ++i) {
      if (std::strcmp(forced, kWays[i].name) == 0) {
        ways.push_back(i);
      }
      names += std::string(i == 0 ? "" : ", ") + kWays[i].name;
    }
    if (ways.empty()) {
      *why = std::string(kClickVariable) + "=" + forced + " names none of " + names;
    }
  } else if (Set("WAYLAND_DISPLAY")) {
    for (size_t i = 0; i < sizeof kWays / sizeof kWays[0]; ++i) {
      ways.push_back(i);
    }
  } else if (Set("DISPLAY")) {
    ways.push_back(kXTest);
  } else {
    ways.push_back(3);  // uinput
  }
  return ways;
}

void Choose(void) {
  if (gChosen != nullptr || (gFailedMs >= 0 && nictate::MonotonicMs() - gFailedMs >= 0 &&
                             nictate::MonotonicMs() - gFailedMs < kRetryMs)) {
    return;
  }
  gWhy.clear();
  for (size_t way : Candidates(&gWhy)) {
    std::string failure;
    const NictateClickBackend *backend = Load(way, &failure);
    char reason[512] = "";
    if (backend != nullptr && backend->open(reason, sizeof reason)) {
      gChosen = backend;
      gChosenWay = way;
      gOpenedMs = nictate::MonotonicMs();
      gSettled = way == kXTest;
      gFailedMs = -1;
      if (way == kXTest && Set("WAYLAND_DISPLAY") && !Set(kClickVariable) && !gToldXOnly) {
        gToldXOnly = true;
        std::fprintf(stderr,
                     "nictate: no Wayland way of clicking works here (%s); clicking through "
                     "XWayland's XTest, which reaches X windows only: over a Wayland window a "
                     "blink clicks where XWayland last saw the pointer\n",
                     gWhy.c_str());
      }
      return;
    }
    if (backend != nullptr) {
      failure = reason;
    }
    gWhy += std::string(gWhy.empty() ? "" : "; ") + kWays[way].what + ": " + failure;
  }
  gFailedMs = nictate::MonotonicMs();
}

// Once per run, at the first click that cannot land.
void TellNone(void) {
  if (gToldNone) {
    return;
  }
  gToldNone = true;
  std::fprintf(stderr,
               "nictate: cannot click here (%s): blinks are printed but click nothing; run "
               "nictate in your desktop session, or see \"Clicks on Linux desktops\" in its "
               "README\n",
               gWhy.c_str());
}

// The first click on a new device waits until the desktop has it.
void Settle(void) {
  if (gSettled) {
    return;
  }
  gSettled = true;
  const int64_t age = nictate::MonotonicMs() - gOpenedMs;
  if (age >= 0 && age < kSettleMs) {
    Sleep(static_cast<DWORD>(kSettleMs - age));
  }
}

void Drop(void) {
  if (gChosen != nullptr) {
    gChosen->close();
  }
  gChosen = nullptr;
  gFailedMs = -1;  // the next call chooses again at once
}

}  // namespace

std::string ChooseClickBackend(std::string *why) {
  Choose();
  *why = gChosen != nullptr ? "" : gWhy;
  return gChosen != nullptr ? kWays[gChosenWay].name : "";
}

BOOL GetCursorPos(POINT *lpPoint) {
  Choose();
  return gChosen != nullptr && lpPoint != nullptr ? gChosen->getCursorPos(lpPoint) : FALSE;
}

int GetSystemMetrics(int nIndex) {
  Choose();
  return gChosen != nullptr ? gChosen->getSystemMetrics(nIndex) : 0;
}

UINT SendInput(UINT cInputs, INPUT *pInputs, int cbSize) {
  if (pInputs == nullptr || cbSize != static_cast<int>(sizeof(INPUT)) || cInputs == 0) {
    return 0;
  }
  // A back end that fails (its compositor or bus went away) is let go, and
  // the records go once more through whatever works now.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Choose();
    if (gChosen == nullptr) {
      TellNone();
      return 0;
    }
    Settle();
    const UINT sent = gChosen->sendInput(cInputs, pInputs, cbSize);
    if (sent > 0) {
      return sent;
    }
    Drop();
  }
  return 0;
}

// Which way of clicking the Linux side of the Windows operations uses, for
// nictate-click (the check a user makes without a headset) and the tests.
#ifndef NICTATE_PLATFORM_CLICK_CHOICE_H
#define NICTATE_PLATFORM_CLICK_CHOICE_H

#include <string>

// The environment variable that forces one way of clicking, by its name.
extern const char kClickVariable[];  // "NICTATE_CLICK"

// Chooses a way of clicking where none is chosen yet, as the first click
// does, and returns its name ("wlroots", "kde", "mutter", "uinput",
// "xtest"); "" when none can click, with why each could not in *why.
std::string ChooseClickBackend(std::string *why);

#endif
